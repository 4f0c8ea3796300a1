#include "ViewQueries.h"
#include "ViewsFixture.h"
#include "WarningRecorder.h"

#include "views/AppWindow.h"
#include "views/ContentView.h"
#include "views/OnboardingView.h"

namespace {

using testsupport::pumpUntil;
using viewtest::button;
using viewtest::showsText;

class OnboardingTest : public viewtest::ViewsTest {
protected:
    std::unique_ptr<AppWindow> window;

    void TearDown() override
    {
        window.reset();
        ViewsTest::TearDown();
    }

    AppWindow& open()
    {
        if (!vm) {
            make();
        }
        window = std::make_unique<AppWindow>(*vm);
        window->open();
        settle();
        return *window;
    }
    OnboardingView* onboarding() const { return window->onboardingView(); }
};

TEST_F(OnboardingTest, AFirstLaunchOpensTheOnboardingAt440By640)
{
    open();
    ASSERT_NE(onboarding(), nullptr);
    EXPECT_EQ(window->contentView(), nullptr);
    EXPECT_EQ(window->size(), QSize(440, 640));
    EXPECT_EQ(window->windowTitle(), "Bonkly");
    EXPECT_TRUE(showsText(onboarding(), "Checking..."));
    EXPECT_TRUE(showsText(onboarding(), "Your laptop is waiting. Nervously."));
    EXPECT_EQ(button(onboarding(), "Start Slapping"), nullptr);
}

TEST_F(OnboardingTest, AKnockPassesTheSlapTestAndStartSlappingOpensTheMainWindowListening)
{
    open();
    ASSERT_TRUE(pumpUntil([&] { return onboarding()->waitingForSlap(); }));
    EXPECT_TRUE(onboarding()->sensorAvailable());
    EXPECT_TRUE(vm->isRunning());
    EXPECT_TRUE(showsText(onboarding(), "Your laptop can feel. Sorry, laptop."));
    EXPECT_TRUE(showsText(onboarding(), "Waiting for a slap..."));

    knock(1.5);
    ASSERT_TRUE(pumpUntil([&] { return onboarding()->slapDetected(); }));
    EXPECT_TRUE(onboarding()->waitingForSlap());
    EXPECT_TRUE(showsText(onboarding(), "Ouch! That hurt."));
    EXPECT_FALSE(showsText(onboarding(), "Waiting for a slap..."));
    EXPECT_GT(vm->totalSlaps(), 0);

    OnboardingView* before = onboarding();
    QWidget* start = button(before, "Start Slapping");
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(viewtest::accessibleName(start), "Start Slapping");
    static_cast<QAbstractButton*>(start)->click();
    EXPECT_TRUE(vm->hasCompletedOnboarding());
    ASSERT_TRUE(pumpUntil([&] { return window->contentView() != nullptr; }));
    settle();
    EXPECT_EQ(window->onboardingView(), nullptr);
    EXPECT_TRUE(window->isVisible()); // switched in place
    EXPECT_TRUE(vm->isRunning());
    EXPECT_EQ(vm->totalSlaps(), 0);
    EXPECT_TRUE(vm->slapEvents().empty());
    EXPECT_GE(services->audio->stopAlls, 1); // a clip of the test slap stops
    EXPECT_TRUE(showsText(window->contentView(), "Listening for slaps..."));

    // Closed and opened again, the window takes the main window's size.
    window->resize(800, 600);
    window->close();
    window->open();
    EXPECT_EQ(window->size(), QSize(720, 520));

    // The next launch opens the main window at its own size.
    window.reset();
    vm.reset();
    make();
    open();
    EXPECT_NE(window->contentView(), nullptr);
    EXPECT_EQ(window->size(), QSize(720, 520));
}

TEST_F(OnboardingTest, WithoutASensorTheOnboardingOffersNoWayForward)
{
    sensor().services.clear();
    open();
    ASSERT_TRUE(pumpUntil([&] { return onboarding()->sensorCheckDone(); }));
    EXPECT_FALSE(onboarding()->sensorAvailable());
    EXPECT_TRUE(showsText(onboarding(), "No accelerometer found."));
    EXPECT_TRUE(showsText(onboarding(), "Go ahead. Hit it."));
    testsupport::pumpFor(std::chrono::milliseconds(700)); // past the slap test's delay
    EXPECT_FALSE(onboarding()->waitingForSlap());
    EXPECT_FALSE(vm->isRunning());
    EXPECT_EQ(button(onboarding(), "Start Slapping"), nullptr);
}

struct SensorCardCase {
    const char* name;
    bool listed;
    bool unreadable;
    bool present;
    const char* result; // the red line
    const char* hint;   // the secondary line under it
};

const SensorCardCase kSensorCards[] = {
    {"NoSensor", true, false, false, "No accelerometer found.",
     "This machine may have no motion sensor. To try Bonkly anyway, start it with --sensor replay."},
    {"UnreadableLeftOut", false, true, true, "Found a motion sensor, but this user may not read it.",
     "Install 70-thwacko-sensors.rules (see the README), then open this window again."},
    {"UnreadableListed", true, true, true, "Found a motion sensor, but this user may not read it.",
     "Install 70-thwacko-sensors.rules (see the README), then open this window again."},
};

class OnboardingSensorCard : public OnboardingTest, public ::testing::WithParamInterface<SensorCardCase> {};

TEST_P(OnboardingSensorCard, SaysWhatTheCheckFoundAndWhatToDo_ThenReopeningWithAccessGoesOn)
{
    const auto& param = GetParam();
    if (!param.present) {
        sensor().services.clear();
    } else {
        sensor().services[0].listed = param.listed;
        sensor().services[0].unreadable = param.unreadable;
        sensor().services[0].openResult = param.listed ? -13 : 0;
    }
    open();
    ASSERT_TRUE(pumpUntil([&] { return onboarding()->sensorCheckDone(); }));
    EXPECT_FALSE(onboarding()->sensorAvailable());
    EXPECT_EQ(onboarding()->sensorUnreadable(), param.unreadable);
    const std::vector<QString> lines = {"No accelerometer found.",
                                        "Found a motion sensor, but this user may not read it.",
                                        "This machine may have no motion sensor. To try Bonkly anyway, start it with "
                                        "--sensor replay.",
                                        "Install 70-thwacko-sensors.rules (see the README), then open this window "
                                        "again."};
    for (const QString& line : lines) {
        EXPECT_EQ(showsText(onboarding(), line), line == param.result || line == param.hint) << line.toStdString();
    }
    EXPECT_TRUE(sensor().created.empty());                // the check opened nothing
    testsupport::pumpFor(std::chrono::milliseconds(700)); // past the slap test's delay
    EXPECT_FALSE(onboarding()->waitingForSlap());
    EXPECT_FALSE(vm->isRunning());

    // Access granted (or the sensor plugged in): closing the window and opening it again checks
    // anew and goes on to the slap test.
    sensor().services = {testsupport::FakeHidService::sensor(1)};
    window->close();
    settle();
    window->open();
    ASSERT_TRUE(pumpUntil([&] { return onboarding()->waitingForSlap(); }));
    EXPECT_TRUE(onboarding()->sensorAvailable());
    EXPECT_FALSE(onboarding()->sensorUnreadable());
    EXPECT_TRUE(showsText(onboarding(), "Your laptop can feel. Sorry, laptop."));
    for (const QString& line : lines) {
        EXPECT_FALSE(showsText(onboarding(), line)) << line.toStdString();
    }
    knock(1.5);
    EXPECT_TRUE(pumpUntil([&] { return onboarding()->slapDetected(); }));
}

INSTANTIATE_TEST_SUITE_P(Views, OnboardingSensorCard, ::testing::ValuesIn(kSensorCards),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OnboardingTest, TheColumnLeaves48PointsAboveTheHeroAndTheLogoFillsIts200By170Frame)
{
    open();
    auto* hero = onboarding()->findChild<QWidget*>("heroIcon");
    ASSERT_NE(hero, nullptr);
    EXPECT_EQ(hero->y(), 48);
    EXPECT_EQ(hero->height(), 176);
    const QRectF logo = onboarding()->logoFrame();
    EXPECT_NEAR(std::max(logo.width() / 200.0, logo.height() / 170.0), 1.0, 0.01)
        << logo.width() << "x" << logo.height();
    EXPECT_NEAR(logo.center().x(), hero->width() / 2.0, 0.5);

    // Below the last card: the same 28 + 20 points before the column's end.
    auto* slapCard = onboarding()->findChild<QWidget*>("slapTestSection");
    ASSERT_NE(slapCard, nullptr);
    auto* gapBelow = onboarding()->findChild<QWidget*>("bottomGap");
    ASSERT_NE(gapBelow, nullptr);
    EXPECT_EQ(gapBelow->y() - (slapCard->y() + slapCard->height()), 28);
    EXPECT_EQ(gapBelow->height(), 20);
}

TEST_F(OnboardingTest, EachAppearanceSendsOnboardingShownOnce)
{
    open();
    EXPECT_EQ(analyticsCount("onboarding_shown"), 1);
    EXPECT_TRUE(analytics->named("onboarding_shown").front().second.empty());
    window->hide();
    settle();
    window->open();
    settle();
    EXPECT_EQ(analyticsCount("onboarding_shown"), 2);
}

TEST_F(OnboardingTest, StepsDueAfterTheViewLeftDoNotRun)
{
    open();
    window->hide(); // before the 0.6 s check
    testsupport::pumpFor(std::chrono::milliseconds(1300));
    EXPECT_FALSE(onboarding()->sensorCheckDone());
    EXPECT_FALSE(vm->isRunning());
}

TEST_F(OnboardingTest, LeavingDuringTheSlapTestStopsListening)
{
    open();
    ASSERT_TRUE(pumpUntil([&] { return onboarding()->waitingForSlap(); }));
    window->close();
    settle();
    EXPECT_FALSE(onboarding()->waitingForSlap());
    EXPECT_FALSE(vm->isRunning());
}

TEST_F(OnboardingTest, ACountAboveZeroFromAnEarlierTestStillCountsTheNextSlap)
{
    // A counted test slap, then the window closes and opens again: the baseline is read after
    // start() has reset the count, so the next slap is the test slap. The transitions run here.
    widgets::setAnimationsEnabled(true);
    open();
    ASSERT_TRUE(pumpUntil([&] { return onboarding()->waitingForSlap(); }));
    knock(1.5);
    ASSERT_TRUE(pumpUntil([&] { return onboarding()->slapDetected(); }));
    window.reset();
    ASSERT_FALSE(vm->isRunning());
    ASSERT_EQ(vm->totalSlaps(), 1);
    open();
    ASSERT_TRUE(pumpUntil([&] { return onboarding()->waitingForSlap(); }));
    knock(1.5);
    EXPECT_TRUE(pumpUntil([&] { return onboarding()->slapDetected(); }));
}

TEST_F(OnboardingTest, ListeningAlreadyOnCountsTheNextSlap)
{
    make();
    startListening();
    knock(1.5);
    open();
    ASSERT_TRUE(pumpUntil([&] { return onboarding()->waitingForSlap(); }));
    EXPECT_EQ(vm->totalSlaps(), 1); // start() changed nothing
    knock(1.5);
    EXPECT_TRUE(pumpUntil([&] { return onboarding()->slapDetected(); }));
}

struct HandoverCase {
    const char* name;
    bool animations;
};

const HandoverCase kHandoverCases[] = {{"Animated", true}, {"Still", false}};

class OnboardingHandover : public OnboardingTest, public ::testing::WithParamInterface<HandoverCase> {};

TEST_P(OnboardingHandover, FromTheFirstLaunchToTheMainWindowQtLogsNoWarning)
{
    widgets::setAnimationsEnabled(GetParam().animations);
    const viewtest::WarningRecorder recorder;
    open();
    ASSERT_TRUE(pumpUntil([&] { return onboarding()->waitingForSlap(); }));
    knock(1.5);
    ASSERT_TRUE(pumpUntil([&] { return onboarding()->slapDetected(); }));
    QWidget* start = button(onboarding(), "Start Slapping");
    ASSERT_NE(start, nullptr);
    static_cast<QAbstractButton*>(start)->click();
    ASSERT_TRUE(pumpUntil([&] { return window->contentView() != nullptr; }));
    settle();
    EXPECT_TRUE(recorder.warnings().isEmpty()) << recorder.text();
    widgets::setAnimationsEnabled(false);
}

INSTANTIATE_TEST_SUITE_P(Views, OnboardingHandover, ::testing::ValuesIn(kHandoverCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
