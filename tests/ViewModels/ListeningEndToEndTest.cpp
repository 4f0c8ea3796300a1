// A real view model listening to the shipped sensor recording on the Qt event loop, with the
// real audio service writing through OpenAL's wave backend: the recorded knocks become slaps,
// and their clips are heard.
#include "ViewModels/ThwackoViewModel.h"

#include "Services/AudioPlayerService.h"
#include "WaveCapture.h"
#include "platform/hid/ReplayBackend.h"
#include "platform/qt/QtMainQueue.h"
#include "support/EventLoop.h"
#include "support/FakeServices.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

TEST(ListeningEndToEnd, RecordedKnocksBecomeSlapsThatAreHeard)
{
    auto& capture = audiotest::WaveCapture::instance(); // before the process opens a sound device
    QObject context;
    platform::ScopedQtMainQueue mainQueue(&context);
    testsupport::TempDir home;
    const foundation::Bundle bundle(testsupport::builtResourceDir(), "/opt/thwacko");
    testsupport::FakeServices services(home.path() / "defaults.plist", bundle);

    // The fakes but for the sensor recording, the sound and the clock.
    ThwackoViewModel::Dependencies deps = services.dependencies();
    deps.accelerometer = std::make_unique<AccelerometerService>(
        std::make_shared<hid::ReplayBackend>(testsupport::builtResourceDir() / "sensor/knocks.replay"));
    deps.audioPlayer = std::make_unique<AudioPlayerService>();
    deps.clock = &foundation::SystemClock::shared();
    ThwackoViewModel vm(std::move(deps));

    const std::size_t from = capture.mark();
    vm.start();
    ASSERT_TRUE(testsupport::pumpUntil([&] { return vm.statusMessage() == "Listening for slaps..."; }));

    // Knocks 2 to 6 of the recording (from 3.5 s on) pass the default gates.
    ASSERT_TRUE(testsupport::pumpUntil([&] { return vm.totalSlaps() >= 2; }, std::chrono::seconds(20)))
        << "slaps: " << vm.totalSlaps();
    const auto bursts = capture.waitForBursts(from, 2);
    vm.stop();

    EXPECT_GE(bursts.size(), 2u);
    for (const SlapEvent& slap : vm.slapEvents()) {
        EXPECT_GE(slap.amplitude(), 0.05);
        EXPECT_TRUE(std::filesystem::exists(testsupport::builtResourceDir() / "Audio/pain" / slap.fileName()))
            << slap.fileName();
    }
    EXPECT_EQ(vm.slapEvents().front().number(), vm.totalSlaps());
}
