#include "platform/hid/IioBackend.h"

#include "HidLogging.h"
#include "MainLoopPacer.h"
#include "ReportTarget.h"
#include "SysfsFile.h"
#include "platform/hid/SensorReport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace hid {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kDevicePrefix = "iio:device";
constexpr std::array<const char*, 3> kAxes = {"x", "y", "z"};
constexpr std::int64_t kDefaultReportIntervalUs = 1000;

fs::path rawFile(const fs::path& folder, const char* axis)
{
    return folder / (std::string("in_accel_") + axis + "_raw");
}

bool fileExists(const fs::path& path)
{
    std::error_code error;
    return fs::exists(path, error);
}

// A per-axis attribute (`in_accel_x_scale`), else the shared one (`in_accel_scale`).
std::optional<double> axisAttribute(const fs::path& folder, const char* axis, const char* attribute, int& error)
{
    for (const std::string& name :
         {std::string("in_accel_") + axis + "_" + attribute, std::string("in_accel_") + attribute}) {
        if (!fileExists(folder / name)) {
            continue;
        }
        const auto text = detail::readSmallFile(folder / name, &error);
        if (!text) {
            return std::nullopt;
        }
        const auto value = detail::parseNumber(*text);
        if (!value || !std::isfinite(*value)) {
            error = EINVAL;
            return std::nullopt;
        }
        return value;
    }
    error = ENOENT;
    return std::nullopt;
}

bool hasScale(const fs::path& folder, const char* axis)
{
    return fileExists(folder / (std::string("in_accel_") + axis + "_scale")) || fileExists(folder / "in_accel_scale");
}

bool isAccelerometer(const fs::path& folder)
{
    return std::all_of(kAxes.begin(), kAxes.end(),
                       [&](const char* axis) { return fileExists(rawFile(folder, axis)) && hasScale(folder, axis); });
}

// The device's own rate, when it states one: re-reading faster only repeats its last sample.
std::optional<double> samplingFrequency(const fs::path& folder)
{
    for (const char* name : {"in_accel_sampling_frequency", "sampling_frequency"}) {
        if (const auto text = detail::readSmallFile(folder / name)) {
            if (const auto value = detail::parseNumber(*text); value && *value > 0 && std::isfinite(*value)) {
                return value;
            }
        }
    }
    return std::nullopt;
}

class IioDevice final : public Device {
public:
    explicit IioDevice(fs::path folder)
        : folder(std::move(folder))
        , pacer([this](std::int64_t nowUs) { return deliverDue(nowUs); })
    {
    }

    ~IioDevice() override
    {
        *alive = false;
        closeFiles();
    }

    ReturnCode open() override
    {
        if (isOpen()) {
            return kSuccess;
        }
        std::array<Axis, 3> opened;
        for (std::size_t i = 0; i < kAxes.size(); ++i) {
            int error = 0;
            const auto scale = axisAttribute(folder, kAxes[i], "scale", error);
            if (!scale) {
                closeAll(opened);
                return -error;
            }
            const auto offset = axisAttribute(folder, kAxes[i], "offset", error);
            if (!offset && error != ENOENT) {
                closeAll(opened);
                return -error;
            }
            opened[i].scale = *scale;
            opened[i].offset = offset.value_or(0.0);
            opened[i].fd = ::open(rawFile(folder, kAxes[i]).c_str(), O_RDONLY | O_CLOEXEC);
            if (opened[i].fd < 0) {
                error = errno;
                closeAll(opened);
                return -error;
            }
        }
        axes = opened;
        const double readRate =
            std::min(samplingFrequency(folder).value_or(IioBackend::kMaxReadRateHz), IioBackend::kMaxReadRateHz);
        readPeriodUs = static_cast<std::int64_t>(std::ceil(1e6 / readRate));
        return kSuccess;
    }

    ReturnCode setProperty(const std::string& key, std::int64_t value) override
    {
        // Only the report interval has a meaning here; the power and reporting states are the
        // driver's.
        if (key == "ReportInterval" && value > 0) {
            reportIntervalUs = value;
        }
        return kSuccess;
    }

    void registerInputReportCallback(std::uint8_t* reportBuffer, std::size_t reportLength,
                                     InputReportCallback reportCallback, void* reportContext) override
    {
        target.set(reportBuffer, reportLength, reportCallback, reportContext);
    }

    void scheduleWithMainLoop() override
    {
        if (!isOpen() || pacer.isRunning()) {
            return;
        }
        nextReportUs = reportIntervalUs;
        nextReadUs = 0;
        pacer.start(nextReportUs);
    }

    void unscheduleFromMainLoop() override { pacer.stop(); }

    void close() override { closeFiles(); }

private:
    struct Axis {
        int fd = -1;
        double scale = 1.0;
        double offset = 0.0;
        std::int32_t units = 0; // the last reading
    };

    bool isOpen() const { return axes[0].fd >= 0; }

    static void closeAll(std::array<Axis, 3>& set)
    {
        for (Axis& axis : set) {
            if (axis.fd >= 0) {
                ::close(axis.fd);
                axis.fd = -1;
            }
        }
    }

    void closeFiles()
    {
        pacer.stop();
        closeAll(axes);
    }

    void readAxes()
    {
        for (Axis& axis : axes) {
            char text[64];
            const ssize_t n = ::pread(axis.fd, text, sizeof text - 1, 0);
            const auto raw =
                n > 0 ? detail::parseNumber(std::string_view(text, static_cast<std::size_t>(n))) : std::nullopt;
            if (!raw) {
                if (!warnedAboutRead) {
                    qCWarning(lcHid) << "iio: cannot read" << folder.c_str() << "- repeating the last reading";
                    warnedAboutRead = true;
                }
                continue;
            }
            const double metersPerSecondSquared = (*raw + axis.offset) * axis.scale;
            axis.units = sensorUnitsFromG(metersPerSecondSquared / kStandardGravity);
        }
    }

    std::optional<std::int64_t> deliverDue(std::int64_t nowUs)
    {
        const auto stillAlive = alive;
        while (nextReportUs <= nowUs) {
            if (nextReportUs >= nextReadUs) {
                readAxes();
                nextReadUs = nextReportUs + readPeriodUs;
            }
            nextReportUs += reportIntervalUs;
            if (!target.ready()) {
                continue;
            }
            target.deliver(this, makeSensorReport(axes[0].units, axes[1].units, axes[2].units));
            if (!*stillAlive || !pacer.isRunning()) {
                return std::nullopt; // destroyed, unscheduled or closed by the callback
            }
        }
        return nextReportUs;
    }

    fs::path folder;
    std::array<Axis, 3> axes;
    std::int64_t reportIntervalUs = kDefaultReportIntervalUs;
    std::int64_t readPeriodUs = 0;
    std::int64_t nextReportUs = 0;
    std::int64_t nextReadUs = 0;
    ReportTarget target;
    bool warnedAboutRead = false;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    detail::MainLoopPacer pacer; // last: stopped and destroyed before the state it reads
};

} // namespace

IioBackend::IioBackend(fs::path root)
    : root(std::move(root))
{
}

fs::path IioBackend::deviceFolder(ServiceId service) const
{
    return root / "sys/bus/iio/devices" / (std::string(kDevicePrefix) + std::to_string(service));
}

ReturnCode IioBackend::matchingServices(std::string_view className, std::vector<ServiceId>& services)
{
    services.clear();
    if (className != kSensorServiceClass) {
        return kSuccess;
    }
    int error = 0;
    const auto numbers = detail::numberedEntries(root / "sys/bus/iio/devices", kDevicePrefix, error);
    if (!numbers) {
        return error == ENOENT ? kSuccess : -error;
    }
    for (const std::uint64_t number : *numbers) {
        if (isAccelerometer(deviceFolder(number))) {
            services.push_back(number);
        }
    }
    return kSuccess;
}

std::optional<PropertyDictionary> IioBackend::properties(ServiceId service)
{
    const fs::path folder = deviceFolder(service);
    if (!isAccelerometer(folder)) {
        return std::nullopt;
    }
    PropertyDictionary dictionary{{kPrimaryUsagePageKey, kSensorUsagePage}, {kPrimaryUsageKey, kSensorUsage}};
    if (const auto name = detail::readSmallFile(folder / "name")) {
        dictionary["Product"] = std::string(detail::trimmed(*name));
    }
    return dictionary;
}

std::unique_ptr<Device> IioBackend::createDevice(ServiceId service)
{
    const fs::path folder = deviceFolder(service);
    if (!isAccelerometer(folder)) {
        return nullptr;
    }
    return std::make_unique<IioDevice>(std::move(folder));
}

} // namespace hid
