// The IIO buffer path against a fake device tree whose character device is a FIFO.
#include "platform/hid/IioBackend.h"

#include "ReportSink.h"
#include "platform/hid/IioScanType.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using hidtest::ReportSink;
using hidtest::valueAt;

// 1024 counts per g.
constexpr const char* kScale = "0.009576806";

struct ChannelSpec {
    const char* name;
    int index;
    const char* type;
};

// Appends `value` in the channel's storage to `sample` at `offset`.
void put(std::vector<std::uint8_t>& sample, std::size_t offset, std::size_t bytes, bool bigEndian, std::uint64_t value)
{
    if (sample.size() < offset + bytes) {
        sample.resize(offset + bytes);
    }
    for (std::size_t i = 0; i < bytes; ++i) {
        const std::size_t at = bigEndian ? offset + bytes - 1 - i : offset + i;
        sample[at] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

class IioBufferTest : public ::testing::Test {
protected:
    // A buffered accelerometer `name` as iio:deviceN with the given scan elements (all off), its
    // own trigger, raw files, and a FIFO as its character device; returns its folder.
    fs::path addDevice(int number, const std::vector<ChannelSpec>& channels, const std::string& name = "accel_3d")
    {
        const fs::path folder = dir.mkdir("sys/bus/iio/devices/iio:device" + std::to_string(number));
        dir.write(folder / "name", name + "\n");
        dir.write(folder / "in_accel_scale", std::string(kScale) + "\n");
        for (const char* axis : {"x", "y", "z"}) {
            dir.write(folder / (std::string("in_accel_") + axis + "_raw"), "0\n");
        }
        dir.write(folder / "sampling_frequency", "10\n");
        dir.write(folder / "sampling_frequency_available", "10 50 100 1600\n");
        dir.write(folder / "buffer/enable", "0\n");
        dir.write(folder / "buffer/length", "2\n");
        dir.write(folder / "buffer/watermark", "1\n");
        dir.write(folder / "trigger/current_trigger", "\n");
        for (const ChannelSpec& channel : channels) {
            const fs::path scan = folder / "scan_elements";
            dir.write(scan / (std::string(channel.name) + "_en"), "0\n");
            dir.write(scan / (std::string(channel.name) + "_index"), std::to_string(channel.index) + "\n");
            dir.write(scan / (std::string(channel.name) + "_type"), std::string(channel.type) + "\n");
        }
        dir.write("sys/bus/iio/devices/trigger" + std::to_string(number) + "/name",
                  name + "-dev" + std::to_string(number) + "\n");
        const fs::path node = dir.mkdir("dev") / ("iio:device" + std::to_string(number));
        EXPECT_EQ(::mkfifo(node.c_str(), 0600), 0);
        return folder;
    }

    int writerFor(int number)
    {
        const fs::path node = dir.path() / "dev" / ("iio:device" + std::to_string(number));
        return writers.open(node);
    }

    static void send(int fd, const std::vector<std::uint8_t>& bytes)
    {
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    std::unique_ptr<hid::Device> startDevice(int number, ReportSink& sink)
    {
        return hidtest::startDevice(backend, static_cast<hid::ServiceId>(number), sink);
    }

    std::string read(const fs::path& file) const
    {
        std::string text;
        std::FILE* f = std::fopen(file.c_str(), "r");
        if (f) {
            char chunk[256];
            while (const std::size_t n = std::fread(chunk, 1, sizeof chunk, f)) {
                text.append(chunk, n);
            }
            std::fclose(f);
        }
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return text;
    }

    testsupport::TempDir dir;
    hid::IioBackend backend{dir.path()};
    hidtest::FifoWriters writers;
};

struct DecodingCase {
    const char* name;
    std::vector<ChannelSpec> channels;
    // Two samples' bytes, and the sensor units of their x, y and z.
    std::vector<std::uint8_t> bytes;
    std::array<std::array<std::int32_t, 3>, 2> expected;
};

void PrintTo(const DecodingCase& row, std::ostream* out) { *out << row.name; }

std::vector<std::uint8_t> le16WithTimestamp()
{
    // x, y, z at 0, 2, 4; the timestamp aligned to 8; 16 bytes a sample; 10 ms apart.
    std::vector<std::uint8_t> bytes;
    const std::array<std::array<std::int16_t, 3>, 2> raw = {{{1024, -512, 0}, {0, 0, -2048}}};
    for (std::size_t s = 0; s < 2; ++s) {
        std::vector<std::uint8_t> sample(16, 0xEE);
        for (std::size_t axis = 0; axis < 3; ++axis) {
            put(sample, axis * 2, 2, false, static_cast<std::uint16_t>(raw[s][axis]));
        }
        put(sample, 8, 8, false, 5'000'000'000ull + s * 10'000'000ull);
        bytes.insert(bytes.end(), sample.begin(), sample.end());
    }
    return bytes;
}

std::vector<std::uint8_t> be12Shift4()
{
    // x, y, z as 12-bit values in the top of big-endian 16-bit words; the low nibble is noise.
    std::vector<std::uint8_t> bytes;
    const std::array<std::array<std::int16_t, 3>, 2> raw = {{{-1024, 2047, 512}, {-2048, 0, 1}}};
    for (std::size_t s = 0; s < 2; ++s) {
        std::vector<std::uint8_t> sample(6, 0);
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const auto word = static_cast<std::uint16_t>(((raw[s][axis] & 0xFFF) << 4) | 0xF);
            put(sample, axis * 2, 2, true, word);
        }
        bytes.insert(bytes.end(), sample.begin(), sample.end());
    }
    return bytes;
}

const DecodingCase kDecodings[] = {
    {"LittleEndianS16WithTimestamp",
     {{"in_accel_x", 0, "le:s16/16>>0"},
      {"in_accel_y", 1, "le:s16/16>>0"},
      {"in_accel_z", 2, "le:s16/16>>0"},
      {"in_timestamp", 3, "le:s64/64>>0"}},
     le16WithTimestamp(),
     {{{65536, -32768, 0}, {0, 0, -131072}}}},
    {"BigEndianS12Shift4WithoutTimestamp",
     {{"in_accel_x", 0, "be:s12/16>>4"}, {"in_accel_y", 1, "be:s12/16>>4"}, {"in_accel_z", 2, "be:s12/16>>4"}},
     be12Shift4(),
     {{{-65536, 131008, 32768}, {-131072, 0, 64}}}},
};

class IioBufferDecoding : public IioBufferTest, public ::testing::WithParamInterface<DecodingCase> {};

TEST_P(IioBufferDecoding, EachSampleReachesTheServiceAsEightReportsInG)
{
    addDevice(0, GetParam().channels);
    const int writer = writerFor(0);
    ReportSink sink;
    auto device = startDevice(0, sink);
    ASSERT_TRUE(device);
    send(writer, GetParam().bytes);

    // At 100 samples a second each sample is eight reports, so the service decodes every one.
    ASSERT_TRUE(testsupport::pumpUntil([&] { return sink.reports.size() >= 16; }));
    testsupport::pumpFor(std::chrono::milliseconds(20));
    ASSERT_EQ(sink.reports.size(), 16u);
    for (std::size_t n = 0; n < 16; ++n) {
        const auto& expected = GetParam().expected[n / 8];
        ASSERT_EQ(sink.reports[n].size(), 22u);
        EXPECT_EQ(valueAt(sink.reports[n], 6), expected[0]) << "report " << n;
        EXPECT_EQ(valueAt(sink.reports[n], 10), expected[1]) << "report " << n;
        EXPECT_EQ(valueAt(sink.reports[n], 14), expected[2]) << "report " << n;
    }
    device->unscheduleFromMainLoop();
    device->close();
}

INSTANTIATE_TEST_SUITE_P(ScanTypes, IioBufferDecoding, ::testing::ValuesIn(kDecodings),
                         [](const auto& info) { return std::string(info.param.name); });

const std::vector<ChannelSpec> kS16WithTimestamp = {{"in_accel_x", 0, "le:s16/16>>0"},
                                                    {"in_accel_y", 1, "le:s16/16>>0"},
                                                    {"in_accel_z", 2, "le:s16/16>>0"},
                                                    {"in_anglvel_x", 3, "le:s16/16>>0"},
                                                    {"in_timestamp", 4, "le:s64/64>>0"}};

TEST_F(IioBufferTest, SetsUpInTheKernelsOrderAndUndoesItInReverse)
{
    const fs::path folder = addDevice(0, kS16WithTimestamp);
    dir.write(folder / "scan_elements/in_anglvel_x_en", "1\n"); // left on by someone else
    std::vector<std::pair<std::string, std::string>> writes;
    backend.observeWrites([&](const fs::path& file, const std::string& value) {
        writes.emplace_back(fs::relative(file, folder).string(), value);
    });
    ReportSink sink;
    auto device = startDevice(0, sink);
    ASSERT_TRUE(device);

    const std::vector<std::pair<std::string, std::string>> setUp = {
        {"sampling_frequency", "100"},
        {"trigger/current_trigger", "accel_3d-dev0"},
        {"scan_elements/in_accel_x_en", "1"},
        {"scan_elements/in_accel_y_en", "1"},
        {"scan_elements/in_accel_z_en", "1"},
        {"scan_elements/in_anglvel_x_en", "0"},
        {"scan_elements/in_timestamp_en", "1"},
        {"buffer/length", "1024"},
        {"buffer/watermark", "1"},
        {"buffer/enable", "1"},
    };
    EXPECT_EQ(writes, setUp);
    EXPECT_EQ(read(folder / "buffer/enable"), "1");
    EXPECT_EQ(read(folder / "trigger/current_trigger"), "accel_3d-dev0");

    writes.clear();
    device->unscheduleFromMainLoop();
    const std::vector<std::pair<std::string, std::string>> tearDown = {
        {"buffer/enable", "0"},
        {"scan_elements/in_timestamp_en", "0"},
        {"scan_elements/in_anglvel_x_en", "1"},
        {"scan_elements/in_accel_z_en", "0"},
        {"scan_elements/in_accel_y_en", "0"},
        {"scan_elements/in_accel_x_en", "0"},
        {"trigger/current_trigger", ""},
        {"sampling_frequency", "10"},
    };
    EXPECT_EQ(writes, tearDown);
    EXPECT_EQ(read(folder / "buffer/enable"), "0");
    EXPECT_EQ(read(folder / "sampling_frequency"), "10");
    device->close();
}

TEST_F(IioBufferTest, WithoutItsOwnTriggerAnHrtimerIsMadeAndRemoved)
{
    const fs::path folder = addDevice(0, kS16WithTimestamp);
    fs::remove_all(dir.path() / "sys/bus/iio/devices/trigger0");
    const fs::path hrtimers = dir.mkdir("sys/kernel/config/iio/triggers/hrtimer");
    std::vector<std::string> steps;
    backend.observeWrites([&](const fs::path& file, const std::string& value) {
        if (value == "mkdir" || value == "rmdir" || file.filename() == "current_trigger") {
            steps.push_back(file.filename().string() + " " + value);
        }
    });
    ReportSink sink;
    auto device = startDevice(0, sink);
    EXPECT_TRUE(fs::is_directory(hrtimers / "thwacko-0"));
    device->unscheduleFromMainLoop();
    EXPECT_FALSE(fs::exists(hrtimers / "thwacko-0"));
    EXPECT_EQ(steps, (std::vector<std::string>{"thwacko-0 mkdir", "current_trigger thwacko-0", "current_trigger ",
                                               "thwacko-0 rmdir"}));
    device->close();
}

TEST_F(IioBufferTest, ABufferHeldByAnotherProcessFallsBackToPollingWithAWarning)
{
    const fs::path folder = addDevice(0, kS16WithTimestamp);
    dir.write(folder / "in_accel_z_raw", "1024\n");
    backend.openNodesWith([](const fs::path&, int) {
        errno = EBUSY;
        return -1;
    });
    static std::vector<std::string> warnings;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { warnings.push_back(text.toStdString()); });
    ReportSink sink;
    auto device = startDevice(0, sink);
    qInstallMessageHandler(previous);
    ASSERT_TRUE(device);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return !sink.reports.empty(); }));
    EXPECT_EQ(valueAt(sink.reports.front(), 14), 65536);
    EXPECT_EQ(read(folder / "buffer/enable"), "0") << "the other process's buffer is left alone";
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("held by another process"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find("polling"), std::string::npos) << warnings[0];
    device->unscheduleFromMainLoop();
    device->close();
}

TEST_F(IioBufferTest, AReadThatBlocksLeavesTheMainLoopRunning)
{
    addDevice(0, kS16WithTimestamp);
    const int writer = writerFor(0); // holds the FIFO open: every read waits for data
    ReportSink sink;
    std::vector<bool> onMainThread;
    sink.onReport = [&] { onMainThread.push_back(QThread::currentThread() == QCoreApplication::instance()->thread()); };
    auto device = startDevice(0, sink);

    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(1);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return ticks >= 5; }));
    EXPECT_TRUE(sink.reports.empty());

    std::vector<std::uint8_t> sample(16, 0);
    put(sample, 4, 2, false, 1024);
    send(writer, sample);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return sink.reports.size() == 8; }));
    EXPECT_EQ(std::count(onMainThread.begin(), onMainThread.end(), false), 0);
    device->unscheduleFromMainLoop();
    device->close();
}

TEST_F(IioBufferTest, AHangUpIsReportedAfterTheSamplesBeforeIt)
{
    addDevice(0, kS16WithTimestamp);
    const int writer = writerFor(0);
    ReportSink sink;
    hidtest::RemovalSink removal;
    auto device = backend.createDevice(0);
    ASSERT_EQ(device->open(), hid::kSuccess);
    sink.attach(*device);
    removal.attach(*device, sink);
    device->scheduleWithMainLoop();
    send(writer, std::vector<std::uint8_t>(16, 0));
    writers.release();
    ::close(writer);

    ASSERT_TRUE(testsupport::pumpUntil([&] { return !removal.errors.empty(); }));
    EXPECT_EQ(removal.errors, std::vector<hid::ReturnCode>{-ENODEV});
    EXPECT_EQ(removal.reportsBefore, 8u);
    device->unscheduleFromMainLoop();
    device->close();
}

struct ScanTypeCase {
    const char* name;
    const char* text;
    std::optional<hid::IioScanType> expected;
    std::vector<std::uint8_t> storage;
    std::int64_t value;
};

void PrintTo(const ScanTypeCase& row, std::ostream* out) { *out << row.name; }

const ScanTypeCase kScanTypes[] = {
    {"LeS16", "le:s16/16>>0\n", hid::IioScanType{false, true, 16, 16, 1, 0}, {0x00, 0x80}, -32768},
    {"BeS12Shift4", "be:s12/16>>4", hid::IioScanType{true, true, 12, 16, 1, 4}, {0xC0, 0x0F}, -1024},
    {"LeU12Shift0Masked", "le:u12/16>>0", hid::IioScanType{false, false, 12, 16, 1, 0}, {0xFF, 0xFF}, 4095},
    {"LeS32", "le:s32/32>>0", hid::IioScanType{false, true, 32, 32, 1, 0}, {0xFE, 0xFF, 0xFF, 0xFF}, -2},
    {"Repeat", "le:s16/16X3>>0", hid::IioScanType{false, true, 16, 16, 3, 0}, {0x01, 0x00}, 1},
    {"Timestamp", "le:s64/64>>0", hid::IioScanType{false, true, 64, 64, 1, 0}, {1, 0, 0, 0, 0, 0, 0, 0}, 1},
    {"NoEndianness", "s16/16>>0", std::nullopt, {}, 0},
    {"BitsBeyondStorage", "le:s16/8>>0", std::nullopt, {}, 0},
    {"OddStorage", "le:s12/12>>0", std::nullopt, {}, 0},
    {"TrailingText", "le:s16/16>>0 x", std::nullopt, {}, 0},
};

class IioScanTypeTest : public ::testing::TestWithParam<ScanTypeCase> {};

TEST_P(IioScanTypeTest, ParsesAndDecodes)
{
    const auto parsed = hid::parseIioScanType(GetParam().text);
    EXPECT_EQ(parsed, GetParam().expected);
    if (parsed) {
        EXPECT_EQ(parsed->decode(GetParam().storage.data()), GetParam().value);
    }
}

INSTANTIATE_TEST_SUITE_P(Types, IioScanTypeTest, ::testing::ValuesIn(kScanTypes),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
