// The player on OpenAL Soft's null device when the start-up's setup could not write its
// configuration: it still plays, with OpenAL's own update size, and opening the device changes
// nothing in the environment. Its own executable: OpenAL reads its configuration once per process.
#include "EnvironmentSnapshot.h"
#include "WaveCapture.h"
#include "platform/audio/AudioPlayer.h"
#include "platform/audio/OutputSetup.h"
#include "support/EventLoop.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(OutputSetupUnwritableTest, OneWarningThenTheClipPlaysAndTheEnvironmentStaysAsItWas)
{
    testsupport::TempDir dir;
    ::setenv("XDG_CACHE_HOME", dir.write("cache", "not a folder").c_str(), 1);
    ::unsetenv("ALSOFT_CONF");
    ::setenv("ALSOFT_DRIVERS", "null", 1);
    testsupport::LogCapture log("thwacko.audio");
    const audio::OutputSetup setup = audio::prepareOutput();
    EXPECT_NE(setup.warning, "");
    const auto before = audiotest::EnvironmentSnapshot::take();

    auto created = audio::AudioPlayer::create(audiotest::fixture("tone440-mono.mp3"));
    ASSERT_NE(created.player, nullptr) << created.error;
    ASSERT_TRUE(created.player->prepareToPlay()) << created.player->failure();
    ASSERT_TRUE(created.player->play()) << created.player->failure();
    EXPECT_TRUE(created.player->isPlaying());
    EXPECT_TRUE(testsupport::pumpUntil([&] { return !created.player->isPlaying(); }, 10s));

    EXPECT_TRUE(audiotest::EnvironmentSnapshot::take() == before) << "the environment changed";
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(std::getenv("ALSOFT_CONF"), nullptr);
}

} // namespace
