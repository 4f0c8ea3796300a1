#include "platform/hid/ReplayBackend.h"

#include "ReportSink.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <fstream>
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using hidtest::ReportSink;

constexpr std::uint32_t kStepUs = 10'000;
constexpr std::uint32_t kRecordCount = 5;
constexpr std::uint32_t kDurationUs = kStepUs * kRecordCount;

// Five 22-byte reports 10 ms apart, each carrying its index in byte 0; one pass lasts 50 ms.
hid::Recording steps()
{
    hid::Recording recording;
    recording.durationUs = kDurationUs;
    for (std::uint32_t i = 0; i < kRecordCount; ++i) {
        std::vector<std::uint8_t> report(22, 0);
        report[0] = static_cast<std::uint8_t>(i);
        recording.append(i * kStepUs, report);
    }
    return recording;
}

class ReplayBackendTest : public ::testing::Test {
protected:
    fs::path writeRecording(const std::string& name, const hid::Recording& recording)
    {
        const auto bytes = hid::serializeRecording(recording);
        return dir.write(name, std::string(bytes.begin(), bytes.end()));
    }

    std::unique_ptr<hid::Device> startDevice(hid::ReplayBackend& backend, ReportSink& sink)
    {
        std::vector<hid::ServiceId> services;
        EXPECT_EQ(backend.matchingServices(hid::kSensorServiceClass, services), hid::kSuccess);
        EXPECT_EQ(services, std::vector<hid::ServiceId>{hid::ReplayBackend::kServiceId});
        auto device = backend.createDevice(hid::ReplayBackend::kServiceId);
        EXPECT_TRUE(device);
        if (!device) {
            return nullptr;
        }
        EXPECT_EQ(device->open(), hid::kSuccess);
        sink.attach(*device);
        sink.clock.start();
        device->scheduleWithMainLoop();
        return device;
    }

    testsupport::TempDir dir;
};

TEST_F(ReplayBackendTest, ListsTheSensorForAGoodFile)
{
    hid::ReplayBackend backend(writeRecording("good.replay", steps()));
    std::vector<hid::ServiceId> services;
    ASSERT_EQ(backend.matchingServices(hid::kSensorServiceClass, services), hid::kSuccess);
    ASSERT_EQ(services, std::vector<hid::ServiceId>{hid::ReplayBackend::kServiceId});
    const auto properties = backend.properties(services[0]);
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->at(hid::kPrimaryUsagePageKey), hid::PropertyValue(std::int64_t{0xFF00}));
    EXPECT_EQ(properties->at(hid::kPrimaryUsageKey), hid::PropertyValue(std::int64_t{3}));

    EXPECT_EQ(backend.matchingServices("IOHIDDevice", services), hid::kSuccess);
    EXPECT_TRUE(services.empty());
}

TEST_F(ReplayBackendTest, MissingOrCorruptFileListsNothing)
{
    auto bytes = hid::serializeRecording(steps());
    bytes.resize(bytes.size() - 3);
    const fs::path truncated = dir.write("truncated.replay", std::string(bytes.begin(), bytes.end()));
    for (const fs::path& file : {dir.path() / "absent.replay", truncated, dir.write("text.replay", "hello\n")}) {
        hid::ReplayBackend backend(file);
        std::vector<hid::ServiceId> services{7};
        EXPECT_EQ(backend.matchingServices(hid::kSensorServiceClass, services), hid::kSuccess) << file;
        EXPECT_TRUE(services.empty()) << file;
        EXPECT_FALSE(backend.createDevice(hid::ReplayBackend::kServiceId)) << file;
    }
}

TEST_F(ReplayBackendTest, PlaysInOrderAtTheRecordedPaceAndLoops)
{
    hid::ReplayBackend backend(writeRecording("steps.replay", steps()));
    ReportSink sink;
    auto device = startDevice(backend, sink);
    ASSERT_TRUE(device);
    EXPECT_TRUE(sink.reports.empty()) << "delivered outside the event loop";

    ASSERT_TRUE(testsupport::pumpUntil([&] { return sink.reports.size() >= 12; }));
    device->unscheduleFromMainLoop();
    for (std::size_t n = 0; n < sink.reports.size(); ++n) {
        ASSERT_EQ(sink.reports[n].size(), 22u);
        EXPECT_EQ(sink.reports[n][0], n % kRecordCount) << "report " << n;
        // Report n of the endless playback is due at n steps; it may come late, never early.
        EXPECT_GE(sink.arrivalsUs[n], static_cast<std::int64_t>(n * kStepUs)) << "report " << n;
    }
}

TEST_F(ReplayBackendTest, SchedulingAgainStartsOver)
{
    hid::ReplayBackend backend(writeRecording("steps.replay", steps()));
    ReportSink sink;
    auto device = startDevice(backend, sink);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return sink.reports.size() >= 3; }));
    device->unscheduleFromMainLoop();
    sink.reports.clear();
    device->scheduleWithMainLoop();
    ASSERT_TRUE(testsupport::pumpUntil([&] { return !sink.reports.empty(); }));
    EXPECT_EQ(sink.reports.front()[0], 0);
    device->close();
}

TEST_F(ReplayBackendTest, LongReportIsCutToTheBuffer)
{
    hid::Recording recording;
    recording.durationUs = 1000;
    recording.append(0, std::vector<std::uint8_t>(30, 0x5A));
    hid::ReplayBackend backend(writeRecording("long.replay", recording));
    ReportSink sink(22);
    auto device = startDevice(backend, sink);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return !sink.reports.empty(); }));
    EXPECT_EQ(sink.reports.front(), std::vector<std::uint8_t>(22, 0x5A));
    device->unscheduleFromMainLoop();
}

TEST_F(ReplayBackendTest, CallbackMayStopOrDestroyTheDevice)
{
    const fs::path file = writeRecording("steps.replay", steps());
    hid::ReplayBackend backend(file);
    hid::Recording dense;
    dense.durationUs = 1000;
    dense.append(0, std::vector<std::uint8_t>(22, 1));
    hid::ReplayBackend witnessBackend(writeRecording("dense.replay", dense));

    for (const bool destroy : {false, true}) {
        ReportSink sink;
        std::unique_ptr<hid::Device> device = startDevice(backend, sink);
        sink.onReport = [&] {
            if (sink.reports.size() < 2) {
                return;
            }
            if (destroy) {
                device.reset();
            } else {
                device->unscheduleFromMainLoop();
                device->close();
            }
        };
        ReportSink witness;
        auto other = startDevice(witnessBackend, witness);
        // The witness runs until well past the time the stopped device's next reports were due.
        ASSERT_TRUE(testsupport::pumpUntil(
            [&] { return witness.arrivalsUs.size() > 1 && witness.arrivalsUs.back() > 80'000; }));
        EXPECT_EQ(sink.reports.size(), 2u) << "destroy: " << destroy;
        other->unscheduleFromMainLoop();
    }
}

} // namespace
