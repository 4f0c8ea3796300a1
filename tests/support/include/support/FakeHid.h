#pragma once

#include "platform/hid/Hid.h"

#include <array>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

/// What a fake device was asked to do, kept after the device is released.
struct FakeHidDeviceLog {
    hid::ServiceId service = 0;
    int opens = 0;
    int closes = 0;
    int schedules = 0;
    int unschedules = 0;
    bool scheduled = false;
    bool released = false;
    std::vector<std::pair<std::string, std::int64_t>> properties;
    std::uint8_t* buffer = nullptr;
    std::size_t bufferLength = 0;
    hid::InputReportCallback callback = nullptr;
    void* context = nullptr;
    hid::RemovalCallback removalCallback = nullptr;
    void* removalContext = nullptr;
};

/// One service of the fake backend and how it behaves.
struct FakeHidService {
    hid::ServiceId id = 0;
    std::optional<hid::PropertyDictionary> properties; ///< nullopt: cannot be read
    bool createFails = false;
    hid::ReturnCode openResult = hid::kSuccess;
    bool listed = true;      ///< among matchingServices()
    bool unreadable = false; ///< among unreadableServices()

    /// A service with the sensor's usage page and usage.
    static FakeHidService sensor(hid::ServiceId id);
};

/// An in-memory device backend: services with scripted properties and failures, and devices
/// that record every call and deliver reports on demand.
class FakeHidBackend final : public hid::Backend {
public:
    std::vector<FakeHidService> services;
    hid::ReturnCode enumerationResult = hid::kSuccess;

    int enumerations = 0;
    std::vector<hid::ServiceId> created;
    std::vector<std::shared_ptr<FakeHidDeviceLog>> devices; ///< one per created device, in order

    hid::ReturnCode matchingServices(std::string_view className, std::vector<hid::ServiceId>& out) override;
    std::optional<hid::PropertyDictionary> properties(hid::ServiceId service) override;
    std::unique_ptr<hid::Device> createDevice(hid::ServiceId service) override;
    hid::ReturnCode unreadableServices(std::string_view className, std::vector<hid::ServiceId>& out) override;

    /// Copies `report` into the newest device's registered buffer and calls its callback, like a
    /// device on the main loop. Returns false (delivering nothing) unless that device is scheduled.
    bool deliver(std::span<const std::uint8_t> report);
    /// Tells the newest device's owner that the device is gone with `error`, like a device whose
    /// read failed on the main loop. Returns false (telling nobody) unless that device is scheduled
    /// and a removal callback is registered.
    bool lose(hid::ReturnCode error);
    /// The newest device's log, or nullptr.
    FakeHidDeviceLog* lastDevice() const { return devices.empty() ? nullptr : devices.back().get(); }
};

/// A 22-byte sensor report with x, y, z in sensor units (1 g = 65536) at offsets 6, 10, 14.
std::array<std::uint8_t, 22> sensorReport(std::int32_t x, std::int32_t y, std::int32_t z);
/// The same with the values in g, rounded to sensor units.
std::array<std::uint8_t, 22> sensorReportG(double x, double y, double z);

} // namespace testsupport
