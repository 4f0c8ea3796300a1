#pragma once

#include "Services/Analytics.h"

#include "analytics/TallyType.h"

#include <optional>
#include <string>

/// The analytics facade's client bound to the Tally analytics client: initialise creates (or reuses)
/// the named instance and makes it the main one; track hands the event to the main instance.
class TallyAnalyticsClient final : public AnalyticsClient {
public:
    /// `serverURL`: where the events go when the configuration names no address (nullopt: the
    /// client's default endpoint); tests point it at a loopback server.
    explicit TallyAnalyticsClient(std::optional<std::string> serverURL = std::nullopt);

    void initialize(const AnalyticsConfiguration& configuration) override;
    void track(const std::string& event, const AnalyticsProperties& properties) override;

    /// The facade's property values as the client's.
    static tally::Properties tallyProperties(const AnalyticsProperties& properties);

private:
    std::optional<std::string> defaultServerURL;
};
