#pragma once

#include "analytics/TallyInstance.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace tally {

/// The client's front door: create or fetch instances by name and name the main one.
/// Only class-level operations; callable from any thread.
class Tally {
public:
    Tally() = delete;

    /// Creates the instance named `instanceName` (else the token), or reuses the one registered
    /// under that name (then the other arguments have no effect); either way it becomes the main
    /// instance. Automatic events are off.
    static std::shared_ptr<TallyInstance>
    initialize(const std::string& token, double flushInterval = 60,
               const std::optional<std::string>& instanceName = std::nullopt, bool optOutTrackingByDefault = false,
               bool useUniqueDistinctId = false, const std::optional<Properties>& superProperties = std::nullopt,
               const std::optional<std::string>& serverURL = std::nullopt, bool useGzipCompression = false);
    /// The same with a proxy server in place of the server address.
    static std::shared_ptr<TallyInstance>
    initialize(const std::string& token, double flushInterval, const std::optional<std::string>& instanceName,
               bool optOutTrackingByDefault, bool useUniqueDistinctId, const std::optional<Properties>& superProperties,
               const ProxyServerConfig& proxyServerConfig, bool useGzipCompression = false);

    static std::shared_ptr<TallyInstance> getInstance(const std::string& name);
    /// The main instance. Without one it reports the usage error and aborts: callers ask only after
    /// an initialize has returned.
    static std::shared_ptr<TallyInstance> mainInstance();
    /// The main instance, or nullptr with a warning.
    static std::shared_ptr<TallyInstance> safeMainInstance();
    static void setMainInstance(const std::string& name);
    static void removeInstance(const std::string& name);

    /// Stops every instance's timer, flushes what may be sent within `deliveryLimit` and closes the
    /// stores. The host calls it on the main thread as it quits, while its event loop still runs.
    static void shutdown(std::chrono::milliseconds deliveryLimit);
};

} // namespace tally
