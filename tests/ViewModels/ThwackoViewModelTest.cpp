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

namespace {

const char* const kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>BonklyTallyToken</key><string>test-token</string></dict></plist>)";

/// A bundle of empty fixture clips: three for pain, one for sexy, none for halo, no lizard folder.
std::filesystem::path writeFixtureBundle(const TempDir& dir)
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

} // namespace

TEST_F(ThwackoViewModelTest, FirstLaunchWritesTheOnboardingFlagAndStartsTheMonitors)
{
    make();
    EXPECT_FALSE(vm->hasCompletedOnboarding());
    EXPECT_EQ(defaults.object("Bonkly.hasCompletedOnboarding"), foundation::PlistValue(false));
    EXPECT_EQ(powerSources->liveChangeSources(), 1);
    EXPECT_EQ(lid->reads, 1); // the lid monitor's baseline
    EXPECT_EQ(vm->statusMessage(), "Ready");
    EXPECT_FALSE(vm->errorMessage());
    EXPECT_EQ(vm->selectedMode(), SoundPackType::pain);
    EXPECT_EQ(vm->minAmplitude(), 0.05);
    EXPECT_EQ(vm->cooldownMs(), 750);
    EXPECT_FALSE(vm->volumeScaling());
    EXPECT_EQ(vm->speedRatio(), 1.0);
    EXPECT_FALSE(vm->fastMode());
    EXPECT_FALSE(vm->customDirectory());
    EXPECT_TRUE(vm->usbVolumeMonitoring() && vm->powerMonitoring() && vm->lidCreakMonitoring());
    EXPECT_TRUE(vm->powerEventSounds() && vm->lidCreakSounds());
    EXPECT_TRUE(analytics->events.empty()); // construction sends nothing
}

TEST_F(ThwackoViewModelTest, ACompletedOnboardingPersistsAcrossLaunches)
{
    make();
    vm->setHasCompletedOnboarding(true);
    vm.reset();
    foundation::UserDefaults reread(dir.path() / "defaults.plist");
    EXPECT_TRUE(reread.boolForKey("Bonkly.hasCompletedOnboarding"));
    make();
    EXPECT_TRUE(vm->hasCompletedOnboarding());
}

TEST_F(ThwackoViewModelTest, EveryWriteSignalsOnceBeforeTheStore)
{
    make();
    std::vector<int> seenInSignal;
    QObject::connect(vm.get(), &ThwackoViewModel::objectWillChange, [&] { seenInSignal.push_back(vm->cooldownMs()); });
    vm->setCooldownMs(500);
    vm->setCooldownMs(500);
    EXPECT_EQ(seenInSignal, (std::vector<int>{750, 500}));

    int signalCount = 0;
    QObject::connect(vm.get(), &ThwackoViewModel::objectWillChange, [&] { ++signalCount; });
    vm->clearLog();
    vm->setCustomDirectory(dir.path());
    vm->togglePause(); // the flip and the status text
    EXPECT_EQ(signalCount, 4);
}

TEST_F(ThwackoViewModelTest, ChangedComesOnceAfterABurstOfStoresAndSeesTheNewState)
{
    make();
    std::vector<int> seenInSignal;
    QObject::connect(vm.get(), &ThwackoViewModel::changed, [&] { seenInSignal.push_back(vm->cooldownMs()); });
    vm->setCooldownMs(300);
    vm->clearLog();
    vm->setCooldownMs(700);
    EXPECT_TRUE(seenInSignal.empty()) << "changed() waits for the event loop";
    QCoreApplication::processEvents();
    EXPECT_EQ(seenInSignal, (std::vector<int>{700}));

    QCoreApplication::processEvents();
    EXPECT_EQ(seenInSignal.size(), 1u) << "no store, no signal";
    vm->setCooldownMs(800);
    vm.reset(); // a pending signal dies with its view model
    QCoreApplication::processEvents();
    EXPECT_EQ(seenInSignal.size(), 1u);
}

TEST_F(ThwackoViewModelTest, StartGoesFromStartingToListeningOnTheNextTurn)
{
    make();
    vm->start();
    EXPECT_TRUE(vm->isRunning());
    EXPECT_FALSE(vm->isPaused());
    EXPECT_EQ(vm->statusMessage(), "Starting sensor...");
    EXPECT_EQ(vm->processingTimerInterval(), std::chrono::milliseconds(10));
    drain();
    EXPECT_EQ(vm->statusMessage(), "Listening for slaps...");

    vm->togglePause();
    EXPECT_EQ(vm->statusMessage(), "Paused");
    vm->togglePause();
    EXPECT_EQ(vm->statusMessage(), "Listening for slaps...");
    vm->stop();
    EXPECT_EQ(vm->statusMessage(), "Stopped");
    EXPECT_FALSE(vm->isRunning());
    EXPECT_FALSE(vm->processingTimerInterval());
    EXPECT_EQ(audio->stopAlls, 1);
    EXPECT_FALSE(sensor->lastDevice()->scheduled);
}

TEST_F(ThwackoViewModelTest, TheReadyJobLeavesTheStatusOfAStoppedOrPausedSession)
{
    make();
    vm->start();
    vm->stop();
    drain();
    EXPECT_EQ(vm->statusMessage(), "Stopped");

    vm->start();
    vm->togglePause();
    drain();
    EXPECT_EQ(vm->statusMessage(), "Paused");
}

TEST_F(ThwackoViewModelTest, AMissingSensorEndsInError)
{
    sensor->services.clear();
    make();
    vm->start();
    EXPECT_EQ(vm->statusMessage(), "Starting sensor...");
    drain();
    EXPECT_FALSE(vm->isRunning());
    EXPECT_EQ(vm->statusMessage(), "Error");
    EXPECT_EQ(vm->errorMessage(), "Accelerometer not found. Make sure this laptop has a motion sensor.");
    EXPECT_FALSE(vm->processingTimerInterval());

    // The next attempt clears the message first; a sensor that will not open says so with its code.
    sensor->services = {FakeHidService::sensor(1)};
    sensor->services[0].openResult = -13;
    vm->start();
    drain();
    EXPECT_EQ(vm->errorMessage(), "Cannot open accelerometer (code: 0xfffffff3). This user may not read the motion "
                                  "sensor; the udev rules file 70-thwacko-sensors.rules grants access.");
}

TEST_F(ThwackoViewModelTest, LosingTheSensorWhileListeningEndsInErrorAndStartTriesAgain)
{
    make();
    startListening();
    ASSERT_EQ(vm->statusMessage(), "Listening for slaps...");
    ASSERT_TRUE(sensor->lose(-19));
    drain();
    EXPECT_FALSE(vm->isRunning());
    EXPECT_EQ(vm->statusMessage(), "Error");
    EXPECT_EQ(vm->errorMessage(), "Lost the accelerometer (code: 0xffffffed).");
    EXPECT_FALSE(vm->processingTimerInterval());

    vm->start();
    drain();
    EXPECT_EQ(sensor->devices.size(), 2u);
    EXPECT_EQ(sensor->lastDevice()->opens, 1);
    EXPECT_EQ(vm->statusMessage(), "Listening for slaps...");
    EXPECT_EQ(vm->errorMessage(), std::nullopt);
}

struct RefusalCase {
    const char* name;
    SoundPackType mode;
    bool customFolder; // choose an empty custom folder
    const char* error;
};

const RefusalCase kRefusals[] = {
    {"CustomWithoutFolder", SoundPackType::custom, false, "Select a custom audio directory first"},
    {"CustomFolderWithoutClips", SoundPackType::custom, true, "No audio files found for Custom mode"},
    {"EmptyBundledFolder", SoundPackType::halo, false, "No audio files found for Halo mode"},
    {"MissingBundledFolder", SoundPackType::lizard, false, "No audio files found for Lizard mode"},
};

class ThwackoViewModelRefusal : public ThwackoViewModelTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(ThwackoViewModelRefusal, StartRefusesWithAMessageAndTouchesNothingElse)
{
    make();
    startListening();
    feed(knock(0.3));
    tickAfter(2);
    vm->stop();
    ASSERT_EQ(vm->slapEvents().size(), 1u);

    vm->setSelectedMode(GetParam().mode);
    if (GetParam().customFolder) {
        vm->setCustomDirectory(dir.mkdir("empty"));
    }
    testing::internal::CaptureStdout();
    vm->start();
    testing::internal::GetCapturedStdout();

    EXPECT_EQ(vm->errorMessage(), GetParam().error);
    EXPECT_FALSE(vm->isRunning());
    EXPECT_EQ(vm->statusMessage(), "Stopped");
    EXPECT_EQ(vm->slapEvents().size(), 1u);
    EXPECT_EQ(vm->totalSlaps(), 1);
}

INSTANTIATE_TEST_SUITE_P(All, ThwackoViewModelRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ThwackoViewModelTest, StartWhileListeningChangesNothing)
{
    make();
    startListening();
    int signalCount = 0;
    QObject::connect(vm.get(), &ThwackoViewModel::objectWillChange, [&] { ++signalCount; });
    vm->start();
    EXPECT_EQ(signalCount, 0); // not even the clearing of errorMessage
    EXPECT_FALSE(vm->errorMessage());
    EXPECT_EQ(vm->statusMessage(), "Listening for slaps...");
}

TEST_F(ThwackoViewModelTest, AKnockBecomesACountedLoggedPlayedAndReportedSlap)
{
    make();
    vm->setSelectedMode(SoundPackType::sexy); // escalation: the first slap plays the first clip
    vm->setVolumeScaling(true);
    vm->setSpeedRatio(1.5);
    startListening();
    feed(knock(0.3));
    tickAfter(2);

    ASSERT_EQ(vm->slapEvents().size(), 1u);
    const SlapEvent& slap = vm->slapEvents().front();
    EXPECT_EQ(slap.number(), 1);
    EXPECT_DOUBLE_EQ(slap.amplitude(), knockAmplitude(0.3));
    EXPECT_EQ(slap.timestamp(), clock.wall);
    EXPECT_EQ(slap.fileName(), "01.mp3");
    EXPECT_EQ(vm->totalSlaps(), 1);
    EXPECT_EQ(vm->lastAmplitude(), slap.amplitude());

    ASSERT_EQ(audio->plays.size(), 1u);
    EXPECT_EQ(audio->plays[0].url, dir.path() / "res/Audio/sexy/01.mp3");
    EXPECT_EQ(audio->plays[0].url.filename(), slap.fileName());
    EXPECT_EQ(audio->plays[0].amplitude, slap.amplitude());
    EXPECT_TRUE(audio->plays[0].volumeScaling);
    EXPECT_EQ(audio->plays[0].speedRatio, 1.5);

    const auto slaps = analytics->named("slap");
    ASSERT_EQ(slaps.size(), 1u);
    const AnalyticsProperties expected{{"slap_number", std::int64_t{1}},
                                       {"amplitude", slap.amplitude()},
                                       {"severity", slap.severity()},
                                       {"sound_mode", std::string("sexy")}};
    EXPECT_EQ(slaps[0].second, expected);
}

TEST_F(ThwackoViewModelTest, TheCooldownGateNeedsStrictlyMoreThanTheCooldown)
{
    make();
    startListening();
    // Batches of 0.7 s, so that ticks 0.75 s apart do not overlap in time.
    feed(knock(0.3, 69));
    tickAfter(2);
    ASSERT_EQ(vm->totalSlaps(), 1);

    feed(knock(0.3, 69));
    tickAfter(0.75); // exactly the cooldown: too soon
    EXPECT_EQ(vm->totalSlaps(), 1);

    feed(knock(0.3, 69));
    tickAfter(0.02); // 0.77 s after the last accepted slap
    EXPECT_EQ(vm->totalSlaps(), 2);
}

TEST_F(ThwackoViewModelTest, AWallClockSetBackDoesNotSilenceSlaps)
{
    make();
    startListening();
    feed(knock(0.3));
    tickAfter(2);
    clock.wall = clock.wall.addingTimeInterval(-3600);
    feed(knock(0.3));
    tickAfter(2);
    EXPECT_EQ(vm->totalSlaps(), 2);
}

TEST_F(ThwackoViewModelTest, AnEventBelowTheThresholdIsRejectedOnceAndForAll)
{
    make();
    const double amplitude = knockAmplitude(0.2);
    vm->setMinAmplitude(std::nextafter(amplitude, 1.0));
    startListening();
    feed(knock(0.2));
    tickAfter(2);
    EXPECT_EQ(vm->totalSlaps(), 0);

    // The newest event stays the same over these ticks and is not judged again.
    vm->setMinAmplitude(0.01);
    tickAfter(2);
    feed({});
    tickAfter(2);
    EXPECT_EQ(vm->totalSlaps(), 0);

    // A rejection by amplitude starts no cooldown.
    feed(knock(0.2));
    clock.wall = clock.wall.addingTimeInterval(2);
    vm->processSamples();
    EXPECT_EQ(vm->totalSlaps(), 1);
}

TEST_F(ThwackoViewModelTest, AnEventAtTheThresholdPasses)
{
    make();
    vm->setMinAmplitude(knockAmplitude(0.2));
    startListening();
    feed(knock(0.2));
    tickAfter(2);
    EXPECT_EQ(vm->totalSlaps(), 1);
}

struct FastModeCase {
    const char* name;
    bool fastMode;
    int cooldownMs;
    double minAmplitude;
    double cooldown;
    double threshold;
    double poll;
};

const FastModeCase kFastModeCases[] = {
    {"NormalKeepsSettings", false, 100, 0.3, 0.1, 0.3, 0.01},
    {"FastFloorsTheCooldown", true, 100, 0.05, 0.35, 0.05, 0.004},
    {"FastKeepsALongerCooldown", true, 750, 0.05, 0.75, 0.05, 0.004},
    {"FastCapsTheThreshold", true, 750, 0.3, 0.75, 0.18, 0.004},
    {"FastKeepsTheThresholdAtTheCap", true, 750, 0.18, 0.75, 0.18, 0.004},
};

class ThwackoViewModelFastMode : public ThwackoViewModelTest, public ::testing::WithParamInterface<FastModeCase> {};

TEST_P(ThwackoViewModelFastMode, DerivesTheEffectiveSettings)
{
    const auto& c = GetParam();
    make();
    vm->setFastMode(c.fastMode);
    vm->setCooldownMs(c.cooldownMs);
    vm->setMinAmplitude(c.minAmplitude);
    EXPECT_DOUBLE_EQ(vm->effectiveCooldown(), c.cooldown);
    EXPECT_DOUBLE_EQ(vm->effectiveMinAmplitude(), c.threshold);
    EXPECT_DOUBLE_EQ(vm->effectivePollInterval(), c.poll);
    vm->start();
    EXPECT_EQ(vm->processingTimerInterval(), std::chrono::milliseconds(std::lround(c.poll * 1000)));
}

INSTANTIATE_TEST_SUITE_P(All, ThwackoViewModelFastMode, ::testing::ValuesIn(kFastModeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The job a tick posts does nothing when the view model is destroyed before it runs (the
// sanitizer of the test build catches a job that reaches the destroyed one).
TEST_F(ThwackoViewModelTest, ATickWhoseViewModelWentMeanwhileDoesNothing)
{
    make();
    startListening();
    QTimer* timer = vm->findChild<QTimer*>();
    ASSERT_NE(timer, nullptr);
    feed(knock(0.5));
    int firings = 0;
    // Connected after the view model's own slot, so it runs once that slot has posted the tick.
    QObject::connect(timer, &QTimer::timeout, &mainContext, [&] {
        ++firings;
        vm.reset();
    });
    ASSERT_TRUE(testsupport::pumpUntil([&] { return firings > 0; }));
    drain();
    EXPECT_EQ(firings, 1);
}

TEST_F(ThwackoViewModelTest, WhilePausedTheBufferKeepsTheNewestAndTheNextTickTakesTwoHundred)
{
    make();
    startListening();
    vm->togglePause();
    feed(quiet(400));
    EXPECT_EQ(vm->bufferedSampleCount(), 400u);
    feed(quiet(1));
    EXPECT_EQ(vm->bufferedSampleCount(), 200u);
    feed(quiet(49));
    EXPECT_EQ(vm->bufferedSampleCount(), 249u);
    tickAfter(2);
    EXPECT_EQ(vm->currentDetector().sampleCount(), 0); // paused ticks do nothing

    vm->togglePause();
    tickAfter(2);
    EXPECT_EQ(vm->currentDetector().sampleCount(), 200);
    EXPECT_EQ(vm->bufferedSampleCount(), 0u);
}

TEST_F(ThwackoViewModelTest, SamplesAreStampedBackwardsFromTheTickAtOneHundredPerSecond)
{
    make();
    startListening();
    auto samples = quiet(60);
    samples.push_back({0.0, 0.0, 1.3}); // the knock two samples before the newest
    samples.push_back({0.0, 0.0, 1.0});
    samples.push_back({0.0, 0.0, 1.0});
    feed(samples);
    tickAfter(2);

    const auto events = vm->currentDetector().events();
    ASSERT_FALSE(events.empty());
    const auto strongest = std::max_element(events.begin(), events.end(),
                                            [](const auto& a, const auto& b) { return a.amplitude() < b.amplitude(); });
    EXPECT_NEAR(strongest->time().timeIntervalSince1970(), clock.wall.timeIntervalSince1970() - 0.02, 1e-6);
}

TEST_F(ThwackoViewModelTest, TheSlapLogKeepsTheNewestHundred)
{
    make();
    vm->setSelectedMode(SoundPackType::sexy);
    startListening();
    int signalCount = 0;
    bool counting = false;
    QObject::connect(vm.get(), &ThwackoViewModel::objectWillChange, [&] { signalCount += counting; });
    // After many knocks the detector's slowly tracking mean makes it fire on quiet samples now and
    // then, which can hide a knock right behind; keep knocking until 101 slaps are in.
    for (int tick = 0; tick < 400 && vm->totalSlaps() < 101; ++tick) {
        counting = vm->totalSlaps() == 100;
        feed(knock(0.3));
        tickAfter(2);
    }
    ASSERT_EQ(vm->totalSlaps(), 101);
    EXPECT_EQ(vm->slapEvents().size(), 100u);
    EXPECT_EQ(vm->slapEvents().front().number(), 101);
    EXPECT_EQ(vm->slapEvents().back().number(), 2);
    EXPECT_EQ(signalCount, 4); // total, amplitude, the insertion and the trim
}

TEST_F(ThwackoViewModelTest, StartResetsTheSessionAndStopKeepsItsResults)
{
    make();
    startListening();
    feed(knock(0.3));
    tickAfter(2);
    vm->stop();
    EXPECT_EQ(vm->totalSlaps(), 1);
    EXPECT_EQ(vm->slapEvents().size(), 1u);
    EXPECT_GT(vm->lastAmplitude(), 0);

    startListening();
    EXPECT_EQ(vm->totalSlaps(), 0);
    EXPECT_TRUE(vm->slapEvents().empty());
    EXPECT_EQ(vm->lastAmplitude(), 0);
    EXPECT_EQ(vm->currentDetector().sampleCount(), 0);
}

TEST_F(ThwackoViewModelTest, WillTerminateStopsListening)
{
    make();
    startListening();
    center.post(foundation::kApplicationWillTerminate);
    EXPECT_FALSE(vm->isRunning());
    EXPECT_EQ(vm->statusMessage(), "Stopped");

    vm.reset();
    center.post(foundation::kApplicationWillTerminate); // the registration went with the view model
}

TEST_F(ThwackoViewModelTest, TheFolderChooserSetsTheCustomFolderOnlyWhenAccepted)
{
    make();
    services.choice = {false, dir.path()};
    vm->selectCustomDirectory();
    EXPECT_FALSE(vm->customDirectory());
    services.choice = {true, dir.path()};
    vm->selectCustomDirectory();
    EXPECT_EQ(vm->customDirectory(), dir.path());
    services.choice = {true, std::nullopt};
    vm->selectCustomDirectory();
    EXPECT_FALSE(vm->customDirectory());
    EXPECT_EQ(services.chooserMessages.front(), "Select a directory containing MP3 files");
}

// System events.

TEST_F(ThwackoViewModelTest, VolumeEventsAreLoggedNewestFirstUpToAHundredAndReported)
{
    make();
    for (int i = 0; i < 101; ++i) {
        usbMonitor->onEvent(VolumeMountEvent(clock.wall, i % 2 == 0, "V" + std::to_string(i), "/media/v", true, false));
    }
    EXPECT_TRUE(vm->usbVolumeEvents().empty()); // handled on a later turn of the main queue
    drain();
    ASSERT_EQ(vm->usbVolumeEvents().size(), 100u);
    EXPECT_EQ(vm->usbVolumeEvents().front().volumeName(), "V100");
    EXPECT_EQ(vm->usbVolumeEvents().back().volumeName(), "V1");
    const auto reported = analytics->named("usb_volume_event");
    ASSERT_EQ(reported.size(), 101u);
    const AnalyticsProperties first{{"mounted", true}, {"removable", true}, {"ejectable", false}};
    EXPECT_EQ(reported[0].second, first);
    EXPECT_TRUE(audio->plays.empty());
}

TEST_F(ThwackoViewModelTest, ReportsArrivingAfterTheirSwitchWentOffAreDropped)
{
    make();
    usbMonitor->onEvent(VolumeMountEvent(clock.wall, true, "V", "/media/v", true, true));
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Charging", "80%")});
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::closed);
    vm->setUsbVolumeMonitoring(false);
    vm->setPowerMonitoring(false);
    vm->setLidCreakMonitoring(false);
    drain();
    EXPECT_TRUE(vm->usbVolumeEvents().empty());
    EXPECT_TRUE(vm->powerSourceEvents().empty());
    EXPECT_TRUE(vm->lidCreakEvents().empty());
    EXPECT_TRUE(analytics->events.empty());
    EXPECT_TRUE(audio->plays.empty());
}

TEST_F(ThwackoViewModelTest, TheMonitorSwitchesStartAndStopTheirMonitors)
{
    make();
    workspace->values["/media/stick"] = {true, true, std::string("STICK")};
    vm->setUsbVolumeMonitoring(true); // restarts: still one registration
    workspace->post("/media/stick", true);
    drain();
    EXPECT_EQ(vm->usbVolumeEvents().size(), 1u);
    vm->setUsbVolumeMonitoring(false);
    workspace->post("/media/stick", true);
    drain();
    EXPECT_EQ(vm->usbVolumeEvents().size(), 1u);

    const int snapshots = powerSources->snapshotsTaken;
    vm->setPowerMonitoring(true); // a started monitor ignores start()
    EXPECT_EQ(powerSources->liveChangeSources(), 1);
    EXPECT_EQ(powerSources->snapshotsTaken, snapshots);
    vm->setPowerMonitoring(false);
    EXPECT_EQ(powerSources->liveChangeSources(), 0);
    vm->setPowerMonitoring(false);
    vm->setPowerMonitoring(true);
    EXPECT_EQ(powerSources->liveChangeSources(), 1);
    EXPECT_EQ(powerSources->snapshotsTaken, snapshots + 1); // a fresh baseline

    const int reads = lid->reads;
    vm->setLidCreakMonitoring(true);
    EXPECT_EQ(lid->reads, reads);
    vm->setLidCreakMonitoring(false);
    vm->setLidCreakMonitoring(true);
    EXPECT_EQ(lid->reads, reads + 1); // a fresh baseline
}

struct PowerSoundCase {
    const char* title;
    bool sound;
};

const PowerSoundCase kPowerSounds[] = {
    {"Adapter connected · charging", true}, {"Adapter connected", true}, {"On battery power", true}, {"Charging", true},
    {"Not charging (on AC)", false},        {"Not charging", false},
};

TEST(ThwackoViewModelPowerTitles, DecideTheSound)
{
    for (const auto& c : kPowerSounds) {
        EXPECT_EQ(ThwackoViewModel::shouldPlaySoundForPowerEvent(c.title), c.sound) << c.title;
    }
}

TEST_F(ThwackoViewModelTest, PowerEventsPlayOneClipPerOnePointTwoFiveSeconds)
{
    make();
    vm->setVolumeScaling(true);
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Adapter connected", "80%")});
    drain();
    ASSERT_EQ(vm->powerSourceEvents().size(), 1u);
    ASSERT_EQ(audio->plays.size(), 1u); // whether or not listening is on
    EXPECT_EQ(audio->plays[0].url.parent_path(), dir.path() / "res/Audio/pain");
    EXPECT_EQ(audio->plays[0].amplitude, 0.28);
    EXPECT_TRUE(audio->plays[0].volumeScaling);

    clock.advanceMonotonic(1.0);
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "On battery power", std::nullopt)});
    drain();
    EXPECT_EQ(audio->plays.size(), 1u);

    clock.advanceMonotonic(0.25); // 1.25 s after the last sound
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Adapter connected · charging", "81%"),
                            PowerSourceEvent(clock.wall, "Charging", "81%")});
    drain();
    EXPECT_EQ(audio->plays.size(), 2u); // one sound for the whole list
    ASSERT_EQ(vm->powerSourceEvents().size(), 4u);
    EXPECT_EQ(vm->powerSourceEvents().front().title(), "Charging"); // the last of a list ends newest

    clock.advanceMonotonic(5);
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Not charging (on AC)", "100%")});
    drain();
    EXPECT_EQ(audio->plays.size(), 2u);

    const auto reported = analytics->named("power_source_event");
    ASSERT_EQ(reported.size(), 5u);
    const AnalyticsProperties second{{"title", std::string("On battery power")}, {"has_detail", false}};
    EXPECT_EQ(reported[1].second, second);
}

TEST_F(ThwackoViewModelTest, APowerSoundWithoutClipsStillStartsItsSpacing)
{
    make();
    vm->setSelectedMode(SoundPackType::custom);
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Charging", std::nullopt)});
    drain();
    EXPECT_TRUE(audio->plays.empty());

    vm->setSelectedMode(SoundPackType::pain);
    clock.advanceMonotonic(1.0);
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Charging", std::nullopt)});
    drain();
    EXPECT_TRUE(audio->plays.empty());

    vm->setPowerEventSounds(false);
    clock.advanceMonotonic(5);
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Charging", std::nullopt)});
    drain();
    EXPECT_TRUE(audio->plays.empty());
    EXPECT_EQ(vm->powerSourceEvents().size(), 3u);
}

TEST_F(ThwackoViewModelTest, LidChangesCreakAtMostOncePerPointThreeFiveSeconds)
{
    make();
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::closed);
    drain();
    clock.advanceMonotonic(0.5);
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::opened);
    drain();
    clock.advanceMonotonic(0.3);
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::closed);
    drain();

    ASSERT_EQ(audio->plays.size(), 2u);
    EXPECT_EQ(audio->plays[0].url, dir.path() / "res/Audio/lid/close.mp3");
    EXPECT_EQ(audio->plays[1].url, dir.path() / "res/Audio/lid/open.mp3");
    EXPECT_EQ(audio->plays[1].amplitude, 0.32);
    ASSERT_EQ(vm->lidCreakEvents().size(), 3u);
    EXPECT_FALSE(vm->lidCreakEvents().front().opened());
    EXPECT_EQ(analytics->named("lid_creak_event").size(), 3u);

    // With the creak off the change is logged and reported, and the spacing is left alone.
    vm->setLidCreakSounds(false);
    clock.advanceMonotonic(0.1);
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::opened);
    drain();
    vm->setLidCreakSounds(true);
    clock.advanceMonotonic(0.3); // 0.4 s after the last attempt that played
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::closed);
    drain();
    EXPECT_EQ(audio->plays.size(), 3u);
    EXPECT_EQ(vm->lidCreakEvents().size(), 5u);
}

TEST_F(ThwackoViewModelTest, EachClearEmptiesOnlyItsOwnLog)
{
    make();
    usbMonitor->onEvent(VolumeMountEvent(clock.wall, true, "V", "/media/v", true, true));
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Not charging", std::nullopt)});
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::opened);
    drain();
    vm->clearPowerSourceLog();
    EXPECT_TRUE(vm->powerSourceEvents().empty());
    EXPECT_EQ(vm->usbVolumeEvents().size(), 1u);
    EXPECT_EQ(vm->lidCreakEvents().size(), 1u);
    vm->clearUSBVolumeLog();
    vm->clearLidCreakLog();
    EXPECT_TRUE(vm->usbVolumeEvents().empty());
    EXPECT_TRUE(vm->lidCreakEvents().empty());
}

// What views may do with the view model: read every state, run the operations and change the
// settings, but never write the listening state, counters or messages themselves.

template <typename VM> constexpr bool canSetIsRunning = requires(VM& vm) { vm.setIsRunning(false); };
template <typename VM> constexpr bool canSetIsPaused = requires(VM& vm) { vm.setIsPaused(false); };
template <typename VM> constexpr bool canSetTotalSlaps = requires(VM& vm) { vm.setTotalSlaps(0); };
template <typename VM> constexpr bool canSetLastAmplitude = requires(VM& vm) { vm.setLastAmplitude(0.0); };
template <typename VM> constexpr bool canSetStatusMessage = requires(VM& vm) { vm.setStatusMessage(""); };
template <typename VM> constexpr bool canSetErrorMessage = requires(VM& vm) { vm.setErrorMessage(std::nullopt); };
template <typename VM> constexpr bool canSetFastMode = requires(VM& vm) { vm.setFastMode(true); };
template <typename VM> constexpr bool canSetOnboarding = requires(VM& vm) { vm.setHasCompletedOnboarding(true); };

static_assert(!canSetIsRunning<ThwackoViewModel> && !canSetIsPaused<ThwackoViewModel>);
static_assert(!canSetTotalSlaps<ThwackoViewModel> && !canSetLastAmplitude<ThwackoViewModel>);
static_assert(!canSetStatusMessage<ThwackoViewModel> && !canSetErrorMessage<ThwackoViewModel>);
static_assert(canSetFastMode<ThwackoViewModel> && canSetOnboarding<ThwackoViewModel>);

struct MissingDependencyCase {
    const char* name;
    void (*remove)(ThwackoViewModel::Dependencies&);
};

const MissingDependencyCase kMissingDependencies[] = {
    {"accelerometer", [](auto& d) { d.accelerometer.reset(); }},
    {"usbVolumeMonitor", [](auto& d) { d.usbVolumeMonitor.reset(); }},
    {"powerSourceMonitor", [](auto& d) { d.powerSourceMonitor.reset(); }},
    {"lidClamshellMonitor", [](auto& d) { d.lidClamshellMonitor.reset(); }},
    {"audioPlayer", [](auto& d) { d.audioPlayer.reset(); }},
    {"clock", [](auto& d) { d.clock = nullptr; }},
    {"userDefaults", [](auto& d) { d.userDefaults = nullptr; }},
    {"bundle", [](auto& d) { d.bundle = nullptr; }},
    {"notificationCenter", [](auto& d) { d.notificationCenter = nullptr; }},
    {"folderChooser", [](auto& d) { d.folderChooser = nullptr; }},
};

class ThwackoViewModelDependencies : public ThwackoViewModelTest,
                                     public ::testing::WithParamInterface<MissingDependencyCase> {};

TEST_P(ThwackoViewModelDependencies, AMissingOneIsRefusedByName)
{
    auto deps = services.dependencies();
    GetParam().remove(deps);
    try {
        ThwackoViewModel refused(std::move(deps));
        FAIL() << "built without " << GetParam().name;
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()), std::string("ThwackoViewModel needs its dependency ") + GetParam().name);
    }
    EXPECT_EQ(powerSources->liveChangeSources(), 0); // nothing was left started
}

INSTANTIATE_TEST_SUITE_P(All, ThwackoViewModelDependencies, ::testing::ValuesIn(kMissingDependencies),
                         [](const auto& info) { return std::string(info.param.name); });

// Sequences of operations as views and the sensor drive them: after every step exactly one
// processing timer exists while listening and none otherwise.

enum class Step { start, stop, togglePause, drain, terminate, unplugSensor, plugSensor };

struct TimerSequenceCase {
    const char* name;
    std::vector<Step> steps;
};

const TimerSequenceCase kTimerSequences[] = {
    {"StartStop", {Step::start, Step::stop}},
    {"StartTwiceThenStop", {Step::start, Step::start, Step::drain, Step::start, Step::stop}},
    {"RestartBeforeTheReadyJob", {Step::start, Step::stop, Step::start, Step::drain, Step::stop}},
    {"StopWhilePausedThenRestart", {Step::start, Step::togglePause, Step::stop, Step::start, Step::stop}},
    {"PauseWhileStoppedThenStart", {Step::togglePause, Step::start, Step::start, Step::stop, Step::stop}},
    {"SensorFailureThenRetry",
     {Step::unplugSensor, Step::start, Step::start, Step::drain, Step::plugSensor, Step::start, Step::drain,
      Step::stop}},
    {"StartAfterTheErrorJobIsPosted",
     {Step::unplugSensor, Step::start, Step::stop, Step::plugSensor, Step::start, Step::drain, Step::stop}},
    {"TerminationThenStart", {Step::start, Step::terminate, Step::start, Step::drain, Step::stop}},
};

class ThwackoViewModelTimers : public ThwackoViewModelTest, public ::testing::WithParamInterface<TimerSequenceCase> {
protected:
    int timers() const { return static_cast<int>(vm->findChildren<QTimer*>().size()); }
};

TEST_P(ThwackoViewModelTimers, OneTimerWhileListeningAndNoneOtherwise)
{
    make();
    for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
        switch (GetParam().steps[i]) {
        case Step::start:
            vm->start();
            break;
        case Step::stop:
            vm->stop();
            break;
        case Step::togglePause:
            vm->togglePause();
            break;
        case Step::drain:
            drain();
            break;
        case Step::terminate:
            center.post(foundation::kApplicationWillTerminate);
            break;
        case Step::unplugSensor:
            sensor->services.clear();
            break;
        case Step::plugSensor:
            sensor->services = {FakeHidService::sensor(2)};
            break;
        }
        EXPECT_EQ(timers(), vm->isRunning() ? 1 : 0) << "after step " << i;
        EXPECT_EQ(vm->processingTimerInterval().has_value(), vm->isRunning()) << "after step " << i;
    }
    drain(); // jobs still posted (ready, error) change nothing of this
    EXPECT_FALSE(vm->isRunning());
    EXPECT_EQ(timers(), 0);
}

INSTANTIATE_TEST_SUITE_P(All, ThwackoViewModelTimers, ::testing::ValuesIn(kTimerSequences),
                         [](const auto& info) { return std::string(info.param.name); });

// What a user in a terminal reads: each change of the status and the error, and each record.

struct LogCase {
    const char* name;
    void (*act)(ThwackoViewModelTest& test, ThwackoViewModel& vm);
    std::vector<std::string> lines;
};

class ThwackoViewModelLog : public ThwackoViewModelTest, public ::testing::WithParamInterface<LogCase> {};

const LogCase kLogCases[] =
    {
        {"ListeningThenStopped",
         [](auto& t, auto& vm) {
    vm.start();
    t.drain();
    vm.stop();
    vm.stop(); // an equal status is not logged again
         },
         {"thwacko.status: Starting sensor...", "thwacko.status: Listening for slaps...", "thwacko.status: Stopped"}},
        {"PausedAndResumed",
         [](auto& t, auto& vm) {
    vm.start();
    t.drain();
    vm.togglePause();
    vm.togglePause();
         },
         {"thwacko.status: Starting sensor...", "thwacko.status: Listening for slaps...", "thwacko.status: Paused",
          "thwacko.status: Listening for slaps..."}},
              {"MissingSensor",
               [](auto& t, auto& vm) {
    t.sensor->services.clear();
    vm.start();
    t.drain();
               },
               {"thwacko.status: Starting sensor...", "thwacko.status: Stopped",
                "thwacko.status: error: Accelerometer not found. Make sure this laptop has a motion sensor.",
                "thwacko.status: Error"}},
    {"RefusedTwiceThenListening",
     [](auto& t, auto& vm) {
    vm.setSelectedMode(SoundPackType::custom);
    vm.start();
    vm.start(); // each attempt is told
    vm.setSelectedMode(SoundPackType::pain);
    vm.start();
    t.drain();
     },
     {"thwacko.status: error: Select a custom audio directory first",
      "thwacko.status: error: Select a custom audio directory first", "thwacko.status: Starting sensor...",
      "thwacko.status: Listening for slaps..."}},
    {"SystemEvents",
     [](auto& t, auto&) {
    t.usbMonitor->onEvent(VolumeMountEvent(t.clock.wall, true, "STICK", "/media/stick", true, false));
    t.powerMonitor->onEvents({PowerSourceEvent(t.clock.wall, "Adapter connected · charging", "80%"),
                              PowerSourceEvent(t.clock.wall, "On battery power", std::nullopt)});
    t.lidMonitor->onTransition(LidClamshellMonitor::LidTransition::closed);
    t.drain();
     },
     {"thwacko.events: volume mounted: STICK at /media/stick (removable, not ejectable)",
      "thwacko.events: power: Adapter connected · charging (80%)", "thwacko.events: power: On battery power",
      "thwacko.events: lid closed"}},
    {"EventsWhileTheirSwitchIsOffAreNotLogged",
     [](auto& t, auto& vm) {
    vm.setUsbVolumeMonitoring(false);
    vm.setLidCreakMonitoring(false);
    t.usbMonitor->onEvent(VolumeMountEvent(t.clock.wall, false, "STICK", "/media/stick", true, true));
    t.lidMonitor->onTransition(LidClamshellMonitor::LidTransition::opened);
    t.drain();
     },
     {}},
    };

TEST_P(ThwackoViewModelLog, TellsEachChangeOnce)
{
    make();
    testsupport::LogCapture log("thwacko.");
    GetParam().act(*this, *vm);
    std::vector<std::string> lines = log.lines();
    std::erase_if(lines, [](const std::string& line) { return line.starts_with("thwacko.slaps"); });
    EXPECT_EQ(lines, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(All, ThwackoViewModelLog, ::testing::ValuesIn(kLogCases),
                         [](const auto& info) { return std::string(info.param.name); });
