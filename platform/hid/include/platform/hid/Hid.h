#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

/// The HID device layer under the accelerometer service: enumerate sensor services with their
/// properties, create and open a device, set its properties, and receive its input reports on
/// the main loop. Backends: Linux hidraw, Linux IIO accelerometers, replay of a recorded file,
/// and (in tests) an in-memory fake.
namespace hid {

/// Result code of the device layer: 0 is success, anything else a failure (often -errno).
using ReturnCode = std::int32_t;
inline constexpr ReturnCode kSuccess = 0;

/// A value in a service's property dictionary.
using PropertyValue = std::variant<std::int64_t, double, bool, std::string>;
using PropertyDictionary = std::map<std::string, PropertyValue>;

/// One enumerated service. Ids are the backend's own and stay valid while the backend lives.
using ServiceId = std::uint64_t;

/// The report type of an input report.
inline constexpr std::uint32_t kInputReport = 0;

/// Called once per input report, on the main thread, with the context given at registration.
/// `report` points into the buffer registered with the callback, `length` is the report's size.
using InputReportCallback = void (*)(void* context, ReturnCode result, void* sender, std::uint32_t type,
                                     std::uint32_t reportId, std::uint8_t* report, std::ptrdiff_t length);
/// Called once, on the main thread, when a scheduled device stops delivering for good (a read
/// error or a hang-up), after every report read before it. `error` is -errno (-ENODEV for a
/// hang-up).
using RemovalCallback = void (*)(void* context, ReturnCode error);

/// An opened or openable sensor device. Destroying it releases the handle; it does not close an
/// open device, so its owner calls unscheduleFromMainLoop() and close() first.
class Device {
public:
    virtual ~Device() = default;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    /// Opens the device (options 0). kSuccess, or a failure code.
    virtual ReturnCode open() = 0;
    /// Sets an integer device property. Where the backend has no equivalent it does nothing.
    virtual ReturnCode setProperty(const std::string& key, std::int64_t value) = 0;
    /// Registers the report callback; reports are read into `buffer` (at most `length` bytes each).
    virtual void registerInputReportCallback(std::uint8_t* buffer, std::size_t length, InputReportCallback callback,
                                             void* context) = 0;
    /// Registers the callback for the loss of the device. A device that cannot be lost ignores it.
    virtual void registerRemovalCallback(RemovalCallback, void*) {}
    /// Starts delivering reports from the main (Qt) event loop.
    virtual void scheduleWithMainLoop() = 0;
    /// Stops delivering reports. No report is delivered after it returns.
    virtual void unscheduleFromMainLoop() = 0;
    /// Closes the device (options 0).
    virtual void close() = 0;

protected:
    Device() = default;
};

/// A source of sensor services.
class Backend {
public:
    virtual ~Backend() = default;
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    /// Enumerates the services of the class `className` into `services`, in enumeration order.
    /// kSuccess, or a failure code (then there is no sensor).
    virtual ReturnCode matchingServices(std::string_view className, std::vector<ServiceId>& services) = 0;
    /// The service's property dictionary; nullopt when it cannot be read.
    virtual std::optional<PropertyDictionary> properties(ServiceId service) = 0;
    /// A device handle for the service, or nullptr when it cannot be created.
    virtual std::unique_ptr<Device> createDevice(ServiceId service) = 0;
    /// The services of the class `className` that are there but that this user may not read,
    /// judged from their files' permissions without opening anything, in enumeration order. They
    /// may be among matchingServices() (a named backend lists them and open() fails) or not (the
    /// automatic choice leaves them out). A backend whose devices cannot be refused lists none.
    virtual ReturnCode unreadableServices(std::string_view className, std::vector<ServiceId>& services)
    {
        (void)className;
        services.clear();
        return kSuccess;
    }

protected:
    Backend() = default;
};

/// The service class and property keys of the motion sensor.
inline constexpr std::string_view kSensorServiceClass = "AppleSPUHIDDevice";
inline constexpr const char* kPrimaryUsagePageKey = "PrimaryUsagePage";
inline constexpr const char* kPrimaryUsageKey = "PrimaryUsage";

/// Which backend `makeBackend` builds.
enum class BackendKind { Automatic, Hidraw, Iio, Evdev, Replay, None };

struct BackendConfig {
    BackendKind kind = BackendKind::Automatic;
    /// Root that every sysfs and /dev path is taken relative to ("/" on a real system).
    std::string root = "/";
    /// The recording played by the replay backend.
    std::string replayFile;
};

/// Reads the configuration from the environment: THWACKO_SENSOR = auto | hidraw | iio | evdev | replay | none
/// (default auto), THWACKO_SENSOR_REPLAY = the recording for replay (default: the bundled one),
/// THWACKO_SENSOR_ROOT = the root of the device paths (default "/").
BackendConfig backendConfigFromEnvironment();
/// The same, with `resourceFolder` in place of the bundle's resource folder (nullopt: none, so
/// no default recording).
BackendConfig backendConfigFromEnvironment(const std::optional<std::filesystem::path>& resourceFolder);
/// Parses a backend name; nullopt for an unknown name.
std::optional<BackendKind> parseBackendKind(std::string_view name);

/// Builds the backend that `config` names. Automatic lists, in this order, hidraw nodes, IIO
/// accelerometers with a buffer, input-device accelerometers and IIO accelerometers without a
/// buffer, leaving out sensors that this user may not open (with a warning naming the file and
/// what grants access, and among unreadableServices()), and logs which sensor it hands out and
/// why. Building a backend touches no device.
std::unique_ptr<Backend> makeBackend(const BackendConfig& config);

} // namespace hid
