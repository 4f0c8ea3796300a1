#include "views/Widgets.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>

#include <functional>
#include <memory>

namespace {

using theme::SystemColor;
using widgets::Tint;

/// Counts the paint events a widget receives.
class PaintCounter final : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++count;
        }
        return false;
    }
};

/// Runs the event loop until `done` holds, for at most a generous deadline that only a hang reaches.
bool waitFor(const std::function<bool()>& done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > 20'000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

/// Lets queued events, updates among them, run.
void settle()
{
    for (int i = 0; i < 6; ++i) {
        QCoreApplication::processEvents();
    }
}

/// Shows `widget` in a window of its own and lets every pending paint land.
void showAndSettle(QWidget& widget)
{
    widget.resize(120, 40);
    widget.show();
    settle();
}

class AnimationsOn : public ::testing::Test {
protected:
    void SetUp() override
    {
        wereOn = widgets::animationsEnabled();
        widgets::setAnimationsEnabled(true);
    }
    void TearDown() override { widgets::setAnimationsEnabled(wereOn); }

private:
    bool wereOn = true;
};

using SpinnerTest = AnimationsOn;

TEST_F(SpinnerTest, StepsWhileShownAndStopsWhenHidden)
{
    widgets::Spinner spinner;
    PaintCounter paints(&spinner);
    showAndSettle(spinner);
    EXPECT_TRUE(spinner.isSpinning());
    const int before = paints.count;
    ASSERT_TRUE(waitFor([&] { return spinner.step() != 0; }));
    ASSERT_TRUE(waitFor([&] { return paints.count > before; }));

    spinner.hide();
    EXPECT_FALSE(spinner.isSpinning());
    EXPECT_EQ(spinner.step(), 0);

    spinner.show();
    EXPECT_TRUE(spinner.isSpinning());
}

TEST_F(SpinnerTest, StopsWithItsWindow)
{
    QWidget window;
    auto* spinner = new widgets::Spinner(&window);
    showAndSettle(window);
    EXPECT_TRUE(spinner->isSpinning());
    window.hide();
    EXPECT_FALSE(spinner->isSpinning());
}

TEST(SpinnerWithoutAnimations, StandsStill)
{
    const bool wereOn = widgets::animationsEnabled();
    widgets::setAnimationsEnabled(false);
    widgets::Spinner spinner;
    showAndSettle(spinner);
    EXPECT_FALSE(spinner.isSpinning());
    EXPECT_EQ(spinner.step(), 0);
    widgets::setAnimationsEnabled(wereOn);
}

/// A widget, a setter call that hands it the state it already has, and one that changes it.
struct SetterCase {
    const char* name;
    std::function<std::unique_ptr<QWidget>()> make;
    std::function<void(QWidget&)> same;
    std::function<void(QWidget&)> changed;
};

const SetterCase kSetterCases[] =
    {
        {"TextLabelTint",
         [] {
    auto label = std::make_unique<widgets::TextLabel>();
    label->setText(QStringLiteral("Total Slaps"));
    label->setTint(Tint::of(SystemColor::secondary));
    return std::unique_ptr<QWidget>(std::move(label));
         },
         [](QWidget& w) { static_cast<widgets::TextLabel&>(w).setTint(Tint::of(SystemColor::secondary)); },
         [](QWidget& w) { static_cast<widgets::TextLabel&>(w).setTint(Tint::of(SystemColor::tertiary)); }},
        {"TextLabelText",
         [] {
    auto label = std::make_unique<widgets::TextLabel>();
    label->setText(QStringLiteral("12"));
    return std::unique_ptr<QWidget>(std::move(label));
         },
         [](QWidget& w) { static_cast<widgets::TextLabel&>(w).setText(QStringLiteral("12")); },
         [](QWidget& w) {
    static_cast<widgets::TextLabel&>(w).setText(QStringLiteral("13"));
        }},
    {"SymbolView",
     [] {
    return std::unique_ptr<QWidget>(
        std::make_unique<widgets::SymbolView>("hand.raised", 18, Tint::of(SystemColor::pink)));
     },
     [](QWidget& w) { static_cast<widgets::SymbolView&>(w).setSymbol("hand.raised", Tint::of(SystemColor::pink)); },
     [](QWidget& w) { static_cast<widgets::SymbolView&>(w).setSymbol("waveform.path", Tint::of(SystemColor::pink)); }},
    {"SymbolViewTint",
     [] {
    return std::unique_ptr<QWidget>(
        std::make_unique<widgets::SymbolView>("hand.raised", 18, Tint::of(SystemColor::pink)));
     },
     [](QWidget& w) { static_cast<widgets::SymbolView&>(w).setSymbol("hand.raised", Tint::of(SystemColor::pink)); },
     [](QWidget& w) { static_cast<widgets::SymbolView&>(w).setSymbol("hand.raised", Tint::of(SystemColor::orange)); }},
    {"PillButtonContent",
     [] {
    auto button = std::make_unique<widgets::PillButton>(true);
    button->setContent(QStringLiteral("Stop"), "stop.fill");
    return std::unique_ptr<QWidget>(std::move(button));
     },
     [](QWidget& w) { static_cast<widgets::PillButton&>(w).setContent(QStringLiteral("Stop"), "stop.fill"); },
     [](QWidget& w) { static_cast<widgets::PillButton&>(w).setContent(QStringLiteral("Start"), "play.fill"); }},
    {"PillButtonTint",
     [] {
    auto button = std::make_unique<widgets::PillButton>(true);
    button->setContent(QStringLiteral("Stop"), "stop.fill");
    button->setTint(Tint::of(SystemColor::red));
    return std::unique_ptr<QWidget>(std::move(button));
     },
     [](QWidget& w) { static_cast<widgets::PillButton&>(w).setTint(Tint::of(SystemColor::red)); },
     [](QWidget& w) { static_cast<widgets::PillButton&>(w).setTint(Tint::of(SystemColor::pink)); }},
    };

class UnchangedSetter : public ::testing::TestWithParam<SetterCase> {};

TEST_P(UnchangedSetter, DoesNotRepaintButAChangeDoes)
{
    const std::unique_ptr<QWidget> widget = GetParam().make();
    PaintCounter paints(widget.get());
    showAndSettle(*widget);
    ASSERT_GT(paints.count, 0);

    int before = paints.count;
    GetParam().same(*widget);
    settle();
    EXPECT_EQ(paints.count, before) << "repainted for a value it already held";

    before = paints.count;
    GetParam().changed(*widget);
    ASSERT_TRUE(waitFor([&] { return paints.count > before; })) << "a change was not repainted";
}

INSTANTIATE_TEST_SUITE_P(Widgets, UnchangedSetter, ::testing::ValuesIn(kSetterCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
