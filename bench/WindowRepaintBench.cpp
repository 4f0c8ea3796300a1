// What the main window costs the main thread per slap: the real AppWindow (main window content,
// slap log full at 100 rows) over a real view model on the test fakes, drawn by Qt's offscreen
// platform in the Fusion style as the view tests draw it.
//
//   SlapWindowShown   one knock through the sensor, processed, and the event loop run until the
//                     window has repainted what changed (the work a slap costs with the window open)
//   SlapWindowHidden  the same with the window closed: the difference is the window's share
//   GrabWindow        the whole window painted into a pixmap (every visible label, as a screenshot)
//   GrowLog           from an empty log to 100 rows, a knock each (first paints, fresh labels)
//
// Counters per iteration: paints (every paint event), labelPaints (text labels' paint events).
// Run from a release build: build/bin/bench/WindowRepaintBench. For instructions per slap (or per
// grab: *measuredGrab*, GrabWindow/iterations:100), collect only the 100 measured slaps of a
// fixed-count run and divide the total by 100:
//   valgrind --tool=callgrind --toggle-collect="*measuredSlap*"
//       build/bin/bench/WindowRepaintBench --benchmark_filter=SlapWindowShown/iterations:100
#include "ViewModels/ThwackoViewModel.h"
#include "platform/qt/QtMainQueue.h"
#include "support/FakeServices.h"
#include "support/TempDir.h"
#include "views/AppWindow.h"
#include "views/Widgets.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEvent>
#include <QLoggingCategory>
#include <QStyleFactory>

#include <cstdlib>
#include <memory>

namespace {

/// Counts paint events in the whole application, and those of text labels.
class PaintCounter final : public QObject {
public:
    PaintCounter() { qApp->installEventFilter(this); }
    ~PaintCounter() override { qApp->removeEventFilter(this); }
    long paints = 0;
    long labelPaints = 0;

protected:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            labelPaints += qobject_cast<widgets::TextLabel*>(object) ? 1 : 0;
        }
        return false;
    }
};

/// A view model on the fakes with a bundle of two empty clips, and the window over it.
class Rig {
public:
    explicit Rig(bool shown)
    {
        for (const char* clip : {"a.mp3", "b.mp3"}) {
            dir.write(std::filesystem::path("res/Audio/pain") / clip, "");
        }
        dir.write("res/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict></dict></plist>)");
        bundle = std::make_unique<foundation::Bundle>(dir.path() / "res", "/opt/thwacko");
        services = std::make_unique<testsupport::FakeServices>(dir.path() / "defaults.plist", *bundle);
        widgets::setAnimationsEnabled(false);
        vm = std::make_unique<ThwackoViewModel>(services->dependencies());
        vm->setHasCompletedOnboarding(true);
        window = std::make_unique<AppWindow>(*vm);
        window->open();
        if (!shown) {
            window->close();
        }
        settle();
        vm->start();
        settle();
        if (!vm->isRunning()) {
            std::fprintf(stderr, "WindowRepaintBench: listening did not start\n");
            std::exit(1);
        }
    }

    ~Rig()
    {
        window.reset();
        vm.reset();
    }

    /// One knock through the sensor, processed by the view model (counts one slap).
    void knock()
    {
        for (int i = 0; i < 150; ++i) {
            services->feedSample(0, 0, i == 149 ? 2.5 : 1.0);
        }
        services->clock.advance(2.0);
        vm->processSamples();
    }

    /// Runs queued jobs, the coalesced change signal, layout requests and the repaint they cause.
    static void settle()
    {
        for (int i = 0; i < 6; ++i) {
            QCoreApplication::processEvents();
        }
    }

    testsupport::TempDir dir;
    QObject mainContext;
    platform::ScopedQtMainQueue mainQueue{&mainContext};
    std::unique_ptr<foundation::Bundle> bundle;
    std::unique_ptr<testsupport::FakeServices> services;
    std::unique_ptr<ThwackoViewModel> vm;
    std::unique_ptr<AppWindow> window;
};

void runSlap(Rig& rig)
{
    rig.knock();
    Rig::settle();
}

// The measured slaps, out of line so that callgrind can collect just them (--toggle-collect).
[[gnu::noinline]] void measuredSlap(Rig& rig) { runSlap(rig); }
[[gnu::noinline]] void measuredGrab(Rig& rig) { benchmark::DoNotOptimize(rig.window->grab()); }

void report(benchmark::State& state, const PaintCounter& counter)
{
    const auto per = benchmark::Counter::kAvgIterations;
    state.counters["paints"] = benchmark::Counter(double(counter.paints), per);
    state.counters["labelPaints"] = benchmark::Counter(double(counter.labelPaints), per);
}

/// Knocks until the log is full and ten more (the detector lets a few early knocks pass unslapped).
bool fillLog(Rig& rig)
{
    for (int i = 0, extra = 0; i < 1000 && extra < 10; ++i) {
        runSlap(rig);
        extra += rig.vm->slapEvents().size() == ThwackoViewModel::logLimit ? 1 : 0;
    }
    return rig.vm->slapEvents().size() == ThwackoViewModel::logLimit;
}

void slap(benchmark::State& state, bool shown)
{
    Rig rig(shown);
    if (!fillLog(rig)) {
        state.SkipWithError("the log did not fill");
        return;
    }
    const auto before = rig.vm->totalSlaps();
    PaintCounter counter;
    for (auto _ : state) {
        measuredSlap(rig); // every slap now adds a row and drops the oldest
    }
    report(state, counter);
    state.counters["slaps"] =
        benchmark::Counter(double(rig.vm->totalSlaps() - before), benchmark::Counter::kAvgIterations);
}

void SlapWindowShown(benchmark::State& state) { slap(state, true); }
void SlapWindowHidden(benchmark::State& state) { slap(state, false); }

void GrabWindow(benchmark::State& state)
{
    Rig rig(true);
    if (!fillLog(rig)) {
        state.SkipWithError("the log did not fill");
        return;
    }
    PaintCounter counter;
    for (auto _ : state) {
        measuredGrab(rig);
    }
    report(state, counter);
}

void GrowLog(benchmark::State& state)
{
    PaintCounter counter;
    for (auto _ : state) {
        state.PauseTiming();
        auto rig = std::make_unique<Rig>(true);
        state.ResumeTiming();
        for (int i = 0; i < 100; ++i) {
            runSlap(*rig);
        }
        state.PauseTiming();
        rig.reset();
        state.ResumeTiming();
    }
    report(state, counter);
}

// Each also at a fixed count of 100, for instruction counts under callgrind.
BENCHMARK(SlapWindowShown)->Unit(benchmark::kMicrosecond);
BENCHMARK(SlapWindowShown)->Unit(benchmark::kMicrosecond)->Iterations(100);
BENCHMARK(SlapWindowHidden)->Unit(benchmark::kMicrosecond);
BENCHMARK(SlapWindowHidden)->Unit(benchmark::kMicrosecond)->Iterations(100);
BENCHMARK(GrabWindow)->Unit(benchmark::kMicrosecond);
BENCHMARK(GrabWindow)->Unit(benchmark::kMicrosecond)->Iterations(100);
BENCHMARK(GrowLog)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QLoggingCategory::setFilterRules(QStringLiteral("thwacko.*=false"));
    QApplication app(argc, argv);
    // The view tests' style, so that sizes and pictures match theirs whatever the desktop.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
