// The audio service once its sound device has failed: OpenAL Soft's wave backend writing to
// /dev/full loses its device at its first write. Its own executable: OpenAL reads its
// configuration once per process, before the first device opens.
#include "Services/AudioPlayerService.h"
#include "WaveCapture.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <AL/alc.h>
#include <AL/alext.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace {

using namespace std::chrono_literals;

/// Whether the process's sound device has been opened and then lost.
bool deviceLost()
{
    ALCcontext* context = alcGetCurrentContext();
    if (context == nullptr) {
        return false;
    }
    ALCint connected = ALC_TRUE;
    alcGetIntegerv(alcGetContextsDevice(context), ALC_CONNECTED, 1, &connected);
    return connected != ALC_TRUE;
}

TEST(AudioPlayerServiceDeviceLostTest, AClipTheDeviceCannotPlayIsReportedWithWhy)
{
    testsupport::TempDir dir;
    const auto config = dir.write("alsoft.conf", "[wave]\nfile = /dev/full\n");
    ::setenv("ALSOFT_DRIVERS", "wave", 1);
    ::setenv("ALSOFT_CONF", config.c_str(), 1);
    const auto clip = audiotest::fixture("tone440-mono.mp3");

    // The first clip opens the device, which fails at its first write. The service's destruction
    // waits for its work item, whatever became of the clip.
    auto opening = std::make_unique<AudioPlayerService>();
    opening->play(clip, 0.5);
    ASSERT_TRUE(testsupport::pumpUntil(deviceLost, 20s));
    opening.reset();

    AudioPlayerService service;
    audiotest::OutcomeRecorder outcomes;
    service.setOutcomeHandler(outcomes.handler());
    service.play(clip, 0.5);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return outcomes.count() == 1; }));
    EXPECT_EQ(outcomes.outcomes().front(),
              std::optional<std::string>("cannot play " + clip.string() + ": the sound device is disconnected"));
    EXPECT_EQ(service.activePlayerCount(), 0u);
}

} // namespace
