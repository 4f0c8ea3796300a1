// The audio service on a machine without a sound device. Its own executable: OpenAL reads the
// driver list once per process, before the first device opens.
#include "Services/AudioPlayerService.h"
#include "WaveCapture.h"
#include "support/EventLoop.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace {

TEST(AudioPlayerServiceNoDeviceTest, EveryClipPrintsTheErrorAndNothingHangs)
{
    ::setenv("ALSOFT_DRIVERS", "no-such-driver", 1);
    std::string printed;
    std::size_t registered = 1;
    {
        audiotest::StdoutCapture out;
        auto service = std::make_unique<AudioPlayerService>();
        service->play(audiotest::fixture("tone440-mono.mp3"), 0.5);
        service->play(audiotest::fixture("tone880-stereo.mp3"), 0.5);
        testsupport::pumpUntil([&] {
            const std::string text = out.text();
            return std::count(text.begin(), text.end(), '\n') >= 2;
        });
        registered = service->activePlayerCount();
        service.reset();
        printed = out.text();
    }
    EXPECT_EQ(printed, "Audio playback error: cannot open the sound device\n"
                       "Audio playback error: cannot open the sound device\n");
    EXPECT_EQ(registered, 0u);
}

} // namespace
