#include "ViewModelFixture.h"

// The onboarding flag, change signals, starting and stopping, refusals, dependencies, timers and the log.

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
