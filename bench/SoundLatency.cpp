// Time from a sensor report's arrival to the clip's first sample at the sound device, through a
// real view model and the real audio service on OpenAL Soft's null backend (or the backend that
// ALSOFT_DRIVERS names). The feed is SlapLatency's: a 1 ms precise timer delivers 1000 reports a
// second through the in-memory sensor, with one knock every 0.25 s (0.4 s in fast mode) at a
// random phase of the processing tick. The pack is the shipped "pain" pack.
//
// Three stamps per knock:
//   report   the knock's report is handed to the sensor backend
//   play     the view model calls the audio service's play()
//   mixed    a watcher thread sees the clip's OpenAL source advance: the mixer has rendered the
//            update that holds the clip's first sample (polled every 0.1 ms)
// and the device latency OpenAL Soft reports for that source at that moment
// (AL_SAMPLE_OFFSET_LATENCY_SOFT: the time from the mixer to the device's output).
// "At the device" is mixed + latency. What a sound server and the sound card add after the
// device OpenAL writes to (a PipeWire or PulseAudio quantum, the card's buffer) is not included.
//
// Usage: SoundLatency [--knocks N] [--isolated]
//   N knocks per mode, default 250. --isolated adds a run of normal-mode knocks 1.5 s apart:
//   each clip has ended and the idle device has been paused before the next knock, so every
//   clip waits for the device to resume (about 6 minutes for 250 knocks).
#include "Services/AccelerometerService.h"
#include "Services/AudioPlayerService.h"
#include "Services/ClipPlayer.h"
#include "Services/LidClamshellMonitor.h"
#include "Services/PowerSourceMonitor.h"
#include "Services/USBVolumeMonitor.h"
#include "ViewModels/ThwackoViewModel.h"
#include "platform/qt/QtMainQueue.h"
#include "support/FakeHid.h"
#include "support/FakeSystemMonitors.h"
#include "support/TempDir.h"

#define AL_ALEXT_PROTOTYPES
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTimer>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;
using namespace std::chrono_literals;

/// The real audio service, with each play() call stamped.
class StampedService final : public ClipPlayer {
public:
    std::vector<TimePoint> plays;
    AudioPlayerService service;

    StampedService() { plays.reserve(4096); }
    void play(const std::filesystem::path& file, double amplitude) override
    {
        plays.push_back(SteadyClock::now());
        service.play(file, amplitude);
    }
    void stopAll() override { service.stopAll(); }
    void setVolumeScaling(bool on) override { service.setVolumeScaling(on); }
    void setSpeedRatio(double ratio) override { service.setSpeedRatio(ratio); }
};

struct Start {
    TimePoint mixed;
    double latencyMs;
};

/// Watches every OpenAL source of the process's current context and stamps the moment each
/// started source has first been mixed. It looks from outside the audio service, so it works
/// whatever the service does with its sources.
class MixWatcher {
public:
    MixWatcher()
        : thread([this] { run(); })
    {
    }
    ~MixWatcher()
    {
        stopping = true;
        thread.join();
    }
    std::vector<Start> starts()
    {
        std::lock_guard guard(lock);
        return seen;
    }

private:
    static constexpr ALuint kMaxSource = 256;
    struct Watched {
        bool mixing = false;
        ALint64SOFT offset = 0;
    };

    void run()
    {
        std::array<Watched, kMaxSource + 1> sources{};
        while (!stopping) {
            std::this_thread::sleep_for(100us);
            if (alcGetCurrentContext() == nullptr) {
                continue;
            }
            for (ALuint id = 1; id <= kMaxSource; ++id) {
                Watched& w = sources[id];
                if (alIsSource(id) != AL_TRUE) {
                    w = {};
                    continue;
                }
                ALint state = AL_STOPPED;
                ALint64SOFT values[2] = {0, 0};
                alGetSourcei(id, AL_SOURCE_STATE, &state);
                alGetSourcei64vSOFT(id, AL_SAMPLE_OFFSET_LATENCY_SOFT, values);
                const bool mixing = state == AL_PLAYING && values[0] > 0;
                // A start: the source began to advance, or started over (a replayed or reused source).
                if (mixing && (!w.mixing || values[0] < w.offset)) {
                    std::lock_guard guard(lock);
                    seen.push_back({SteadyClock::now(), double(values[1]) / 1e6});
                }
                w.mixing = mixing;
                w.offset = values[0];
            }
            alGetError(); // a source deleted between two calls above
        }
    }

    std::atomic<bool> stopping{false};
    std::mutex lock;
    std::vector<Start> seen;
    std::thread thread;
};

struct Mode {
    const char* name;
    bool fast;
    int knockSpacingSamples;
};

enum class Slot : std::uint8_t { quiet, other, knock };

constexpr int kWarmUpSamples = 375;
constexpr int kTailReports = 1000; // the last clip ends before the view model stops
constexpr int kMaxPhaseShift = 9;
constexpr double kKnockG = 0.3;
constexpr double kMinAmplitude = 0.1;
constexpr int kCooldownMs = 100;
constexpr auto kAnswerWindow = 100ms;

std::vector<Slot> makeScript(const Mode& mode, int knocks, std::mt19937& random)
{
    std::uniform_int_distribution<int> shift(0, kMaxPhaseShift);
    std::vector<Slot> script(static_cast<std::size_t>(kWarmUpSamples * AccelerometerService::imuDecimation),
                             Slot::quiet);
    for (int k = 0; k < knocks; ++k) {
        script.insert(script.end(), static_cast<std::size_t>(shift(random)), Slot::other);
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
    std::vector<Start> starts;
};

RunResult runMode(const Mode& mode, int knocks, const foundation::Bundle& bundle, const std::filesystem::path& home)
{
    std::mt19937 random(mode.fast ? 11 : 7);
    const std::vector<Slot> script = makeScript(mode, knocks, random);
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
    auto player = std::make_unique<StampedService>();
    StampedService& audio = *player;
    deps.audioPlayer = std::move(player);
    deps.userDefaults = &defaults;
    deps.bundle = &bundle;
    deps.notificationCenter = &center;
    ThwackoViewModel vm(std::move(deps));

    vm.setCooldownMs(kCooldownMs);
    vm.setMinAmplitude(kMinAmplitude);
    vm.setFastMode(mode.fast);
    MixWatcher watcher;
    vm.start();
    if (!vm.isRunning()) {
        std::fprintf(stderr, "SoundLatency: listening did not start: %s\n", vm.errorMessage().value_or("?").c_str());
        std::exit(1);
    }
    QCoreApplication::processEvents();

    RunResult result;
    result.knocks.reserve(static_cast<std::size_t>(knocks));
    QEventLoop loop;
    QTimer feed;
    feed.setTimerType(Qt::PreciseTimer);
    feed.setInterval(1);
    std::size_t delivered = 0;
    std::size_t quietIndex = 0;
    const TimePoint feedStart = SteadyClock::now();
    QObject::connect(&feed, &QTimer::timeout, [&] {
        const TimePoint now = SteadyClock::now();
        const auto due = std::min(
            script.size(),
            static_cast<std::size_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now - feedStart).count()) +
                1);
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
    vm.stop();
    result.plays = audio.plays;
    result.starts = watcher.starts();
    return result;
}

double ms(SteadyClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) {
        return NAN;
    }
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
    return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

struct Figures {
    std::size_t knocks = 0, answered = 0, sounded = 0;
    std::vector<double> toPlay, toMixed, latency, toDevice;
};

Figures analyse(const RunResult& run)
{
    Figures f;
    f.knocks = run.knocks.size();
    for (std::size_t k = 0; k < run.knocks.size(); ++k) {
        const TimePoint knock = run.knocks[k];
        const TimePoint next = k + 1 < run.knocks.size() ? run.knocks[k + 1] : TimePoint::max();
        const auto play = std::lower_bound(run.plays.begin(), run.plays.end(), knock);
        if (play == run.plays.end() || *play >= std::min(knock + kAnswerWindow, next)) {
            continue;
        }
        ++f.answered;
        f.toPlay.push_back(ms(*play - knock));
        const TimePoint nextPlay = std::next(play) != run.plays.end() ? *std::next(play) : TimePoint::max();
        const auto start = std::find_if(run.starts.begin(), run.starts.end(),
                                        [&](const Start& s) { return s.mixed >= *play && s.mixed < nextPlay; });
        if (start == run.starts.end()) {
            continue;
        }
        ++f.sounded;
        f.toMixed.push_back(ms(start->mixed - *play));
        f.latency.push_back(start->latencyMs);
        f.toDevice.push_back(ms(start->mixed - knock) + start->latencyMs);
    }
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("ALSOFT_DRIVERS", "null", 0);
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules("thwacko.slaps.info=false");

    int knocks = 250;
    bool isolated = false;
    const QStringList args = QCoreApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == "--knocks" && i + 1 < args.size()) {
            knocks = std::max(1, args[++i].toInt());
        } else if (args[i] == "--isolated") {
            isolated = true;
        } else {
            std::fprintf(stderr, "usage: SoundLatency [--knocks N] [--isolated]\n");
            return 2;
        }
    }

    QObject mainContext;
    platform::ScopedQtMainQueue mainQueue(&mainContext);
    testsupport::TempDir dir;
    const foundation::Bundle bundle(std::filesystem::path(THWACKO_SOURCE_DIR) / "resources", dir.path().string());

    std::vector<Mode> modes = {{"normal", false, 31}, {"fast", true, 51}};
    if (isolated) {
        modes.push_back({"isolated", false, 187});
    }
    std::printf("Report arrival to the clip's first sample at the device, through ThwackoViewModel and\n"
                "AudioPlayerService on OpenAL Soft's \"%s\" backend; %d knocks per mode, pain pack\n\n",
                std::getenv("ALSOFT_DRIVERS"), knocks);
    std::printf("%-7s %6s %8s %7s | %15s | %15s | %15s | %15s\n", "mode", "knocks", "answered", "sounded",
                "report->play", "play->mixed", "device latency", "report->device");
    std::printf("%-7s %6s %8s %7s | %7s %7s | %7s %7s | %7s %7s | %7s %7s\n", "", "", "", "", "p50", "p99", "p50",
                "p99", "p50", "p99", "p50", "p99");
    for (const Mode& mode : modes) {
        const Figures f = analyse(runMode(mode, knocks, bundle, dir.path()));
        std::printf("%-7s %6zu %8zu %7zu | %7.2f %7.2f | %7.2f %7.2f | %7.2f %7.2f | %7.2f %7.2f\n", mode.name,
                    f.knocks, f.answered, f.sounded, percentile(f.toPlay, 0.5), percentile(f.toPlay, 0.99),
                    percentile(f.toMixed, 0.5), percentile(f.toMixed, 0.99), percentile(f.latency, 0.5),
                    percentile(f.latency, 0.99), percentile(f.toDevice, 0.5), percentile(f.toDevice, 0.99));
        std::fflush(stdout);
    }
    std::printf("\nNot included: what a sound server (PipeWire, PulseAudio) and the sound card add after\n"
                "the device OpenAL Soft writes to.\n");
    return 0;
}
