#include "Services/RingFloat.h"

#include <algorithm>
#include <cstddef>
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
void PrintTo(const RingCase& c, std::ostream* os) { *os << c.name; }

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
    if (!c.expected.empty()) {
        EXPECT_EQ(ring.front(), c.expected.front());
    }
    // Reading changes nothing.
    EXPECT_EQ(ring.slice(), c.expected);
    EXPECT_EQ(ring.count(), static_cast<std::int64_t>(c.expected.size()));
}

TEST_P(RingFloatContents, CopiesTheSameValuesIntoCallerStorage)
{
    const RingCase& c = GetParam();
    RingFloat ring(c.capacity);
    for (double v : c.pushed) {
        ring.push(v);
    }
    // Room for every slot and a guard after it: only the values held are written.
    constexpr double untouched = -99.0;
    std::vector<double> out(static_cast<std::size_t>(c.capacity) + 1, untouched);
    ASSERT_EQ(ring.copyTo(out), c.expected.size());
    EXPECT_EQ(std::vector<double>(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(c.expected.size())),
              c.expected);
    EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(c.expected.size()), out.end(),
                            [](double v) { return v == untouched; }));
    // Exactly enough room is enough.
    std::vector<double> exact(c.expected.size(), untouched);
    EXPECT_EQ(ring.copyTo(exact), c.expected.size());
    EXPECT_EQ(exact, c.expected);
    EXPECT_EQ(ring.slice(), c.expected);
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

TEST(RingFloat, CopyToRefusesTooSmallStorageWithoutWriting)
{
    RingFloat ring(4);
    for (double v : {1.0, 2.0, 3.0, 4.0, 5.0}) {
        ring.push(v);
    }
    std::vector<double> out(3, -99.0);
    EXPECT_THROW(ring.copyTo(out), std::length_error);
    EXPECT_EQ(out, (std::vector<double>{-99.0, -99.0, -99.0}));
    EXPECT_EQ(ring.slice(), (std::vector<double>{2, 3, 4, 5}));
}

} // namespace
