// The player on a machine without a sound device. Its own executable: OpenAL reads the driver
// list once per process, before the first device opens.
#include "WaveCapture.h"
#include "platform/audio/AudioPlayer.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

TEST(AudioPlayerNoDeviceTest, CreatingReportsTheMissingDeviceEachTime)
{
    ::setenv("ALSOFT_DRIVERS", "no-such-driver", 1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto result = audio::AudioPlayer::create(audiotest::fixture("tone440-mono.mp3"));
        EXPECT_EQ(result.player, nullptr);
        EXPECT_EQ(result.error, "cannot open the sound device");
    }
}

} // namespace
