// The player against OpenAL Soft's wave backend: what it writes to the captured output.
#include "platform/audio/AudioPlayer.h"

#include "WaveCapture.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <sys/stat.h>

namespace {

using audio::AudioPlayer;
using audiotest::Burst;
using audiotest::fixture;
using audiotest::WaveCapture;
using namespace std::chrono_literals;

class AudioPlayerTest : public ::testing::Test {
protected:
    WaveCapture& capture = WaveCapture::instance(); // before any device opens
    testsupport::TempDir dir;

    static std::shared_ptr<AudioPlayer> load(const std::string& name)
    {
        auto result = AudioPlayer::create(fixture(name));
        EXPECT_NE(result.player, nullptr) << result.error;
        return result.player;
    }

    /// Plays `player` to its end and returns the single burst it left in the output.
    Burst playToEnd(AudioPlayer& player)
    {
        const std::size_t from = capture.mark();
        EXPECT_TRUE(player.prepareToPlay());
        EXPECT_TRUE(player.play());
        EXPECT_TRUE(player.isPlaying());
        EXPECT_TRUE(testsupport::pumpUntil([&] { return !player.isPlaying(); }, 10s));
        const auto bursts = capture.waitForBursts(from, 1);
        EXPECT_EQ(bursts.size(), 1u);
        return bursts.empty() ? Burst{} : bursts.front();
    }

    double seconds(const Burst& burst) const { return double(burst.length()) / capture.rate(); }
};

struct LoadFailureCase {
    const char* name;
    std::function<std::filesystem::path(const testsupport::TempDir&)> make;
    std::string expectedPrefix; ///< "{}" stands for the path
};

TEST_F(AudioPlayerTest, FilesThatAreNoClipsGiveADescription)
{
    const LoadFailureCase cases[] = {
        {"missing", [](const auto& d) { return d.path() / "missing.mp3"; },
         "cannot open {}: No such file or directory"},
        {"directory", [](const auto& d) { return d.mkdir("folder.mp3"); }, "cannot open {}: Is a directory"},
        {"empty", [](const auto& d) { return d.write("empty.mp3", ""); }, "cannot decode {}: "},
        {"text", [](const auto& d) { return d.write("notes.mp3", "these are notes, not sound\n"); },
         "cannot decode {}: "},
        {"zeros", [](const auto& d) { return d.write("zeros.mp3", std::string(8192, '\0')); }, "cannot decode {}: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = c.make(dir);
        std::string expected = c.expectedPrefix;
        expected.replace(expected.find("{}"), 2, path.string());
        const auto result = AudioPlayer::create(path);
        EXPECT_EQ(result.player, nullptr);
        EXPECT_EQ(result.error.substr(0, expected.size()), expected) << result.error;
        EXPECT_GT(result.error.size(), expected.size() - 1);
    }
}

TEST_F(AudioPlayerTest, PlaysMonoAndStereoClipsWholeAtTheirPitch)
{
    struct Case {
        const char* file;
        double hz;
        double otherHz;
    };
    for (const Case& c : {Case{"tone440-mono.mp3", 440, 880}, Case{"tone880-stereo.mp3", 880, 440}}) {
        SCOPED_TRACE(c.file);
        auto player = load(c.file);
        ASSERT_NE(player, nullptr);
        EXPECT_FALSE(player->isPlaying());
        const Burst burst = playToEnd(*player);
        EXPECT_NEAR(seconds(burst), 0.3, 0.04);
        const auto& frames = capture.frames();
        const double wanted = audiotest::toneAmplitude(frames, burst.begin, burst.end, capture.rate(), c.hz);
        const double other = audiotest::toneAmplitude(frames, burst.begin, burst.end, capture.rate(), c.otherHz);
        EXPECT_GT(wanted, 0.2);
        EXPECT_LT(other, wanted / 20);
    }
}

TEST_F(AudioPlayerTest, VolumeAndRateChangeLevelAndLength)
{
    auto reference = load("tone440-mono.mp3");
    ASSERT_NE(reference, nullptr);
    const Burst base = playToEnd(*reference);
    const double baseLevel = audiotest::innerLevel(capture.frames(), base, capture.rate());
    ASSERT_GT(baseLevel, 0.1);

    struct Case {
        const char* name;
        std::function<void(AudioPlayer&)> set;
        double level;  ///< relative to the reference
        double length; ///< relative to the reference
    };
    const Case cases[] =
        {
            {"half volume", [](AudioPlayer& p) { p.setVolume(0.5f); }, 0.5, 1.0},
            {"volume above one is full", [](AudioPlayer& p) { p.setVolume(3.0f); }, 1.0, 1.0},
            {"rate without enabling it", [](AudioPlayer& p) { p.setRate(0.5f); }, 1.0, 1.0},
            {"rate enabled after it is set",
             [](AudioPlayer& p) {
        p.setRate(0.5f);
        p.setEnableRate(true);
             },
             1.0, 2.0},
            {"rate set after enabling",
             [](AudioPlayer& p) {
        p.setEnableRate(true);
        p.setRate(2.0f);
             },
             1.0, 0.5},
               {"rate enabled then disabled",
                [](AudioPlayer& p) {
        p.setRate(0.5f);
        p.setEnableRate(true);
        p.setEnableRate(false);
                },
                1.0, 1.0},
        {"zero rate is ignored",
         [](AudioPlayer& p) {
        p.setRate(0.0f);
        p.setEnableRate(true);
         },
         1.0, 1.0},
        };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto player = load("tone440-mono.mp3");
        ASSERT_NE(player, nullptr);
        c.set(*player);
        const Burst burst = playToEnd(*player);
        EXPECT_NEAR(audiotest::innerLevel(capture.frames(), burst, capture.rate()) / baseLevel, c.level, 0.03);
        EXPECT_NEAR(double(burst.length()) / double(base.length()), c.length, 0.08 * c.length);
    }
}

TEST_F(AudioPlayerTest, StoppingOrReleasingSilencesAtOnce)
{
    for (const bool release : {false, true}) {
        SCOPED_TRACE(release ? "release" : "stop");
        auto player = load("tone330-long-mono.mp3"); // two seconds
        ASSERT_NE(player, nullptr);
        const std::size_t from = capture.mark();
        ASSERT_TRUE(player->play());
        ASSERT_TRUE(testsupport::pumpUntil(
            [&] { return !audiotest::findBursts(capture.frames(), from, capture.mark(), capture.rate()).empty(); },
            10s));
        if (release) {
            player.reset();
        } else {
            player->stop();
            EXPECT_FALSE(player->isPlaying());
        }
        const auto bursts = capture.waitForBursts(from, 1);
        ASSERT_EQ(bursts.size(), 1u);
        EXPECT_LT(seconds(bursts.front()), 1.0);
        if (player) {
            EXPECT_FALSE(player->isPlaying());
        }
    }
}

TEST_F(AudioPlayerTest, ALongClipPlaysWholeWithoutGapsEachTimeItIsPlayed)
{
    auto player = load("tone550-stream-stereo.mp3"); // six seconds: streamed, not decoded whole
    ASSERT_NE(player, nullptr);
    for (const char* round : {"first play", "played again from the start"}) {
        SCOPED_TRACE(round);
        const Burst burst = playToEnd(*player);
        EXPECT_NEAR(seconds(burst), 6.0, 0.05);
        const auto& frames = capture.frames();
        const std::size_t second = capture.framesFor(std::chrono::seconds(1));
        for (std::size_t at = burst.begin; at + second <= burst.end; at += second) {
            EXPECT_GT(audiotest::toneAmplitude(frames, at, at + second, capture.rate(), 550), 0.2) << "at frame " << at;
        }
    }
}

TEST_F(AudioPlayerTest, ALongClipStopsAtOnceAndAtDoubleRateTakesHalfTheTime)
{
    struct Case {
        const char* name;
        bool stopEarly;
        float rate;
        double seconds;
    };
    const Case cases[] = {{"stopped after it began", true, 1.0f, 0.0}, {"double rate", false, 2.0f, 3.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto player = load("tone550-stream-stereo.mp3");
        ASSERT_NE(player, nullptr);
        player->setRate(c.rate);
        player->setEnableRate(true);
        const std::size_t from = capture.mark();
        ASSERT_TRUE(player->play());
        if (c.stopEarly) {
            ASSERT_TRUE(testsupport::pumpUntil(
                [&] { return !audiotest::findBursts(capture.frames(), from, capture.mark(), capture.rate()).empty(); },
                10s));
            player->stop();
            EXPECT_FALSE(player->isPlaying());
        } else {
            EXPECT_TRUE(testsupport::pumpUntil([&] { return !player->isPlaying(); }, 10s));
        }
        const auto bursts = capture.waitForBursts(from, 1);
        ASSERT_EQ(bursts.size(), 1u);
        if (c.stopEarly) {
            EXPECT_LT(seconds(bursts.front()), 1.0);
        } else {
            EXPECT_NEAR(seconds(bursts.front()), c.seconds, 0.08 * c.seconds);
        }
    }
}

// Three copies of a clip back to back: the first copy's header gives the length of one, so the
// decoder's estimate is a third of the clip; it still plays whole, all three tones.
TEST_F(AudioPlayerTest, AClipLongerThanItsHeaderSaysPlaysWhole)
{
    std::ifstream in(fixture("tone440-mono.mp3"), std::ios::binary);
    const std::string one{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(one.empty());
    const auto path = dir.write("three.mp3", one + one + one);
    auto result = AudioPlayer::create(path);
    ASSERT_NE(result.player, nullptr) << result.error;

    const std::size_t from = capture.mark();
    ASSERT_TRUE(result.player->play());
    EXPECT_TRUE(testsupport::pumpUntil([&] { return !result.player->isPlaying(); }, 10s));
    const auto bursts = capture.waitForBursts(from, 3);
    ASSERT_EQ(bursts.size(), 3u);
    for (const Burst& burst : bursts) {
        EXPECT_NEAR(seconds(burst), 0.3, 0.04);
        EXPECT_GT(audiotest::toneAmplitude(capture.frames(), burst.begin, burst.end, capture.rate(), 440), 0.2);
    }
}

// A clip is decoded once and kept; it is read again when its file's size or modification time
// changes, and not while both stay the same.
TEST_F(AudioPlayerTest, AKeptClipIsReadAgainOnlyWhenItsFileChanges)
{
    const auto copy = [&](const std::string& name) {
        const auto to = dir.path() / "clip.mp3";
        std::filesystem::copy_file(fixture(name), to, std::filesystem::copy_options::overwrite_existing);
        return to;
    };
    const auto path = copy("tone440-mono.mp3");
    {
        auto first = AudioPlayer::create(path);
        ASSERT_NE(first.player, nullptr) << first.error;
    }
    struct stat kept {};
    ASSERT_EQ(::stat(path.c_str(), &kept), 0);

    struct Case {
        const char* name;
        std::function<void()> change;
        double hz; ///< the tone that plays, 0 for none
        std::string error;
    };
    const Case cases[] =
        {
            {"unchanged", [] {}, 440, ""},
            {"same size and time, other bytes: the kept clip plays",
             [&] {
        dir.write("clip.mp3", std::string(static_cast<std::size_t>(kept.st_size), '\0'));
        const timespec times[2] = {kept.st_atim, kept.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
             },
             440, ""},
            {"replaced by another clip", [&] { copy("tone880-stereo.mp3"); }, 880, ""},
            {"removed", [&] { std::filesystem::remove(path); }, 0,
             "cannot open " + path.string() + ": No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.change();
        const auto result = AudioPlayer::create(path);
        EXPECT_EQ(result.error, c.error);
        if (c.hz == 0) {
            EXPECT_EQ(result.player, nullptr);
            continue;
        }
        ASSERT_NE(result.player, nullptr);
        const Burst burst = playToEnd(*result.player);
        EXPECT_GT(audiotest::toneAmplitude(capture.frames(), burst.begin, burst.end, capture.rate(), c.hz), 0.2);
    }
}

} // namespace
