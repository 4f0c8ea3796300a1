#include "platform/hid/HidrawBackend.h"

#include "HidLogging.h"
#include "MainLoopDrain.h"
#include "Permissions.h"
#include "ReportTarget.h"
#include "SysfsFile.h"
#include "platform/hid/ReportDescriptor.h"
#include "platform/hid/SensorReport.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hid {

namespace {

constexpr std::string_view kNodePrefix = "hidraw";
// hidraw queues at most 64 reports per reader; more reads than that in one drain mean the node
// is not behaving like hidraw, and the loop gets its turn back.
constexpr int kMaxReadsPerWakeUp = 1024;

std::string nodeName(ServiceId service) { return std::string(kNodePrefix) + std::to_string(service); }

class HidrawDevice final : public Device {
public:
    explicit HidrawDevice(std::filesystem::path node)
        : node(std::move(node))
        , drain([this] { deliverPending(); })
    {
    }

    ~HidrawDevice() override
    {
        *alive = false;
        drain.stop();
        closeDescriptor();
    }

    ReturnCode open() override
    {
        if (fd >= 0) {
            return kSuccess;
        }
        const int opened = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (opened < 0) {
            const int error = errno;
            if (error == EACCES || error == EPERM) {
                detail::warnAboutPermission("hidraw", node);
            }
            return -error;
        }
        struct stat info {};
        if (::fstat(opened, &info) != 0 || S_ISDIR(info.st_mode)) {
            const int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
            ::close(opened);
            return -error;
        }
        fd = opened;
        failed = false;
        return kSuccess;
    }

    ReturnCode setProperty(const std::string&, std::int64_t) override
    {
        // The report interval and power states are the device's own business under hidraw.
        return kSuccess;
    }

    void registerInputReportCallback(std::uint8_t* reportBuffer, std::size_t reportLength,
                                     InputReportCallback reportCallback, void* reportContext) override
    {
        target.set(reportBuffer, reportLength, reportCallback, reportContext);
    }

    void registerRemovalCallback(RemovalCallback callback, void* context) override
    {
        target.setRemoval(callback, context);
    }

    void scheduleWithMainLoop() override
    {
        if (fd < 0 || drain.isRunning() || failed) {
            return;
        }
        drain.start();
    }

    void unscheduleFromMainLoop() override { drain.stop(); }

    void close() override
    {
        drain.stop();
        closeDescriptor();
    }

private:
    void closeDescriptor()
    {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    // Reads every report the node holds, in order, and hands each over.
    void deliverPending()
    {
        const auto stillAlive = alive;
        for (int reads = 0; reads < kMaxReadsPerWakeUp && drain.isRunning(); ++reads) {
            if (!readOne() || !*stillAlive) {
                return; // nothing more now, or destroyed by the callback
            }
        }
    }

    // Reads one report and hands it over; false when there is nothing more to read now.
    bool readOne()
    {
        std::uint8_t scratch[256];
        // Without a registered buffer the report is still read, so the node does not fill up.
        std::uint8_t* const into = target.ready() ? target.buffer : scratch;
        const std::size_t capacity = target.ready() ? target.length : sizeof scratch;
        const ssize_t n = ::read(fd, into, capacity);
        if (n < 0) {
            if (errno == EINTR) {
                return true;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                fail(errno);
            }
            return false;
        }
        if (n == 0) {
            fail(0); // the node hung up
            return false;
        }
        if (into == target.buffer) {
            target.callback(target.context, kSuccess, this, kInputReport, 0, target.buffer, n);
        }
        return true;
    }

    void fail(int error)
    {
        qCWarning(lcHid) << "hidraw: reading" << node.c_str()
                         << "failed:" << (error ? std::strerror(error) : "end of file") << "- no more reports";
        failed = true;
        drain.stop();
        target.lost(error ? -error : -ENODEV);
    }

    std::filesystem::path node;
    int fd = -1;
    ReportTarget target;
    bool failed = false;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    detail::MainLoopDrain drain; // last: stopped and destroyed before the state it reads
};

std::optional<std::string> productName(const std::filesystem::path& uevent)
{
    const std::optional<std::string> content = detail::readSmallFile(uevent);
    if (!content) {
        return std::nullopt;
    }
    constexpr std::string_view key = "HID_NAME=";
    std::string_view rest = *content;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        if (line.substr(0, key.size()) == key) {
            return std::string(detail::trimmed(line.substr(key.size())));
        }
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return std::nullopt;
}

} // namespace

HidrawBackend::HidrawBackend(std::filesystem::path root, bool onlyPermitted)
    : root(std::move(root))
    , onlyPermitted(onlyPermitted)
{
}

ReturnCode HidrawBackend::matchingServices(std::string_view className, std::vector<ServiceId>& services)
{
    return detail::numberedServices(className, root / "dev", kNodePrefix, services, [this](ServiceId number) {
        const std::filesystem::path node = root / "dev" / nodeName(number);
        if (onlyPermitted && !detail::mayOpen(node)) {
            const auto found = properties(number);
            if (found && found->count(kPrimaryUsagePageKey) &&
                found->at(kPrimaryUsagePageKey) == PropertyValue(kSensorUsagePage) &&
                found->at(kPrimaryUsageKey) == PropertyValue(kSensorUsage)) {
                detail::warnAboutPermission("hidraw", node);
            }
            return false;
        }
        return true;
    });
}

ReturnCode HidrawBackend::unreadableServices(std::string_view className, std::vector<ServiceId>& services)
{
    return detail::numberedServices(className, root / "dev", kNodePrefix, services, [this](ServiceId number) {
        return !detail::mayOpen(root / "dev" / nodeName(number));
    });
}

std::optional<PropertyDictionary> HidrawBackend::properties(ServiceId service)
{
    const std::filesystem::path device = root / "sys/class/hidraw" / nodeName(service) / "device";
    PropertyDictionary dictionary;
    if (const auto descriptor = detail::readSmallFile(device / "report_descriptor")) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(descriptor->data());
        if (const auto usage = parsePrimaryUsage({bytes, descriptor->size()})) {
            dictionary[kPrimaryUsagePageKey] = static_cast<std::int64_t>(usage->usagePage);
            dictionary[kPrimaryUsageKey] = static_cast<std::int64_t>(usage->usage);
        }
    }
    if (auto product = productName(device / "uevent")) {
        dictionary["Product"] = std::move(*product);
    }
    return dictionary;
}

std::unique_ptr<Device> HidrawBackend::createDevice(ServiceId service)
{
    return std::make_unique<HidrawDevice>(root / "dev" / nodeName(service));
}

} // namespace hid
