#include "ViewModelFixture.h"

// From the sensor's samples to counted, logged and played slaps: gates, fast mode, batching, stamps.

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
