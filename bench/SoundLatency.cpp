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
#include "KnockFeed.h"
#include "Services/AudioPlayerService.h"
#include "Services/ClipPlayer.h"
#include "ViewModels/ThwackoViewModel.h"
#include "platform/audio/OutputSetup.h"
#include "platform/qt/QtMainQueue.h"
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

using namespace knockfeed;
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

constexpr int kTailReports = 1000; // the last clip ends before the view model stops

struct RunResult {
    std::vector<TimePoint> knocks;
    std::vector<TimePoint> plays;
    std::vector<Start> starts;
};

RunResult runMode(const Mode& mode, int knocks, const foundation::Bundle& bundle, const std::filesystem::path& home)
{
    knockfeed::Rig rig(mode, knocks, kTailReports, home);
    knockfeed::Feed& feed = rig.feed;

    auto player = std::make_unique<StampedService>();
    StampedService& audio = *player;
    ThwackoViewModel vm(knockfeed::dependencies(feed, std::move(player), rig.defaults, bundle, rig.center));
    MixWatcher watcher;
    knockfeed::startListening(vm, mode, "SoundLatency");
    feed.run();
    vm.stop();

    RunResult result;
    result.knocks = feed.knocks;
    result.plays = audio.plays;
    result.starts = watcher.starts();
    return result;
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
    audio::prepareOutput(); // the application's update size, set before any thread starts
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
