#include "app/TallyAnalyticsClient.h"

#include "analytics/Tally.h"

TallyAnalyticsClient::TallyAnalyticsClient(std::optional<std::string> serverURL)
    : defaultServerURL(std::move(serverURL))
{
}

tally::Properties TallyAnalyticsClient::tallyProperties(const AnalyticsProperties& properties)
{
    tally::Properties result;
    for (const auto& [key, value] : properties) {
        result.emplace(key, std::visit([](const auto& v) { return tally::TallyType(v); }, value));
    }
    return result;
}

void TallyAnalyticsClient::initialize(const AnalyticsConfiguration& configuration)
{
    std::optional<tally::Properties> superProperties;
    if (configuration.superProperties) {
        superProperties = tallyProperties(*configuration.superProperties);
    }
    tally::Tally::initialize(configuration.token, configuration.flushInterval, configuration.instanceName,
                             configuration.optOutTrackingByDefault, configuration.useUniqueDistinctId, superProperties,
                             configuration.serverURL ? configuration.serverURL : defaultServerURL,
                             configuration.useGzipCompression);
}

void TallyAnalyticsClient::track(const std::string& event, const AnalyticsProperties& properties)
{
    tally::Tally::mainInstance()->track(event, tallyProperties(properties));
}
