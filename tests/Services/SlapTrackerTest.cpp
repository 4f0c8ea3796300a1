#include "Services/SlapTracker.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Names the rows of tables over sound modes.
void PrintTo(SoundPackType type, std::ostream* os) { *os << rawValue(type); }

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> clipFiles(int count)
{
    std::vector<fs::path> files;
    for (int i = 0; i < count; ++i) {
        files.push_back(fs::path("/clips") / ("clip" + std::to_string(i) + ".mp3"));
    }
    return files;
}

std::size_t indexOf(const SoundPack& pack, const std::optional<fs::path>& file)
{
    const auto& files = pack.files();
    return static_cast<std::size_t>(std::find(files.begin(), files.end(), file.value()) - files.begin());
}

TEST(SlapTracker, EscalatesThroughTenFilesAtTheCooldown)
{
    const SoundPack pack(SoundPackType::sexy, clipFiles(10));
    SlapTracker tracker(pack, 0.75);
    EXPECT_NEAR(tracker.scale(), 23.8581, 1e-4);

    std::vector<std::size_t> indices;
    for (int k = 0; k < 60; ++k) {
        const auto slap = tracker.record(foundation::Date(1000.0 + 0.75 * k));
        EXPECT_EQ(slap.number, k + 1);
        indices.push_back(indexOf(pack, tracker.getFile(slap.score)));
    }
    EXPECT_EQ(std::vector<std::size_t>(indices.begin(), indices.begin() + 12),
              (std::vector<std::size_t>{0, 0, 0, 1, 1, 1, 2, 2, 2, 2, 3, 3}));
    EXPECT_EQ(indices[19], 4u);
    EXPECT_EQ(indices[59], 7u);
    // The limit of the score at one slap per cooldown picks the last file.
    EXPECT_EQ(indexOf(pack, tracker.getFile(1.0 / (1.0 - std::pow(0.5, 0.75 / 30.0)))), 9u);
}

TEST(SlapTracker, FirstSlapHasNumberOneScoreOneAndTheFirstFile)
{
    const SoundPack pack(SoundPackType::lizard, clipFiles(5));
    SlapTracker tracker(pack, 0.75);
    const auto slap = tracker.record(foundation::Date(1.7e9));
    EXPECT_EQ(slap.number, 1);
    EXPECT_EQ(slap.score, 1.0);
    EXPECT_EQ(tracker.getFile(slap.score), pack.files().front());
}

TEST(SlapTracker, ScoreHalvesEveryHalfLife)
{
    SlapTracker tracker(SoundPack(SoundPackType::sexy, clipFiles(3)), 0.75);
    EXPECT_EQ(SlapTracker::decayHalfLife, 30.0);
    SlapTracker::Record slap{};
    for (int i = 0; i < 10; ++i) {
        slap = tracker.record(foundation::Date(500.0));
    }
    ASSERT_EQ(slap.score, 10.0);
    slap = tracker.record(foundation::Date(530.0));
    EXPECT_DOUBLE_EQ(slap.score, 6.0);
    EXPECT_EQ(slap.number, 11);
}

TEST(SlapTracker, AClockGoingBackGrowsTheScoreByMoreThanOne)
{
    SlapTracker tracker(SoundPack(SoundPackType::sexy, clipFiles(3)), 0.75);
    tracker.record(foundation::Date(100.0));
    EXPECT_DOUBLE_EQ(tracker.record(foundation::Date(70.0)).score, 3.0);
}

TEST(SlapTracker, ZeroCooldownStaysOnTheFirstFile)
{
    const SoundPack pack(SoundPackType::sexy, clipFiles(10));
    SlapTracker tracker(pack, 0.0);
    EXPECT_TRUE(std::isinf(tracker.scale()));
    for (int k = 0; k < 100; ++k) {
        const auto slap = tracker.record(foundation::Date(1000.0 + 0.01 * k));
        ASSERT_EQ(tracker.getFile(slap.score), pack.files().front());
    }
}

TEST(SlapTracker, OutOfRangeInputsStillPickAFileOfThePack)
{
    const SoundPack pack(SoundPackType::sexy, clipFiles(4));
    SlapTracker negativeCooldown(pack, -5.0);
    EXPECT_EQ(negativeCooldown.getFile(negativeCooldown.record(foundation::Date(1.0)).score), pack.files().front());
    EXPECT_EQ(negativeCooldown.getFile(50.0), pack.files().front());

    SlapTracker tracker(pack, 0.75);
    EXPECT_EQ(tracker.getFile(std::numeric_limits<double>::quiet_NaN()), pack.files().front());
    EXPECT_EQ(tracker.getFile(-10.0), pack.files().front());
    EXPECT_EQ(tracker.getFile(std::numeric_limits<double>::infinity()), pack.files().back());
}

class SlapTrackerModes : public ::testing::TestWithParam<SoundPackType> {};

TEST_P(SlapTrackerModes, SingleFilePackAlwaysYieldsItsFile)
{
    const SoundPack pack(GetParam(), clipFiles(1));
    SlapTracker tracker(pack, 0.75);
    for (int k = 0; k < 50; ++k) {
        const auto slap = tracker.record(foundation::Date(0.1 * k));
        ASSERT_EQ(tracker.getFile(slap.score), pack.files().front());
    }
}

TEST_P(SlapTrackerModes, EmptyPackYieldsNoFileButStillCounts)
{
    SlapTracker tracker(SoundPack(GetParam()), 0.75);
    EXPECT_FALSE(std::isnan(tracker.scale()));
    const auto slap = tracker.record(foundation::Date(10.0));
    EXPECT_EQ(slap.number, 1);
    EXPECT_EQ(tracker.getFile(slap.score), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(All, SlapTrackerModes, ::testing::Values(SoundPackType::pain, SoundPackType::sexy),
                         [](const auto& info) { return std::string(rawValue(playMode(info.param))); });

TEST(SlapTracker, RandomModeDrawsEveryFileAndKeepsTheScore)
{
    const SoundPack pack(SoundPackType::halo, clipFiles(10));
    SlapTracker tracker(pack, 0.75);
    std::set<std::size_t> seen;
    for (int i = 0; i < 1000; ++i) { // missing one of ten files in 1000 draws: ~1e-45
        seen.insert(indexOf(pack, tracker.getFile(1.0)));
    }
    EXPECT_EQ(seen.size(), 10u);
    tracker.record(foundation::Date(0.0));
    EXPECT_DOUBLE_EQ(tracker.record(foundation::Date(30.0)).score, 1.5);
}

TEST(SlapTracker, ConcurrentRecordsGetDistinctNumbers)
{
    SlapTracker tracker(SoundPack(SoundPackType::pain, clipFiles(2)), 0.75);
    constexpr int threads = 4;
    constexpr int perThread = 2000;
    std::vector<std::vector<int>> numbers(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&tracker, &numbers, t] {
            for (int i = 0; i < perThread; ++i) {
                numbers[t].push_back(tracker.record(foundation::Date(1.0)).number);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    std::set<int> all;
    for (const auto& list : numbers) {
        all.insert(list.begin(), list.end());
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(threads * perThread));
    EXPECT_EQ(*all.rbegin(), threads * perThread);
}

} // namespace
