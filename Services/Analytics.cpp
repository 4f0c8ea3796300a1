#include "Services/Analytics.h"

#include <QString>

namespace {

/// The client until the application wires a real one: it drops everything.
class DroppingAnalyticsClient final : public AnalyticsClient {
public:
    void initialize(const AnalyticsConfiguration&) override {}
    void track(const std::string&, const AnalyticsProperties&) override {}
};

struct FacadeState {
    bool isEnabled = false;
    std::shared_ptr<AnalyticsClient> client = std::make_shared<DroppingAnalyticsClient>();
};

FacadeState& state()
{
    static FacadeState facade;
    return facade;
}

} // namespace

void Analytics::configure(const foundation::Bundle& bundle)
{
    const auto value = bundle.objectForInfoDictionaryKey("BonklyTallyToken");
    if (!value) {
        return;
    }
    const auto* text = value->get<std::string>();
    if (!text) {
        return;
    }
    // Unicode white space and line breaks, as the platform's trimming set.
    const std::string token = QString::fromStdString(*text).trimmed().toStdString();
    if (token.empty()) {
        return;
    }
    AnalyticsConfiguration configuration;
    configuration.token = token;
    state().client->initialize(configuration);
    state().isEnabled = true;
}

void Analytics::track(const std::string& event, const AnalyticsProperties& properties)
{
    if (!state().isEnabled) {
        return;
    }
    state().client->track(event, properties);
}

bool Analytics::isEnabled() { return state().isEnabled; }

std::shared_ptr<AnalyticsClient> Analytics::setClient(std::shared_ptr<AnalyticsClient> client)
{
    auto previous = std::move(state().client);
    state().client = client ? std::move(client) : std::make_shared<DroppingAnalyticsClient>();
    state().isEnabled = false;
    return previous;
}
