// Time from a sensor report's arrival to the clip's first sample at the sound device, through a
// real view model and the real audio service on OpenAL Soft's null backend (or the backend that
// ALSOFT_DRIVERS names), or with --sound-server to the first sample leaving a real sound server.
// The feed is SlapLatency's: a 1 ms precise timer delivers 1000 reports a second through the
// in-memory sensor, with one knock every 0.25 s (0.4 s in fast mode) at a random phase of the
// processing tick. The pack is the shipped "pain" pack.
//
// Three stamps per knock:
//   report   the knock's report is handed to the sensor backend
//   play     the view model calls the audio service's play()
//   mixed    a watcher thread sees the clip's OpenAL source advance: the mixer has rendered the
//            update that holds the clip's first sample (polled every 0.1 ms)
// and the device latency OpenAL Soft reports for that source at that moment
// (AL_SAMPLE_OFFSET_LATENCY_SOFT: the time from the mixer to the device's output).
// "At the device" is mixed + latency.
//
// --sound-server starts PipeWire with its PulseAudio server and a null sink (bench/sound-server,
// after bench/install-sound-server) under a private runtime folder and plays through OpenAL Soft's
// PulseAudio backend, whose latency includes the server stream's buffer and the sink's delay.
// Then "leaving the server" is mixed + latency + the graph's quantum (its cycle, read with
// pw-profiler over the run), and a last run checks that figure against the null sink's monitor:
// knocks 0.5 s apart (the device kept running), each clip's first sample after silence found in a parec recording, less
// the recording's latency the server reports and the clip's own leading zeros.
//
// Usage: SoundLatency [--knocks N] [--isolated] [--sound-server]
//   N knocks per mode, default 250. --isolated adds a run of normal-mode knocks 1.5 s apart:
//   each clip has ended and the idle device has been paused before the next knock, so every
//   clip waits for the device to resume (about 6 minutes for 250 knocks).
#include "KnockFeed.h"
#include "Services/AudioPlayerService.h"
#include "Services/ClipPlayer.h"
#include "SoundServer.h"
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
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using namespace knockfeed;
using namespace std::chrono_literals;

/// The real audio service, with each play() call stamped.
class StampedService final : public ClipPlayer {
public:
    std::vector<TimePoint> plays;
    std::vector<std::filesystem::path> files;
    AudioPlayerService service;

    StampedService()
    {
        plays.reserve(4096);
        files.reserve(4096);
    }
    void play(const std::filesystem::path& file, double amplitude) override
    {
        plays.push_back(SteadyClock::now());
        files.push_back(file);
        service.play(file, amplitude);
    }
    void stopAll() override { service.stopAll(); }
    void setVolumeScaling(bool on) override { service.setVolumeScaling(on); }
    void setSpeedRatio(double ratio) override { service.setSpeedRatio(ratio); }
};

struct Start {
    TimePoint mixed;
    double latencyMs;
    bool standIn = false; // the latency is OpenAL's stand-in: unknown
};

// What OpenAL Soft 1.19's PulseAudio backend reports while the stream has no timing information
// yet (just after it starts or resumes): a stand-in of exactly 1 ms. It reports none at all (0)
// when the server's timing cannot be read; through a server's buffer neither is a real latency.
constexpr ALint64SOFT kStandInLatencyNs = 1000000;
bool isStandIn(ALint64SOFT latencyNs) { return latencyNs == kStandInLatencyNs || latencyNs <= 0; }
constexpr auto kStandInPatience = 250ms;

/// Watches every OpenAL source of the process's current context and stamps the moment each
/// started source has first been mixed. It looks from outside the audio service, so it works
/// whatever the service does with its sources. With `replaceStandIns`, a start that got the
/// PulseAudio backend's stand-in latency takes the device's first real report after it instead.
class MixWatcher {
public:
    explicit MixWatcher(bool replaceStandIns)
        : replaceStandIns(replaceStandIns)
        , thread([this] { run(); })
    {
    }
    ~MixWatcher() { finish(); }
    /// Stops watching; the counts below are final after it.
    void finish()
    {
        stopping = true;
        if (thread.joinable()) {
            thread.join();
        }
    }
    std::vector<Start> starts()
    {
        std::lock_guard guard(lock);
        return seen;
    }
    /// Starts that got the stand-in, and those of them that never got a real report.
    std::size_t standIns = 0, unresolved = 0;

private:
    static constexpr ALuint kMaxSource = 256;
    struct Watched {
        bool mixing = false;
        ALint64SOFT offset = 0;
    };
    struct Pending {
        std::size_t index;
        TimePoint since;
    };

    void run()
    {
        std::array<Watched, kMaxSource + 1> sources{};
        std::vector<Pending> pending;
        while (!stopping) {
            std::this_thread::sleep_for(100us);
            ALCcontext* context = alcGetCurrentContext();
            if (context == nullptr) {
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
                    const TimePoint now = SteadyClock::now();
                    std::lock_guard guard(lock);
                    seen.push_back({now, double(values[1]) / 1e6});
                    if (replaceStandIns && isStandIn(values[1])) {
                        ++standIns;
                        pending.push_back({seen.size() - 1, now});
                    }
                }
                w.mixing = mixing;
                w.offset = values[0];
            }
            alGetError(); // a source deleted between two calls above
            if (!pending.empty()) {
                ALCint64SOFT latency = 0;
                alcGetInteger64vSOFT(alcGetContextsDevice(context), ALC_DEVICE_LATENCY_SOFT, 1, &latency);
                const TimePoint now = SteadyClock::now();
                std::lock_guard guard(lock);
                std::erase_if(pending, [&](const Pending& p) {
                    if (!isStandIn(latency)) {
                        seen[p.index].latencyMs = double(latency) / 1e6;
                        return true;
                    }
                    if (now - p.since > kStandInPatience) {
                        seen[p.index].standIn = true;
                        ++unresolved;
                        return true;
                    }
                    return false;
                });
            }
        }
        std::lock_guard guard(lock);
        for (const Pending& p : pending) {
            seen[p.index].standIn = true;
        }
        unresolved += pending.size();
    }

    const bool replaceStandIns;
    std::atomic<bool> stopping{false};
    std::mutex lock;
    std::vector<Start> seen;
    std::thread thread;
};

constexpr int kTailReports = 1000;
constexpr auto kOnsetWindow =
    200ms; // a sound later than this after play() is not its clip's // the last clip ends before the view model stops

struct RunResult {
    std::vector<TimePoint> knocks;
    std::vector<TimePoint> plays;
    std::vector<std::filesystem::path> files;
    std::vector<Start> starts;
    std::size_t standIns = 0, unresolved = 0;
    std::vector<double> quanta;    // ms, every cycle of the server's graph during the run
    std::vector<TimePoint> onsets; // first samples in the monitor recording
    double recordingLatencyMs = -1;
    bool server = false;
};

/// One mode's run; with a server, its quantum is logged and, with `record`, its monitor recorded.
RunResult runMode(const Mode& mode, int knocks, const foundation::Bundle& bundle, const std::filesystem::path& home,
                  const soundserver::Server* server, bool record)
{
    knockfeed::Rig rig(mode, knocks, kTailReports, home);
    knockfeed::Feed& feed = rig.feed;

    auto player = std::make_unique<StampedService>();
    StampedService& audio = *player;
    ThwackoViewModel vm(knockfeed::dependencies(feed, std::move(player), rig.defaults, bundle, rig.center));
    std::optional<soundserver::QuantumLog> quanta;
    std::optional<soundserver::MonitorRecorder> recorder;
    if (server != nullptr) {
        quanta.emplace(*server, mode.name);
        if (record) {
            recorder.emplace();
        }
    }
    RunResult result;
    {
        MixWatcher watcher(server != nullptr);
        knockfeed::startListening(vm, mode, "SoundLatency");
        feed.run();
        vm.stop();
        if (recorder) {
            result.recordingLatencyMs = soundserver::MonitorRecorder::reportedLatencyMs();
        }
        watcher.finish();
        result.starts = watcher.starts();
        result.standIns = watcher.standIns;
        result.unresolved = watcher.unresolved;
    }
    result.server = server != nullptr;
    result.knocks = feed.knocks;
    result.plays = audio.plays;
    result.files = audio.files;
    if (quanta) {
        result.quanta = quanta->finish();
    }
    if (recorder) {
        result.onsets = recorder->onsets();
    }
    return result;
}

struct Figures {
    std::size_t knocks = 0, answered = 0, sounded = 0, standIns = 0, unresolved = 0;
    std::vector<double> toPlay, toMixed, latency, toDevice, toServer;
    double quantumMs = 0;
    std::vector<double> checked; // monitor recording's time less this figure's, per knock (ms)
    std::vector<double> opening; // report->server of each process's first clip
    double recordingLatencyMs = -1;

    /// One line per figure: a name and its values.
    void save(const std::filesystem::path& file) const
    {
        std::ofstream out(file);
        out << "counts " << knocks << ' ' << answered << ' ' << sounded << ' ' << standIns << ' ' << unresolved << ' '
            << quantumMs << ' ' << recordingLatencyMs << '\n';
        for (const auto& [name, values] : series()) {
            out << name;
            for (double v : *values) {
                out << ' ' << v;
            }
            out << '\n';
        }
    }
    /// Adds the figures save() wrote (one segment of a mode) to these.
    void add(const std::filesystem::path& file)
    {
        std::ifstream in(file);
        std::string name;
        std::size_t counts[5] = {};
        in >> name >> counts[0] >> counts[1] >> counts[2] >> counts[3] >> counts[4] >> quantumMs >> recordingLatencyMs;
        knocks += counts[0];
        answered += counts[1];
        sounded += counts[2];
        standIns += counts[3];
        unresolved += counts[4];
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            fields >> name;
            for (auto& [key, values] : series()) {
                if (key == name) {
                    for (double v = 0; fields >> v;) {
                        values->push_back(v);
                    }
                }
            }
        }
    }

private:
    std::vector<std::pair<std::string, std::vector<double>*>> series()
    {
        return {{"play", &toPlay},     {"mixed", &toMixed},   {"latency", &latency}, {"device", &toDevice},
                {"server", &toServer}, {"checked", &checked}, {"opening", &opening}};
    }
    std::vector<std::pair<std::string, const std::vector<double>*>> series() const
    {
        auto all = const_cast<Figures*>(this)->series();
        return {all.begin(), all.end()};
    }
};

Figures analyse(const RunResult& run)
{
    Figures f;
    f.knocks = run.knocks.size();
    f.standIns = run.standIns;
    f.unresolved = run.unresolved;
    f.recordingLatencyMs = run.recordingLatencyMs;
    // The quantum changes only as streams come and go (the cycle a stream joins in still runs at the
    // quantum before it): the one of most cycles with the application's stream is taken for all.
    std::map<double, int> cycles;
    for (double q : run.quanta) {
        ++cycles[q];
    }
    f.quantumMs =
        cycles.empty() ? 0.0 : std::max_element(cycles.begin(), cycles.end(), [](const auto& a, const auto& b) {
                                   return a.second < b.second;
                               })->first;
    std::map<std::filesystem::path, double> leadIns;
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
        // The first clip waits for the device to open, which the application does once: with a
        // sound server, where each mode runs in several processes, it is counted apart.
        if (run.server && f.sounded == 1) {
            f.opening.push_back(ms(start->mixed - knock) + start->latencyMs + f.quantumMs);
            continue;
        }
        f.toMixed.push_back(ms(start->mixed - *play));
        if (start->standIn) {
            continue;
        }
        f.latency.push_back(start->latencyMs);
        f.toDevice.push_back(ms(start->mixed - knock) + start->latencyMs);
        f.toServer.push_back(f.toDevice.back() + f.quantumMs);
        if (run.recordingLatencyMs < 0) {
            continue;
        }
        const auto onset = std::lower_bound(run.onsets.begin(), run.onsets.end(), *play);
        if (onset == run.onsets.end() || *onset >= std::min(nextPlay, *play + kOnsetWindow)) {
            continue;
        }
        const auto file = run.files[std::size_t(play - run.plays.begin())];
        if (!leadIns.contains(file)) {
            leadIns[file] = soundserver::leadInSeconds(file) * 1000.0;
        }
        const double recorded = ms(*onset - knock) - run.recordingLatencyMs - leadIns[file];
        f.checked.push_back(recorded - f.toServer.back());
    }
    return f;
}

void printHeader(bool server, int knocks)
{
    std::printf("Report arrival to the clip's first sample %s, through ThwackoViewModel and\n"
                "AudioPlayerService on OpenAL Soft's \"%s\" backend; %d knocks per mode, pain pack\n\n",
                server ? "leaving the sound server (PipeWire's PulseAudio server, null sink)" : "at the device",
                server ? "pulse" : std::getenv("ALSOFT_DRIVERS"), knocks);
    std::printf("%-7s %6s %8s %7s | %15s | %15s | %15s | %5s | %15s | %8s\n", "mode", "knocks", "answered", "sounded",
                "report->play", "play->mixed", "device latency", "quant", server ? "report->server" : "report->device",
                "stand-in");
    std::printf("%-7s %6s %8s %7s | %7s %7s | %7s %7s | %7s %7s | %5s | %7s %7s |\n", "", "", "", "", "p50", "p99",
                "p50", "p99", "p50", "p99", "ms", "p50", "p99");
    std::fflush(stdout);
}

void printRow(const char* name, const Figures& f)
{
    std::printf("%-7s %6zu %8zu %7zu | %7.2f %7.2f | %7.2f %7.2f | %7.2f %7.2f | %5.2f | %7.2f %7.2f | %3zu / %2zu\n",
                name, f.knocks, f.answered, f.sounded, percentile(f.toPlay, 0.5), percentile(f.toPlay, 0.99),
                percentile(f.toMixed, 0.5), percentile(f.toMixed, 0.99), percentile(f.latency, 0.5),
                percentile(f.latency, 0.99), f.quantumMs, percentile(f.toServer, 0.5), percentile(f.toServer, 0.99),
                f.standIns, f.unresolved);
    std::fflush(stdout);
}

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: SoundLatency [--knocks N] [--isolated] [--sound-server]\n");
    std::exit(2);
}

// Knocks 0.5 s apart, so that the shorter clips end before the next starts, after a second knock
// 0.25 s after the first: the clips make a run from the start, and the device is never paused.
const Mode kCheck{"check", false, 62, 31};

void printCheck(const Figures& f)
{
    std::vector<double> spread;
    for (double d : f.checked) {
        spread.push_back(std::abs(d - percentile(f.checked, 0.5)));
    }
    std::printf("\nMonitor recording (its reported latency %.2f ms taken off) less the figure, over %zu of %zu\n"
                "sounded knocks: median %+.2f ms, p10 %+.2f, p90 %+.2f; median distance from the median %.2f ms.\n",
                f.recordingLatencyMs, f.checked.size(), f.sounded, percentile(f.checked, 0.5),
                percentile(f.checked, 0.1), percentile(f.checked, 0.9), percentile(spread, 0.5));
}

// Listening with two knocks 20 s apart: for most of it the device is paused, and what listening
// costs is the timers'.
const Mode kQuiet{"quiet", false, 125, 2500};

double childrenCpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

std::string cost(const char* mode, double serverMs, double appMs, TimePoint since)
{
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - since).count();
    char line[128];
    std::snprintf(line, sizeof line, "  %-7s %6.2f / %6.2f", mode, appMs / seconds, serverMs / seconds);
    return line;
}

/// One process running `knocks` of `mode`; the file its figures are in.
std::filesystem::path runSegment(const char* self, const soundserver::Server& server, const Mode& mode, int knocks)
{
    const std::filesystem::path out = server.dir() / (std::string(mode.name) + ".figures");
    const std::string command = std::string(self) + " --knocks " + std::to_string(knocks) + " --only " + mode.name +
                                " " + server.dir().string() + " " + out.string();
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error(std::string("the ") + mode.name + " run failed");
    }
    return out;
}

/// Runs each mode in processes of their own (as the application opens the device) until it has
/// `knocks` knocks whose latency OpenAL reported: its PulseAudio backend reports none any more once
/// its device has been paused, which happens after a clip that no other follows soon.
void runModesInServer(const char* self, const soundserver::Server& server, std::vector<Mode> modes, int knocks)
{
    printHeader(true, knocks);
    modes.push_back(kCheck);
    constexpr int kMinSegment = 50, kMaxSegments = 8;
    std::vector<std::string> costs;
    // Two clips 20 s apart: the device pauses between them, and listening costs what its timers do.
    modes.push_back(kQuiet);
    for (const Mode& mode : modes) {
        const double serverBefore = server.cpuMs(), appBefore = childrenCpuMs();
        const auto wallBefore = SteadyClock::now();
        if (std::string(mode.name) == kQuiet.name) {
            runSegment(self, server, mode, 2);
            costs.push_back(cost(mode.name, server.cpuMs() - serverBefore, childrenCpuMs() - appBefore, wallBefore));
            continue;
        }
        const bool check = std::string(mode.name) == kCheck.name;
        const int wanted = check ? std::max(20, knocks / 4) : knocks;
        Figures f;
        for (int segment = 0; segment < kMaxSegments && int(f.toServer.size()) < wanted; ++segment) {
            f.add(runSegment(self, server, mode, std::max(kMinSegment, wanted - int(f.toServer.size()))));
        }
        costs.push_back(cost(mode.name, server.cpuMs() - serverBefore, childrenCpuMs() - appBefore, wallBefore));
        printRow(mode.name, f);
        std::printf("%-7s first clip of each of %zu processes (the device opens): report->server %.2f to %.2f ms\n", "",
                    f.opening.size(), percentile(f.opening, 0.0), percentile(f.opening, 1.0));
        std::fflush(stdout);
        if (check) {
            printCheck(f);
        }
    }
    std::printf("\nCPU, ms per second of the run: the benchmark's process (feed, view model, audio) / the server's\n");
    for (const std::string& line : costs) {
        std::printf("%s\n", line.c_str());
    }
    std::printf("\nquant: the server graph's cycle while the application's stream was in it (pw-profiler),\n"
                "added to every knock. stand-in: knocks that got OpenAL's stand-in latency or none (no timing\n"
                "from the server) and took the device's next real report instead / that never got one: they are\n"
                "left out of the latency figures, and the mode runs again in a new process until it has\n"
                "enough (OpenAL Soft 1.19's PulseAudio backend reports none once its device has been paused).\n");
}

int runInServer(const char* self, std::vector<Mode> modes, int knocks)
{
    const soundserver::Server server(std::filesystem::path(THWACKO_SOURCE_DIR) / "bench" / "sound-server");
    try {
        runModesInServer(self, server, std::move(modes), knocks);
    } catch (const std::exception& e) { // the server stops on the way out
        std::fprintf(stderr, "SoundLatency: %s\n", e.what());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int knocks = 250;
    bool isolated = false;
    bool withServer = false;
    std::string only, attach, output;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--knocks" && i + 1 < argc) {
            knocks = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--isolated") {
            isolated = true;
        } else if (arg == "--sound-server") {
            withServer = true;
        } else if (arg == "--only" && i + 3 < argc) { // internal: one mode, in a running server, figures to a file
            only = argv[++i];
            attach = argv[++i];
            output = argv[++i];
        } else {
            usage();
        }
    }
    std::vector<Mode> modes = {{"normal", false, 31}, {"fast", true, 51}};
    if (isolated) {
        modes.push_back({"isolated", false, 187});
    }

    if (withServer) {
        return runInServer(argv[0], modes, knocks);
    }

    std::optional<soundserver::Server> server;
    if (!attach.empty()) {
        server.emplace(std::filesystem::path(THWACKO_SOURCE_DIR) / "bench" / "sound-server", attach);
    }
    // The application's output settings go into the environment before any thread starts.
    ::setenv("ALSOFT_DRIVERS", "null", 0);
    audio::prepareOutput();
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules("thwacko.slaps.info=false");

    QObject mainContext;
    platform::ScopedQtMainQueue mainQueue(&mainContext);
    testsupport::TempDir dir;
    const foundation::Bundle bundle(std::filesystem::path(THWACKO_SOURCE_DIR) / "resources", dir.path().string());

    if (!only.empty()) {
        modes.push_back(kCheck);
        modes.push_back(kQuiet);
        const auto mode = std::find_if(modes.begin(), modes.end(), [&](const Mode& m) { return m.name == only; });
        if (mode == modes.end()) {
            usage();
        }
        const bool check = std::string(mode->name) == kCheck.name;
        analyse(runMode(*mode, knocks, bundle, dir.path(), &*server, check)).save(output);
        return 0;
    }
    printHeader(false, knocks);
    for (const Mode& mode : modes) {
        printRow(mode.name, analyse(runMode(mode, knocks, bundle, dir.path(), nullptr, false)));
    }
    std::printf("\nNot included: what a sound server (PipeWire, PulseAudio) and the sound card add after\n"
                "the device OpenAL Soft writes to.\n");
    return 0;
}
