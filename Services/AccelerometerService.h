#pragma once

#include "platform/hid/Hid.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

/// Why the sensor could not be started.
class AccelerometerError {
public:
    struct DeviceNotFound {};
    struct CannotOpen {
        std::int32_t code;
    };
    /// The started sensor stopped delivering (a read error or a hang-up).
    struct DeviceLost {
        std::int32_t code;
    };

    static AccelerometerError deviceNotFound() { return AccelerometerError(DeviceNotFound{}); }
    static AccelerometerError cannotOpen(std::int32_t code) { return AccelerometerError(CannotOpen{code}); }
    static AccelerometerError deviceLost(std::int32_t code) { return AccelerometerError(DeviceLost{code}); }

    bool isDeviceNotFound() const { return std::holds_alternative<DeviceNotFound>(value); }
    bool isDeviceLost() const { return std::holds_alternative<DeviceLost>(value); }
    /// A sensor that this user may not read (cannotOpen with -EACCES).
    bool isPermissionDenied() const;
    /// The open call's code for cannotOpen, the device layer's for deviceLost.
    std::int32_t code() const;
    /// The text the user is shown.
    std::string errorDescription() const;

private:
    explicit AccelerometerError(std::variant<DeviceNotFound, CannotOpen, DeviceLost> v)
        : value(v)
    {
    }
    std::variant<DeviceNotFound, CannotOpen, DeviceLost> value;
};

/// What the sensor check finds.
enum class SensorAvailability {
    available,   ///< a sensor this user may read
    notFound,    ///< no sensor at all
    notReadable, ///< a sensor, but this user may not read it
};

/// Finds the laptop's motion sensor, opens and configures it, and hands one decoded report in
/// eight to the sample handler as (x, y, z) in g.
///
/// Everything but the handler properties is used on the main thread; reports arrive there from
/// the main event loop. The handlers are guarded by a lock that is never held while one runs, so
/// a handler may set handlers or call disableCallbacks().
class AccelerometerService final {
public:
    using SampleHandler = std::function<void(double x, double y, double z)>;
    using ErrorHandler = std::function<void(const AccelerometerError&)>;
    using ReadyHandler = std::function<void()>;

    static constexpr std::int64_t pageVendor = 0xFF00;
    static constexpr std::int64_t usageAccel = 3;
    static constexpr std::ptrdiff_t imuReportLen = 22;
    static constexpr int imuDecimation = 8;
    static constexpr std::size_t imuDataOffset = 6;
    static constexpr std::size_t reportBufSize = 256;
    static constexpr double accelScale = 65536.0;

    /// Uses `backend`; touches no device.
    explicit AccelerometerService(std::shared_ptr<hid::Backend> backend);
    /// Stops the service first when it is started, so no report can reach a destroyed service.
    ~AccelerometerService();
    AccelerometerService(const AccelerometerService&) = delete;
    AccelerometerService& operator=(const AccelerometerService&) = delete;

    /// Whether there is a sensor and whether this user may read it, decided from the device
    /// files' permissions; opens nothing.
    SensorAvailability availability() const;
    /// True when there is a sensor this user may read; opens nothing.
    bool isAvailable() const { return availability() == SensorAvailability::available; }

    SampleHandler onSample() const;
    void setOnSample(SampleHandler handler);
    ErrorHandler onError() const;
    void setOnError(ErrorHandler handler);
    ReadyHandler onReady() const;
    void setOnReady(ReadyHandler handler);

    /// Finds, opens, configures and schedules the sensor, then calls onReady; on failure calls
    /// onError exactly once and stays idle: deviceNotFound without a sensor, cannotOpen with the
    /// open call's code, or with -EACCES for a sensor left unopened because this user may not
    /// read it. A no-op while started.
    /// When the started sensor is lost (a read error or hang-up), the service releases it, so a
    /// later start() opens it again, and calls onError with deviceLost, on the main thread.
    void start();
    /// Stops report delivery, closes the device and frees the buffer. Safe in any state.
    void stop();
    /// Stops accepting reports and clears all three handlers.
    void disableCallbacks();

    /// Whether a device is held (started).
    bool isStarted() const { return hidDevice != nullptr; }

    /// Decodes the little-endian signed 32-bit value at `offset` of a report into g.
    static double decodeAxis(const std::uint8_t* report, std::size_t offset);

private:
    struct SensorSearch {
        std::optional<hid::ServiceId> readable;         ///< the first sensor this user may read
        std::optional<hid::ServiceId> listedUnreadable; ///< else the first listed one it may not
        bool unreadable = false;                        ///< a sensor this user may not read is there
    };
    SensorSearch findSensorService() const;
    bool isSensor(hid::ServiceId service) const;
    struct OpenOutcome {
        std::unique_ptr<hid::Device> device; ///< the opened device, or nullptr
        bool openFailed = false;             ///< found, but not opened (already reported)
    };
    /// Applies the matching rule to the first sensor service, creates and opens its device.
    OpenOutcome findAndOpenDevice();
    void handleReport(const std::uint8_t* report, std::ptrdiff_t length);
    void handleDeviceLost(hid::ReturnCode code);
    static void removalCallback(void* context, hid::ReturnCode code);
    static void reportCallback(void* context, hid::ReturnCode result, void* sender, std::uint32_t type,
                               std::uint32_t reportId, std::uint8_t* report, std::ptrdiff_t length);

    template <typename Handler> Handler read(const std::shared_ptr<const Handler>& field) const;
    template <typename Handler> void replace(std::shared_ptr<const Handler>& field, Handler handler);

    std::shared_ptr<hid::Backend> backend;

    mutable std::mutex stateLock; // guards acceptingCallbacks and the three handlers
    bool acceptingCallbacks = false;
    std::unique_ptr<hid::Device> hidDevice;
    std::unique_ptr<std::uint8_t[]> reportBuffer;
    int decimationCounter = 0;
    // Shared so that taking a copy per report under the lock is a reference-count step, not an allocation.
    std::shared_ptr<const SampleHandler> sampleHandler;
    std::shared_ptr<const ErrorHandler> errorHandler;
    std::shared_ptr<const ReadyHandler> readyHandler;
};
