#include "Services/MedianWindow.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// The statistics written out plainly: full sorts (by bit pattern, so NaNs have a place) of the
// window and of its deviations, each taken at index n / 2.
MedianWindow::Spread sortedSpread(std::vector<double> window)
{
    const auto byBits = [](double a, double b) { return bits(a) < bits(b); };
    std::sort(window.begin(), window.end(), byBits);
    const std::size_t middle = window.size() / 2;
    const double median = window[middle];
    for (double& v : window) {
        v = std::abs(v - median);
    }
    std::sort(window.begin(), window.end(), byBits);
    return {median, window[middle]};
}

struct StreamCase {
    const char* name;
    std::int64_t size;
    int length;
    // The i-th value of the stream, drawn from `random`.
    std::function<double(int i, std::mt19937_64& random)> value;
};
void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

double noisy(std::mt19937_64& random)
{
    std::normal_distribution<double> noise(0.0, 0.002);
    return std::abs(noise(random)) + (std::uniform_real_distribution<double>(0.0, 1.0)(random) < 0.01 ? 0.3 : 0.0);
}

class MedianWindowStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(MedianWindowStream, AgreesBitForBitWithFullSortsAfterEveryValue)
{
    const StreamCase& c = GetParam();
    std::mt19937_64 random(4242);
    MedianWindow window(c.size);
    std::vector<double> held;
    for (int i = 0; i < c.length; ++i) {
        const double v = c.value(i, random);
        window.push(v);
        held.push_back(v);
        if (held.size() > static_cast<std::size_t>(c.size)) {
            held.erase(held.begin());
        }
        ASSERT_EQ(window.values().slice().size(), held.size());
        const MedianWindow::Spread expected = sortedSpread(held);
        const MedianWindow::Spread actual = window.spread();
        ASSERT_EQ(bits(actual.median), bits(expected.median)) << "value " << i;
        ASSERT_EQ(bits(actual.deviation), bits(expected.deviation)) << "value " << i;
    }
}

const StreamCase streamCases[] =
    {
        {"Noise", 200, 6000, [](int, std::mt19937_64& r) { return noisy(r); }},
        {"CoarseSteps", 200, 6000,
         [](int, std::mt19937_64& r) { return std::round(noisy(r) * 1024.0) / 1024.0; }}, // many ties
        {"MostlyZero", 200, 5000,
         [](int, std::mt19937_64& r) {
    return std::uniform_real_distribution<double>(0.0, 1.0)(r) < 0.05 ? noisy(r) : 0.0;
         }},
        {"Rising", 200, 1000, [](int i, std::mt19937_64&) { return i * 1e-3; }},
        {"Falling", 200, 1000, [](int i, std::mt19937_64&) { return 10.0 - i * 1e-3; }},
        {"HugeAndTiny", 200, 5000,
         [](int i,
            std::mt19937_64& r) { return i % 3 == 0 ? std::numeric_limits<double>::max() * 0.9 : noisy(r) * 1e-300; }},
        {"InfinityPassesThrough", 200, 3000,
         [](int i, std::mt19937_64& r) { return i % 997 < 3 ? std::numeric_limits<double>::infinity() : noisy(r); }},
        {"NaNsPassThrough", 200, 3000,
         [](int i, std::mt19937_64& r) {
    if (i % 991 == 5) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return i % 991 == 6 ? -std::numeric_limits<double>::quiet_NaN() : noisy(r);
         }},
                 {"SizeOne", 1, 300, [](int, std::mt19937_64& r) { return noisy(r); }},
                 {"SizeTwo", 2, 300, [](int, std::mt19937_64& r) { return noisy(r); }},
                 {"SizeThree", 3, 300, [](int, std::mt19937_64& r) { return std::round(noisy(r) * 256.0) / 256.0; }},
                 };

INSTANTIATE_TEST_SUITE_P(All, MedianWindowStream, ::testing::ValuesIn(streamCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MedianWindow, RefusesASizeBelowOne) { EXPECT_THROW(MedianWindow(0), std::invalid_argument); }

} // namespace
