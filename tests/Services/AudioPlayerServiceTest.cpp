// The audio service against OpenAL Soft's wave backend: what its clips leave in the captured output.
#include "Services/AudioPlayerService.h"

#include "WaveCapture.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

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

TEST_F(AudioPlayerServiceTest, AClipThatCannotBeLoadedPrintsOneLineAndRegistersNothing)
{
    testsupport::TempDir dir;
    struct Case {
        const char* name;
        std::filesystem::path file;
        std::string line;
    };
    const Case cases[] = {
        {"missing file", dir.path() / "gone.mp3",
         "Audio playback error: cannot open " + (dir.path() / "gone.mp3").string() + ": No such file or directory\n"},
        {"not audio", dir.write("notes.mp3", "not sound at all"),
         "Audio playback error: cannot decode " + (dir.path() / "notes.mp3").string() + ": no audio data\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string printed;
        std::size_t registered = 0;
        {
            audiotest::StdoutCapture out;
            service->play(c.file, 0.5);
            testsupport::pumpUntil([&] { return out.text().find('\n') != std::string::npos; });
            registered = service->activePlayerCount();
            playWhole(tone440, 0.5); // later clips are unaffected
            printed = out.text();
        }
        EXPECT_EQ(printed, c.line);
        EXPECT_EQ(registered, 0u);
    }
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
