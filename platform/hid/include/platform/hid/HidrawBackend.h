#pragma once

#include "platform/hid/Hid.h"

#include <filesystem>

namespace hid {

/// Sensor services from Linux hidraw nodes. Every `<root>/dev/hidrawN` is a service of the sensor
/// class, listed in the order of N; its id is N. Its properties hold "PrimaryUsagePage" and
/// "PrimaryUsage" from `<root>/sys/class/hidraw/hidrawN/device/report_descriptor` (left out when
/// the descriptor cannot be read or names no usage) and "Product" from the HID_NAME in the
/// device's uevent file, when present.
///
/// A device opens its node read-only and non-blocking (open() returns -errno on failure) and,
/// once scheduled, reads it from the Qt event loop of the main thread through a QSocketNotifier:
/// one report per read() into the registered buffer, all waiting reports per wake-up.
/// setProperty() has no hidraw equivalent: it succeeds and does nothing. Destroying a device
/// also stops its delivery and closes its descriptor.
/// Main thread only.
class HidrawBackend final : public Backend {
public:
    /// Touches nothing until asked; every path is taken below `root`.
    explicit HidrawBackend(std::filesystem::path root);

    ReturnCode matchingServices(std::string_view className, std::vector<ServiceId>& services) override;
    std::optional<PropertyDictionary> properties(ServiceId service) override;
    std::unique_ptr<Device> createDevice(ServiceId service) override;

private:
    std::filesystem::path root;
};

} // namespace hid
