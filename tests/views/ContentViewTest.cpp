#include "ViewQueries.h"
#include "ViewsFixture.h"

#include "views/ContentView.h"
#include "views/Theme.h"

#include <QLocale>
#include <QPushButton>

#include <clocale>

namespace {

using theme::SystemColor;
using viewtest::accessibleDescription;
using viewtest::accessibleName;
using viewtest::button;
using viewtest::showsText;
using viewtest::visibleTexts;

class ContentViewTest : public viewtest::ViewsTest {
protected:
    std::unique_ptr<ContentView> view;

    void SetUp() override
    {
        ViewsTest::SetUp();
        make();
        view = std::make_unique<ContentView>(*vm);
        view->resize(720, 520);
        view->show();
        settle();
    }
    void TearDown() override
    {
        view.reset();
        ViewsTest::TearDown();
    }

    QWidget* child(const char* name) const { return view->findChild<QWidget*>(QString::fromLatin1(name)); }
    QWidget* statusCard() const { return child("statusCard"); }
};

enum class ListeningState { stopped, running, paused };

struct ControlCase {
    const char* name;
    ListeningState state;
    SystemColor statusColor;
    const char* status;
    const char* firstTitle;
    const char* firstSymbol;
    SystemColor firstTint;
    const char* secondTitle; // nullptr: no second button
    const char* secondSymbol;
};

const ControlCase kControlCases[] = {
    {"Stopped", ListeningState::stopped, SystemColor::gray, "Ready", "Start", "play.fill", SystemColor::pink, nullptr,
     nullptr},
    {"Running", ListeningState::running, SystemColor::green, "Listening for slaps...", "Stop", "stop.fill",
     SystemColor::red, "Pause", "pause.fill"},
    {"Paused", ListeningState::paused, SystemColor::yellow, "Paused", "Stop", "stop.fill", SystemColor::red, "Resume",
     "play.fill"},
};

class ControlRow : public ContentViewTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlRow, FollowsTheListeningState)
{
    const ControlCase& c = GetParam();
    if (c.state != ListeningState::stopped) {
        startListening();
    }
    if (c.state == ListeningState::paused) {
        vm->togglePause();
    }
    settle();
    EXPECT_EQ(view->statusColor(), c.statusColor);
    EXPECT_TRUE(showsText(statusCard(), QString::fromLatin1(c.status)));
    EXPECT_EQ(accessibleName(statusCard()), QString::fromLatin1(c.status));

    auto* first = dynamic_cast<widgets::PillButton*>(button(view.get(), QString::fromLatin1(c.firstTitle)));
    ASSERT_NE(first, nullptr) << c.firstTitle;
    EXPECT_EQ(first->symbol(), c.firstSymbol);
    EXPECT_EQ(first->currentTint(), theme::color(c.firstTint, first->palette()));
    auto* second = child("pauseButton");
    if (c.secondTitle) {
        ASSERT_TRUE(second->isVisibleTo(view.get()));
        EXPECT_EQ(accessibleName(second), QString::fromLatin1(c.secondTitle));
        EXPECT_EQ(static_cast<widgets::PillButton*>(second)->symbol(), c.secondSymbol);
    } else {
        EXPECT_FALSE(second->isVisibleTo(view.get()));
    }
    // The selector and Browse... are disabled exactly while listening.
    EXPECT_EQ(child("modeSelector")->isEnabled(), c.state == ListeningState::stopped);
}

INSTANTIATE_TEST_SUITE_P(States, ControlRow, ::testing::ValuesIn(kControlCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ContentViewTest, TheButtonsDriveTheViewModel)
{
    button(view.get(), "Start")->click();
    settle();
    ASSERT_TRUE(vm->isRunning());
    button(view.get(), "Pause")->click();
    settle();
    EXPECT_TRUE(vm->isPaused());
    ASSERT_NE(button(view.get(), "Resume"), nullptr);
    button(view.get(), "Resume")->click();
    settle();
    EXPECT_FALSE(vm->isPaused());
    button(view.get(), "Stop")->click();
    settle();
    EXPECT_FALSE(vm->isRunning());
    EXPECT_EQ(vm->statusMessage(), "Stopped");
    EXPECT_NE(button(view.get(), "Start"), nullptr);
}

TEST_F(ContentViewTest, ARefusedStartShowsTheReasonAndKeepsTheStartButton)
{
    vm->setSelectedMode(SoundPackType::custom);
    button(view.get(), "Start")->click();
    settle();
    EXPECT_FALSE(vm->isRunning());
    EXPECT_EQ(view->statusColor(), SystemColor::gray);
    EXPECT_TRUE(showsText(statusCard(), "Select a custom audio directory first"));
    EXPECT_EQ(accessibleDescription(statusCard()), "Select a custom audio directory first");
    EXPECT_NE(button(view.get(), "Start"), nullptr);
    EXPECT_FALSE(child("pauseButton")->isVisibleTo(view.get()));
}

TEST_F(ContentViewTest, ASensorErrorShowsErrorAndItsTextUntilTheNextStart)
{
    sensor().services.clear();
    button(view.get(), "Start")->click();
    settle();
    EXPECT_FALSE(vm->isRunning());
    EXPECT_TRUE(showsText(statusCard(), "Error"));
    ASSERT_TRUE(vm->errorMessage());
    EXPECT_TRUE(showsText(statusCard(), QString::fromStdString(*vm->errorMessage())));
    EXPECT_NE(button(view.get(), "Start"), nullptr);

    sensor().services = {testsupport::FakeHidService::sensor(1)};
    button(view.get(), "Start")->click();
    settle();
    EXPECT_TRUE(vm->isRunning());
    EXPECT_EQ(visibleTexts(statusCard()), QStringList{"Listening for slaps..."}); // no error row left
}

TEST_F(ContentViewTest, ModeButtonsChooseTheModeOnlyWhileStopped)
{
    auto* halo = button(view.get(), "Halo");
    ASSERT_NE(halo, nullptr);
    halo->click();
    settle();
    EXPECT_EQ(vm->selectedMode(), SoundPackType::halo);
    EXPECT_TRUE(halo->isChecked());
    EXPECT_FALSE(button(view.get(), "Pain")->isChecked());
    EXPECT_TRUE(showsText(view.get(), "Random Halo death sounds on each slap"));
    EXPECT_TRUE(showsText(view.get(), "Halo")); // the Mode card

    startListening();
    button(view.get(), "Lizard")->click();
    settle();
    EXPECT_EQ(vm->selectedMode(), SoundPackType::halo);
    vm->stop();
    settle();
    button(view.get(), "Lizard")->click();
    settle();
    EXPECT_EQ(vm->selectedMode(), SoundPackType::lizard);
}

TEST_F(ContentViewTest, TheModeButtonsAreInOrderWithCustomLast)
{
    QStringList titles;
    for (auto* candidate : child("modeSelector")->findChildren<QAbstractButton*>()) {
        titles << accessibleName(candidate);
    }
    EXPECT_EQ(titles, (QStringList{"Pain", "Sexy", "Halo", "Lizard", "Custom"}));
}

TEST_F(ContentViewTest, TheFolderRowShowsOnlyInCustomModeWithThePathAsItIs)
{
    QWidget* row = child("customDirectoryPicker");
    EXPECT_FALSE(row->isVisibleTo(view.get()));
    vm->setSelectedMode(SoundPackType::custom);
    settle();
    ASSERT_TRUE(row->isVisibleTo(view.get()));
    EXPECT_TRUE(showsText(row, "No directory selected"));

    services->choice = {false, std::nullopt}; // cancelled
    button(row, "Browse...")->click();
    settle();
    EXPECT_TRUE(showsText(row, "No directory selected"));

    const auto folder = dir.path() / "My Clips" / "Ünïcode %20 folder";
    dir.write(std::filesystem::path("My Clips") / "Ünïcode %20 folder" / "x.mp3", "");
    services->choice = {true, folder};
    button(row, "Browse...")->click();
    settle();
    EXPECT_TRUE(showsText(row, QString::fromStdString(folder.string())));

    startListening();
    EXPECT_FALSE(static_cast<QPushButton*>(button(row, "Browse..."))->isEnabled());
    vm->stop();
    vm->setSelectedMode(SoundPackType::pain);
    settle();
    EXPECT_FALSE(row->isVisibleTo(view.get()));
}

TEST_F(ContentViewTest, StatisticsShowNumbersWithAFullStopUnderAGermanLocale)
{
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const char* numeric = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    startListening();
    knock(1.5);
    knock(1.5);
    EXPECT_EQ(vm->totalSlaps(), 2);
    const QString amplitude = theme::amplitude(vm->lastAmplitude());
    EXPECT_TRUE(showsText(view.get(), amplitude));
    EXPECT_TRUE(amplitude.contains(u'.')) << amplitude.toStdString();
    EXPECT_TRUE(showsText(view.get(), "2"));
    EXPECT_EQ(theme::amplitude(1.23456), "1.2346g");
    EXPECT_EQ(theme::amplitude(0.0), "0.0000g");
    EXPECT_EQ(theme::fixed(0.05, 3), "0.050");
    EXPECT_EQ(theme::ratio(1.25), "1.2x");
    EXPECT_EQ(theme::count(12345), "12345");
    if (numeric) {
        std::setlocale(LC_NUMERIC, "C");
    }
    QLocale::setDefault(before);
}

TEST_F(ContentViewTest, AtLaunchTheCardsReadZeroAndPain)
{
    EXPECT_TRUE(showsText(view.get(), "0"));
    EXPECT_TRUE(showsText(view.get(), "0.0000g"));
    EXPECT_TRUE(showsText(view.get(), "Pain"));
    for (const char* title : {"Total Slaps", "Last Amplitude", "Mode"}) {
        EXPECT_TRUE(showsText(view.get(), title)) << title;
    }
}

TEST_F(ContentViewTest, TheGearAsksForTheSettingsAndChangesNothingElse)
{
    EXPECT_FALSE(view->showSettings());
    int signalled = 0;
    QObject::connect(view.get(), &ContentView::showSettingsChanged, [&](bool shown) { signalled += shown ? 1 : 0; });
    auto* gear = button(view.get(), "Settings");
    ASSERT_NE(gear, nullptr);
    gear->click();
    EXPECT_TRUE(view->showSettings());
    EXPECT_EQ(signalled, 1);
    EXPECT_FALSE(vm->isRunning());
    view->setShowSettings(false);
    gear->click();
    EXPECT_EQ(signalled, 2);
}

TEST_F(ContentViewTest, TheWindowContentHasItsMinimumSizes)
{
    EXPECT_EQ(view->minimumSize(), QSize(720, 480));
    EXPECT_GE(child("mainPanel")->minimumWidth(), 340);
    EXPECT_GE(child("eventLogPanel")->minimumWidth(), 300);
    EXPECT_EQ(view->eventLogTab(), EventLogTab::slaps);
}

TEST_F(ContentViewTest, EveryControlHasAName)
{
    for (auto* candidate : view->findChildren<QAbstractButton*>()) {
        EXPECT_FALSE(accessibleName(candidate).isEmpty()) << candidate->metaObject()->className();
    }
}

} // namespace

namespace {

TEST_F(ContentViewTest, AnimationsNeverDelayTheStateAReaderSees)
{
    widgets::setAnimationsEnabled(true);
    button(view.get(), "Start")->click();
    settle();
    // At once, while the row and the indicator are still on their way.
    EXPECT_NE(button(view.get(), "Stop"), nullptr);
    EXPECT_NE(button(view.get(), "Pause"), nullptr);
    EXPECT_EQ(view->statusColor(), SystemColor::green);
    button(view.get(), "Halo")->click(); // disabled while running
    settle();
    EXPECT_EQ(vm->selectedMode(), SoundPackType::pain);
    button(view.get(), "Stop")->click();
    settle();
    EXPECT_NE(button(view.get(), "Start"), nullptr);
    EXPECT_FALSE(child("pauseButton")->isVisibleTo(view.get()));
    button(view.get(), "Halo")->click();
    settle();
    EXPECT_TRUE(showsText(view.get(), "Random Halo death sounds on each slap"));
    testsupport::pumpFor(std::chrono::milliseconds(400)); // the animations run out without harm
    EXPECT_TRUE(button(view.get(), "Halo")->isChecked());
    widgets::setAnimationsEnabled(false);
}

} // namespace
