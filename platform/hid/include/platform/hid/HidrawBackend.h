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
/// A device opens its node read-only and non-blocking (open() returns -errno on failure, and
/// logs what grants access when permission is denied) and, once scheduled, reads it on the main
/// thread in batches: every report the node holds, one per read() into the registered buffer,
/// just before the main thread handles any other event, and every 10 ms when nothing else wakes
/// it (hidraw keeps 64 reports per reader). A read error or hang-up ends delivery and calls the
/// removal callback.
/// setProperty() has no hidraw equivalent: it succeeds and does nothing. Destroying a device
/// also stops its delivery and closes its descriptor.
/// Main thread only.
class HidrawBackend final : public Backend {
public:
    /// Touches nothing until asked; every path is taken below `root`. With `onlyPermitted`, a
    /// node this user may not read is left out, with a warning when it is the sensor.
    explicit HidrawBackend(std::filesystem::path root, bool onlyPermitted = false);

    ReturnCode matchingServices(std::string_view className, std::vector<ServiceId>& services) override;
    std::optional<PropertyDictionary> properties(ServiceId service) override;
    std::unique_ptr<Device> createDevice(ServiceId service) override;
    /// Every node this user may not read.
    ReturnCode unreadableServices(std::string_view className, std::vector<ServiceId>& services) override;

private:
    std::filesystem::path root;
    bool onlyPermitted;
};

} // namespace hid
