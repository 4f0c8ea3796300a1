#pragma once

#include "Services/Analytics.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

/// An analytics client that sends nothing and remembers every call. Header-only.
class RecordingAnalytics final : public AnalyticsClient {
public:
    using Event = std::pair<std::string, AnalyticsProperties>;

    std::vector<AnalyticsConfiguration> initializations;
    std::vector<Event> events;

    void initialize(const AnalyticsConfiguration& configuration) override { initializations.push_back(configuration); }
    void track(const std::string& event, const AnalyticsProperties& properties) override
    {
        events.emplace_back(event, properties);
    }

    /// The events called `name`, in order.
    std::vector<Event> named(const std::string& name) const
    {
        std::vector<Event> out;
        std::copy_if(events.begin(), events.end(), std::back_inserter(out),
                     [&](const Event& e) { return e.first == name; });
        return out;
    }
};

} // namespace testsupport
