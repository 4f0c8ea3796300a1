#include "analytics/TallyManager.h"

#include "analytics/Constants.h"
#include "analytics/TallyLogger.h"

namespace tally {

TallyManager& TallyManager::sharedInstance()
{
    static TallyManager* shared = new TallyManager; // lives until the process ends
    return *shared;
}

TallyManager::TallyManager()
    : readWriteLock(std::string(tallyLabelPrefix) + ".instance.manager.lock")
    , instanceQueue(std::string(tallyLabelPrefix) + ".instance.manager.instance")
{
    TallyLogger::addLogging(std::make_shared<PrintLogging>());
}

std::shared_ptr<TallyInstance> TallyManager::initialize(const TallyInstance::Options& options)
{
    std::shared_ptr<TallyInstance> result;
    instanceQueue.sync([&] {
        readWriteLock.read([&] {
            if (const auto it = instances.find(options.name); it != instances.end()) {
                result = it->second;
            }
        });
        if (result) {
            readWriteLock.write([&] { mainInstance = result; });
            return;
        }
        result = TallyInstance::create(options);
        readWriteLock.write([&] {
            instances[options.name] = result;
            mainInstance = result;
        });
    });
    return result;
}

std::shared_ptr<TallyInstance> TallyManager::getInstance(const std::string& name)
{
    std::shared_ptr<TallyInstance> found;
    readWriteLock.read([&] {
        if (const auto it = instances.find(name); it != instances.end()) {
            found = it->second;
        }
    });
    if (!found) {
        TallyLogger::warn([&] { return "no such instance: " + name; }, __FILE__, "getInstance(name:)");
    }
    return found;
}

std::shared_ptr<TallyInstance> TallyManager::getMainInstance()
{
    std::shared_ptr<TallyInstance> main;
    readWriteLock.read([&] { main = mainInstance; });
    return main;
}

std::vector<std::shared_ptr<TallyInstance>> TallyManager::getAllInstances()
{
    std::vector<std::shared_ptr<TallyInstance>> all;
    readWriteLock.read([&] {
        for (const auto& [name, instance] : instances) {
            all.push_back(instance);
        }
    });
    return all;
}

void TallyManager::setMainInstance(const std::string& name)
{
    std::shared_ptr<TallyInstance> found;
    readWriteLock.read([&] {
        if (const auto it = instances.find(name); it != instances.end()) {
            found = it->second;
        }
    });
    if (found) {
        readWriteLock.write([&] { mainInstance = found; });
    }
}

void TallyManager::removeInstance(const std::string& name)
{
    std::shared_ptr<TallyInstance> removed; // released outside the lock: its end may wait for its queues
    readWriteLock.write([&] {
        const auto it = instances.find(name);
        if (it == instances.end()) {
            return;
        }
        if (mainInstance == it->second) {
            mainInstance.reset();
        }
        removed = std::move(it->second);
        instances.erase(it);
    });
}

void TallyManager::shutdown(std::chrono::milliseconds deliveryLimit)
{
    const auto deadline = std::chrono::steady_clock::now() + deliveryLimit;
    for (const auto& instance : getAllInstances()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        instance->shutdown(std::max(left, std::chrono::milliseconds::zero()));
    }
}

} // namespace tally
