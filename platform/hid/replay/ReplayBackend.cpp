#include "platform/hid/ReplayBackend.h"

#include "HidLogging.h"
#include "MainLoopPacer.h"
#include "ReportTarget.h"
#include "platform/hid/SensorReport.h"

#include <algorithm>
#include <cstring>

namespace hid {

namespace {

class ReplayDevice final : public Device {
public:
    explicit ReplayDevice(std::shared_ptr<const Recording> recording)
        : recording(std::move(recording))
        , pacer([this](std::int64_t nowUs) { return deliverDue(nowUs); })
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
        if (!opened || pacer.isRunning()) {
            return;
        }
        next = 0;
        passStartUs = 0;
        pacer.start(dueUs());
    }

    void unscheduleFromMainLoop() override { pacer.stop(); }

    void close() override
    {
        pacer.stop();
        opened = false;
    }

private:
    std::int64_t dueUs() const { return passStartUs + recording->records[next].timeUs; }

    std::optional<std::int64_t> deliverDue(std::int64_t nowUs)
    {
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
            if (!*stillAlive || !pacer.isRunning()) {
                return std::nullopt; // destroyed, unscheduled or closed by the callback
            }
        }
        return dueUs();
    }

    std::shared_ptr<const Recording> recording; // never empty
    std::size_t next = 0;
    std::int64_t passStartUs = 0;
    bool opened = false;
    ReportTarget target;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    detail::MainLoopPacer pacer; // last: destroyed before the state it reads
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
