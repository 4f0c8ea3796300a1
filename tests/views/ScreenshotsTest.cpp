// Pictures of every screen in a light and a dark palette, written as PNG files into the build
// folder (screenshots/) for a person to look at. Each case also checks that the picture is not
// blank.
#include "ViewsFixture.h"

#include "views/AppWindow.h"
#include "views/ContentView.h"
#include "views/OnboardingView.h"
#include "views/Theme.h"

#include <QDir>
#include <QImage>

#include <set>

namespace {

using viewtest::ViewsTest;

struct PaletteCase {
    const char* name;
    QPalette (*palette)();
};

class Screenshots : public ViewsTest, public ::testing::WithParamInterface<PaletteCase> {
protected:
    void SetUp() override
    {
        ViewsTest::SetUp();
        QApplication::setPalette(GetParam().palette());
        QDir().mkpath(THWACKO_SCREENSHOT_DIR);
    }
    void TearDown() override
    {
        window.reset();
        QApplication::setPalette(QPalette());
        ViewsTest::TearDown();
    }

    AppWindow& open(bool completed)
    {
        make();
        vm->setHasCompletedOnboarding(completed);
        window = std::make_unique<AppWindow>(*vm);
        window->open();
        settle();
        return *window;
    }

    void shoot(const std::string& name)
    {
        settle();
        window->repaint();
        const QImage image = window->grab().toImage();
        const std::string file = std::string(THWACKO_SCREENSHOT_DIR) + "/" + name + "-" + GetParam().name + ".png";
        ASSERT_TRUE(image.save(QString::fromStdString(file))) << file;
        std::set<QRgb> colours;
        for (int y = 0; y < image.height(); y += 7) {
            for (int x = 0; x < image.width(); x += 7) {
                colours.insert(image.pixel(x, y));
            }
        }
        EXPECT_GT(colours.size(), 20u) << name << " looks blank";
    }

    std::unique_ptr<AppWindow> window;
};

TEST_P(Screenshots, MainWindowStoppedWithNoEvents)
{
    open(true);
    EXPECT_EQ(window->size(), QSize(720, 520));
    shoot("main-stopped");
}

TEST_P(Screenshots, MainWindowListeningWithSlaps)
{
    open(true);
    startListening();
    for (double strength : {0.08, 2.5, 0.3, 1.2, 0.06, 4.0, 0.5, 0.15, 3.0, 0.9, 0.1, 1.8}) {
        knock(strength);
    }
    shoot("main-listening");
}

TEST_P(Screenshots, MainWindowPaused)
{
    open(true);
    startListening();
    knock(1.5);
    vm->togglePause();
    shoot("main-paused");
}

TEST_P(Screenshots, MainWindowSensorError)
{
    sensor().services.clear();
    open(true);
    vm->start();
    settle();
    shoot("main-sensor-error");
}

TEST_P(Screenshots, MainWindowCustomModeWithALongFolder)
{
    open(true);
    services->choice = {true,
                        std::filesystem::path("/home/someone/Music/Sound effects/Ünïcödé clips/very long folder name "
                                              "that goes on and on/and a little further/slaps")};
    vm->setSelectedMode(SoundPackType::custom);
    vm->selectCustomDirectory();
    shoot("main-custom-folder");
}

TEST_P(Screenshots, UsbTabWithEvents)
{
    open(true);
    volumeChange("/media/someone/BACKUP", "BACKUP", true, true);
    volumeChange("/media/someone/A volume with a rather long name indeed", "A volume with a rather long name indeed",
                 true, false);
    volumeChange("/media/someone/BACKUP", "BACKUP", false, true);
    window->contentView()->setEventLogTab(EventLogTab::usbVolumes);
    shoot("main-usb-tab");
}

TEST_P(Screenshots, PowerTabWithEvents)
{
    open(true);
    powerChange(true, true, 42);
    powerChange(false, false, 41);
    window->contentView()->setEventLogTab(EventLogTab::power);
    shoot("main-power-tab");
}

TEST_P(Screenshots, PowerTabWithMonitoringOff)
{
    open(true);
    vm->setPowerMonitoring(false);
    window->contentView()->setEventLogTab(EventLogTab::power);
    shoot("main-power-off");
}

TEST_P(Screenshots, OnboardingChecking)
{
    open(false);
    EXPECT_EQ(window->size(), QSize(440, 640));
    shoot("onboarding-checking");
}

TEST_P(Screenshots, OnboardingWaitingForTheSlap)
{
    open(false);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return window->onboardingView()->waitingForSlap(); }));
    shoot("onboarding-waiting");
}

TEST_P(Screenshots, OnboardingAfterTheSlap)
{
    open(false);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return window->onboardingView()->waitingForSlap(); }));
    knock(1.5);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return window->onboardingView()->slapDetected(); }));
    shoot("onboarding-slapped");
}

TEST_P(Screenshots, OnboardingWithoutASensor)
{
    sensor().services.clear();
    open(false);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return window->onboardingView()->sensorCheckDone(); }));
    shoot("onboarding-no-sensor");
}

INSTANTIATE_TEST_SUITE_P(Palettes, Screenshots,
                         ::testing::Values(PaletteCase{"light", theme::lightPalette},
                                           PaletteCase{"dark", theme::darkPalette}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
