#include "TrayFixture.h"

#include "support/EventLoop.h"
#include "views/SettingsView.h"
#include "views/SwitchButton.h"

#include <QLabel>
#include <QLocale>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>

#include <clocale>
#include <cmath>

namespace {

struct SliderCase {
    const char* title;
    const char* sliderLabel;
    double minimum;
    double maximum;
    double step;
    int positions;
    const char* initialText;
    const char* lowText;
    const char* highText;
    int probePosition; ///< a position inside the range
    double probeValue; ///< the value the view model holds there
    const char* probeText;
    double (*read)(const ThwackoViewModel&);
};

const SliderCase kSliderCases[] = {
    {"Sensitivity", "Min Amplitude", 0.01, 0.5, 0.005, 99, "0.050", "0.010", "0.500", 58, 0.3, "0.300",
     [](const ThwackoViewModel& vm) { return vm.minAmplitude(); }},
    {"Cooldown", "Cooldown", 100, 3000, 50, 59, "750ms", "100ms", "3000ms", 1, 150, "150ms",
     [](const ThwackoViewModel& vm) { return double(vm.cooldownMs()); }},
    {"Playback Speed", "Speed", 0.5, 2.0, 0.1, 16, "1.0x", "0.5x", "2.0x", 8, 1.3, "1.3x",
     [](const ThwackoViewModel& vm) { return vm.speedRatio(); }},
};

class SettingsViewTest : public traytest::ViewModelFixture {
protected:
    std::unique_ptr<SettingsView> sheet;

    void make()
    {
        sheet = std::make_unique<SettingsView>(*vm, *bundle);
        sheet->show();
        drain();
    }
    void TearDown() override
    {
        sheet.reset();
        ViewModelFixture::TearDown();
    }
};

class SliderRows : public SettingsViewTest, public ::testing::WithParamInterface<SliderCase> {};

TEST_P(SliderRows, HaveTheirRangeStepAndValueTextsAndWriteTheViewModelAsTheyMove)
{
    const SliderCase& row = GetParam();
    const SliderSetting& setting = sliderSetting(QString::fromUtf8(row.title));
    EXPECT_EQ(setting.sliderLabel, QString::fromUtf8(row.sliderLabel));
    EXPECT_DOUBLE_EQ(setting.minimum(), row.minimum);
    EXPECT_DOUBLE_EQ(setting.maximum(), row.maximum);
    EXPECT_DOUBLE_EQ(setting.step(), row.step);
    EXPECT_EQ(setting.positions(), row.positions);

    make();
    QSlider* slider = sheet->slider(setting.title);
    QLabel* value = sheet->valueLabel(setting.title);
    ASSERT_NE(slider, nullptr);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(slider->accessibleName(), setting.sliderLabel);
    EXPECT_EQ(slider->maximum() - slider->minimum() + 1, row.positions);
    EXPECT_EQ(value->text(), QString::fromUtf8(row.initialText));
    EXPECT_TRUE(slider->isEnabled());

    slider->setValue(slider->minimum());
    EXPECT_EQ(row.read(*vm), row.minimum); // exactly
    EXPECT_EQ(value->text(), QString::fromUtf8(row.lowText));
    slider->setValue(slider->maximum());
    EXPECT_EQ(row.read(*vm), row.maximum);
    EXPECT_EQ(value->text(), QString::fromUtf8(row.highText));
    slider->setValue(row.probePosition);
    EXPECT_EQ(row.read(*vm), row.probeValue);
    EXPECT_EQ(value->text(), QString::fromUtf8(row.probeText));

    // The keyboard moves one step at a time.
    slider->setFocus();
    traytest::key(slider, Qt::Key_Right);
    EXPECT_EQ(slider->value(), row.probePosition + 1);
    EXPECT_DOUBLE_EQ(row.read(*vm), row.probeValue + row.step);
}

INSTANTIATE_TEST_SUITE_P(Views, SliderRows, ::testing::ValuesIn(kSliderCases), [](const auto& info) {
    std::string name = info.param.title;
    name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
    return name;
});

TEST(SliderSettings, EveryPositionIsAWholeNumberOfStepsAndReadsBackAsItsOwnText)
{
    for (const SliderSetting& setting : sliderSettings()) {
        for (int position = 0; position < setting.positions(); ++position) {
            const double value = setting.valueAt(position);
            // The value is the literal its text names: no drift from adding steps up.
            EXPECT_EQ(
                value,
                std::stod(setting.valueText(value).remove(QStringLiteral("ms")).remove(QLatin1Char('x')).toStdString()))
                << setting.title.toStdString() << " at " << position;
            EXPECT_EQ(setting.positionOf(value), position);
        }
        EXPECT_EQ(setting.positionOf(-1e9), 0);
        EXPECT_EQ(setting.positionOf(1e9), setting.positions() - 1);
        EXPECT_EQ(setting.positionOf(std::nan("")), 0);
    }
    EXPECT_EQ(sliderSetting(QStringLiteral("Playback Speed")).valueAt(5), 1.0);
    EXPECT_EQ(sliderSetting(QStringLiteral("Sensitivity")).valueAt(8), 0.05);
    EXPECT_EQ(sliderSetting(QStringLiteral("Cooldown")).valueAt(13), 750.0);
}

TEST_F(SettingsViewTest, ValueTextsUseAFullStopWhateverTheLocale)
{
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const char* numeric = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = numeric ? numeric : "C";
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8"); // where the machine has it
    vm->setMinAmplitude(0.125);
    vm->setSpeedRatio(1.5);
    vm->setCooldownMs(2500);
    make();
    EXPECT_EQ(sheet->valueLabel(QStringLiteral("Sensitivity"))->text(), QStringLiteral("0.125"));
    EXPECT_EQ(sheet->valueLabel(QStringLiteral("Playback Speed"))->text(), QStringLiteral("1.5x"));
    EXPECT_EQ(sheet->valueLabel(QStringLiteral("Cooldown"))->text(), QStringLiteral("2500ms"));
    std::setlocale(LC_NUMERIC, saved.c_str());
    QLocale::setDefault(before);
}

TEST_F(SettingsViewTest, ShowsAValueOffTheStepsAsItIsAndTheNearestThumbPosition)
{
    vm->setMinAmplitude(0.0512);
    vm->setCooldownMs(777);
    make();
    EXPECT_EQ(sheet->valueLabel(QStringLiteral("Sensitivity"))->text(), QStringLiteral("0.051"));
    EXPECT_EQ(sheet->slider(QStringLiteral("Sensitivity"))->value(), 8);
    EXPECT_EQ(sheet->valueLabel(QStringLiteral("Cooldown"))->text(), QStringLiteral("777ms"));
    EXPECT_EQ(sheet->slider(QStringLiteral("Cooldown"))->value(), 14);
    EXPECT_EQ(vm->minAmplitude(), 0.0512) << "showing a value writes nothing";
    EXPECT_EQ(vm->cooldownMs(), 777);
}

struct ToggleCase {
    const char* title;
    bool initial;
    bool (*read)(const ThwackoViewModel&);
};

const ToggleCase kToggleCases[] = {
    {"Volume Scaling", false, [](const ThwackoViewModel& vm) { return vm.volumeScaling(); }},
    {"Fast Mode", false, [](const ThwackoViewModel& vm) { return vm.fastMode(); }},
    {"Log mounts & unmounts", true, [](const ThwackoViewModel& vm) { return vm.usbVolumeMonitoring(); }},
    {"Log AC & charging", true, [](const ThwackoViewModel& vm) { return vm.powerMonitoring(); }},
    {"Play sound on charger & battery", true, [](const ThwackoViewModel& vm) { return vm.powerEventSounds(); }},
    {"Detect lid open & close", true, [](const ThwackoViewModel& vm) { return vm.lidCreakMonitoring(); }},
    {"Play wooden-door creak", true, [](const ThwackoViewModel& vm) { return vm.lidCreakSounds(); }},
};

class ToggleRows : public SettingsViewTest, public ::testing::WithParamInterface<ToggleCase> {};

TEST_P(ToggleRows, FlipTheirSettingAtOnceAndFollowTheViewModel)
{
    make();
    SwitchButton* button = sheet->toggle(QString::fromUtf8(GetParam().title));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->accessibleName(), QString::fromUtf8(GetParam().title));
    EXPECT_EQ(button->isChecked(), GetParam().initial);
    EXPECT_EQ(GetParam().read(*vm), GetParam().initial);

    traytest::click(button);
    EXPECT_EQ(GetParam().read(*vm), !GetParam().initial);
    EXPECT_EQ(button->isChecked(), !GetParam().initial);
    button->setFocus();
    traytest::key(button, Qt::Key_Space);
    EXPECT_EQ(GetParam().read(*vm), GetParam().initial);

    // A change made elsewhere shows here.
    toggleSetting(QString::fromUtf8(GetParam().title)).write(*vm, !GetParam().initial);
    drain();
    EXPECT_EQ(button->isChecked(), !GetParam().initial);
}

INSTANTIATE_TEST_SUITE_P(Views, ToggleRows, ::testing::ValuesIn(kToggleCases), [](const auto& info) {
    std::string name;
    for (char c : std::string(info.param.title)) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            name += c;
        }
    }
    return name;
});

TEST_F(SettingsViewTest, TheMonitoringSwitchesStartAndStopTheMonitors)
{
    make();
    workspace->values["/media/stick"] = {true, true, "STICK"};
    EXPECT_EQ(powerSources->liveChangeSources(), 1);
    EXPECT_EQ(lid->reads, 1);

    traytest::click(sheet->toggle(QStringLiteral("Log mounts & unmounts")));
    traytest::click(sheet->toggle(QStringLiteral("Log AC & charging")));
    traytest::click(sheet->toggle(QStringLiteral("Detect lid open & close")));
    EXPECT_EQ(powerSources->liveChangeSources(), 0);
    workspace->post("/media/stick", true);
    drain();
    EXPECT_TRUE(vm->usbVolumeEvents().empty());

    traytest::click(sheet->toggle(QStringLiteral("Log mounts & unmounts")));
    traytest::click(sheet->toggle(QStringLiteral("Log AC & charging")));
    traytest::click(sheet->toggle(QStringLiteral("Detect lid open & close")));
    EXPECT_EQ(powerSources->liveChangeSources(), 1);
    EXPECT_EQ(lid->reads, 2) << "a fresh baseline";
    workspace->post("/media/stick", false);
    drain();
    EXPECT_EQ(vm->usbVolumeEvents().size(), 1u);
}

TEST_F(SettingsViewTest, TheFastModePresetBoundsTheValuesInForceAndChangesNoSetting)
{
    make();
    vm->setCooldownMs(100);
    vm->setMinAmplitude(0.3);
    traytest::click(sheet->toggle(QStringLiteral("Fast Mode")));
    EXPECT_TRUE(vm->fastMode());
    EXPECT_DOUBLE_EQ(vm->effectiveCooldown(), 0.35);
    EXPECT_DOUBLE_EQ(vm->effectiveMinAmplitude(), 0.18);
    EXPECT_DOUBLE_EQ(vm->effectivePollInterval(), 0.004);
    EXPECT_EQ(vm->cooldownMs(), 100);
    EXPECT_EQ(vm->minAmplitude(), 0.3);
    drain();
    EXPECT_EQ(sheet->valueLabel(QStringLiteral("Sensitivity"))->text(), QStringLiteral("0.300"));
    EXPECT_EQ(sheet->valueLabel(QStringLiteral("Cooldown"))->text(), QStringLiteral("100ms"));
    traytest::click(sheet->toggle(QStringLiteral("Fast Mode")));
    EXPECT_DOUBLE_EQ(vm->effectiveCooldown(), 0.1);
    EXPECT_DOUBLE_EQ(vm->effectiveMinAmplitude(), 0.3);
    EXPECT_DOUBLE_EQ(vm->effectivePollInterval(), 0.01);
}

TEST_F(SettingsViewTest, CardsComeInOrderUnderAFixedHeader)
{
    make();
    EXPECT_EQ(sheet->cardTitles(),
              (QStringList{"Detection", "Audio", "Preset", "USB volumes", "Power & charging", "Lid creak", "About"}));
    EXPECT_EQ(sheet->size(), QSize(420, 720));
    QScrollBar* bar = sheet->scrollArea()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0) << "the cards are taller than the sheet";
    const QPoint headerAt = sheet->closeButton()->mapTo(sheet.get(), QPoint());
    bar->setValue(bar->maximum());
    drain();
    EXPECT_EQ(sheet->closeButton()->mapTo(sheet.get(), QPoint()), headerAt);
    EXPECT_TRUE(sheet->closeButton()->isVisible());
}

TEST_F(SettingsViewTest, ClosingKeepsEveryValueAndTellsThePresenterOnce)
{
    QWidget window;
    window.resize(720, 520);
    window.show();
    int dismissed = 0;
    QPointer<SettingsView> shown = SettingsView::present(&window, *vm, [&dismissed] { ++dismissed; });
    drain();
    ASSERT_TRUE(shown);
    EXPECT_TRUE(shown->isVisible());
    EXPECT_EQ(shown->windowModality(), Qt::WindowModal);
    shown->slider(QStringLiteral("Playback Speed"))->setValue(15);
    traytest::click(shown->closeButton());
    EXPECT_TRUE(traytest::waitUntilGone([&] { return shown.isNull(); })) << "the sheet goes away";
    EXPECT_EQ(dismissed, 1);
    EXPECT_EQ(vm->speedRatio(), 2.0);

    shown = SettingsView::present(&window, *vm, [&dismissed] { ++dismissed; });
    drain();
    EXPECT_EQ(shown->valueLabel(QStringLiteral("Playback Speed"))->text(), QStringLiteral("2.0x"));
    traytest::key(shown.data(), Qt::Key_Escape);
    EXPECT_TRUE(traytest::waitUntilGone([&] { return shown.isNull(); }));
    EXPECT_EQ(dismissed, 2);
}

TEST_F(SettingsViewTest, EveryControlStaysUsableWhileListening)
{
    startListening();
    make();
    for (const SliderSetting& setting : sliderSettings()) {
        EXPECT_TRUE(sheet->slider(setting.title)->isEnabled());
    }
    for (const ToggleSetting& setting : toggleSettings()) {
        EXPECT_TRUE(sheet->toggle(setting.title)->isEnabled());
    }
    sheet->slider(QStringLiteral("Cooldown"))->setValue(0);
    EXPECT_EQ(vm->cooldownMs(), 100);
    EXPECT_TRUE(vm->isRunning()) << "no control restarts listening";
}

TEST_F(SettingsViewTest, AboutRowsComeFromTheInformationDictionary)
{
    const auto rows = SettingsView::aboutRows(*bundle);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].label, QStringLiteral("Version"));
    EXPECT_EQ(rows[0].value, QStringLiteral("2.3.4"));
    EXPECT_EQ(rows[1].label, QStringLiteral("Platform"));
    EXPECT_EQ(rows[1].value, QStringLiteral("Linux (test)"));
    EXPECT_EQ(rows[2].label, QStringLiteral("Sensor"));
    EXPECT_EQ(rows[2].value, QStringLiteral("Test sensor"));
    make();
    EXPECT_EQ(sheet->findChild<QLabel*>(QStringLiteral("info.Version"))->text(), QStringLiteral("2.3.4"));
    EXPECT_EQ(SettingsView::credits().size(), 2);

    // Without the entries the rows still say something true.
    const foundation::Bundle bare(std::nullopt, "/nowhere");
    const auto fallback = SettingsView::aboutRows(bare);
    EXPECT_EQ(fallback[0].value, QStringLiteral("1.0"));
    EXPECT_FALSE(fallback[1].value.isEmpty());
    EXPECT_FALSE(fallback[2].value.isEmpty());

    // The shipped Info.plist names the running platform.
    const foundation::Bundle shipped(std::filesystem::path(std::getenv("THWACKO_RESOURCE_DIR")), "/opt/thwacko");
    const auto real = SettingsView::aboutRows(shipped);
    EXPECT_EQ(real[0].value, QStringLiteral("1.0.0"));
    EXPECT_EQ(real[1].value, QStringLiteral("Linux"));
}

// The sheet scrolled from top to bottom, with Fast Mode off and on, in both palettes.
struct PictureCase {
    const char* name;
    QPalette (*palette)();
    bool fastMode;
};

const PictureCase kPictureCases[] = {
    {"light", &theme::lightPalette, false},
    {"dark", &theme::darkPalette, false},
    {"light_fastmode", &theme::lightPalette, true},
    {"dark_fastmode", &theme::darkPalette, true},
};

class SheetPictures : public SettingsViewTest, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(SheetPictures, ScrolledTopToBottom)
{
    QApplication::setPalette(GetParam().palette());
    vm->setFastMode(GetParam().fastMode);
    make();
    QScrollBar* bar = sheet->scrollArea()->verticalScrollBar();
    const int pages = bar->maximum() / std::max(1, bar->pageStep()) + 1;
    for (int page = 0; page <= pages; ++page) {
        bar->setValue(std::min(bar->maximum(), page * bar->pageStep()));
        drain();
        ASSERT_TRUE(sheet->grab().save(
            traytest::screenshotPath(QStringLiteral("settings-%1-%2").arg(GetParam().name).arg(page))));
        if (bar->value() == bar->maximum()) {
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Views, SheetPictures, ::testing::ValuesIn(kPictureCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
