#include "platform/hid/RateMatcher.h"

#include <gtest/gtest.h>
#include <ostream>
#include <vector>

namespace {

struct RateCase {
    const char* name;
    std::int64_t reportIntervalUs;
    std::vector<double> intervalsUs; // between samples; 0: the first, or unknown
    std::vector<int> copies;
};

void PrintTo(const RateCase& row, std::ostream* out) { *out << row.name; }

const RateCase kRates[] = {
    {"FirstSampleTakesEight", 1000, {0}, {8}},
    {"At100HzEverySampleIsDecoded", 1000, {0, 10'000, 10'000, 10'000}, {8, 8, 8, 8}},
    {"At125HzEverySampleIsDecoded", 1000, {8'000, 8'000}, {8, 8}},
    {"At400HzReportsKeepTheServicesPace", 1000, {2'500, 2'500, 2'500, 2'500}, {3, 2, 3, 2}},
    {"At1kHzOneReportEach", 1000, {1'000, 1'000, 1'000}, {1, 1, 1}},
    {"Above1kHzSomeSamplesAreSkipped", 1000, {500, 500, 500, 500}, {1, 0, 1, 0}},
    {"SlowerReportIntervalMeansFewerCopies", 20'000, {20'000, 10'000, 10'000}, {1, 1, 0}},
    {"JitterDoesNotLoseACopy", 1000, {999.9, 1000.1, 999.9, 1000.1}, {1, 1, 1, 1}},
};

class RateMatcherTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(RateMatcherTest, CopiesPerSample)
{
    hid::RateMatcher matcher(GetParam().reportIntervalUs);
    std::vector<int> copies;
    for (const double interval : GetParam().intervalsUs) {
        copies.push_back(matcher.copiesAfter(interval));
    }
    EXPECT_EQ(copies, GetParam().copies);
}

INSTANTIATE_TEST_SUITE_P(Rates, RateMatcherTest, ::testing::ValuesIn(kRates),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
