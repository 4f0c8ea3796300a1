// The player on OpenAL Soft's null device after the start-up's setup: the device mixes in the
// small update, and opening it changes nothing in the environment. Its own executable: OpenAL
// reads its configuration once per process.
#define AL_ALEXT_PROTOTYPES
#include "EnvironmentSnapshot.h"
#include "WaveCapture.h"
#include "platform/audio/AudioPlayer.h"
#include "platform/audio/OutputSetup.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <AL/alc.h>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(OutputSetupPlaybackTest, TheDeviceMixesInSmallUpdatesAndTheEnvironmentStaysAsItWas)
{
    testsupport::TempDir dir;
    ::setenv("XDG_CACHE_HOME", dir.path().c_str(), 1);
    ::unsetenv("ALSOFT_CONF");
    ::setenv("ALSOFT_DRIVERS", "null", 1);
    const audio::OutputSetup setup = audio::prepareOutput();
    ASSERT_EQ(setup.warning, "");
    const auto before = audiotest::EnvironmentSnapshot::take();

    auto created = audio::AudioPlayer::create(audiotest::fixture("tone440-mono.mp3"));
    ASSERT_NE(created.player, nullptr) << created.error;
    ASSERT_TRUE(created.player->play());
    EXPECT_TRUE(testsupport::pumpUntil([&] { return !created.player->isPlaying(); }, 10s));

    EXPECT_TRUE(audiotest::EnvironmentSnapshot::take() == before) << "the environment changed";
    // OpenAL reports its update rate as frequency / update size.
    ALCdevice* device = alcGetContextsDevice(alcGetCurrentContext());
    ALCint frequency = 0;
    ALCint refresh = 0;
    alcGetIntegerv(device, ALC_FREQUENCY, 1, &frequency);
    alcGetIntegerv(device, ALC_REFRESH, 1, &refresh);
    ASSERT_GT(frequency, 0);
    EXPECT_EQ(refresh, frequency / 128);
}

} // namespace
