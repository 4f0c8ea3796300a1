// Pictures of every screen in a light and a dark palette, written as PNG files into the build
// folder (screenshots/) for a person to look at. Each case also checks that the picture is not
// blank.
#include "ViewsFixture.h"

#include "views/AppWindow.h"
#include "views/ContentView.h"
#include "views/OnboardingView.h"
#include "views/Symbols.h"
#include "views/Theme.h"

#include <QDir>
#include <QImage>
#include <QPainter>

#include <iostream>
#include <set>

namespace {

using viewtest::ViewsTest;

struct PaletteCase {
    const char* name;
    QPalette (*palette)();
};

class Screenshots : public viewtest::WindowTest, public ::testing::WithParamInterface<PaletteCase> {
protected:
    void SetUp() override
    {
        ViewsTest::SetUp();
        QApplication::setPalette(GetParam().palette());
        QDir().mkpath(THWACKO_SCREENSHOT_DIR);
    }
    void TearDown() override
    {
        window.reset(); // before the palette changes back
        QApplication::setPalette(QPalette());
        WindowTest::TearDown();
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
    const std::pair<double, int> knocks[] = {{0.08, 1}, {2.5, 6},  {0.3, 1}, {1.2, 4}, {0.06, 1}, {4.0, 8},
                                             {0.5, 2},  {0.15, 1}, {3.0, 5}, {0.9, 3}, {0.1, 1},  {1.8, 1}};
    for (const auto& [strength, width] : knocks) {
        knock(strength, width);
    }
    std::set<std::string> severities;
    for (const auto& event : vm->slapEvents()) {
        severities.insert(event.severity());
    }
    std::cout << vm->totalSlaps() << " slaps of " << severities.size() << " severities\n";
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

TEST_P(Screenshots, MainWindowSoundErrorWhileListening)
{
    open(true);
    startListening();
    knock(1.5);
    services->audio->report(
        "cannot decode /home/someone/Music/Sound effects/a clip with a long name.mp3: no audio data");
    settle();
    EXPECT_EQ(vm->statusMessage(), "Listening for slaps...");
    shoot("main-sound-error");
}

TEST_P(Screenshots, MainWindowCustomFolderThatCannotBeRead)
{
    open(true);
    services->choice = {true, std::filesystem::path("/media/someone/USB stick/Sound effects/slaps")};
    vm->setSelectedMode(SoundPackType::custom);
    vm->selectCustomDirectory();
    testing::internal::CaptureStdout(); // the pack's own line
    vm->start();
    testing::internal::GetCapturedStdout();
    shoot("main-unreadable-folder");
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

TEST_P(Screenshots, OnboardingWithASensorThisUserMayNotRead)
{
    sensor().services[0].listed = false;
    sensor().services[0].unreadable = true;
    open(false);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return window->onboardingView()->sensorCheckDone(); }));
    shoot("onboarding-sensor-unreadable");
}

INSTANTIATE_TEST_SUITE_P(Palettes, Screenshots,
                         ::testing::Values(PaletteCase{"light", theme::lightPalette},
                                           PaletteCase{"dark", theme::darkPalette}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

namespace {

// Every symbol the views use at 16, 20, 24 and 32 px, on a light and a dark ground, for a person
// to check that each reads at menu and button sizes.
TEST(SymbolSheet, DrawsEveryUsedSymbolAtEverySize)
{
    QDir().mkpath(THWACKO_SCREENSHOT_DIR);
    const auto& names = symbols::usedSymbolNames();
    const std::array<int, 4> sizes{16, 20, 24, 32};
    const int cell = 40;
    QImage sheet(int(sizes.size()) * 2 * cell, int(names.size()) * cell, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Qt::white);
    QPainter painter(&sheet);
    painter.fillRect(QRect(int(sizes.size()) * cell, 0, int(sizes.size()) * cell, sheet.height()),
                     QColor(0x26, 0x26, 0x28));
    for (std::size_t row = 0; row < names.size(); ++row) {
        for (std::size_t column = 0; column < sizes.size(); ++column) {
            const int px = sizes[column];
            const int y = int(row) * cell + (cell - px) / 2;
            painter.drawPixmap(int(column) * cell + (cell - px) / 2, y,
                               symbols::symbolPixmap(names[row], px, QColor(0x1d, 0x1d, 0x1f)));
            painter.drawPixmap(int(sizes.size() + column) * cell + (cell - px) / 2, y,
                               symbols::symbolPixmap(names[row], px, QColor(0xf2, 0xf2, 0xf7)));
        }
    }
    painter.end();
    EXPECT_TRUE(sheet.save(THWACKO_SCREENSHOT_DIR "/symbols.png"));
}

} // namespace
