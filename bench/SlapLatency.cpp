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
#include "Services/AccelerometerService.h"
#include "Services/ClipPlayer.h"
#include "Services/LidClamshellMonitor.h"
#include "Services/PowerSourceMonitor.h"
#include "Services/USBVolumeMonitor.h"
#include "ViewModels/ThwackoViewModel.h"
#include "platform/qt/QtMainQueue.h"
#include "support/FakeHid.h"
#include "support/FakeSystemMonitors.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTimer>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

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

struct Mode {
    const char* name;
    bool fast;
    int knockSpacingSamples; // decoded samples between knocks (8 reports each), before the phase shift
};

/// What is in each millisecond slot of the feed.
enum class Slot : std::uint8_t { quiet, other, knock };

constexpr int kWarmUpSamples = 375;   // 3 s of rest before the first knock
constexpr int kTailReports = 300;     // after the last knock, so it can still be answered
constexpr int kMaxPhaseShift = 9;     // other reports before a knock: 0..9 ms
constexpr double kKnockG = 0.3;       // a single-sample knock along z
constexpr double kMinAmplitude = 0.1; // the knock's filtered magnitude is about 0.28 g
constexpr int kCooldownMs = 100;      // fast mode raises it to 350 ms
constexpr auto kAnswerWindow = std::chrono::milliseconds(100);

std::vector<Slot> makeScript(const Mode& mode, int knocks, std::mt19937& random)
{
    std::uniform_int_distribution<int> shift(0, kMaxPhaseShift);
    std::vector<Slot> script(static_cast<std::size_t>(kWarmUpSamples * AccelerometerService::imuDecimation),
                             Slot::quiet);
    for (int k = 0; k < knocks; ++k) {
        script.insert(script.end(), static_cast<std::size_t>(shift(random)), Slot::other);
        // The knock is the last of the interval's 8·G counted reports, so it is one the service decodes.
        script.insert(script.end(),
                      static_cast<std::size_t>(mode.knockSpacingSamples * AccelerometerService::imuDecimation - 1),
                      Slot::quiet);
        script.push_back(Slot::knock);
    }
    script.insert(script.end(), kTailReports, Slot::quiet);
    return script;
}

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
    std::mt19937 random(mode.fast ? 11 : 7);
    const std::vector<Slot> script = makeScript(mode, knocks, random);

    // Quiet reports: a laptop at rest, slightly tilted, with sensor noise.
    std::normal_distribution<double> noise(0.0, 0.001);
    std::vector<std::array<std::uint8_t, 22>> quiet;
    for (int i = 0; i < 4096; ++i) {
        quiet.push_back(
            testsupport::sensorReportG(0.021 + noise(random), -0.034 + noise(random), 0.9992 + noise(random)));
    }
    const auto knock = testsupport::sensorReportG(0.021, -0.034, 0.9992 + kKnockG);
    const std::array<std::uint8_t, 10> other{0x02};

    auto sensor = std::make_shared<testsupport::FakeHidBackend>();
    sensor->services = {testsupport::FakeHidService::sensor(1)};
    foundation::UserDefaults defaults(home / (std::string(mode.name) + "-defaults.plist"));
    foundation::NotificationCenter center;

    ThwackoViewModel::Dependencies deps;
    deps.accelerometer = std::make_unique<AccelerometerService>(sensor);
    deps.usbVolumeMonitor = std::make_unique<USBVolumeMonitor>(std::make_shared<testsupport::FakeWorkspace>());
    deps.powerSourceMonitor = std::make_unique<PowerSourceMonitor>(std::make_shared<testsupport::FakePowerSources>());
    deps.lidClamshellMonitor = std::make_unique<LidClamshellMonitor>(std::make_shared<testsupport::FakeLidRegistry>());
    auto player = std::make_unique<StampingClipPlayer>();
    StampingClipPlayer& audio = *player;
    deps.audioPlayer = std::move(player);
    deps.clock = &foundation::SystemClock::shared();
    deps.userDefaults = &defaults;
    deps.bundle = &bundle;
    deps.notificationCenter = &center;
    deps.folderChooser = [](const std::string&) { return ThwackoViewModel::FolderChoice{}; };
    ThwackoViewModel vm(std::move(deps));

    vm.setCooldownMs(kCooldownMs);
    vm.setMinAmplitude(kMinAmplitude);
    vm.setFastMode(mode.fast);
    vm.start();
    if (!vm.isRunning()) {
        std::fprintf(stderr, "SlapLatency: listening did not start: %s\n", vm.errorMessage().value_or("?").c_str());
        std::exit(1);
    }

    RunResult result;
    result.pollInterval = vm.processingTimerInterval().value_or(std::chrono::milliseconds(0));
    result.knocks.reserve(static_cast<std::size_t>(knocks));
    result.ticks.reserve(script.size());

    // The processing timer is the view model's only timer child; its slot (connected first) posts
    // the tick's job, so this stamp is taken as the job is queued.
    for (QTimer* timer : vm.findChildren<QTimer*>()) {
        if (timer->isActive() && std::chrono::milliseconds(timer->interval()) == result.pollInterval) {
            QObject::connect(timer, &QTimer::timeout, [&result] { result.ticks.push_back(SteadyClock::now()); });
        }
    }

    // Let the ready job run before the first report, as the device would be ready by then.
    QCoreApplication::processEvents();

    QEventLoop loop;
    QTimer feed;
    feed.setTimerType(Qt::PreciseTimer);
    feed.setInterval(1);
    std::size_t delivered = 0;
    std::size_t quietIndex = 0;
    double lastSeenEvent = 0;
    const TimePoint feedStart = SteadyClock::now();
    QObject::connect(&feed, &QTimer::timeout, [&] {
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

        const TimePoint now = SteadyClock::now();
        // Every report whose millisecond has begun is due; a late wake-up catches up.
        const auto due = std::min(
            script.size(),
            static_cast<std::size_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now - feedStart).count()) +
                1);
        if (due > delivered) {
            result.maxBurst = std::max(result.maxBurst, due - delivered);
        }
        for (; delivered < due; ++delivered) {
            switch (script[delivered]) {
            case Slot::quiet:
                sensor->deliver(quiet[quietIndex++ % quiet.size()]);
                break;
            case Slot::other:
                sensor->deliver(other);
                break;
            case Slot::knock:
                result.knocks.push_back(SteadyClock::now());
                sensor->deliver(knock);
                break;
            }
        }
        if (delivered == script.size()) {
            feed.stop();
            loop.quit();
        }
    });
    feed.start();
    loop.exec();

    result.feedSeconds = std::chrono::duration<double>(SteadyClock::now() - feedStart).count();
    result.reports = delivered;
    vm.stop();
    result.plays = audio.plays;
    return result;
}

double ms(SteadyClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

/// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty()) {
        return NAN;
    }
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
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
