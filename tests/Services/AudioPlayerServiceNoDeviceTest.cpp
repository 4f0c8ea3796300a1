// The audio service on a machine without a sound device. Its own executable: OpenAL reads the
// driver list once per process, before the first device opens.
#include "Services/AudioPlayerService.h"
#include "WaveCapture.h"
#include "support/EventLoop.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

TEST(AudioPlayerServiceNoDeviceTest, EveryClipReportsTheMissingDeviceAndNothingHangs)
{
    ::setenv("ALSOFT_DRIVERS", "no-such-driver", 1);
    audiotest::OutcomeRecorder outcomes;
    auto service = std::make_unique<AudioPlayerService>();
    service->setOutcomeHandler(outcomes.handler());
    service->play(audiotest::fixture("tone440-mono.mp3"), 0.5);
    service->play(audiotest::fixture("tone880-stereo.mp3"), 0.5);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return outcomes.count() == 2; }));
    EXPECT_EQ(service->activePlayerCount(), 0u);
    service.reset();
    const std::optional<std::string> noDevice("cannot open the sound device");
    EXPECT_EQ(outcomes.outcomes(), (std::vector<std::optional<std::string>>{noDevice, noDevice}));
}

} // namespace
