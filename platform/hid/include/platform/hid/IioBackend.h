#pragma once

#include "platform/hid/Hid.h"

#include <filesystem>

namespace hid {

/// Linux IIO accelerometers presented as the sensor service. Every
/// `<root>/sys/bus/iio/devices/iio:deviceN` with `in_accel_{x,y,z}_raw` and a scale
/// (`in_accel_scale`, or `in_accel_{x,y,z}_scale` for each axis) is listed, in the order of N,
/// with id N; its properties are the sensor's usage page and usage and "Product" from `name`.
/// Offsets (`in_accel_offset` or per axis) are optional.
///
/// A device synthesises the sensor's 22-byte reports from the readings, (raw + offset) × scale
/// in m/s² converted to sensor units, and delivers them on the Qt event loop of the main thread
/// at the "ReportInterval" set through setProperty() (microseconds, default 1000). The raw files
/// are re-read at most at `sampling_frequency` and never faster than 200 Hz; reports in between
/// repeat the last reading. open() returns -errno when a raw file or the scale cannot be read.
/// Destroying a device also stops its delivery and closes its files.
/// Main thread only.
class IioBackend final : public Backend {
public:
    /// Touches nothing until asked; every path is taken below `root`.
    explicit IioBackend(std::filesystem::path root);

    ReturnCode matchingServices(std::string_view className, std::vector<ServiceId>& services) override;
    std::optional<PropertyDictionary> properties(ServiceId service) override;
    std::unique_ptr<Device> createDevice(ServiceId service) override;

    /// The fastest rate at which a device re-reads its raw files.
    static constexpr double kMaxReadRateHz = 200.0;

private:
    std::filesystem::path deviceFolder(ServiceId service) const;

    std::filesystem::path root;
};

} // namespace hid
