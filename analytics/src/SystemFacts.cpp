#include "analytics/SystemFacts.h"

#include "analytics/LinuxSystemFacts.h"

#include <mutex>

namespace tally {

namespace {

struct Provider {
    std::mutex lock;
    std::shared_ptr<const SystemFacts> facts;
};

Provider& provider()
{
    static Provider* shared = new Provider; // read by the client's queues until the process ends
    return *shared;
}

} // namespace

std::shared_ptr<const SystemFacts> SystemFacts::current()
{
    Provider& p = provider();
    const std::lock_guard guard(p.lock);
    if (!p.facts) {
        p.facts = std::make_shared<LinuxSystemFacts>();
    }
    return p.facts;
}

std::shared_ptr<const SystemFacts> SystemFacts::setCurrent(std::shared_ptr<const SystemFacts> facts)
{
    Provider& p = provider();
    const std::lock_guard guard(p.lock);
    auto previous = std::move(p.facts);
    p.facts = std::move(facts);
    return previous;
}

} // namespace tally
