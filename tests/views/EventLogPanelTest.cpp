#include "ViewQueries.h"
#include "ViewsFixture.h"

#include "views/EventLogPanel.h"

#include <QApplication>
#include <QDir>
#include <QLayout>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>

#include <set>

namespace {

using theme::SystemColor;
using viewtest::button;
using viewtest::showsText;
using viewtest::visibleSymbols;
using viewtest::visibleTexts;

class EventLogPanelTest : public viewtest::ViewsTest {
protected:
    std::unique_ptr<EventLogPanel> panel;

    void SetUp() override
    {
        ViewsTest::SetUp();
        make();
        panel = std::make_unique<EventLogPanel>(*vm);
        QObject::connect(vm.get(), &ThwackoViewModel::changed, panel.get(), &EventLogPanel::refresh);
        panel->resize(340, 520);
        panel->show();
        settle();
    }
    void TearDown() override
    {
        panel.reset();
        ViewsTest::TearDown();
    }

    /// The widget on show in the tab area.
    QWidget* tabContent() const
    {
        auto* pages = panel->findChild<QStackedWidget*>();
        return static_cast<QStackedWidget*>(pages->currentWidget())->currentWidget();
    }
    /// The visible rows of the tab on show, top first.
    std::vector<QWidget*> rows() const
    {
        std::vector<QWidget*> out;
        auto* list = qobject_cast<QScrollArea*>(tabContent());
        if (!list) {
            return out;
        }
        auto* layout = list->widget()->layout();
        for (int i = 0; i < layout->count(); ++i) {
            if (QWidget* row = layout->itemAt(i)->widget()) {
                out.push_back(row);
            }
        }
        return out;
    }
};

struct EmptyCase {
    const char* name;
    EventLogTab tab;
    bool monitoringOff;
    const char* symbol;
    const char* title;
    const char* hint;
};

const EmptyCase kEmptyCases[] = {
    {"Slaps", EventLogTab::slaps, false, "tray", "No events yet", "Start listening and slap the laptop!"},
    {"UsbNone", EventLogTab::usbVolumes, false, "externaldrive", "No USB volume events yet",
     "Plug or eject a removable drive to see it here."},
    {"UsbOff", EventLogTab::usbVolumes, true, "externaldrive.badge.xmark", "USB monitoring is off",
     "Turn it on in Settings to log mounts and unmounts."},
    {"PowerNone", EventLogTab::power, false, "bolt.circle", "No power events yet",
     "Plug or unplug your laptop, or wait for charging to start or stop."},
    {"PowerOff", EventLogTab::power, true, "bolt.slash", "Power monitoring is off",
     "Turn it on in Settings to log charging and AC power changes."},
};

class EmptyStates : public EventLogPanelTest, public ::testing::WithParamInterface<EmptyCase> {};

TEST_P(EmptyStates, ShowTheirSymbolTitleAndHint)
{
    const EmptyCase& c = GetParam();
    if (c.monitoringOff) {
        // Off wins even over logged events.
        volumeChange("/media/x/STICK", "STICK", true, true);
        powerChange(true, true, 50);
        vm->setUsbVolumeMonitoring(false);
        vm->setPowerMonitoring(false);
        settle();
    }
    panel->setTab(c.tab);
    QWidget* shown = tabContent();
    EXPECT_EQ(shown->objectName(), "emptyState");
    EXPECT_EQ(visibleTexts(shown), (QStringList{c.title, c.hint}));
    EXPECT_EQ(visibleSymbols(shown), std::vector<std::string>{c.symbol});
    EXPECT_EQ(button(panel.get(), "Clear") != nullptr, c.monitoringOff); // the log holds events
}

INSTANTIATE_TEST_SUITE_P(Tabs, EmptyStates, ::testing::ValuesIn(kEmptyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventLogPanelTest, TheSegmentsAreTheTabsInOrder)
{
    QStringList names;
    for (auto* candidate : panel->findChildren<QAbstractButton*>()) {
        if (candidate->isCheckable()) {
            names << viewtest::accessibleName(candidate);
        }
    }
    EXPECT_EQ(names, (QStringList{"Slaps", "USB", "Power"}));
    EXPECT_EQ(eventLogTabFromRawValue("USB"), EventLogTab::usbVolumes);
    EXPECT_EQ(eventLogTabFromRawValue("usb"), std::nullopt);
    button(panel.get(), "Power")->click();
    EXPECT_EQ(panel->tab(), EventLogTab::power);
}

TEST_F(EventLogPanelTest, SlapsListNewestFirstWithTheirNumbersAndAmplitudes)
{
    startListening();
    knock(1.5);
    knock(1.5);
    knock(1.5);
    ASSERT_EQ(vm->totalSlaps(), 3);
    const auto shown = rows();
    ASSERT_EQ(shown.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const SlapEvent& event = vm->slapEvents()[std::size_t(i)];
        const QStringList texts = visibleTexts(shown[std::size_t(i)]);
        EXPECT_EQ(texts.value(0), QString("Slap #%1").arg(3 - i));
        EXPECT_EQ(texts.value(1), QString::fromStdString(event.fileName()));
        EXPECT_EQ(texts.value(2), theme::amplitude(event.amplitude()));
        EXPECT_EQ(texts.value(3), theme::timeOfDay(event.timestamp()));
    }
}

TEST_F(EventLogPanelTest, AFullLogShowsAHundredRowsAndDropsTheOldest)
{
    startListening();
    for (int i = 0; i < 300 && vm->totalSlaps() < 101; ++i) {
        knock(1.5);
    }
    ASSERT_EQ(vm->totalSlaps(), 101);
    const auto shown = rows();
    ASSERT_EQ(shown.size(), 100u);
    EXPECT_EQ(visibleTexts(shown.front()).value(0), "Slap #101");
    EXPECT_EQ(visibleTexts(shown.back()).value(0), "Slap #2");
}

// A full log moves its oldest row to the top for the new slap; it must look exactly like a row
// built for that slap, whatever the row showed before.
TEST_F(EventLogPanelTest, TheRowTakenOverByANewSlapLooksLikeANewRow)
{
    startListening();
    for (int i = 0; i < 300 && vm->totalSlaps() < 100; ++i) {
        knock(0.3);
    }
    for (int i = 0; i < 10 && vm->totalSlaps() < 101; ++i) {
        knock(4.0, 8);
    }
    ASSERT_EQ(vm->totalSlaps(), 101);
    ASSERT_NE(vm->slapEvents()[0].severity(), vm->slapEvents()[1].severity());

    EventLogPanel fresh(*vm);
    fresh.resize(panel->size());
    fresh.show();
    settle();
    auto* freshPage = static_cast<QStackedWidget*>(fresh.findChild<QStackedWidget*>()->currentWidget());
    auto* freshList = qobject_cast<QScrollArea*>(freshPage->currentWidget());
    ASSERT_NE(freshList, nullptr);
    QWidget* freshFront = freshList->widget()->layout()->itemAt(0)->widget();
    ASSERT_NE(freshFront, nullptr);
    QWidget* front = rows().front();
    EXPECT_EQ(visibleTexts(front), visibleTexts(freshFront));
    EXPECT_EQ(front->size(), freshFront->size());
    EXPECT_TRUE(front->grab().toImage() == freshFront->grab().toImage());
}

TEST_F(EventLogPanelTest, RowsAlreadyShownKeepTheirWidgets)
{
    startListening();
    knock(1.5);
    QWidget* first = rows().front();
    knock(1.5);
    ASSERT_EQ(rows().size(), 2u);
    EXPECT_EQ(rows()[1], first);
}

/// The text labels inside one widget that paint, each time one does.
class LabelPaints final : public QObject {
public:
    explicit LabelPaints(QWidget* within)
        : within(within)
    {
        qApp->installEventFilter(this);
    }
    ~LabelPaints() override { qApp->removeEventFilter(this); }
    std::vector<QWidget*> painted;

protected:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && qobject_cast<widgets::TextLabel*>(object) &&
            within->isAncestorOf(static_cast<QWidget*>(object))) {
            painted.push_back(static_cast<QWidget*>(object));
        }
        return false;
    }

private:
    QWidget* within;
};

/// What `window` shows on screen now equals it drawn afresh.
bool showsWhatAFreshDrawingDoes(QWidget& window)
{
    const QImage screen = window.screen()->grabWindow(window.winId()).toImage().convertToFormat(QImage::Format_RGB32);
    const QImage drawn = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
    return screen.size() == drawn.size() && screen == drawn;
}

struct NewHeadCase {
    const char* name;
    int slapsBefore;
    bool scrolledToTheEnd;
    QPalette (*palette)();
};

class NewHead : public EventLogPanelTest, public ::testing::WithParamInterface<NewHeadCase> {
protected:
    void SetUp() override
    {
        QApplication::setPalette(GetParam().palette());
        EventLogPanelTest::SetUp();
    }
    void TearDown() override
    {
        EventLogPanelTest::TearDown();
        QApplication::setPalette(QPalette());
    }
};

// A new slap's row moves the rows below by their pixels: only its own labels paint, and the
// screen shows what drawing the whole panel anew shows.
TEST_P(NewHead, PaintsOnlyTheNewRowAndLooksAsIfDrawnAnew)
{
    const NewHeadCase& c = GetParam();
    startListening();
    for (int i = 0; i < 400 && vm->totalSlaps() < c.slapsBefore; ++i) {
        knock(i % 3 == 0 ? 4.0 : 1.5, i % 3 == 0 ? 8 : 1); // rows of several severities
    }
    ASSERT_EQ(vm->totalSlaps(), c.slapsBefore);
    if (c.scrolledToTheEnd) {
        auto* list = qobject_cast<QScrollArea*>(tabContent());
        ASSERT_NE(list, nullptr);
        list->verticalScrollBar()->setValue(list->verticalScrollBar()->maximum());
        settle();
    }
    ASSERT_TRUE(showsWhatAFreshDrawingDoes(*panel));

    std::vector<QWidget*> painted;
    {
        LabelPaints paints(tabContent());
        knock(4.0, 8);
        painted = paints.painted;
    }
    ASSERT_EQ(vm->totalSlaps(), c.slapsBefore + 1);
    QWidget* head = rows().front();
    EXPECT_EQ(visibleTexts(head).value(0), QString("Slap #%1").arg(c.slapsBefore + 1));
    EXPECT_TRUE(showsWhatAFreshDrawingDoes(*panel));
    QDir().mkpath(THWACKO_SCREENSHOT_DIR); // what the screen shows, for a person to look at
    panel->screen()
        ->grabWindow(panel->winId())
        .save(QStringLiteral(THWACKO_SCREENSHOT_DIR "/log-new-slap-%1.png").arg(c.name));
    if (!c.scrolledToTheEnd) { // there the row that moves into view paints too
        EXPECT_FALSE(painted.empty());
        for (QWidget* label : painted) {
            EXPECT_TRUE(head->isAncestorOf(label)) << qPrintable(static_cast<widgets::TextLabel*>(label)->text());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Logs, NewHead,
                         ::testing::Values(NewHeadCase{"OneRow", 1, false, theme::lightPalette},
                                           NewHeadCase{"MoreThanAScreenful", 30, false, theme::lightPalette},
                                           NewHeadCase{"MoreThanAScreenfulDark", 30, false, theme::darkPalette},
                                           NewHeadCase{"Full", 100, false, theme::lightPalette},
                                           NewHeadCase{"FullDark", 100, false, theme::darkPalette},
                                           NewHeadCase{"FullScrolledToTheEnd", 100, true, theme::lightPalette}),
                         [](const auto& info) { return std::string(info.param.name); });

// Power rows differ in height (with a detail line or without); each new one lands where it belongs.
TEST_F(EventLogPanelTest, PowerRowsOfEitherHeightLookAsIfDrawnAnew)
{
    panel->setTab(EventLogTab::power);
    for (int i = 0; i < 12; ++i) {
        power::Snapshot snapshot = battery(i % 2 == 0, i % 4 == 0, 40 + i);
        if (i % 3 == 0) {
            snapshot[0]->erase("Current Capacity"); // no percentage: a row without a detail line
        }
        services->powerSources->snapshot = snapshot;
        services->powerSources->notifyChange();
        settle();
        ASSERT_TRUE(showsWhatAFreshDrawingDoes(*panel)) << "after power change " << i;
    }
    std::set<int> heights;
    for (QWidget* row : rows()) {
        heights.insert(row->height());
    }
    EXPECT_EQ(heights.size(), 2u);
}

struct ClearCase {
    const char* name;
    EventLogTab tab;
};

class ClearButton : public EventLogPanelTest, public ::testing::WithParamInterface<ClearCase> {};

TEST_P(ClearButton, EmptiesOnlyTheLogOnShow)
{
    startListening();
    knock(1.5);
    volumeChange("/media/x/STICK", "STICK", true, true);
    powerChange(true, true, 50);
    ASSERT_EQ(vm->slapEvents().size(), 1u);
    ASSERT_EQ(vm->usbVolumeEvents().size(), 1u);
    ASSERT_EQ(vm->powerSourceEvents().size(), 1u);
    panel->setTab(GetParam().tab);
    auto* clear = button(panel.get(), "Clear");
    ASSERT_NE(clear, nullptr);
    clear->click();
    settle();
    EXPECT_EQ(vm->slapEvents().empty(), GetParam().tab == EventLogTab::slaps);
    EXPECT_EQ(vm->usbVolumeEvents().empty(), GetParam().tab == EventLogTab::usbVolumes);
    EXPECT_EQ(vm->powerSourceEvents().empty(), GetParam().tab == EventLogTab::power);
    EXPECT_EQ(vm->totalSlaps(), 1);
    EXPECT_EQ(button(panel.get(), "Clear"), nullptr);
    EXPECT_EQ(tabContent()->objectName(), "emptyState");
}

INSTANTIATE_TEST_SUITE_P(Tabs, ClearButton,
                         ::testing::Values(ClearCase{"Slaps", EventLogTab::slaps},
                                           ClearCase{"Usb", EventLogTab::usbVolumes},
                                           ClearCase{"Power", EventLogTab::power}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventLogPanelTest, UsbRowsShowTheMountTheNameThePathAndTheRemovableTag)
{
    volumeChange("/media/x/STICK", "STICK", true, true);
    volumeChange("/media/x/DISK", "DISK", false, false);
    panel->setTab(EventLogTab::usbVolumes);
    const auto shown = rows();
    ASSERT_EQ(shown.size(), 2u);
    const auto& newest = vm->usbVolumeEvents()[0];
    EXPECT_EQ(visibleTexts(shown[0]),
              (QStringList{"Unmounted", "DISK", "/media/x/DISK", theme::timeOfDay(newest.timestamp())}));
    EXPECT_EQ(visibleSymbols(shown[0]), std::vector<std::string>{"eject.fill"});
    EXPECT_TRUE(showsText(shown[1], "Mounted"));
    EXPECT_TRUE(showsText(shown[1], "Removable"));
    EXPECT_EQ(visibleSymbols(shown[1]), std::vector<std::string>{"arrow.down.circle.fill"});
}

TEST_F(EventLogPanelTest, PowerRowsShowTheTitleVerbatimAndTheDetailOnlyWhenThere)
{
    powerChange(true, true, 42);
    panel->setTab(EventLogTab::power);
    const auto shown = rows();
    ASSERT_EQ(shown.size(), 1u);
    const auto& event = vm->powerSourceEvents()[0];
    QStringList expected{QString::fromStdString(event.title())};
    if (event.detail()) {
        expected << QString::fromStdString(*event.detail());
    }
    expected << theme::timeOfDay(event.timestamp());
    EXPECT_EQ(visibleTexts(shown[0]), expected);
    EXPECT_EQ(visibleTexts(shown[0]).value(0), "Adapter connected \u00B7 charging");
    EXPECT_EQ(visibleSymbols(shown[0]), std::vector<std::string>{"powerplug.portrait.fill"});
}

struct BadgeCase {
    const char* name;
    const char* severity;
    SystemColor color;
    const char* symbol;
};

const BadgeCase kBadgeCases[] = {
    {"Major", "CHOC_MAJEUR", SystemColor::red, "\u2605"},
    {"Medium", "CHOC_MOYEN", SystemColor::orange, "\u25B2"},
    {"MicroShock", "MICRO_CHOC", SystemColor::yellow, "\u25B3"},
    {"Vibration", "VIBRATION", SystemColor::blue, "\u25CF"},
    {"Light", "VIB_LEGERE", SystemColor::cyan, "\u25CB"},
    {"MicroVib", "MICRO_VIB", SystemColor::gray, "\u00B7"},
    {"Empty", "", SystemColor::gray, "\u00B7"},
    {"LowerCase", "choc_majeur", SystemColor::gray, "\u00B7"},
};

class SeverityBadge : public ::testing::TestWithParam<BadgeCase> {};

TEST_P(SeverityBadge, MapsTheWordToAColourAndASymbol)
{
    const auto [color, symbol] = severityStyle(GetParam().severity);
    EXPECT_EQ(color, GetParam().color);
    EXPECT_EQ(symbol, QString::fromUtf8(GetParam().symbol));
}

INSTANTIATE_TEST_SUITE_P(Words, SeverityBadge, ::testing::ValuesIn(kBadgeCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
