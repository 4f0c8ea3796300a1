#include "platform/hid/IioBackend.h"

#include "ReportSink.h"
#include "platform/hid/SensorReport.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>
#include <map>
#include <ostream>

namespace {

namespace fs = std::filesystem;
using hidtest::ReportSink;
using hidtest::valueAt;

using Attributes = std::map<std::string, std::string>;

// A typical accelerometer: 1024 counts per g on z at rest.
const Attributes kAccelerometer = {
    {"name", "mma8452\n"},        {"in_accel_x_raw", "0\n"},           {"in_accel_y_raw", "0\n"},
    {"in_accel_z_raw", "1024\n"}, {"in_accel_scale", "0.009576806\n"},
};

class IioBackendTest : public ::testing::Test {
protected:
    fs::path addDevice(int number, const Attributes& attributes)
    {
        const fs::path folder = dir.mkdir("sys/bus/iio/devices/iio:device" + std::to_string(number));
        for (const auto& [name, value] : attributes) {
            dir.write(folder / name, value);
        }
        return folder;
    }

    std::unique_ptr<hid::Device> startDevice(int number, ReportSink& sink)
    {
        return hidtest::startDevice(backend, static_cast<hid::ServiceId>(number), sink);
    }

    testsupport::TempDir dir;
    hid::IioBackend backend{dir.path()};
};

TEST_F(IioBackendTest, ListsOnlyDevicesWithThreeAxesAndAScale)
{
    addDevice(10, kAccelerometer);
    Attributes perAxisScale = kAccelerometer;
    perAxisScale.erase("in_accel_scale");
    for (const char* axis : {"x", "y", "z"}) {
        perAxisScale[std::string("in_accel_") + axis + "_scale"] = "0.01";
    }
    addDevice(2, perAxisScale);
    addDevice(0, {{"name", "als\n"}, {"in_illuminance_raw", "12\n"}});
    Attributes noZ = kAccelerometer;
    noZ.erase("in_accel_z_raw");
    addDevice(1, noZ);
    Attributes noScale = kAccelerometer;
    noScale.erase("in_accel_scale");
    addDevice(3, noScale);
    dir.mkdir("sys/bus/iio/devices/trigger0");

    std::vector<hid::ServiceId> services;
    ASSERT_EQ(backend.matchingServices(hid::kSensorServiceClass, services), hid::kSuccess);
    EXPECT_EQ(services, (std::vector<hid::ServiceId>{2, 10}));

    EXPECT_EQ(backend.matchingServices("IOHIDDevice", services), hid::kSuccess);
    EXPECT_TRUE(services.empty());
    EXPECT_FALSE(backend.createDevice(1));
}

TEST_F(IioBackendTest, PresentsTheSensorUsage)
{
    addDevice(0, kAccelerometer);
    const auto properties = backend.properties(0);
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->at(hid::kPrimaryUsagePageKey), hid::PropertyValue(std::int64_t{0xFF00}));
    EXPECT_EQ(properties->at(hid::kPrimaryUsageKey), hid::PropertyValue(std::int64_t{3}));
    EXPECT_EQ(properties->at("Product"), hid::PropertyValue(std::string("mma8452")));
    EXPECT_FALSE(backend.properties(7));
}

struct ReadingCase {
    const char* name;
    Attributes attributes; // over kAccelerometer
    std::array<std::int32_t, 3> expected;
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const ReadingCase& row, std::ostream* out) { *out << row.name; }

const ReadingCase kReadings[] = {
    {"SharedScale", {}, {0, 0, 65536}},
    {"SharedOffset", {{"in_accel_z_raw", "1000"}, {"in_accel_offset", "24"}}, {1536, 1536, 65536}},
    {"PerAxisScaleOverridesShared",
     {{"in_accel_scale", "1"}, {"in_accel_x_scale", "9.80665"}, {"in_accel_x_raw", "1"}, {"in_accel_y_raw", "-3"}},
     {65536, -20048, 6843200}},
    {"PerAxisOffset",
     {{"in_accel_scale", "0.01"}, {"in_accel_x_raw", "-200"}, {"in_accel_x_offset", "-56"}, {"in_accel_z_raw", "0"}},
     {-17108, 0, 0}},
    {"NegativeAndFractional", {{"in_accel_y_raw", "-512"}, {"in_accel_y_scale", "0.019153613"}}, {0, -65536, 65536}},
    {"SaturatesAtInt32", {{"in_accel_z_raw", "2147483647"}, {"in_accel_scale", "1000"}}, {0, 0, 2147483647}},
};

class IioReadingTest : public IioBackendTest, public ::testing::WithParamInterface<ReadingCase> {};

TEST_P(IioReadingTest, ReportCarriesReadingInSensorUnits)
{
    Attributes attributes = kAccelerometer;
    for (const auto& [name, value] : GetParam().attributes) {
        attributes[name] = value;
    }
    addDevice(0, attributes);
    ReportSink sink;
    auto device = startDevice(0, sink);
    ASSERT_TRUE(device);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return !sink.reports.empty(); }));

    const std::vector<std::uint8_t>& report = sink.reports.front();
    ASSERT_EQ(report.size(), hid::kSensorReportLength);
    EXPECT_EQ(valueAt(report, 6), GetParam().expected[0]);
    EXPECT_EQ(valueAt(report, 10), GetParam().expected[1]);
    EXPECT_EQ(valueAt(report, 14), GetParam().expected[2]);
    for (const std::size_t zero : {0, 1, 2, 3, 4, 5, 18, 19, 20, 21}) {
        EXPECT_EQ(report[zero], 0) << "byte " << zero;
    }
    device->unscheduleFromMainLoop();
    device->close();
}

INSTANTIATE_TEST_SUITE_P(Readings, IioReadingTest, ::testing::ValuesIn(kReadings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(IioBackendTest, PollingDeliversOnTheMainThreadFromTheEventLoop)
{
    addDevice(0, kAccelerometer);
    ReportSink sink;
    std::vector<bool> onMainThread;
    sink.onReport = [&] { onMainThread.push_back(QThread::currentThread() == QCoreApplication::instance()->thread()); };
    auto device = startDevice(0, sink);
    EXPECT_TRUE(sink.reports.empty());
    ASSERT_TRUE(testsupport::pumpUntil([&] { return sink.reports.size() >= 20; }));
    device->unscheduleFromMainLoop();
    EXPECT_EQ(std::count(onMainThread.begin(), onMainThread.end(), false), 0);
}

TEST_F(IioBackendTest, EachPolledReadingOfASlowDeviceMakesEightReports)
{
    // A device that samples once every 1000 s is read once in this test, and that reading
    // reaches the service as eight reports, one of which it decodes.
    Attributes slow = kAccelerometer;
    slow["sampling_frequency"] = "0.001";
    const fs::path slowFolder = addDevice(0, slow);
    const fs::path fastFolder = addDevice(1, kAccelerometer);

    ReportSink slowSink;
    ReportSink fastSink;
    auto slowDevice = startDevice(0, slowSink);
    auto fastDevice = startDevice(1, fastSink);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return slowSink.reports.size() >= 8 && !fastSink.reports.empty(); }));
    dir.write(slowFolder / "in_accel_z_raw", "-1024\n");
    dir.write(fastFolder / "in_accel_z_raw", "-1024\n");

    ASSERT_TRUE(testsupport::pumpUntil([&] { return valueAt(fastSink.reports.back(), 14) == -65536; }));
    EXPECT_EQ(slowSink.reports.size(), 8u);
    for (const auto& report : slowSink.reports) {
        ASSERT_EQ(valueAt(report, 14), 65536);
    }
}

TEST_F(IioBackendTest, PollingThatOnlyFailsEndsTheStream)
{
    // A raw file that is a folder opens, and every read of it fails with EISDIR.
    const fs::path folder = addDevice(0, kAccelerometer);
    fs::remove(folder / "in_accel_y_raw");
    fs::create_directory(folder / "in_accel_y_raw");
    ReportSink sink;
    hidtest::RemovalSink removal;
    auto device = backend.createDevice(0);
    ASSERT_EQ(device->open(), hid::kSuccess);
    sink.attach(*device);
    removal.attach(*device, sink);
    device->scheduleWithMainLoop();
    ASSERT_TRUE(testsupport::pumpUntil([&] { return !removal.errors.empty(); }));
    EXPECT_EQ(removal.errors, std::vector<hid::ReturnCode>{-EISDIR});
    EXPECT_FALSE(sink.reports.empty()) << "the readable axes were delivered until then";
    device->close();
}

TEST_F(IioBackendTest, OpenFailsWithNegativeErrno)
{
    const fs::path folder = addDevice(0, kAccelerometer);
    Attributes badScale = kAccelerometer;
    badScale["in_accel_scale"] = "fast\n";
    addDevice(1, badScale);

    auto missingRaw = backend.createDevice(0);
    ASSERT_TRUE(missingRaw);
    fs::remove(folder / "in_accel_y_raw");
    EXPECT_EQ(missingRaw->open(), -ENOENT);

    auto unparsable = backend.createDevice(1);
    ASSERT_TRUE(unparsable);
    EXPECT_EQ(unparsable->open(), -EINVAL);
}

TEST_F(IioBackendTest, CallbackMayDestroyTheDevice)
{
    addDevice(0, kAccelerometer);
    addDevice(1, kAccelerometer);
    ReportSink sink;
    std::unique_ptr<hid::Device> device = startDevice(0, sink);
    sink.onReport = [&] { device.reset(); };
    ReportSink witness;
    auto other = startDevice(1, witness);

    ASSERT_TRUE(testsupport::pumpUntil([&] { return witness.reports.size() >= 20; }));
    EXPECT_EQ(sink.reports.size(), 1u);
    other->unscheduleFromMainLoop();
}

} // namespace
