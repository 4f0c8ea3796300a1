#pragma once

#include "analytics/ReadWriteLock.h"
#include "analytics/TallyInstance.h"

#include "platform/foundation/DispatchQueue.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tally {

/// The one registry of the process: every instance under its name, and the main instance.
/// Created on first use and never destroyed. Every operation may be called from any thread.
class TallyManager {
public:
    static TallyManager& sharedInstance();

    /// Looks the name up, or creates the instance with `options` when it is new; either way it
    /// becomes the main instance. Creation runs on the registry's serial queue while the caller waits.
    std::shared_ptr<TallyInstance> initialize(const TallyInstance::Options& options);
    std::shared_ptr<TallyInstance> getInstance(const std::string& name);
    std::shared_ptr<TallyInstance> getMainInstance();
    std::vector<std::shared_ptr<TallyInstance>> getAllInstances();
    void setMainInstance(const std::string& name);
    void removeInstance(const std::string& name);

    /// Shuts every registered instance down (see TallyInstance::shutdown), sharing `deliveryLimit`.
    void shutdown(std::chrono::milliseconds deliveryLimit);

private:
    TallyManager();

    std::map<std::string, std::shared_ptr<TallyInstance>> instances;
    std::shared_ptr<TallyInstance> mainInstance;
    ReadWriteLock readWriteLock;
    foundation::DispatchQueue instanceQueue;
};

} // namespace tally
