#pragma once

#include "platform/hid/Hid.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace hid {

/// Linux IIO accelerometers presented as the sensor service. Every
/// `<root>/sys/bus/iio/devices/iio:deviceN` with a scale (`in_accel_scale`, or
/// `in_accel_{x,y,z}_scale` for each axis) and either `in_accel_{x,y,z}_raw` or the three
/// `scan_elements/in_accel_{x,y,z}_en` is listed, in the order of N, with id N; its properties
/// are the sensor's usage page and usage and "Product" from `name`. Offsets (`in_accel_offset`
/// or per axis) are optional.
///
/// A device reads its samples on a thread of its own, never on the main thread, and hands them
/// to the main thread as the sensor's 22-byte reports, (raw + offset) × scale in m/s² converted
/// to sensor units, in batches (see RateMatcher for how many reports carry each sample):
/// - through the buffer (`<root>/dev/iio:deviceN`) where the device has scan elements: at
///   scheduling it sets the highest `sampling_frequency` the device offers up to 1 kHz, attaches
///   the device's own trigger (else an hrtimer trigger made in configfs, else it polls), enables
///   the three axes and the timestamp, sets the buffer's length and watermark and enables it,
///   all in the kernel's order; unscheduling undoes each step in reverse. Samples are decoded
///   by their scan types; the timestamps, when present, give the time between samples, else the
///   sampling frequency, else the time between reads.
/// - by polling `in_accel_{x,y,z}_raw` at `sampling_frequency`, at most 200 Hz, where the device
///   has no buffer or trigger, or when another process holds the buffer (EBUSY, with a warning).
/// open() returns -errno when the source cannot be opened (a permission failure is logged with
/// what grants access). A read error or hang-up of the buffer, and polling that fails with
/// ENODEV or 200 times in a row (a failed read repeats the last reading), call the removal
/// callback.
/// Destroying a device also stops it and closes its files. Main thread only.
class IioBackend final : public Backend {
public:
    /// Which of the accelerometers the backend lists and how it reads them.
    enum class Kind {
        Any,      ///< every accelerometer, through the buffer where possible
        Buffered, ///< only those with a buffer this user may use
        Polled,   ///< every accelerometer with raw files, always polled
    };

    /// Touches nothing until asked; every path is taken below `root`.
    explicit IioBackend(std::filesystem::path root, Kind kind = Kind::Any);

    ReturnCode matchingServices(std::string_view className, std::vector<ServiceId>& services) override;
    std::optional<PropertyDictionary> properties(ServiceId service) override;
    std::unique_ptr<Device> createDevice(ServiceId service) override;
    /// Every accelerometer of this kind that this user may read through neither its buffer (the
    /// node, and `buffer/enable` to write) nor its raw files.
    ReturnCode unreadableServices(std::string_view className, std::vector<ServiceId>& services) override;

    /// Called with every sysfs attribute (or configfs folder, with the value "mkdir"/"rmdir")
    /// the devices write, in order; for watching the order of the steps.
    using WriteObserver = std::function<void(const std::filesystem::path& file, const std::string& value)>;
    void observeWrites(WriteObserver observer);
    /// Opens the buffer's character device in place of open(2) (returning a descriptor, or -1
    /// with errno set); for standing in for a device that another process holds.
    using NodeOpener = std::function<int(const std::filesystem::path& node, int flags)>;
    void openNodesWith(NodeOpener opener);

    /// The fastest rate at which a device re-reads its raw files.
    static constexpr double kMaxReadRateHz = 200.0;
    /// The fastest sampling frequency a device is set to.
    static constexpr double kMaxSamplingHz = 1000.0;

private:
    std::filesystem::path deviceFolder(ServiceId service) const;
    bool lists(ServiceId service) const;

    std::filesystem::path root;
    Kind kind;
    std::shared_ptr<WriteObserver> observer = std::make_shared<WriteObserver>();
    std::shared_ptr<NodeOpener> opener = std::make_shared<NodeOpener>();
};

} // namespace hid
