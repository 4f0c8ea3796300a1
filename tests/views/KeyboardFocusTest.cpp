// The keyboard as a user drives it: Tab walks the controls of the main window and of the
// settings sheet, each showing a focus ring while the keyboard moves the focus; a click leaves no
// ring; Escape closes the sheet. Key and mouse events go to the real widgets.
#include "TrayFixture.h"

#include "support/EventLoop.h"
#include "views/AppWindow.h"
#include "views/ContentView.h"
#include "views/FocusRing.h"
#include "views/SettingsSheetPresenter.h"
#include "views/SettingsView.h"
#include "views/Theme.h"

#include <QAbstractButton>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QSlider>
#include <QTest>

#include <algorithm>
#include <set>

namespace {

void drain()
{
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::processEvents();
    }
}

/// Whether `widget` draws differently with the keyboard's focus than with the same focus
/// given by a click: its ring shows.
bool ringShows(QWidget* widget)
{
    QWidget* window = widget->window();
    const QImage keyboard = widget->grab().toImage();
    window->setAttribute(Qt::WA_KeyboardFocusChange, false);
    const QImage mouse = widget->grab().toImage();
    window->setAttribute(Qt::WA_KeyboardFocusChange, true);
    return keyboard != mouse;
}

/// Presses Tab in `window` until the focus comes back to where it began; returns the focused
/// widgets in order.
std::vector<QWidget*> tabThrough(QWidget* window)
{
    std::vector<QWidget*> reached;
    for (int presses = 0; presses < 60; ++presses) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : window;
        traytest::key(target, Qt::Key_Tab);
        drain();
        QWidget* focused = QApplication::focusWidget();
        if (focused == nullptr || (!reached.empty() && focused == reached.front())) {
            break;
        }
        reached.push_back(focused);
    }
    return reached;
}

std::set<QString> names(const std::vector<QWidget*>& widgets)
{
    std::set<QString> out;
    for (QWidget* widget : widgets) {
        out.insert(widget->accessibleName());
    }
    return out;
}

class KeyboardFocusTest : public traytest::ViewModelFixture {
protected:
    std::unique_ptr<AppWindow> window;
    SettingsSheetPresenter* presenter = nullptr;

    void open()
    {
        vm->setHasCompletedOnboarding(true);
        window = std::make_unique<AppWindow>(*vm);
        presenter = new SettingsSheetPresenter(*window, *vm);
        window->open();
        QApplication::setActiveWindow(window.get());
        drain();
    }
    void TearDown() override
    {
        window.reset();
        ViewModelFixture::TearDown();
    }
    QAbstractButton* gear() const { return window->findChild<QAbstractButton*>(QStringLiteral("settingsButton")); }
};

// Each Tab shows the ring again and each click in the window after it hides it again, also a
// click beside the controls.
TEST_F(KeyboardFocusTest, EveryClickAfterATabHidesTheRingAgain)
{
    open();
    for (int round = 0; round < 3; ++round) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : window.get();
        traytest::key(target, Qt::Key_Tab);
        drain();
        QWidget* focused = QApplication::focusWidget();
        ASSERT_NE(focused, nullptr) << "round " << round;
        EXPECT_TRUE(focusring::shows(focused)) << "round " << round;
        QTest::mouseClick(window.get(), Qt::LeftButton, Qt::NoModifier, QPoint(1, 1));
        drain();
        EXPECT_EQ(QApplication::focusWidget(), focused) << "round " << round;
        EXPECT_FALSE(focusring::shows(focused)) << "round " << round << ": the click left the ring";
    }
}

TEST_F(KeyboardFocusTest, TabReachesEveryControlOfTheMainWindowEachWithItsRingAndAClickShowsNone)
{
    open();
    startListening();
    slap(); // the log's Clear shows with an entry, which stays once listening stops
    vm->stop();
    drain();
    const std::vector<QWidget*> reached = tabThrough(window.get());
    const std::set<QString> reachedNames = names(reached);
    // The log's tabs are one group: Tab reaches the selected one, the arrow keys the others.
    for (const char* name : {"Settings", "Pain", "Sexy", "Halo", "Lizard", "Custom", "Start", "Slaps", "Clear"}) {
        EXPECT_TRUE(reachedNames.count(QString::fromUtf8(name))) << name << " is not reached by Tab";
    }
    EXPECT_EQ(reached.size(), 9u) << "Tab stops at something that is no control";
    for (QWidget* widget : reached) {
        widget->setFocus(Qt::TabFocusReason);
        EXPECT_TRUE(focusring::shows(widget)) << widget->accessibleName().toStdString();
        EXPECT_TRUE(ringShows(widget)) << widget->accessibleName().toStdString() << " shows no ring";
    }
    QWidget* tab = *std::find_if(reached.begin(), reached.end(),
                                 [](QWidget* widget) { return widget->accessibleName() == "Slaps"; });
    tab->setFocus(Qt::TabFocusReason);
    for (const char* name : {"USB", "Power"}) {
        traytest::key(QApplication::focusWidget(), Qt::Key_Right);
        drain();
        ASSERT_NE(QApplication::focusWidget(), nullptr);
        EXPECT_EQ(QApplication::focusWidget()->accessibleName(), name);
        EXPECT_TRUE(ringShows(QApplication::focusWidget())) << name << " shows no ring";
    }
    startListening();
    drain();

    // A click gives the focus without a ring, on this control and on the one Tab had reached.
    QWidget* pause = window->findChild<QWidget*>(QStringLiteral("pauseButton"));
    ASSERT_NE(pause, nullptr);
    pause->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(focusring::shows(pause));
    QWidget* startStop = window->findChild<QWidget*>(QStringLiteral("startStopButton"));
    ASSERT_NE(startStop, nullptr);
    QTest::mouseClick(startStop, Qt::LeftButton);
    drain();
    EXPECT_FALSE(vm->isRunning());
    EXPECT_TRUE(startStop->hasFocus());
    EXPECT_FALSE(focusring::shows(startStop));
    const QImage clicked = startStop->grab().toImage();
    startStop->clearFocus();
    EXPECT_EQ(startStop->grab().toImage(), clicked) << "a click left a ring";

    // The next Tab shows it again.
    traytest::key(window.get(), Qt::Key_Tab);
    drain();
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    EXPECT_TRUE(focusring::shows(QApplication::focusWidget()));

    // The custom mode's "Browse..." (drawn by the style) is reached too and shows its focus.
    vm->stop();
    vm->setSelectedMode(SoundPackType::custom);
    drain();
    const std::vector<QWidget*> custom = tabThrough(window.get());
    const auto browse = std::find_if(custom.begin(), custom.end(),
                                     [](QWidget* widget) { return widget->accessibleName() == "Browse..."; });
    ASSERT_NE(browse, custom.end()) << "Browse... is not reached by Tab";
    (*browse)->setFocus(Qt::TabFocusReason);
    EXPECT_TRUE(ringShows(*browse)) << "Browse... shows no focus";
}

TEST_F(KeyboardFocusTest, TheSheetsCloseButtonSwitchesAndSlidersShowTheirRingsAndEscapeClosesIt)
{
    open();
    traytest::click(gear());
    drain();
    SettingsView* sheet = presenter->sheet();
    ASSERT_NE(sheet, nullptr);
    QApplication::setActiveWindow(sheet);
    drain();
    const std::vector<QWidget*> reached = tabThrough(sheet);
    const std::set<QString> reachedNames = names(reached);
    std::vector<QString> expected = {"Close"};
    for (const SliderSetting& setting : sliderSettings()) {
        expected.push_back(setting.sliderLabel);
    }
    for (const ToggleSetting& setting : toggleSettings()) {
        expected.push_back(setting.title);
    }
    for (const QString& name : expected) {
        EXPECT_TRUE(reachedNames.count(name)) << name.toStdString() << " is not reached by Tab";
    }
    for (QWidget* widget : reached) {
        widget->setFocus(Qt::TabFocusReason);
        EXPECT_TRUE(ringShows(widget)) << widget->accessibleName().toStdString() << " shows no ring";
    }

    QWidget* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr);
    traytest::key(focused, Qt::Key_Escape);
    EXPECT_TRUE(traytest::waitUntilGone([this] { return presenter->sheet() == nullptr; }));
    EXPECT_FALSE(window->contentView()->showSettings());
}

// The slider's filled part takes the accent colour even where the palette's highlight is blue.
TEST_F(KeyboardFocusTest, SliderFillsTakeTheAccentColourWhateverTheHighlight)
{
    for (const traytest::PaletteCase& paletteCase : traytest::kPalettes) {
        QPalette palette = paletteCase.palette();
        palette.setColor(QPalette::Highlight, QColor(0x30, 0x8c, 0xf7));
        QApplication::setPalette(palette);
        SettingsView sheet(*vm);
        sheet.show();
        drain();
        QSlider* slider = sheet.slider(QStringLiteral("Playback Speed"));
        ASSERT_NE(slider, nullptr);
        slider->setValue(slider->maximum());
        const QImage image = slider->grab().toImage();
        const QColor accent = theme::color(theme::SystemColor::pink, sheet.palette());
        const QColor blue(0x30, 0x8c, 0xf7);
        // The fill is shaded, so pixels are told apart by hue.
        const auto sameHue = [](const QColor& pixel, const QColor& colour) {
            const int distance = std::abs(pixel.hslHue() - colour.hslHue());
            return pixel.hslSaturation() > 80 && std::min(distance, 360 - distance) < 20;
        };
        int accentPixels = 0;
        int bluePixels = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                accentPixels += sameHue(pixel, accent) ? 1 : 0;
                bluePixels += sameHue(pixel, blue) ? 1 : 0;
            }
        }
        EXPECT_GT(accentPixels, 20) << paletteCase.name;
        EXPECT_EQ(bluePixels, 0) << paletteCase.name;
    }
}

// Pictures of the rings, in both palettes, for a person to look at.
TEST_F(KeyboardFocusTest, PicturesOfTheRings)
{
    for (const traytest::PaletteCase& paletteCase : traytest::kPalettes) {
        QApplication::setPalette(paletteCase.palette());
        open();
        QWidget* mode = window->findChild<QWidget*>(QStringLiteral("modeSelector"));
        ASSERT_NE(mode, nullptr);
        window->findChild<QWidget*>(QStringLiteral("startStopButton"))->setFocus(Qt::TabFocusReason);
        window->setAttribute(Qt::WA_KeyboardFocusChange, true);
        drain();
        ASSERT_TRUE(
            window->grab().save(traytest::screenshotPath(QStringLiteral("focus-main-%1").arg(paletteCase.name))));
        for (const char* name : {"Sexy", "Slaps"}) {
            for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
                if (button->accessibleName() == QString::fromUtf8(name)) {
                    button->setFocus(Qt::TabFocusReason);
                }
            }
            drain();
            ASSERT_TRUE(window->grab().save(
                traytest::screenshotPath(QStringLiteral("focus-%1-%2").arg(name, paletteCase.name))));
        }
        traytest::click(gear());
        drain();
        SettingsView* sheet = presenter->sheet();
        ASSERT_NE(sheet, nullptr);
        sheet->slider(QStringLiteral("Sensitivity"))->setFocus(Qt::TabFocusReason);
        sheet->setAttribute(Qt::WA_KeyboardFocusChange, true);
        drain();
        ASSERT_TRUE(
            sheet->grab().save(traytest::screenshotPath(QStringLiteral("focus-settings-%1").arg(paletteCase.name))));
        sheet->dismiss();
        traytest::waitUntilGone([this] { return presenter->sheet() == nullptr; });
        window.reset();
    }
}

} // namespace
