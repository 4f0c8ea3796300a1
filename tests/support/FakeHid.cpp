#include "support/FakeHid.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace testsupport {

namespace {

class FakeHidDevice final : public hid::Device {
public:
    FakeHidDevice(std::shared_ptr<FakeHidDeviceLog> log, hid::ReturnCode openResult)
        : log(std::move(log))
        , openResult(openResult)
    {
    }
    ~FakeHidDevice() override { log->released = true; }

    hid::ReturnCode open() override
    {
        ++log->opens;
        return openResult;
    }
    hid::ReturnCode setProperty(const std::string& key, std::int64_t value) override
    {
        log->properties.emplace_back(key, value);
        return hid::kSuccess;
    }
    void registerInputReportCallback(std::uint8_t* buffer, std::size_t length, hid::InputReportCallback callback,
                                     void* context) override
    {
        log->buffer = buffer;
        log->bufferLength = length;
        log->callback = callback;
        log->context = context;
    }
    void registerRemovalCallback(hid::RemovalCallback callback, void* context) override
    {
        log->removalCallback = callback;
        log->removalContext = context;
    }
    void scheduleWithMainLoop() override
    {
        ++log->schedules;
        log->scheduled = true;
    }
    void unscheduleFromMainLoop() override
    {
        ++log->unschedules;
        log->scheduled = false;
    }
    void close() override { ++log->closes; }

private:
    std::shared_ptr<FakeHidDeviceLog> log;
    hid::ReturnCode openResult;
};

void putLittleEndian(std::uint8_t* out, std::int32_t value)
{
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
}

} // namespace

FakeHidService FakeHidService::sensor(hid::ServiceId id)
{
    return FakeHidService{id,
                          hid::PropertyDictionary{{hid::kPrimaryUsagePageKey, std::int64_t{0xFF00}},
                                                  {hid::kPrimaryUsageKey, std::int64_t{3}}},
                          false,
                          hid::kSuccess,
                          true,
                          false};
}

hid::ReturnCode FakeHidBackend::matchingServices(std::string_view className, std::vector<hid::ServiceId>& out)
{
    ++enumerations;
    out.clear();
    if (enumerationResult != hid::kSuccess) {
        return enumerationResult;
    }
    if (className == hid::kSensorServiceClass) {
        for (const auto& service : services) {
            if (service.listed) {
                out.push_back(service.id);
            }
        }
    }
    return hid::kSuccess;
}

hid::ReturnCode FakeHidBackend::unreadableServices(std::string_view className, std::vector<hid::ServiceId>& out)
{
    out.clear();
    if (enumerationResult != hid::kSuccess) {
        return enumerationResult;
    }
    if (className == hid::kSensorServiceClass) {
        for (const auto& service : services) {
            if (service.unreadable) {
                out.push_back(service.id);
            }
        }
    }
    return hid::kSuccess;
}

std::optional<hid::PropertyDictionary> FakeHidBackend::properties(hid::ServiceId id)
{
    const auto it = std::find_if(services.begin(), services.end(), [id](const auto& s) { return s.id == id; });
    return it == services.end() ? std::nullopt : it->properties;
}

std::unique_ptr<hid::Device> FakeHidBackend::createDevice(hid::ServiceId id)
{
    created.push_back(id);
    const auto it = std::find_if(services.begin(), services.end(), [id](const auto& s) { return s.id == id; });
    if (it == services.end() || it->createFails) {
        return nullptr;
    }
    auto log = std::make_shared<FakeHidDeviceLog>();
    log->service = id;
    devices.push_back(log);
    return std::make_unique<FakeHidDevice>(log, it->openResult);
}

bool FakeHidBackend::deliver(std::span<const std::uint8_t> report)
{
    FakeHidDeviceLog* log = lastDevice();
    if (!log || !log->scheduled || log->released || !log->callback) {
        return false;
    }
    const std::size_t length = std::min(report.size(), log->bufferLength);
    std::memcpy(log->buffer, report.data(), length);
    log->callback(log->context, hid::kSuccess, nullptr, hid::kInputReport, 0, log->buffer,
                  static_cast<std::ptrdiff_t>(length));
    return true;
}

bool FakeHidBackend::lose(hid::ReturnCode error)
{
    FakeHidDeviceLog* log = lastDevice();
    if (!log || !log->scheduled || log->released || !log->removalCallback) {
        return false;
    }
    log->removalCallback(log->removalContext, error);
    return true;
}

std::array<std::uint8_t, 22> sensorReport(std::int32_t x, std::int32_t y, std::int32_t z)
{
    std::array<std::uint8_t, 22> report{};
    putLittleEndian(report.data() + 6, x);
    putLittleEndian(report.data() + 10, y);
    putLittleEndian(report.data() + 14, z);
    return report;
}

std::array<std::uint8_t, 22> sensorReportG(double x, double y, double z)
{
    auto units = [](double g) { return static_cast<std::int32_t>(std::lround(g * 65536.0)); };
    return sensorReport(units(x), units(y), units(z));
}

} // namespace testsupport
