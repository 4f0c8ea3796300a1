#include "platform/hid/EvdevBackend.h"

#include "HidLogging.h"
#include "Permissions.h"
#include "SysfsFile.h"
#include "ThreadedDevice.h"
#include "platform/hid/SensorReport.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace hid {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kNodePrefix = "event";

struct KnownDriver {
    std::string_view name;
    double unitsPerG;
};

// Laptop drivers that present their accelerometer as a joystick-like input device without a
// resolution: lis3lv02d reports milli-g; hdaps and applesmc report raw counts of about 256 per g.
constexpr std::array<KnownDriver, 3> kKnownDrivers = {{
    {"ST LIS3LV02DL Accelerometer", 1000.0},
    {"hdaps", 256.0},
    {"applesmc", 256.0},
}};

// Bit `bit` of a sysfs bitmap ("1 0 7": space-separated hexadecimal words, the highest first).
bool bitmapHas(std::string_view text, unsigned bit)
{
    std::vector<std::string_view> words;
    text = detail::trimmed(text);
    while (!text.empty()) {
        const auto end = text.find(' ');
        words.push_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : detail::trimmed(text.substr(end));
    }
    constexpr unsigned kWordBits = sizeof(unsigned long) * 8;
    const std::size_t word = bit / kWordBits;
    if (word >= words.size()) {
        return false;
    }
    const std::string digits(words[words.size() - 1 - word]);
    char* end = nullptr;
    const unsigned long value = std::strtoul(digits.c_str(), &end, 16);
    return end && *end == '\0' && ((value >> (bit % kWordBits)) & 1);
}

std::optional<EvdevBackend::AxisInfo> askDevice(int fd, int axis)
{
    input_absinfo info{};
    if (::ioctl(fd, EVIOCGABS(axis), &info) != 0) {
        return std::nullopt;
    }
    return EvdevBackend::AxisInfo{info.value, info.resolution};
}

class EvdevDevice final : public detail::ThreadedDevice {
public:
    EvdevDevice(fs::path node, std::string name, bool hasZ, EvdevBackend::AxisQuery query)
        : node(std::move(node))
        , name(std::move(name))
        , hasZ(hasZ)
        , query(std::move(query))
    {
    }

    ~EvdevDevice() override
    {
        stopReader();
        closeSource();
    }

private:
    ReturnCode openSource() override
    {
        const int opened = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (opened < 0) {
            const int error = errno;
            if (error == EACCES || error == EPERM) {
                detail::warnAboutPermission("evdev", node);
            }
            return -error;
        }
        fd = opened;
        const double fallback = EvdevBackend::knownUnitsPerG(name).value_or(0.0);
        for (int axis = 0; axis < 3; ++axis) {
            const auto at = static_cast<std::size_t>(axis);
            const bool present = axis < 2 || hasZ;
            const auto info = present ? (query ? query(fd, axis) : askDevice(fd, axis)) : std::nullopt;
            values[at] = info ? info->value : 0;
            const double resolution = info && info->resolution > 0 ? info->resolution : fallback;
            if (present && resolution <= 0) {
                qCWarning(lcHid) << "evdev:" << node.c_str() << "reports no resolution for axis" << axis
                                 << "- cannot scale it to g";
                closeSource();
                return -EINVAL;
            }
            unitsPerG[at] = present ? resolution : 1.0;
        }
        return kSuccess;
    }

    void closeSource() override
    {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    // The axes' current values, asked of the device; an axis it does not answer for keeps its own.
    void readAxes()
    {
        for (int axis = 0; axis < (hasZ ? 3 : 2); ++axis) {
            if (const auto info = query ? query(fd, axis) : askDevice(fd, axis)) {
                values[static_cast<std::size_t>(axis)] = info->value;
            }
        }
    }

    std::array<std::int32_t, 3> units() const
    {
        std::array<std::int32_t, 3> result{};
        for (std::size_t i = 0; i < 3; ++i) {
            result[i] = sensorUnitsFromG(values[i] / unitsPerG[i]);
        }
        return result;
    }

    void runReader(int stopFd, detail::SampleSink& sink) override
    {
        std::array<std::uint8_t, sizeof(input_event) * 64> data{};
        std::size_t held = 0;
        std::optional<std::int64_t> lastUs;
        bool dropping = false;
        for (;;) {
            const std::size_t n = detail::readWhenReady(fd, stopFd, std::span(data).subspan(held), sink);
            if (n == 0) {
                return;
            }
            held += n;
            std::size_t at = 0;
            for (; at + sizeof(input_event) <= held; at += sizeof(input_event)) {
                input_event event{};
                std::memcpy(&event, data.data() + at, sizeof event);
                if (event.type == EV_ABS && event.code <= ABS_Z) {
                    values[event.code] = event.value;
                } else if (event.type == EV_SYN && event.code == SYN_DROPPED) {
                    dropping = true; // the events up to the next report are incomplete
                } else if (event.type == EV_SYN && event.code == SYN_REPORT) {
                    const std::int64_t timeUs =
                        static_cast<std::int64_t>(event.input_event_sec) * 1'000'000 + event.input_event_usec;
                    if (dropping) {
                        readAxes(); // what the lost events changed is only known to the device now
                    } else {
                        sink.push(units(), lastUs ? static_cast<double>(timeUs - *lastUs) : 0.0);
                    }
                    dropping = false;
                    lastUs = timeUs;
                }
            }
            std::memmove(data.data(), data.data() + at, held - at);
            held -= at;
        }
    }

    fs::path node;
    std::string name;
    bool hasZ;
    EvdevBackend::AxisQuery query;
    int fd = -1;
    std::array<std::int32_t, 3> values{};
    std::array<double, 3> unitsPerG{1.0, 1.0, 1.0};
};

} // namespace

EvdevBackend::EvdevBackend(fs::path root, AxisQuery query, bool onlyPermitted)
    : root(std::move(root))
    , query(std::move(query))
    , onlyPermitted(onlyPermitted)
{
}

std::optional<double> EvdevBackend::knownUnitsPerG(std::string_view name)
{
    for (const KnownDriver& driver : kKnownDrivers) {
        if (driver.name == name) {
            return driver.unitsPerG;
        }
    }
    return std::nullopt;
}

fs::path EvdevBackend::node(ServiceId service) const
{
    return root / "dev/input" / (std::string(kNodePrefix) + std::to_string(service));
}

fs::path EvdevBackend::sysfsDevice(ServiceId service) const
{
    return root / "sys/class/input" / (std::string(kNodePrefix) + std::to_string(service)) / "device";
}

bool EvdevBackend::isAccelerometer(ServiceId service) const
{
    const fs::path device = sysfsDevice(service);
    const std::string abs = detail::readSmallFile(device / "capabilities/abs").value_or("");
    const bool xy = bitmapHas(abs, ABS_X) && bitmapHas(abs, ABS_Y);
    const std::string name(detail::trimmed(detail::readSmallFile(device / "name").value_or("")));
    if (knownUnitsPerG(name)) {
        return xy;
    }
    return xy && bitmapHas(abs, ABS_Z) &&
           bitmapHas(detail::readSmallFile(device / "properties").value_or(""), INPUT_PROP_ACCELEROMETER);
}

ReturnCode EvdevBackend::matchingServices(std::string_view className, std::vector<ServiceId>& services)
{
    return detail::numberedServices(className, root / "dev/input", kNodePrefix, services, [this](ServiceId number) {
        if (!isAccelerometer(number)) {
            return false;
        }
        if (onlyPermitted && !detail::mayOpen(node(number))) {
            detail::warnAboutPermission("evdev", node(number));
            return false;
        }
        return true;
    });
}

ReturnCode EvdevBackend::unreadableServices(std::string_view className, std::vector<ServiceId>& services)
{
    return detail::numberedServices(className, root / "dev/input", kNodePrefix, services, [this](ServiceId number) {
        return isAccelerometer(number) && !detail::mayOpen(node(number));
    });
}

std::optional<PropertyDictionary> EvdevBackend::properties(ServiceId service)
{
    if (!isAccelerometer(service)) {
        return std::nullopt;
    }
    PropertyDictionary dictionary{{kPrimaryUsagePageKey, kSensorUsagePage}, {kPrimaryUsageKey, kSensorUsage}};
    if (const auto name = detail::readSmallFile(sysfsDevice(service) / "name")) {
        dictionary["Product"] = std::string(detail::trimmed(*name));
    }
    return dictionary;
}

std::unique_ptr<Device> EvdevBackend::createDevice(ServiceId service)
{
    if (!isAccelerometer(service)) {
        return nullptr;
    }
    const fs::path device = sysfsDevice(service);
    std::string name(detail::trimmed(detail::readSmallFile(device / "name").value_or("")));
    const bool hasZ = bitmapHas(detail::readSmallFile(device / "capabilities/abs").value_or(""), ABS_Z);
    return std::make_unique<EvdevDevice>(node(service), std::move(name), hasZ, query);
}

} // namespace hid
