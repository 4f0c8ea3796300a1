#pragma once

#include "platform/foundation/Bundle.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

/// A property value of an analytics event: the application sends strings, integers, finite
/// 64-bit floats and Booleans only.
using AnalyticsValue = std::variant<std::string, std::int64_t, double, bool>;
using AnalyticsProperties = std::map<std::string, AnalyticsValue>;

/// How the facade initialises the analytics client.
struct AnalyticsConfiguration {
    std::string token;
    double flushInterval = 60;
    std::optional<std::string> instanceName; ///< nullopt: the client names the instance after the token
    bool optOutTrackingByDefault = false;
    bool useUniqueDistinctId = false;
    std::optional<AnalyticsProperties> superProperties;
    std::optional<std::string> serverURL; ///< nullopt: the client's default endpoint
    bool useGzipCompression = false;
};

/// The narrow seam between the facade and the analytics client.
class AnalyticsClient {
public:
    virtual ~AnalyticsClient() = default;
    /// Creates or reuses the instance named by the configuration and makes it the main instance.
    virtual void initialize(const AnalyticsConfiguration& configuration) = 0;
    /// Hands an event to the main instance; returns at once. Only called after initialize().
    virtual void track(const std::string& event, const AnalyticsProperties& properties) = 0;
};

/// The one door through which the application sends usage events. Every call is harmless when
/// no analytics token is configured: events are then dropped without a trace.
///
/// Used on the main thread only.
class Analytics {
public:
    Analytics() = delete;

    /// Reads "BonklyTallyToken" from the bundle's information dictionary and, when it is a
    /// string that is not blank, initialises the client with it (trimmed) and enables tracking.
    static void configure(const foundation::Bundle& bundle = foundation::Bundle::main());
    /// Sends `event` to the client's main instance when tracking is enabled; otherwise drops it.
    static void track(const std::string& event, const AnalyticsProperties& properties = {});

    /// Whether a configure() has succeeded in this process.
    static bool isEnabled();

    /// Replaces the client (the default drops every event); returns the previous one. Resets the
    /// enabled flag, so tests start from an unconfigured facade.
    static std::shared_ptr<AnalyticsClient> setClient(std::shared_ptr<AnalyticsClient> client);
};
