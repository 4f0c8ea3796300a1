#include "analytics/Tally.h"

#include "analytics/TallyLogger.h"
#include "analytics/TallyManager.h"

#include <cstdio>
#include <cstdlib>

namespace tally {

namespace {

// What both initializers set alike.
TallyInstance::Options commonOptions(const std::string& token, double flushInterval,
                                     const std::optional<std::string>& instanceName, bool optOutTrackingByDefault,
                                     bool useUniqueDistinctId, const std::optional<Properties>& superProperties,
                                     bool useGzipCompression)
{
    TallyInstance::Options options;
    options.apiToken = token;
    options.flushInterval = flushInterval;
    options.name = instanceName.value_or(token);
    options.trackAutomaticEvents = false;
    options.optOutTrackingByDefault = optOutTrackingByDefault;
    options.useUniqueDistinctId = useUniqueDistinctId;
    options.superProperties = superProperties;
    options.useGzipCompression = useGzipCompression;
    return options;
}

} // namespace

std::shared_ptr<TallyInstance> Tally::initialize(const std::string& token, double flushInterval,
                                                 const std::optional<std::string>& instanceName,
                                                 bool optOutTrackingByDefault, bool useUniqueDistinctId,
                                                 const std::optional<Properties>& superProperties,
                                                 const std::optional<std::string>& serverURL, bool useGzipCompression)
{
    TallyInstance::Options options = commonOptions(token, flushInterval, instanceName, optOutTrackingByDefault,
                                                   useUniqueDistinctId, superProperties, useGzipCompression);
    options.serverURL = serverURL;
    return TallyManager::sharedInstance().initialize(options);
}

std::shared_ptr<TallyInstance> Tally::initialize(const std::string& token, double flushInterval,
                                                 const std::optional<std::string>& instanceName,
                                                 bool optOutTrackingByDefault, bool useUniqueDistinctId,
                                                 const std::optional<Properties>& superProperties,
                                                 const ProxyServerConfig& proxyServerConfig, bool useGzipCompression)
{
    TallyInstance::Options options = commonOptions(token, flushInterval, instanceName, optOutTrackingByDefault,
                                                   useUniqueDistinctId, superProperties, useGzipCompression);
    options.serverURL = proxyServerConfig.serverUrl;
    options.proxyServerDelegate = proxyServerConfig.delegate;
    return TallyManager::sharedInstance().initialize(options);
}

std::shared_ptr<TallyInstance> Tally::getInstance(const std::string& name)
{
    return TallyManager::sharedInstance().getInstance(name);
}

std::shared_ptr<TallyInstance> Tally::mainInstance()
{
    auto main = TallyManager::sharedInstance().getMainInstance();
    if (!main) {
        std::fputs("You have to call initialize(token:trackAutomaticEvents:) before calling the main instance, "
                   "or define a new main instance if removing the main one\n",
                   stderr);
        std::abort();
    }
    return main;
}

std::shared_ptr<TallyInstance> Tally::safeMainInstance()
{
    auto main = TallyManager::sharedInstance().getMainInstance();
    if (!main) {
        TallyLogger::warn(
            [] {
            return std::string("WARNING: Tally main instance is NOT initialized. Call Tally.initialize(...) first.");
            },
            __FILE__, "safeMainInstance()");
    }
    return main;
}

void Tally::setMainInstance(const std::string& name) { TallyManager::sharedInstance().setMainInstance(name); }

void Tally::removeInstance(const std::string& name) { TallyManager::sharedInstance().removeInstance(name); }

void Tally::shutdown(std::chrono::milliseconds deliveryLimit)
{
    TallyManager::sharedInstance().shutdown(deliveryLimit);
}

} // namespace tally
