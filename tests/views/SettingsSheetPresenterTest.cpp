#include "TrayFixture.h"

#include "support/EventLoop.h"
#include "views/AppWindow.h"
#include "views/ContentView.h"
#include "views/SettingsSheetPresenter.h"
#include "views/SettingsView.h"

#include <QAbstractButton>
#include <QSlider>

namespace {

class SettingsSheetPresenterTest : public traytest::ViewModelFixture {
protected:
    std::unique_ptr<AppWindow> window;
    SettingsSheetPresenter* presenter = nullptr;

    void make()
    {
        window = std::make_unique<AppWindow>(*vm);
        presenter = new SettingsSheetPresenter(*window, *vm);
        window->open();
        drain();
    }
    void TearDown() override
    {
        window.reset();
        ViewModelFixture::TearDown();
    }
    QAbstractButton* gear() const { return window->findChild<QAbstractButton*>(QStringLiteral("settingsButton")); }
    bool sheetGone() const
    {
        return traytest::waitUntilGone([this] { return presenter->sheet() == nullptr; });
    }
};

struct GearCase {
    const char* name;
    bool completedAtStart; ///< false: the main window view comes when the onboarding completes
};

const GearCase kGearCases[] = {{"AfterALaterLaunch", true}, {"AfterTheOnboardingCompletes", false}};

class GearButton : public SettingsSheetPresenterTest, public ::testing::WithParamInterface<GearCase> {};

TEST_P(GearButton, PresentsTheSheetAndClosingItClearsShowSettings)
{
    vm->setHasCompletedOnboarding(GetParam().completedAtStart);
    make();
    if (!GetParam().completedAtStart) {
        vm->setHasCompletedOnboarding(true);
        drain();
    }
    ContentView* content = window->contentView();
    ASSERT_NE(content, nullptr);
    ASSERT_NE(gear(), nullptr);
    const double speed = vm->speedRatio();
    const bool running = vm->isRunning();

    for (int round = 0; round < 2; ++round) {
        gear()->click();
        drain();
        ASSERT_NE(presenter->sheet(), nullptr) << round;
        EXPECT_TRUE(content->showSettings());
        EXPECT_TRUE(presenter->sheet()->isVisible());
        EXPECT_EQ(presenter->sheet()->parentWidget(), window.get());
        EXPECT_EQ(presenter->sheet()->windowModality(), Qt::WindowModal);
        presenter->sheet()->closeButton()->click();
        EXPECT_TRUE(sheetGone()) << round;
        EXPECT_FALSE(content->showSettings());
    }
    // Showing and closing the sheet changed nothing of the view model's.
    EXPECT_EQ(vm->speedRatio(), speed);
    EXPECT_EQ(vm->isRunning(), running);
}

INSTANTIATE_TEST_SUITE_P(Views, GearButton, ::testing::ValuesIn(kGearCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsSheetPresenterTest, TheSheetEditsTheLiveViewModelTheWindowShows)
{
    vm->setHasCompletedOnboarding(true);
    make();
    gear()->click();
    drain();
    ASSERT_NE(presenter->sheet(), nullptr);
    presenter->sheet()->slider(QStringLiteral("Cooldown"))->setValue(0);
    EXPECT_EQ(vm->cooldownMs(), 100);
}

TEST_F(SettingsSheetPresenterTest, ClosingTheWindowClosesItsSheetSoTheGearWorksAgain)
{
    vm->setHasCompletedOnboarding(true);
    make();
    gear()->click();
    drain();
    ASSERT_NE(presenter->sheet(), nullptr);
    window->close();
    EXPECT_TRUE(sheetGone());
    EXPECT_FALSE(window->contentView()->showSettings());
    window->open();
    drain();
    gear()->click();
    drain();
    EXPECT_NE(presenter->sheet(), nullptr);
}

TEST_F(SettingsSheetPresenterTest, ClearingShowSettingsClosesTheSheet)
{
    vm->setHasCompletedOnboarding(true);
    make();
    window->contentView()->setShowSettings(true);
    drain();
    ASSERT_NE(presenter->sheet(), nullptr);
    window->contentView()->setShowSettings(false);
    EXPECT_TRUE(sheetGone());
}

} // namespace

#include "views/MenuBarExtra.h"

namespace {

TEST_F(SettingsSheetPresenterTest, WithoutATrayClosingTheWindowWithItsSheetOpenQuits)
{
    vm->setHasCompletedOnboarding(true);
    make();
    int terminations = 0;
    MenuBarExtra extra(
        *vm, [](const QString&) {}, [&terminations] { ++terminations; }, [] { return false; });
    gear()->click();
    drain();
    ASSERT_NE(presenter->sheet(), nullptr);
    window->close();
    drain();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(traytest::waitUntilGone([this] { return presenter->sheet() == nullptr; }));
    EXPECT_EQ(terminations, 1);
}

} // namespace
