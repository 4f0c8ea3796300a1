// Time from a sensor report's arrival to the clip's play call, through a real view model on the
// Qt event loop: the real accelerometer service over the in-memory device, the real detector,
// tracker and pack loading, the real clocks. Only the sound output is replaced, by a player that
// stamps each play() call.
//
// A 1 ms precise timer feeds 1000 reports a second (gravity with 1 mg of noise) and, every
// quarter of a second (0.4 s in fast mode, whose cooldown is at least 0.35 s), one knock on a
// report the service decodes. A few reports of another length (which the service does not count)
// before each knock move it to a random millisecond, so knocks fall at every phase of the view
// model's processing tick, as they do with a real sensor that keeps its own clock.
//
// Usage: SlapLatency [--knocks N]   (N knocks per mode, default 250)
#include "KnockFeed.h"
#include "Services/ClipPlayer.h"
#include "ViewModels/ThwackoViewModel.h"
#include "platform/qt/QtMainQueue.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace knockfeed;

/// Sound output that only stamps the play calls.
class StampingClipPlayer final : public ClipPlayer {
public:
    std::vector<TimePoint> plays;

    StampingClipPlayer() { plays.reserve(4096); }
    void play(const std::filesystem::path&, double) override { plays.push_back(SteadyClock::now()); }
    void stopAll() override {}
    void setVolumeScaling(bool) override {}
    void setSpeedRatio(double) override {}
};

constexpr int kTailReports = 300; // after the last knock, so it can still be answered

struct RunResult {
    std::vector<TimePoint> knocks;
    std::vector<TimePoint> plays;
    std::vector<TimePoint> ticks;
    std::chrono::milliseconds pollInterval{0};
    double feedSeconds = 0;
    std::size_t reports = 0;
    std::size_t maxBurst = 0;
    std::size_t knockEvents = 0;     // detector events as strong as a knock
    std::size_t displacedEvents = 0; // of those, followed by a weaker event within the same tick
};

RunResult runMode(const Mode& mode, int knocks, const foundation::Bundle& bundle, const std::filesystem::path& home)
{
    knockfeed::Rig rig(mode, knocks, kTailReports, home);
    knockfeed::Feed& feed = rig.feed;

    auto player = std::make_unique<StampingClipPlayer>();
    StampingClipPlayer& audio = *player;
    ThwackoViewModel vm(knockfeed::dependencies(feed, std::move(player), rig.defaults, bundle, rig.center));
    knockfeed::startListening(vm, mode, "SlapLatency");

    RunResult result;
    result.pollInterval = vm.processingTimerInterval().value_or(std::chrono::milliseconds(0));
    result.ticks.reserve(feed.size());

    // The processing timer is the view model's only timer child; its slot (connected first) posts
    // the tick's job, so this stamp is taken as the job is queued.
    for (QTimer* timer : vm.findChildren<QTimer*>()) {
        if (timer->isActive() && std::chrono::milliseconds(timer->interval()) == result.pollInterval) {
            QObject::connect(timer, &QTimer::timeout, [&result] { result.ticks.push_back(SteadyClock::now()); });
        }
    }

    double lastSeenEvent = 0;
    feed.run([&] {
        // The events added since the last look: at most one tick's job runs between two looks, and
        // that tick acts on its newest event only.
        const auto events = vm.currentDetector().events();
        auto fresh = events.end();
        while (fresh != events.begin() && std::prev(fresh)->time().timeIntervalSince1970() > lastSeenEvent) {
            --fresh;
        }
        for (auto it = fresh; it != events.end(); ++it) {
            if (it->amplitude() >= vm.effectiveMinAmplitude()) {
                ++result.knockEvents;
                result.displacedEvents += std::next(it) != events.end() ? 1 : 0;
            }
        }
        if (!events.empty()) {
            lastSeenEvent = events.back().time().timeIntervalSince1970();
        }
    });

    result.knocks = feed.knocks;
    result.feedSeconds = feed.seconds;
    result.reports = feed.size();
    result.maxBurst = feed.maxBurst;
    vm.stop();
    result.plays = audio.plays;
    return result;
}

struct Figures {
    std::size_t knocks = 0;
    std::size_t answered = 0;
    std::size_t strayPlays = 0;  // plays that answered no knock
    std::vector<double> latency; // knock report -> play call
    std::vector<double> wait;    // knock report -> the tick whose job played
    std::vector<double> handle;  // that tick -> play call
    std::vector<double> tickGap; // between consecutive ticks
};

Figures analyse(const RunResult& run)
{
    Figures f;
    f.knocks = run.knocks.size();
    std::vector<bool> used(run.plays.size(), false);
    for (std::size_t k = 0; k < run.knocks.size(); ++k) {
        const TimePoint knock = run.knocks[k];
        const TimePoint limit =
            std::min(knock + kAnswerWindow, k + 1 < run.knocks.size() ? run.knocks[k + 1] : TimePoint::max());
        const auto it = std::lower_bound(run.plays.begin(), run.plays.end(), knock);
        if (it == run.plays.end() || *it >= limit) {
            continue;
        }
        used[static_cast<std::size_t>(it - run.plays.begin())] = true;
        ++f.answered;
        f.latency.push_back(ms(*it - knock));
        // The tick that queued the playing job is the last one stamped before the play.
        const auto tick = std::upper_bound(run.ticks.begin(), run.ticks.end(), *it);
        if (tick != run.ticks.begin()) {
            f.wait.push_back(ms(*std::prev(tick) - knock));
            f.handle.push_back(ms(*it - *std::prev(tick)));
        }
    }
    f.strayPlays = static_cast<std::size_t>(std::count(used.begin(), used.end(), false));
    for (std::size_t i = 1; i < run.ticks.size(); ++i) {
        f.tickGap.push_back(ms(run.ticks[i] - run.ticks[i - 1]));
    }
    for (auto* v : {&f.latency, &f.wait, &f.handle, &f.tickGap}) {
        std::sort(v->begin(), v->end());
    }
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // One log line per slap would fill the table's terminal; it is written after the play call.
    QLoggingCategory::setFilterRules("thwacko.slaps.info=false");

    int knocks = 250;
    const QStringList args = QCoreApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == "--knocks" && i + 1 < args.size()) {
            knocks = std::max(1, args[++i].toInt());
        } else {
            std::fprintf(stderr, "usage: SlapLatency [--knocks N]\n");
            return 2;
        }
    }

    QObject mainContext;
    platform::ScopedQtMainQueue mainQueue(&mainContext);

    // A bundle whose pain pack has three (empty) clips: the player never opens them.
    testsupport::TempDir dir;
    for (const char* clip : {"a.mp3", "b.mp3", "c.mp3"}) {
        dir.write(std::filesystem::path("res/Audio/pain") / clip, "");
    }
    dir.write("res/Audio/lid/open.mp3", "");
    dir.write("res/Audio/lid/close.mp3", "");
    const foundation::Bundle bundle(dir.path() / "res", dir.path().string());

    const Mode modes[] = {{"normal", false, 31}, {"fast", true, 51}};
    std::printf("Report arrival to play() through ThwackoViewModel; %d knocks per mode, 1000 reports/s\n", knocks);
    std::printf("(knock %.2f g on one decoded report, minAmplitude %.2f g, cooldownMs %d)\n\n", kKnockG, kMinAmplitude,
                kCooldownMs);
    // Timers on one thread fire on shared wake-ups, so latencies come in steps of about the feed's
    // 1 ms and the median can sit on either side of a step; the mean is the steadier figure.
    std::printf("%-7s %5s %7s %9s %7s %10s %8s %7s %7s\n", "mode", "poll", "knocks", "answered", "missed", "median ms",
                "mean ms", "p99 ms", "max ms");
    std::vector<std::pair<const Mode*, Figures>> all;
    std::vector<RunResult> runs;
    for (const Mode& mode : modes) {
        runs.push_back(runMode(mode, knocks, bundle, dir.path()));
        Figures f = analyse(runs.back());
        const std::string poll = std::to_string(runs.back().pollInterval.count()) + "ms";
        const double mean = f.latency.empty() ? NAN
                                              : std::accumulate(f.latency.begin(), f.latency.end(), 0.0) /
                                                    static_cast<double>(f.latency.size());
        std::printf("%-7s %5s %7zu %9zu %7zu %10.2f %8.2f %7.2f %7.2f\n", mode.name, poll.c_str(), f.knocks, f.answered,
                    f.knocks - f.answered, percentile(f.latency, 0.5), mean, percentile(f.latency, 0.99),
                    f.latency.empty() ? NAN : f.latency.back());
        std::fflush(stdout);
        all.emplace_back(&mode, std::move(f));
    }

    // On 1 mg of noise the detector's CUSUM fires every few tens of milliseconds until its mean
    // catches up; a knock stamped within 0.01 s of such an event makes no event of its own.
    std::printf("\nMissed knocks: the detector made no knock-strength event for it (silent: its event\n"
                "spacing dropped it), made one that a weaker event after it in the same tick displaced\n"
                "(displaced), or neither (other)\n");
    std::printf("%-7s %7s %7s %10s %6s\n", "mode", "missed", "silent", "displaced", "other");
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Figures& f = all[i].second;
        const RunResult& run = runs[i];
        const std::size_t missed = f.knocks - f.answered;
        const std::size_t silent = f.knocks > run.knockEvents ? f.knocks - run.knockEvents : 0;
        const std::size_t other = missed - std::min(missed, silent + run.displacedEvents);
        std::printf("%-7s %7zu %7zu %10zu %6zu\n", all[i].first->name, missed, silent, run.displacedEvents, other);
    }

    std::printf("\nWhere the time goes (ms): waiting for the processing tick, then tick to play()\n");
    std::printf("%-7s %9s %9s %11s %11s %9s %9s %6s %8s %8s %6s\n", "mode", "wait med", "wait p99", "handle med",
                "handle p99", "tick med", "tick p99", "stray", "reports", "rate/s", "burst");
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Figures& f = all[i].second;
        const RunResult& run = runs[i];
        std::printf("%-7s %9.2f %9.2f %11.3f %11.3f %9.2f %9.2f %6zu %8zu %8.1f %6zu\n", all[i].first->name,
                    percentile(f.wait, 0.5), percentile(f.wait, 0.99), percentile(f.handle, 0.5),
                    percentile(f.handle, 0.99), percentile(f.tickGap, 0.5), percentile(f.tickGap, 0.99), f.strayPlays,
                    run.reports, static_cast<double>(run.reports) / run.feedSeconds, run.maxBurst);
    }
    return 0;
}
