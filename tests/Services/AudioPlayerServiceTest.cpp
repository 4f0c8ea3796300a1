// The audio service against OpenAL Soft's wave backend: what its clips leave in the captured output.
#include "Services/AudioPlayerService.h"

#include "WaveCapture.h"
#include "support/EventLoop.h"
#include "support/NoFileOverride.h"
#include "support/TempDir.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <string>

namespace {

using audiotest::Burst;
using audiotest::fixture;
using audiotest::WaveCapture;
using namespace std::chrono_literals;

struct VolumeCase {
    const char* name;
    double amplitude;
    double volume;
};

class AmplitudeToVolume : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(AmplitudeToVolume, FollowsTheCurve)
{
    EXPECT_NEAR(AudioPlayerService::amplitudeToVolume(GetParam().amplitude), GetParam().volume, 5e-5);
}

const VolumeCase kVolumeCases[] = {
    {"negative", -1.0, 0.125},       {"zero", 0.0, 0.125},
    {"floor", 0.05, 0.125},          {"just_above_floor", 0.05 + 1e-9, 0.125},
    {"steep_start", 0.0575, 0.2557}, {"tenth", 0.1, 0.5104},
    {"fifth", 0.2, 0.7017},          {"power_sound", 0.28, 0.7797},
    {"lid_sound", 0.32, 0.8092},     {"just_below_ceiling", 0.8 - 1e-9, 1.0},
    {"ceiling", 0.8, 1.0},           {"above_ceiling", 1.5, 1.0},
};
INSTANTIATE_TEST_SUITE_P(Table, AmplitudeToVolume, ::testing::ValuesIn(kVolumeCases),
                         [](const auto& info) { return std::string(info.param.name); });

class AudioPlayerServiceTest : public ::testing::Test {
protected:
    WaveCapture& capture = WaveCapture::instance(); // before any device opens
    std::unique_ptr<AudioPlayerService> service = std::make_unique<AudioPlayerService>();
    const std::filesystem::path tone440 = fixture("tone440-mono.mp3");       // 0.3 s
    const std::filesystem::path tone880 = fixture("tone880-stereo.mp3");     // 0.3 s
    const std::filesystem::path longTone = fixture("tone330-long-mono.mp3"); // 2 s, 330 Hz

    /// Plays one clip through the service and returns the burst it left once it has ended.
    Burst playWhole(const std::filesystem::path& clip, double amplitude)
    {
        const std::size_t from = capture.mark();
        service->play(clip, amplitude);
        const auto bursts = capture.waitForBursts(from, 1);
        EXPECT_EQ(bursts.size(), 1u);
        EXPECT_TRUE(testsupport::pumpUntil([&] { return service->activePlayerCount() == 0; }));
        return bursts.empty() ? Burst{} : bursts.front();
    }

    double level(const Burst& burst) const { return audiotest::innerLevel(capture.frames(), burst, capture.rate()); }
    double seconds(const Burst& burst) const { return double(burst.length()) / capture.rate(); }
    bool signalAfter(std::size_t from)
    {
        return !audiotest::findBursts(capture.frames(), from, capture.mark(), capture.rate()).empty();
    }
};

TEST_F(AudioPlayerServiceTest, StartsWithScalingOffAndNormalSpeed)
{
    EXPECT_FALSE(service->volumeScaling());
    EXPECT_EQ(service->speedRatio(), 1.0);
    EXPECT_EQ(service->activePlayerCount(), 0u);
    service->stopAll();
    EXPECT_EQ(service->activePlayerCount(), 0u);
}

TEST_F(AudioPlayerServiceTest, VolumeFollowsTheAmplitudeOnlyWithScalingOn)
{
    const double reference = level(playWhole(tone440, 0.0)); // scaling off: the player's own full volume
    ASSERT_GT(reference, 0.1);

    struct Case {
        const char* name;
        bool scaling;
        double amplitude;
        double ratio;
    };
    const Case cases[] = {
        {"scaling off ignores a quiet slap", false, 0.0, 1.0},
        {"power sound", true, 0.28, 0.7797},
        {"lid sound", true, 0.32, 0.8092},
        {"quietest slap", true, 0.01, 0.125},
        {"hardest slap", true, 1.5, 1.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->setVolumeScaling(c.scaling);
        EXPECT_NEAR(level(playWhole(tone440, c.amplitude)) / reference, c.ratio, 0.01);
    }
}

TEST_F(AudioPlayerServiceTest, SpeedRatioChangesTheLengthOnlyWhenAboveZeroAndNotOne)
{
    const double reference = seconds(playWhole(tone440, 0.5));
    ASSERT_NEAR(reference, 0.3, 0.04);

    struct Case {
        const char* name;
        double speed;
        double lengthRatio;
    };
    const Case cases[] = {
        {"normal", 1.0, 1.0},    {"zero", 0.0, 1.0},
        {"negative", -0.5, 1.0}, {"not a number", std::numeric_limits<double>::quiet_NaN(), 1.0},
        {"half", 0.5, 2.0},      {"double", 2.0, 0.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->setSpeedRatio(c.speed);
        EXPECT_NEAR(seconds(playWhole(tone440, 0.5)) / reference, c.lengthRatio, 0.08 * c.lengthRatio);
    }
}

TEST_F(AudioPlayerServiceTest, ClipsPlayedInQuickSuccessionSoundTogether)
{
    const std::size_t from = capture.mark();
    service->play(tone440, 0.5);
    service->play(tone880, 0.5);
    EXPECT_TRUE(testsupport::pumpUntil([&] { return service->activePlayerCount() == 2; }));
    const auto bursts = capture.waitForBursts(from, 1);
    ASSERT_EQ(bursts.size(), 1u); // overlapping clips make one stretch of sound
    EXPECT_TRUE(testsupport::pumpUntil([&] { return service->activePlayerCount() == 0; }));

    const auto& frames = capture.frames();
    const std::size_t window = capture.framesFor(50ms);
    int both = 0;
    for (std::size_t at = bursts.front().begin; at + window <= bursts.front().end; at += window) {
        if (audiotest::toneAmplitude(frames, at, at + window, capture.rate(), 440) > 0.1 &&
            audiotest::toneAmplitude(frames, at, at + window, capture.rate(), 880) > 0.1) {
            ++both;
        }
    }
    EXPECT_GE(both, 3) << "the two clips should sound at the same time for most of their length";
}

TEST_F(AudioPlayerServiceTest, StopAllSilencesEveryRegisteredClip)
{
    const std::size_t from = capture.mark();
    service->play(longTone, 0.5);
    service->play(longTone, 0.5);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return service->activePlayerCount() == 2 && signalAfter(from); }));

    service->stopAll();
    EXPECT_EQ(service->activePlayerCount(), 0u);
    const auto bursts = capture.waitForBursts(from, 1);
    ASSERT_EQ(bursts.size(), 1u);
    EXPECT_LT(seconds(bursts.front()), 1.0); // the clips are 2 s long
    EXPECT_EQ(service->activePlayerCount(), 0u);
}

TEST_F(AudioPlayerServiceTest, StopAllAlsoCancelsAClipQueuedJustBeforeIt)
{
    const std::size_t from = capture.mark();
    service->play(longTone, 0.5);
    service->stopAll();
    service->play(tone440, 0.5); // queued after stopAll(): plays

    const auto bursts = capture.waitForBursts(from, 1, 400ms);
    ASSERT_EQ(bursts.size(), 1u);
    EXPECT_NEAR(seconds(bursts.front()), 0.3, 0.05);
    EXPECT_LT(audiotest::toneAmplitude(capture.frames(), bursts.front().begin, bursts.front().end, capture.rate(), 330),
              0.02);
    EXPECT_TRUE(testsupport::pumpUntil([&] { return service->activePlayerCount() == 0; }));
}

TEST_F(AudioPlayerServiceTest, AClipThatCannotBePlayedIsReportedWithItsReasonAndRegistersNothing)
{
    testsupport::TempDir dir;
    std::string clip;
    {
        std::ifstream in(tone440, std::ios::binary);
        clip.assign(std::istreambuf_iterator<char>(in), {});
    }
    const auto unreadable = dir.write("locked.mp3", clip);
    std::filesystem::permissions(unreadable, std::filesystem::perms::none);
    std::filesystem::create_directory(dir.path() / "folder.mp3");
    const auto path = [&](const char* name) { return (dir.path() / name).string(); };
    struct Case {
        const char* name;
        std::filesystem::path file;
        std::string reason;
    };
    const Case cases[] = {
        {"missing file", dir.path() / "gone.mp3", "cannot open " + path("gone.mp3") + ": No such file or directory"},
        {"empty file", dir.write("empty.mp3", ""), "cannot decode " + path("empty.mp3") + ": no audio data"},
        {"cut off before its sound", dir.write("cut.mp3", clip.substr(0, 300)),
         "cannot decode " + path("cut.mp3") + ": no audio data"},
        {"not MP3", dir.write("notes.mp3", "not sound at all"),
         "cannot decode " + path("notes.mp3") + ": no audio data"},
        {"a folder", dir.path() / "folder.mp3", "cannot open " + path("folder.mp3") + ": Is a directory"},
        {"unreadable", unreadable, "cannot open " + path("locked.mp3") + ": Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Root reads any file; the service's threads start from this one and inherit its rights.
        const testsupport::NoFileOverride asUser;
        AudioPlayerService player;
        audiotest::OutcomeRecorder outcomes;
        player.setOutcomeHandler(outcomes.handler());
        audiotest::OutputCapture out;
        player.play(c.file, 0.5);
        ASSERT_TRUE(testsupport::pumpUntil([&] { return outcomes.count() == 1; }));
        EXPECT_EQ(outcomes.outcomes().front(), std::optional<std::string>(c.reason));
        EXPECT_EQ(player.activePlayerCount(), 0u);
        player.play(tone440, 0.5); // later clips are unaffected
        ASSERT_TRUE(testsupport::pumpUntil([&] { return outcomes.count() == 2; }));
        EXPECT_EQ(outcomes.outcomes().back(), std::nullopt);
        EXPECT_EQ(out.text(), ""); // nothing on standard output
    }
}

TEST_F(AudioPlayerServiceTest, WithoutAHandlerAFailureGoesToStandardErrorAlone)
{
    std::string printed;
    std::string errors;
    {
        audiotest::OutputCapture out;
        audiotest::OutputCapture err(2);
        service->play("/nonexistent/gone.mp3", 0.5);
        testsupport::pumpUntil([&] { return err.text().find('\n') != std::string::npos; });
        playWhole(tone440, 0.5);
        printed = out.text();
        errors = err.text();
    }
    EXPECT_EQ(printed, "");
    EXPECT_EQ(errors, "Audio playback error: cannot open /nonexistent/gone.mp3: No such file or directory\n");
}

TEST_F(AudioPlayerServiceTest, AtMostSixteenClipsSoundAtOnceAndEveryOneStarts)
{
    audiotest::OutcomeRecorder outcomes;
    service->setOutcomeHandler(outcomes.handler());
    constexpr std::size_t plays = 40;
    std::size_t most = 0;
    for (std::size_t i = 0; i < plays; ++i) {
        service->play(longTone, 0.5);
        most = std::max(most, service->activePlayerCount());
    }
    ASSERT_TRUE(testsupport::pumpUntil([&] {
        most = std::max(most, service->activePlayerCount());
        return outcomes.count() == plays;
    }));
    most = std::max(most, service->activePlayerCount());
    EXPECT_LE(most, AudioPlayerService::maxClips);
    for (const auto& outcome : outcomes.outcomes()) {
        EXPECT_EQ(outcome, std::nullopt);
    }
    service->stopAll();
    EXPECT_EQ(service->activePlayerCount(), 0u);
}

TEST_F(AudioPlayerServiceTest, DestroyingTheServiceSilencesItsClipsAndSkipsQueuedOnes)
{
    const std::size_t from = capture.mark();
    service->play(longTone, 0.5);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return service->activePlayerCount() == 1 && signalAfter(from); }));
    service->play(longTone, 0.5);
    service->play(longTone, 0.5);
    service.reset(); // returns once every work item has ended

    const std::size_t gone = capture.mark();
    ASSERT_TRUE(capture.waitForOutput(gone, 300ms));
    const auto bursts = audiotest::findBursts(capture.frames(), from, capture.mark(), capture.rate());
    ASSERT_EQ(bursts.size(), 1u);
    EXPECT_LT(seconds(bursts.front()), 1.0);
}

} // namespace
