// Input-device accelerometers against a fake device tree whose event nodes are FIFOs carrying
// recorded event streams.
#include "platform/hid/EvdevBackend.h"

#include "ReportSink.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using hidtest::ReportSink;
using hidtest::startDevice;
using hidtest::valueAt;

struct Event {
    std::int64_t timeUs;
    std::uint16_t type;
    std::uint16_t code;
    std::int32_t value;
};

std::vector<std::uint8_t> stream(const std::vector<Event>& events)
{
    std::vector<std::uint8_t> bytes;
    for (const Event& e : events) {
        input_event event{};
        event.input_event_sec = static_cast<decltype(event.input_event_sec)>(e.timeUs / 1'000'000);
        event.input_event_usec = static_cast<decltype(event.input_event_usec)>(e.timeUs % 1'000'000);
        event.type = e.type;
        event.code = e.code;
        event.value = e.value;
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&event);
        bytes.insert(bytes.end(), raw, raw + sizeof event);
    }
    return bytes;
}

// One sample: the axes that changed, then SYN_REPORT.
std::vector<Event> sample(std::int64_t timeUs, std::map<std::uint16_t, std::int32_t> axes)
{
    std::vector<Event> events;
    for (const auto& [code, value] : axes) {
        events.push_back({timeUs, EV_ABS, code, value});
    }
    events.push_back({timeUs, EV_SYN, SYN_REPORT, 0});
    return events;
}

class EvdevBackendTest : public ::testing::Test {
protected:
    // eventN with `name`, INPUT_PROP bits and ABS bits (hexadecimal, as sysfs writes them).
    fs::path addNode(int number, const std::string& name, const std::string& properties, const std::string& abs)
    {
        const fs::path device = dir.mkdir("sys/class/input/event" + std::to_string(number) + "/device");
        dir.write(device / "name", name + "\n");
        dir.write(device / "properties", properties + "\n");
        dir.write(device / "capabilities/abs", abs + "\n");
        const fs::path node = dir.mkdir("dev/input") / ("event" + std::to_string(number));
        EXPECT_EQ(::mkfifo(node.c_str(), 0600), 0);
        return node;
    }

    testsupport::TempDir dir;
    hidtest::FifoWriters writers;
    // The device's answer about its axes: 512 units per g, resting at 0.
    hid::EvdevBackend::AxisQuery query = [](int, int) { return hid::EvdevBackend::AxisInfo{0, 512}; };
};

TEST_F(EvdevBackendTest, ListsAccelerometersAndTheLaptopDriversOnly)
{
    addNode(0, "AT Translated Set 2 keyboard", "0", "0");
    addNode(1, "Tablet Accelerometer", "40", "7"); // INPUT_PROP_ACCELEROMETER, ABS X Y Z
    addNode(2, "Touchpad", "5", "3");              // X and Y, no accelerometer property
    addNode(3, "hdaps", "0", "3");
    addNode(4, "ST LIS3LV02DL Accelerometer", "0", "7");
    addNode(5, "Flat accelerometer", "40", "3"); // no Z
    hid::EvdevBackend backend(dir.path(), query);
    std::vector<hid::ServiceId> services;
    ASSERT_EQ(backend.matchingServices(hid::kSensorServiceClass, services), hid::kSuccess);
    EXPECT_EQ(services, (std::vector<hid::ServiceId>{1, 3, 4}));
    const auto properties = backend.properties(1);
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->at(hid::kPrimaryUsagePageKey), hid::PropertyValue(std::int64_t{0xFF00}));
    EXPECT_EQ(properties->at("Product"), hid::PropertyValue(std::string("Tablet Accelerometer")));
    EXPECT_FALSE(backend.createDevice(0));
}

struct StreamCase {
    const char* name;
    std::string deviceName;
    std::string abs;
    bool withResolution;
    std::vector<std::vector<Event>> samples;
    std::vector<std::array<std::int32_t, 3>> expected; // per sample, in sensor units
};

void PrintTo(const StreamCase& row, std::ostream* out) { *out << row.name; }

const StreamCase kStreams[] = {
    {"AccelerometerScaledByItsResolution",
     "Tablet Accelerometer",
     "7",
     true,
     {sample(1'000'000, {{ABS_X, 512}, {ABS_Y, -256}, {ABS_Z, 0}}), sample(1'010'000, {{ABS_Z, 1024}})},
     {{65536, -32768, 0}, {65536, -32768, 131072}}},
    {"Lis3lv02dInMilliG",
     "ST LIS3LV02DL Accelerometer",
     "7",
     false,
     {sample(0, {{ABS_X, -1000}, {ABS_Z, 500}}), sample(20'000, {{ABS_Y, 250}})},
     {{-65536, 0, 32768}, {-65536, 16384, 32768}}},
    {"HdapsWithoutZ", "hdaps", "3", false, {sample(0, {{ABS_X, 256}, {ABS_Y, -128}})}, {{65536, -32768, 0}}},
};

class EvdevStream : public EvdevBackendTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(EvdevStream, EachReportedSampleReachesTheServiceAsEightReports)
{
    const fs::path node = addNode(0, GetParam().deviceName, "40", GetParam().abs);
    const int writer = writers.open(node);
    hid::EvdevBackend backend(
        dir.path(), GetParam().withResolution ? query : [](int, int) {
            return std::optional<hid::EvdevBackend::AxisInfo>(hid::EvdevBackend::AxisInfo{0, 0});
        });
    ReportSink sink;
    auto device = startDevice(backend, 0, sink);
    ASSERT_TRUE(device);
    for (const auto& events : GetParam().samples) {
        const auto bytes = stream(events);
        ASSERT_EQ(::write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    const std::size_t total = GetParam().expected.size() * 8;
    ASSERT_TRUE(testsupport::pumpUntil([&] { return sink.reports.size() >= total; }));
    testsupport::pumpFor(std::chrono::milliseconds(20));
    ASSERT_EQ(sink.reports.size(), total);
    for (std::size_t n = 0; n < total; ++n) {
        const auto& expected = GetParam().expected[n / 8];
        EXPECT_EQ(valueAt(sink.reports[n], 6), expected[0]) << "report " << n;
        EXPECT_EQ(valueAt(sink.reports[n], 10), expected[1]) << "report " << n;
        EXPECT_EQ(valueAt(sink.reports[n], 14), expected[2]) << "report " << n;
    }
    device->unscheduleFromMainLoop();
    device->close();
}

INSTANTIATE_TEST_SUITE_P(Streams, EvdevStream, ::testing::ValuesIn(kStreams),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EvdevBackendTest, AnAccelerometerWithoutAResolutionDoesNotOpen)
{
    addNode(0, "Tablet Accelerometer", "40", "7");
    hid::EvdevBackend backend(dir.path(), [](int, int) { return std::optional<hid::EvdevBackend::AxisInfo>(); });
    auto device = backend.createDevice(0);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->open(), -EINVAL);
}

TEST_F(EvdevBackendTest, AfterADropEventsAreSkippedUntilTheNextReportAndTheAxesReadBack)
{
    const fs::path node = addNode(0, "Tablet Accelerometer", "40", "7");
    const int writer = writers.open(node);
    // The device's answers: level (Z at 1 g) at open; Y moved to half a g while events were lost.
    std::atomic<int> asked{0};
    hid::EvdevBackend backend(dir.path(), [&](int, int axis) {
        const bool afterOpen = asked.fetch_add(1) >= 3;
        return hid::EvdevBackend::AxisInfo{axis == ABS_Z ? 512 : afterOpen && axis == ABS_Y ? 256 : 0, 512};
    });
    ReportSink sink;
    auto device = startDevice(backend, 0, sink);
    std::vector<Event> events = sample(0, {{ABS_Z, 512}});
    events.push_back({5'000, EV_ABS, ABS_X, 9999});
    events.push_back({5'000, EV_SYN, SYN_DROPPED, 0});
    events.push_back({10'000, EV_SYN, SYN_REPORT, 0});
    const auto tail = sample(20'000, {{ABS_X, 0}});
    events.insert(events.end(), tail.begin(), tail.end());
    const auto bytes = stream(events);
    ASSERT_EQ(::write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ASSERT_TRUE(testsupport::pumpUntil([&] { return sink.reports.size() >= 16; }));
    testsupport::pumpFor(std::chrono::milliseconds(20));
    ASSERT_EQ(sink.reports.size(), 16u) << "the report that ends the drop carries no sample";
    EXPECT_EQ(valueAt(sink.reports[0], 10), 0);
    EXPECT_EQ(valueAt(sink.reports[15], 6), 0);
    EXPECT_EQ(valueAt(sink.reports[15], 10), 32768) << "Y must be the device's value, not the one before the drop";
    EXPECT_EQ(valueAt(sink.reports[15], 14), 65536);
    device->unscheduleFromMainLoop();
}

} // namespace
