#include "platform/hid/ReplayBackend.h"

#include "HidLogging.h"
#include "MainLoopDrain.h"
#include "ReportTarget.h"
#include "platform/hid/SensorReport.h"

#include <QElapsedTimer>
#include <algorithm>
#include <cstring>

namespace hid {

namespace {

// A stall of the main loop longer than this holds the playback clock instead of bursting.
constexpr std::int64_t kMaxLagUs = 100'000;

class ReplayDevice final : public Device {
public:
    explicit ReplayDevice(std::shared_ptr<const Recording> recording)
        : recording(std::move(recording))
        , drain([this] { deliverDue(); })
    {
    }

    ~ReplayDevice() override { *alive = false; }

    ReturnCode open() override
    {
        opened = true;
        return kSuccess;
    }

    ReturnCode setProperty(const std::string&, std::int64_t) override { return kSuccess; }

    void registerInputReportCallback(std::uint8_t* reportBuffer, std::size_t reportLength,
                                     InputReportCallback reportCallback, void* reportContext) override
    {
        target.set(reportBuffer, reportLength, reportCallback, reportContext);
    }

    void scheduleWithMainLoop() override
    {
        if (!opened || drain.isRunning()) {
            return;
        }
        next = 0;
        passStartUs = 0;
        heldUs = 0;
        clock.start();
        drain.start();
    }

    void unscheduleFromMainLoop() override { drain.stop(); }

    void close() override
    {
        drain.stop();
        opened = false;
    }

private:
    std::int64_t dueUs() const { return passStartUs + recording->records[next].timeUs; }

    void deliverDue()
    {
        std::int64_t nowUs = clock.nsecsElapsed() / 1000 - heldUs;
        if (const std::int64_t lag = nowUs - dueUs(); lag > kMaxLagUs) {
            heldUs += lag;
            nowUs -= lag;
        }
        const auto stillAlive = alive;
        while (dueUs() <= nowUs) {
            const ReplayRecord& record = recording->records[next];
            if (++next == recording->records.size()) {
                next = 0;
                passStartUs += recording->durationUs;
            }
            if (!target.ready()) {
                continue;
            }
            target.deliver(this, recording->bytes(record));
            if (!*stillAlive || !drain.isRunning()) {
                return; // destroyed, unscheduled or closed by the callback
            }
        }
    }

    std::shared_ptr<const Recording> recording; // never empty
    std::size_t next = 0;
    std::int64_t passStartUs = 0;
    std::int64_t heldUs = 0;
    QElapsedTimer clock;
    bool opened = false;
    ReportTarget target;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    detail::MainLoopDrain drain; // last: destroyed before the state it reads
};

} // namespace

ReplayBackend::ReplayBackend(std::filesystem::path file)
    : file(std::move(file))
{
}

std::shared_ptr<const Recording> ReplayBackend::load()
{
    ReplayParseResult result = loadRecording(file);
    if (!result.recording) {
        qCWarning(lcHid) << "replay:" << file.c_str() << "-" << describe(result.error).data();
        recording.reset();
    } else {
        recording = std::make_shared<const Recording>(std::move(*result.recording));
    }
    return recording;
}

ReturnCode ReplayBackend::matchingServices(std::string_view className, std::vector<ServiceId>& services)
{
    services.clear();
    if (className == kSensorServiceClass && load()) {
        services.push_back(kServiceId);
    }
    return kSuccess;
}

std::optional<PropertyDictionary> ReplayBackend::properties(ServiceId service)
{
    if (service != kServiceId) {
        return std::nullopt;
    }
    return PropertyDictionary{{kPrimaryUsagePageKey, kSensorUsagePage},
                              {kPrimaryUsageKey, kSensorUsage},
                              {"Product", std::string("Recorded sensor")}};
}

std::unique_ptr<Device> ReplayBackend::createDevice(ServiceId service)
{
    if (service != kServiceId || !(recording || load())) {
        return nullptr;
    }
    return std::make_unique<ReplayDevice>(recording);
}

} // namespace hid
