#include "CompositeBackend.h"
#include "HidLogging.h"
#include "platform/foundation/Bundle.h"
#include "platform/hid/EvdevBackend.h"
#include "platform/hid/Hid.h"
#include "platform/hid/HidrawBackend.h"
#include "platform/hid/IioBackend.h"
#include "platform/hid/ReplayBackend.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace hid {

namespace {

// Lists nothing: the sensor is switched off.
class NoBackend final : public Backend {
public:
    NoBackend() = default;
    ReturnCode matchingServices(std::string_view, std::vector<ServiceId>& services) override
    {
        services.clear();
        return kSuccess;
    }
    std::optional<PropertyDictionary> properties(ServiceId) override { return std::nullopt; }
    std::unique_ptr<Device> createDevice(ServiceId) override { return nullptr; }
};

const char* environment(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

} // namespace

std::optional<BackendKind> parseBackendKind(std::string_view name)
{
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower == "auto") {
        return BackendKind::Automatic;
    }
    if (lower == "hidraw") {
        return BackendKind::Hidraw;
    }
    if (lower == "iio") {
        return BackendKind::Iio;
    }
    if (lower == "evdev") {
        return BackendKind::Evdev;
    }
    if (lower == "replay") {
        return BackendKind::Replay;
    }
    if (lower == "none") {
        return BackendKind::None;
    }
    return std::nullopt;
}

BackendConfig backendConfigFromEnvironment(const std::optional<std::filesystem::path>& resourceFolder)
{
    BackendConfig config;
    if (const char* kind = environment("THWACKO_SENSOR")) {
        if (const auto parsed = parseBackendKind(kind)) {
            config.kind = *parsed;
        } else {
            qCWarning(lcHid) << "THWACKO_SENSOR: unknown backend" << kind << "- using auto";
        }
    }
    if (const char* root = environment("THWACKO_SENSOR_ROOT")) {
        config.root = root;
    }
    if (const char* file = environment("THWACKO_SENSOR_REPLAY")) {
        config.replayFile = file;
    } else if (resourceFolder) {
        config.replayFile = (*resourceFolder / "sensor" / "knocks.replay").string();
    }
    return config;
}

BackendConfig backendConfigFromEnvironment()
{
    return backendConfigFromEnvironment(foundation::Bundle::main().resourcePath());
}

std::unique_ptr<Backend> makeBackend(const BackendConfig& config)
{
    switch (config.kind) {
    case BackendKind::Automatic: {
        // Best first: the vendor HID device, an IIO buffer, an input device, IIO polling.
        std::vector<std::unique_ptr<Backend>> parts;
        parts.push_back(std::make_unique<HidrawBackend>(config.root, true));
        parts.push_back(std::make_unique<IioBackend>(config.root, IioBackend::Kind::Buffered));
        parts.push_back(std::make_unique<EvdevBackend>(config.root, EvdevBackend::AxisQuery{}, true));
        parts.push_back(std::make_unique<IioBackend>(config.root, IioBackend::Kind::Polled));
        return std::make_unique<detail::CompositeBackend>(
            std::move(parts), std::vector<std::string>{"vendor HID", "IIO buffer", "input-device", "IIO polling"});
    }
    case BackendKind::Evdev:
        return std::make_unique<EvdevBackend>(config.root);
    case BackendKind::Hidraw:
        return std::make_unique<HidrawBackend>(config.root);
    case BackendKind::Iio:
        return std::make_unique<IioBackend>(config.root);
    case BackendKind::Replay:
        return std::make_unique<ReplayBackend>(config.replayFile);
    case BackendKind::None:
        break;
    }
    return std::make_unique<NoBackend>();
}

} // namespace hid
