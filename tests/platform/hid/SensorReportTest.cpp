#include "platform/hid/SensorReport.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <ostream>

namespace {

struct UnitsCase {
    const char* name;
    double g;
    std::int32_t expected;
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const UnitsCase& row, std::ostream* out) { *out << row.name; }

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

const UnitsCase kUnitsCases[] = {
    {"OneG", 1.0, 65536},
    {"MinusOneG", -1.0, -65536},
    {"HalfG", 0.5, 32768},
    {"HalfUnitRoundsAwayFromZero", 0.5 / 65536, 1},
    {"NegativeHalfUnitRoundsAwayFromZero", -0.5 / 65536, -1},
    {"JustBelowHalfUnit", 0.49 / 65536, 0},
    {"LargestRepresentable", kMax / 65536.0, kMax},
    {"SaturatesHigh", 1e9, kMax},
    {"SaturatesLow", -1e9, kMin},
    {"InfinitySaturates", std::numeric_limits<double>::infinity(), kMax},
    {"NaNIsZero", std::numeric_limits<double>::quiet_NaN(), 0},
};

class SensorUnitsTest : public ::testing::TestWithParam<UnitsCase> {};

TEST_P(SensorUnitsTest, ConvertsG) { EXPECT_EQ(hid::sensorUnitsFromG(GetParam().g), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Values, SensorUnitsTest, ::testing::ValuesIn(kUnitsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SensorReportTest, PlacesAxesLittleEndianAtTheirOffsets)
{
    const hid::SensorReport report = hid::makeSensorReport(65536, -65536, 32768);
    const hid::SensorReport expected = {0,    0,    0,    0,    0,    0,    0x00, 0x00, 0x01, 0x00, 0x00,
                                        0x00, 0xFF, 0xFF, 0x00, 0x80, 0x00, 0x00, 0,    0,    0,    0};
    EXPECT_EQ(report, expected);
}

TEST(SensorReportTest, NegativeValuesAreTwosComplement)
{
    const hid::SensorReport report = hid::makeSensorReport(-1, kMin, kMax);
    const hid::SensorReport expected = {0,    0,    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0x00,
                                        0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0x7F, 0,    0,    0,    0};
    EXPECT_EQ(report, expected);
}

} // namespace
