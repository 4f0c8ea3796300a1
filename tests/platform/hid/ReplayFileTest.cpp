#include "platform/hid/ReplayFile.h"

#include "platform/hid/SensorReport.h"
#include "support/TempDir.h"

#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <ostream>

namespace {

using Bytes = std::vector<std::uint8_t>;

hid::Recording sampleRecording()
{
    hid::Recording recording;
    recording.durationUs = 0x00030000;
    const Bytes first = {0xAA, 0xBB};
    const Bytes second = {0x01, 0x02, 0x03};
    recording.append(0x10, first);
    recording.append(0x10, second); // same time: allowed
    recording.append(0x0201, first);
    return recording;
}

TEST(ReplayFileTest, WritesTheDocumentedLayout)
{
    const Bytes expected = {
        'T',  'H',  'W',  'K',  'R',  'P',  'L',  'Y', // magic
        0x01, 0x00, 0x00, 0x00,                        // version 1, reserved
        0x03, 0x00, 0x00, 0x00,                        // three records
        0x00, 0x00, 0x03, 0x00,                        // duration
        0x10, 0x00, 0x00, 0x00, 0x02, 0x00, 0xAA, 0xBB, 0x10, 0x00, 0x00, 0x00, 0x03,
        0x00, 0x01, 0x02, 0x03, 0x01, 0x02, 0x00, 0x00, 0x02, 0x00, 0xAA, 0xBB,
    };
    EXPECT_EQ(hid::serializeRecording(sampleRecording()), expected);
}

TEST(ReplayFileTest, ParsesWhatItWrites)
{
    const hid::Recording original = sampleRecording();
    const hid::ReplayParseResult result = hid::parseRecording(hid::serializeRecording(original));
    ASSERT_TRUE(result.recording) << hid::describe(result.error);
    EXPECT_EQ(result.error, hid::ReplayError::None);
    EXPECT_EQ(result.recording->durationUs, original.durationUs);
    ASSERT_EQ(result.recording->records.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& parsed = result.recording->records[i];
        EXPECT_EQ(parsed.timeUs, original.records[i].timeUs);
        const auto got = result.recording->bytes(parsed);
        const auto want = original.bytes(original.records[i]);
        EXPECT_EQ(Bytes(got.begin(), got.end()), Bytes(want.begin(), want.end())) << i;
    }
}

struct CorruptionCase {
    const char* name;
    std::function<void(Bytes&)> corrupt;
    hid::ReplayError expected;
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const CorruptionCase& row, std::ostream* out) { *out << row.name; }

void put16(Bytes& bytes, std::size_t at, std::uint16_t value)
{
    bytes[at] = static_cast<std::uint8_t>(value);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    put16(bytes, at, static_cast<std::uint16_t>(value));
    put16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

// Offsets in sampleRecording's file: header 0-19, records at 20, 28 and 37.
const CorruptionCase kCorruptions[] = {
    {"Empty", [](Bytes& b) { b.clear(); }, hid::ReplayError::Truncated},
    {"WrongMagic", [](Bytes& b) { b[0] = 'X'; }, hid::ReplayError::BadMagic},
    {"NewerVersion", [](Bytes& b) { put16(b, 8, 2); }, hid::ReplayError::UnsupportedVersion},
    {"VersionZero", [](Bytes& b) { put16(b, 8, 0); }, hid::ReplayError::UnsupportedVersion},
    {"ReservedSet", [](Bytes& b) { put16(b, 10, 1); }, hid::ReplayError::BadHeader},
    {"NoRecords", [](Bytes& b) { put32(b, 12, 0); }, hid::ReplayError::BadHeader},
    {"ZeroDuration", [](Bytes& b) { put32(b, 16, 0); }, hid::ReplayError::BadHeader},
    {"EndsInHeader", [](Bytes& b) { b.resize(15); }, hid::ReplayError::Truncated},
    {"EndsInRecordHeader", [](Bytes& b) { b.resize(31); }, hid::ReplayError::Truncated},
    {"EndsInRecordData", [](Bytes& b) { b.resize(b.size() - 1); }, hid::ReplayError::Truncated},
    {"CountBeyondFile", [](Bytes& b) { put32(b, 12, 4); }, hid::ReplayError::Truncated},
    {"HugeCount", [](Bytes& b) { put32(b, 12, 0xFFFFFFFF); }, hid::ReplayError::Truncated},
    {"ZeroLengthRecord", [](Bytes& b) { put16(b, 24, 0); }, hid::ReplayError::BadRecord},
    {"TimeGoesBack", [](Bytes& b) { put32(b, 37, 0x0F); }, hid::ReplayError::BadRecord},
    {"TimeAtDuration", [](Bytes& b) { put32(b, 37, 0x00030000); }, hid::ReplayError::BadRecord},
    {"TrailingBytes", [](Bytes& b) { b.push_back(0); }, hid::ReplayError::TrailingBytes},
};

class ReplayCorruptionTest : public ::testing::TestWithParam<CorruptionCase> {};

TEST_P(ReplayCorruptionTest, IsRefused)
{
    Bytes file = hid::serializeRecording(sampleRecording());
    GetParam().corrupt(file);
    const hid::ReplayParseResult result = hid::parseRecording(file);
    EXPECT_FALSE(result.recording);
    EXPECT_EQ(result.error, GetParam().expected) << hid::describe(result.error);
}

INSTANTIATE_TEST_SUITE_P(Files, ReplayCorruptionTest, ::testing::ValuesIn(kCorruptions),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReplayFileTest, MissingFileCannotBeRead)
{
    testsupport::TempDir dir;
    EXPECT_EQ(hid::loadRecording(dir.path() / "absent.replay").error, hid::ReplayError::CannotRead);
}

// The knocks documented in platform/hid/replay/FORMAT.md, which other tests rely on.
TEST(ReplayFileTest, ShippedRecordingHoldsTheDocumentedKnocks)
{
    const hid::ReplayParseResult result =
        hid::loadRecording(testsupport::sourceDir() / "resources/sensor/knocks.replay");
    ASSERT_TRUE(result.recording) << hid::describe(result.error);
    const hid::Recording& recording = *result.recording;
    ASSERT_EQ(recording.records.size(), 13'500u);
    EXPECT_EQ(recording.durationUs, 13'500'000u);

    std::vector<std::array<double, 3>> samples;
    for (std::size_t i = 0; i < recording.records.size(); ++i) {
        const hid::ReplayRecord& record = recording.records[i];
        ASSERT_EQ(record.timeUs, i * 1000);
        ASSERT_EQ(record.length, hid::kSensorReportLength);
        const auto bytes = recording.bytes(record);
        std::array<double, 3> g{};
        for (std::size_t axis = 0; axis < 3; ++axis) {
            std::uint32_t bits = 0;
            for (std::size_t k = 0; k < 4; ++k) {
                bits |= static_cast<std::uint32_t>(bytes[6 + 4 * axis + k]) << (8 * k);
            }
            g[axis] = static_cast<std::int32_t>(bits) / hid::kSensorUnitsPerG;
        }
        samples.push_back(g);
    }
    const std::array<double, 3> rest = {0.021, -0.034, 0.9992};
    const auto deviation = [&](std::size_t i) {
        return std::hypot(samples[i][0] - rest[0], samples[i][1] - rest[1], samples[i][2] - rest[2]);
    };

    // Quiet before the first knock: noise of about 1 mg per axis.
    for (std::size_t i = 0; i < 1500; ++i) {
        ASSERT_LT(deviation(i), 0.01) << "at " << i << " ms";
    }
    const struct {
        std::size_t startMs;
        double peakG;
    } knocks[] = {{1500, 0.03}, {3500, 0.12}, {5500, 0.2}, {7500, 0.3}, {9500, 0.5}, {11500, 0.8}};
    for (const auto& knock : knocks) {
        std::size_t strongest = knock.startMs - 500;
        for (std::size_t i = strongest; i < knock.startMs + 1500; ++i) {
            if (deviation(i) > deviation(strongest)) {
                strongest = i;
            }
        }
        // The peak is at the start; noise may lift a neighbour of it above it.
        EXPECT_GE(strongest, knock.startMs) << "knock at " << knock.startMs << " ms";
        EXPECT_LE(strongest, knock.startMs + 3) << "knock at " << knock.startMs << " ms";
        EXPECT_NEAR(deviation(knock.startMs), knock.peakG, 0.006) << "knock at " << knock.startMs << " ms";
        EXPECT_LT(deviation(knock.startMs + 400), 0.01) << "knock at " << knock.startMs << " ms has not died down";
    }
}

} // namespace
