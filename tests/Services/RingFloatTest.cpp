#include "Services/RingFloat.h"

#include <gtest/gtest.h>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct RingCase {
    const char* name;
    std::int64_t capacity;
    std::vector<double> pushed;
    std::vector<double> expected; // slice(), oldest first
};
void PrintTo(const RingCase& c, std::ostream* os)
{
    *os << c.name;
}

class RingFloatContents : public ::testing::TestWithParam<RingCase> {};

TEST_P(RingFloatContents, HoldsTheNewestValuesOldestFirst)
{
    const RingCase& c = GetParam();
    RingFloat ring(c.capacity);
    for (double v : c.pushed) {
        ring.push(v);
    }
    EXPECT_EQ(ring.count(), static_cast<std::int64_t>(c.expected.size()));
    EXPECT_EQ(ring.slice(), c.expected);
    // Reading changes nothing.
    EXPECT_EQ(ring.slice(), c.expected);
    EXPECT_EQ(ring.count(), static_cast<std::int64_t>(c.expected.size()));
}

const RingCase ringCases[] = {
    {"Empty", 3, {}, {}},
    {"PartlyFilled", 3, {1, 2}, {1, 2}},
    {"ExactlyFull", 3, {1, 2, 3}, {1, 2, 3}},
    {"FirstOverwriteHitsSlotZero", 3, {1, 2, 3, 4}, {2, 3, 4}},
    {"WrappedTwice", 3, {1, 2, 3, 4, 5, 6, 7}, {5, 6, 7}},
    {"OverwrittenPastTheSplit", 3, {1, 2, 3, 4, 5}, {3, 4, 5}},
    {"CapacityOneFirstPush", 1, {7}, {7}},
    {"CapacityOneKeepsTheLast", 1, {7, 8, 9}, {9}},
    {"PushedZerosAreValues", 3, {0, 0}, {0, 0}},
    {"PreFillNeverShowsOnAPartialRing", 100, {1, 2, 3}, {1, 2, 3}},
};

INSTANTIATE_TEST_SUITE_P(All, RingFloatContents, ::testing::ValuesIn(ringCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RingFloat, RefusesACapacityBelowOne)
{
    EXPECT_THROW(RingFloat(0), std::invalid_argument);
    EXPECT_THROW(RingFloat(-1), std::invalid_argument);
}

} // namespace
