// The audio service once its sound device has failed: OpenAL Soft's wave backend writing to
// /dev/full loses its device at the first write. Its own executable: OpenAL reads its
// configuration once per process, before the first device opens.
#include "Services/AudioPlayerService.h"
#include "WaveCapture.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

using namespace std::chrono_literals;

TEST(AudioPlayerServiceDeviceLostTest, AClipTheDeviceCannotPlayPrintsWhy)
{
    testsupport::TempDir dir;
    const auto config = dir.write("alsoft.conf", "[wave]\nfile = /dev/full\n");
    ::setenv("ALSOFT_DRIVERS", "wave", 1);
    ::setenv("ALSOFT_CONF", config.c_str(), 1);
    const auto clip = audiotest::fixture("tone440-mono.mp3");
    const std::string expected =
        "Audio playback error: cannot play " + clip.string() + ": the sound device is disconnected\n";

    AudioPlayerService service;
    std::string printed;
    {
        audiotest::StdoutCapture out;
        // The first clips may start before the backend's first write fails; each later one cannot.
        EXPECT_TRUE(testsupport::pumpUntil(
            [&] {
            if (service.activePlayerCount() == 0 && out.text().find('\n') == std::string::npos) {
                service.play(clip, 0.5);
            }
            return out.text().find('\n') != std::string::npos;
            },
            20s));
        EXPECT_TRUE(testsupport::pumpUntil([&] { return service.activePlayerCount() == 0; }));
        printed = out.text();
    }
    EXPECT_EQ(printed.substr(0, printed.find('\n') + 1), expected);
    EXPECT_EQ(service.activePlayerCount(), 0u);
}

} // namespace
