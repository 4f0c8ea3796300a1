#include "platform/hid/IioBackend.h"

#include "IioDevice.h"
#include "IioSysfs.h"
#include "Permissions.h"
#include "SysfsFile.h"
#include "platform/hid/SensorReport.h"

namespace hid {

namespace fs = std::filesystem;
using namespace detail::iio;

IioBackend::IioBackend(fs::path root, Kind kind)
    : root(std::move(root))
    , kind(kind)
{
}

void IioBackend::observeWrites(WriteObserver writeObserver) { *observer = std::move(writeObserver); }

void IioBackend::openNodesWith(NodeOpener nodeOpener) { *opener = std::move(nodeOpener); }

fs::path IioBackend::deviceFolder(ServiceId service) const
{
    return root / "sys/bus/iio/devices" / (std::string(kDevicePrefix) + std::to_string(service));
}

bool IioBackend::lists(ServiceId service) const
{
    const fs::path folder = deviceFolder(service);
    if (!isAccelerometer(folder)) {
        return false;
    }
    switch (kind) {
    case Kind::Any:
        return true;
    case Kind::Polled:
        return hasRawFiles(folder);
    case Kind::Buffered: {
        if (!hasScanElements(folder)) {
            return false;
        }
        const fs::path node = root / "dev" / (std::string(kDevicePrefix) + std::to_string(service));
        if (!fileExists(node)) {
            return false;
        }
        for (const fs::path& file : {node, folder / "buffer/enable"}) {
            if (!detail::mayOpen(file, file != node)) {
                detail::warnAboutPermission("iio", file);
                return false;
            }
        }
        return true;
    }
    }
    return false;
}

ReturnCode IioBackend::unreadableServices(std::string_view className, std::vector<ServiceId>& services)
{
    return detail::numberedServices(className, root / "sys/bus/iio/devices", kDevicePrefix, services,
                                    [this](ServiceId number) {
        const fs::path folder = deviceFolder(number);
        if (!isAccelerometer(folder)) {
            return false;
        }
        const fs::path node = root / "dev" / (std::string(kDevicePrefix) + std::to_string(number));
        const bool buffer = kind != Kind::Polled && hasScanElements(folder) && fileExists(node);
        const bool bufferUsable = buffer && detail::mayOpen(node) && detail::mayOpen(folder / "buffer/enable", true);
        const bool raw = kind != Kind::Buffered && hasRawFiles(folder);
        return (buffer || raw) && !bufferUsable && !(raw && rawFilesReadable(folder));
    });
}

ReturnCode IioBackend::matchingServices(std::string_view className, std::vector<ServiceId>& services)
{
    return detail::numberedServices(className, root / "sys/bus/iio/devices", kDevicePrefix, services,
                                    [this](ServiceId number) { return lists(number); });
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
    const fs::path node = root / "dev" / (std::string(kDevicePrefix) + std::to_string(service));
    std::string name = readText(folder / "name");
    return makeDevice(folder, node, std::move(name), service, kind, observer, opener, root);
}

} // namespace hid
