#pragma once

#include "platform/hid/Hid.h"

#include <filesystem>
#include <functional>
#include <optional>

namespace hid {

/// Accelerometers that the kernel presents as input devices, read through evdev. Every
/// `<root>/dev/input/eventN` whose `<root>/sys/class/input/eventN/device` has the property
/// INPUT_PROP_ACCELEROMETER and the absolute axes X, Y and Z, or is one of the laptop drivers
/// that present their accelerometer as a joystick-like device (lis3lv02d "ST LIS3LV02DL
/// Accelerometer", "hdaps", "applesmc": X and Y, Z when present), is listed in the order of N
/// with id N and the sensor's usage page, usage and "Product" from `name`.
///
/// A device reads the events on a thread of its own and hands one sample per SYN_REPORT to the
/// main thread as the sensor's reports (see RateMatcher; the events' times give the time between
/// samples), each axis divided by the resolution the device reports (units per g), or by the
/// driver's known scale when it reports none. A read error or hang-up calls the removal
/// callback. Main thread only, but for the reader.
class EvdevBackend final : public Backend {
public:
    /// What the device says of one absolute axis.
    struct AxisInfo {
        std::int32_t value = 0;
        std::int32_t resolution = 0;
    };
    /// Asks the open device `fd` about `axis` (ABS_X = 0, ABS_Y, ABS_Z); nullopt when it cannot.
    using AxisQuery = std::function<std::optional<AxisInfo>(int fd, int axis)>;

    /// Touches nothing until asked; every path is taken below `root`. `query` stands in for the
    /// device's own answer (EVIOCGABS) where a test's recorded stream cannot give one.
    explicit EvdevBackend(std::filesystem::path root, AxisQuery query = {}, bool onlyPermitted = false);

    ReturnCode matchingServices(std::string_view className, std::vector<ServiceId>& services) override;
    std::optional<PropertyDictionary> properties(ServiceId service) override;
    std::unique_ptr<Device> createDevice(ServiceId service) override;
    /// Every accelerometer whose node this user may not read.
    ReturnCode unreadableServices(std::string_view className, std::vector<ServiceId>& services) override;

    /// Sensor units per g for a device that reports no resolution, by its name; nullopt when the
    /// name is not a known laptop driver.
    static std::optional<double> knownUnitsPerG(std::string_view name);

private:
    std::filesystem::path node(ServiceId service) const;
    std::filesystem::path sysfsDevice(ServiceId service) const;
    bool isAccelerometer(ServiceId service) const;

    std::filesystem::path root;
    AxisQuery query;
    bool onlyPermitted;
};

} // namespace hid
