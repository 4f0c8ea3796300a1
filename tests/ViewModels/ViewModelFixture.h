#pragma once
// The view model wired to fakes of everything this machine lacks, shared by its tests.
#include "ViewModels/ThwackoViewModel.h"

#include "Services/Analytics.h"
#include "platform/qt/QtMainQueue.h"
#include "support/EventLoop.h"
#include "support/FakeServices.h"
#include "support/LogCapture.h"
#include "support/RecordingAnalytics.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <cmath>
#include <stdexcept>

using foundation::Date;
using testsupport::FakeClock;
using testsupport::FakeHidBackend;
using testsupport::FakeHidService;
using testsupport::FakeLidRegistry;
using testsupport::FakePowerSources;
using testsupport::FakeServices;
using testsupport::FakeWorkspace;
using testsupport::RecordingAnalytics;
using testsupport::RecordingClipPlayer;
using testsupport::TempDir;
using Sample = ThwackoViewModel::Sample;

inline const char* const kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>BonklyTallyToken</key><string>test-token</string></dict></plist>)";

/// A bundle of empty fixture clips: three for pain, one for sexy, none for halo, no lizard folder.
inline std::filesystem::path writeFixtureBundle(const TempDir& dir)
{
    for (const char* clip : {"a.mp3", "b.mp3", "c.mp3"}) {
        dir.write(std::filesystem::path("res/Audio/pain") / clip, "");
    }
    dir.write("res/Audio/sexy/01.mp3", "");
    dir.mkdir("res/Audio/halo");
    dir.write("res/Audio/lid/open.mp3", "");
    dir.write("res/Audio/lid/close.mp3", "");
    dir.write("res/Info.plist", kInfoPlist);
    return dir.path() / "res";
}

/// A view model wired to fakes of everything this machine lacks, on a bundle of fixture clips.
class ThwackoViewModelTest : public ::testing::Test {
public: // the tables' actions drive the fixture
    TempDir dir;
    QObject mainContext;
    platform::ScopedQtMainQueue mainQueue{&mainContext};
    foundation::Bundle bundle{writeFixtureBundle(dir), "/opt/thwacko"};
    FakeServices services{dir.path() / "defaults.plist", bundle};
    FakeClock& clock = services.clock;
    foundation::UserDefaults& defaults = services.defaults;
    foundation::NotificationCenter& center = services.center;
    std::shared_ptr<FakeHidBackend>& sensor = services.sensor;
    std::shared_ptr<FakeWorkspace>& workspace = services.workspace;
    std::shared_ptr<FakePowerSources>& powerSources = services.powerSources;
    std::shared_ptr<FakeLidRegistry>& lid = services.lid;
    std::shared_ptr<RecordingAnalytics> analytics = std::make_shared<RecordingAnalytics>();
    RecordingClipPlayer* audio = nullptr;
    USBVolumeMonitor* usbMonitor = nullptr;
    PowerSourceMonitor* powerMonitor = nullptr;
    LidClamshellMonitor* lidMonitor = nullptr;
    std::unique_ptr<ThwackoViewModel> vm;

    void SetUp() override
    {
        Analytics::setClient(analytics);
        Analytics::configure(bundle);
    }

    void TearDown() override
    {
        vm.reset();
        Analytics::setClient(nullptr);
    }

    ThwackoViewModel& make()
    {
        vm = std::make_unique<ThwackoViewModel>(services.dependencies());
        audio = services.audio;
        usbMonitor = services.usbMonitor;
        powerMonitor = services.powerMonitor;
        lidMonitor = services.lidMonitor;
        return *vm;
    }

    /// Runs the main queue's posted jobs (and the jobs they post).
    static void drain()
    {
        for (int i = 0; i < 4; ++i) {
            QCoreApplication::processEvents();
        }
    }

    /// Delivers samples through the sensor: eight reports per decoded sample.
    void feed(const std::vector<Sample>& samples)
    {
        for (const auto& [x, y, z] : samples) {
            ASSERT_TRUE(services.feedSample(x, y, z));
        }
    }

    static std::vector<Sample> quiet(std::size_t n) { return std::vector<Sample>(n, Sample{0.0, 0.0, 1.0}); }

    /// 1.5 s of rest, then one knock on the newest sample: the tick's newest detector event. Ten
    /// samples to the decade keep the detector's every-tenth-sample peak test off the sample
    /// just before the knock, which would leave the knock within the 0.01 s event spacing.
    static std::vector<Sample> knock(double strength, std::size_t rest = 149)
    {
        auto samples = quiet(rest);
        samples.push_back({0.0, 0.0, 1.0 + strength});
        return samples;
    }

    /// The amplitude the detector gives the knock (what the sensor's quantisation leaves of it).
    static double knockAmplitude(double strength)
    {
        VibrationDetector scratch;
        double mag = 0;
        double t = 100;
        for (const auto& [x, y, z] : knock(strength)) {
            auto q = [](double g) { return std::lround(g * 65536.0) / 65536.0; };
            mag = scratch.process(q(x), q(y), q(z), t += 0.01);
        }
        return mag;
    }

    /// Starts listening and lets the ready job run.
    void startListening()
    {
        vm->start();
        drain();
        ASSERT_TRUE(vm->isRunning());
    }

    /// One tick, far enough after the last one that the batches do not overlap in time.
    void tickAfter(double seconds)
    {
        clock.advance(seconds);
        vm->processSamples();
    }
};
