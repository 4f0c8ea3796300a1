// The texts a user reads are true on Linux: the laptop, not a Mac. One table holds the texts
// that replace the Mac's; a sweep of every window, state, menu and message finds no Mac word.
#include "ViewQueries.h"
#include "ViewsFixture.h"

#include "Models/SoundPackType.h"
#include "Services/AccelerometerService.h"
#include "platform/foundation/Bundle.h"
#include "views/AppWindow.h"
#include "views/ContentView.h"
#include "views/MenuBarExtraView.h"
#include "views/OnboardingView.h"
#include "views/SettingsView.h"
#include "views/Theme.h"

#include <QAbstractButton>
#include <QLabel>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>

#include <cstdlib>

namespace {

using testsupport::pumpUntil;

/// Every text of `root` a user can meet: labels shown or kept for another state, button titles,
/// accessible names and descriptions, tooltips and window titles.
QStringList allTexts(const QWidget* root)
{
    QStringList texts{root->windowTitle()};
    QList<const QWidget*> widgets{root};
    for (const QWidget* child : root->findChildren<QWidget*>()) {
        widgets << child;
    }
    for (const QWidget* widget : widgets) {
        texts << widget->accessibleName() << widget->accessibleDescription() << widget->toolTip();
        if (const auto* label = qobject_cast<const widgets::TextLabel*>(widget)) {
            texts << label->text();
        } else if (const auto* plain = qobject_cast<const QLabel*>(widget)) {
            texts << plain->text();
        } else if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
            texts << button->text();
        }
    }
    texts.removeAll(QString());
    return texts;
}

class LinuxWordsTest : public viewtest::WindowTest {};

// The texts that say "laptop" where a Mac was once named, and the About card's sensor.
struct WordsCase {
    const char* name;
    const char* text;
};

const WordsCase kWords[] = {
    {"SensorNotFound", "Accelerometer not found. Make sure this laptop has a motion sensor."},
    {"OnboardingTitle", "So... you want to\nslap your laptop?"},
    {"SensorCheckHeading", "Can your laptop feel pain?"},
    {"SensorFound", "Your laptop can feel. Sorry, laptop."},
    {"SlapDetected", "Your laptop felt that. You monster."},
    {"SlapWaiting", "Your laptop is waiting. Nervously."},
    {"PowerLogEmpty", "Plug or unplug your laptop, or wait for charging to start or stop."},
    {"PowerSwitchDetail", "Adapter connect/disconnect and charging state (laptops with a battery)"},
    {"LidSwitchDetail", "Laptops only \u2014 reads the ACPI lid switch. Logs events and can play creaks."},
    {"AboutSensor", "Built-in accelerometer"},
};

class LinuxWords : public LinuxWordsTest, public ::testing::WithParamInterface<WordsCase> {};

TEST_P(LinuxWords, TheUserReadsTheLaptopsText)
{
    const QString text = QString::fromUtf8(GetParam().text);
    const std::string name = GetParam().name;
    QStringList shown;
    if (name == "SensorNotFound") {
        sensor().services.clear();
        open(true);
        vm->start();
        settle();
        shown << QString::fromStdString(vm->errorMessage().value_or("")) << viewtest::visibleTexts(window.get());
    } else if (name == "OnboardingTitle" || name == "SensorCheckHeading" || name == "SlapWaiting") {
        open(false);
        shown = viewtest::visibleTexts(window.get());
    } else if (name == "SensorFound") {
        open(false);
        EXPECT_TRUE(pumpUntil([&] { return window->onboardingView()->sensorCheckDone(); }));
        shown = viewtest::visibleTexts(window.get());
    } else if (name == "SlapDetected") {
        open(false);
        EXPECT_TRUE(pumpUntil([&] { return window->onboardingView()->waitingForSlap(); }));
        knock(1.5);
        EXPECT_TRUE(pumpUntil([&] { return window->onboardingView()->slapDetected(); }));
        shown = viewtest::visibleTexts(window.get());
    } else if (name == "PowerLogEmpty") {
        open(true);
        window->contentView()->setEventLogTab(EventLogTab::power);
        settle();
        shown = viewtest::visibleTexts(window.get());
    } else {
        // The settings sheet, with the About card read from the shipped information list.
        make();
        const foundation::Bundle shipped(std::filesystem::path(std::getenv("THWACKO_RESOURCE_DIR")), "/opt/thwacko");
        SettingsView sheet(*vm, shipped);
        shown = allTexts(&sheet);
    }
    EXPECT_TRUE(shown.contains(text)) << text.toStdString() << " not in:\n" << shown.join('\n').toStdString();
}

INSTANTIATE_TEST_SUITE_P(Views, LinuxWords, ::testing::ValuesIn(kWords),
                         [](const auto& info) { return std::string(info.param.name); });

// No word of a Mac in anything the user reads. Names of devices and files (AppleSPUHIDDevice,
// applesmc) are not words of the text and do not match.
const QRegularExpression kMacWords(QStringLiteral("\\b(Mac|MacBooks?|macOS|Apple Silicon|IORegistry)\\b"));

TEST_F(LinuxWordsTest, NoWindowStateMenuOrMessageSaysMac)
{
    QStringList texts;
    const auto collect = [&](const QWidget* root) { texts << allTexts(root); };

    // The onboarding in each of its states.
    sensor().services[0].listed = false;
    sensor().services[0].unreadable = true;
    open(false);
    ASSERT_TRUE(pumpUntil([&] { return window->onboardingView()->sensorCheckDone(); }));
    collect(window.get());
    window.reset();
    vm.reset();
    sensor().services = {testsupport::FakeHidService::sensor(1)};
    open(false);
    ASSERT_TRUE(pumpUntil([&] { return window->onboardingView()->waitingForSlap(); }));
    collect(window.get());
    knock(1.5);
    ASSERT_TRUE(pumpUntil([&] { return window->onboardingView()->slapDetected(); }));
    collect(window.get());

    // The main window: each mode, each tab, listening, paused, stopped, monitoring off.
    vm->setHasCompletedOnboarding(true);
    ASSERT_TRUE(pumpUntil([&] { return window->contentView() != nullptr; }));
    for (SoundPackType mode : allCases<SoundPackType>) {
        vm->setSelectedMode(mode);
        settle();
        collect(window.get());
        texts << QString::fromUtf8(label(mode).data(), qsizetype(label(mode).size()))
              << QString::fromUtf8(description(mode).data(), qsizetype(description(mode).size()));
    }
    vm->setSelectedMode(SoundPackType::pain);
    startListening();
    knock(1.5);
    powerChange(true, true, 60);
    volumeChange("/media/someone/STICK", "STICK", true, true);
    for (EventLogTab tab : allEventLogTabs) {
        window->contentView()->setEventLogTab(tab);
        settle();
        collect(window.get());
    }
    vm->togglePause();
    settle();
    collect(window.get());
    vm->stop();
    vm->setPowerMonitoring(false);
    vm->setUsbVolumeMonitoring(false);
    settle();
    for (EventLogTab tab : allEventLogTabs) {
        window->contentView()->setEventLogTab(tab);
        settle();
        collect(window.get());
    }

    // The settings sheet, with the shipped information list.
    const foundation::Bundle shipped(std::filesystem::path(std::getenv("THWACKO_RESOURCE_DIR")), "/opt/thwacko");
    SettingsView sheet(*vm, shipped);
    collect(&sheet);

    // The tray menu in each state.
    for (const bool running : {false, true}) {
        for (const bool paused : {false, true}) {
            for (const MenuBarMenuItem& item : menuBarMenuItems(running, paused)) {
                texts << item.title;
            }
        }
    }

    // Every message the sensor can give.
    for (const AccelerometerError& error : {AccelerometerError::deviceNotFound(), AccelerometerError::cannotOpen(-13),
                                            AccelerometerError::cannotOpen(-5), AccelerometerError::deviceLost(-19)}) {
        texts << QString::fromStdString(error.errorDescription());
    }

    ASSERT_GT(texts.size(), 100);
    QStringList offending;
    for (const QString& text : texts) {
        if (kMacWords.match(text).hasMatch()) {
            offending << text;
        }
    }
    EXPECT_TRUE(offending.isEmpty()) << offending.join('\n').toStdString();
}

// The About card's sensor value stays in its row: right of its label, inside the card's padding.
TEST_F(LinuxWordsTest, TheAboutCardsSensorValueFitsItsRow)
{
    make();
    const foundation::Bundle shipped(std::filesystem::path(std::getenv("THWACKO_RESOURCE_DIR")), "/opt/thwacko");
    SettingsView sheet(*vm, shipped);
    sheet.show();
    settle();
    EXPECT_EQ(sheet.width(), SettingsView::sheetWidth);
    for (const InfoRow& row : SettingsView::aboutRows(shipped)) {
        auto* value = sheet.findChild<QLabel*>(QStringLiteral("info.") + row.label);
        ASSERT_NE(value, nullptr) << row.label.toStdString();
        QWidget* card = sheet.findChild<QWidget*>(QStringLiteral("card.About"));
        ASSERT_NE(card, nullptr);
        QLabel* label = nullptr;
        for (auto* candidate : value->parentWidget()->findChildren<QLabel*>()) {
            if (candidate->text() == row.label) {
                label = candidate;
            }
        }
        ASSERT_NE(label, nullptr);
        const QRect valueInCard(value->mapTo(card, QPoint(0, 0)), value->size());
        const QRect labelInCard(label->mapTo(card, QPoint(0, 0)), label->size());
        const int textWidth = value->fontMetrics().horizontalAdvance(value->text());
        EXPECT_GE(value->width(), textWidth) << row.label.toStdString() << ": the value is cut";
        EXPECT_GT(valueInCard.left(), labelInCard.right()) << row.label.toStdString() << ": runs into its label";
        EXPECT_LE(valueInCard.right(), card->width() - 16) << row.label.toStdString() << ": into the padding";
        // The card itself stays inside the sheet's column (24 points from the visible edge).
        QWidget* viewport = sheet.scrollArea()->viewport();
        EXPECT_LE(card->mapTo(viewport, QPoint(card->width() - 1, 0)).x(), viewport->width() - 24)
            << row.label.toStdString() << ": the card is pushed past the sheet's edge";
    }
    // Pictures of the card as shipped, in both palettes, for a person to look at.
    QScrollBar* bar = sheet.scrollArea()->verticalScrollBar();
    bar->setValue(bar->maximum());
    for (const auto& [name, palette] :
         {std::pair{"light", &theme::lightPalette}, std::pair{"dark", &theme::darkPalette}}) {
        sheet.setPalette(palette());
        settle();
        const QString file = QStringLiteral(THWACKO_SCREENSHOT_DIR "/settings-about-shipped-%1.png").arg(name);
        EXPECT_TRUE(sheet.grab().save(file)) << file.toStdString();
    }
}

} // namespace
