// The player on OpenAL Soft's null device, whose clock runs only while the device mixes: it
// pauses when nothing has played for a while and mixes again for the next clip. Its own
// executable: the wave writer that the other tests capture through is never paused.
#define AL_ALEXT_PROTOTYPES
#include "WaveCapture.h"
#include "platform/audio/AudioPlayer.h"
#include "platform/audio/OutputSetup.h"
#include "support/EventLoop.h"

#include <AL/alc.h>
#include <AL/alext.h>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

/// The device clock of the process's current context, in ns.
ALCint64SOFT deviceClock()
{
    ALCint64SOFT clock = 0;
    alcGetInteger64vSOFT(alcGetContextsDevice(alcGetCurrentContext()), ALC_DEVICE_CLOCK_SOFT, 1, &clock);
    return clock;
}

/// Pumps until the device clock has stood still for half a second.
bool waitForClockToStop()
{
    ALCint64SOFT last = deviceClock();
    auto moved = SteadyClock::now();
    return testsupport::pumpUntil(
        [&] {
        if (const ALCint64SOFT now = deviceClock(); now != last) {
            last = now;
            moved = SteadyClock::now();
        }
        return SteadyClock::now() - moved > 500ms;
        },
        20s);
}

TEST(AudioPlayerPauseTest, TheDevicePausesWhenNothingPlaysAndMixesAgainForTheNextClip)
{
    ::setenv("ALSOFT_DRIVERS", "null", 1);
    audio::prepareOutput(); // the application's update size, as it pauses and resumes with it
    auto created = audio::AudioPlayer::create(audiotest::fixture("tone440-mono.mp3"));
    ASSERT_NE(created.player, nullptr) << created.error;
    audio::AudioPlayer& player = *created.player;
    for (const char* round : {"first clip", "after a pause"}) {
        SCOPED_TRACE(round);
        const ALCint64SOFT before = deviceClock();
        ASSERT_TRUE(player.play());
        // A paused device would never finish the clip.
        EXPECT_TRUE(testsupport::pumpUntil([&] { return !player.isPlaying(); }, 10s));
        EXPECT_GE(deviceClock() - before, 250'000'000) << "the device mixed less than the clip";
        EXPECT_TRUE(waitForClockToStop());
    }
}

TEST(AudioPlayerPauseTest, AClipStoppedEarlyLetsTheDevicePauseWithoutWaitingForItsEnd)
{
    ::setenv("ALSOFT_DRIVERS", "null", 1);
    audio::prepareOutput();
    auto created = audio::AudioPlayer::create(audiotest::fixture("tone330-long-mono.mp3")); // 2.06 s
    ASSERT_NE(created.player, nullptr) << created.error;
    audio::AudioPlayer& player = *created.player;
    const ALCint64SOFT before = deviceClock();
    ASSERT_TRUE(player.play());
    ASSERT_TRUE(testsupport::pumpUntil([&] { return deviceClock() - before >= 50'000'000; }, 10s));
    player.stop();
    EXPECT_FALSE(player.isPlaying());
    EXPECT_TRUE(waitForClockToStop());
    EXPECT_LT(deviceClock() - before, 1'500'000'000) << "the device mixed on to the stopped clip's end";
}

} // namespace
