// What the sound output costs: memory for long clips, CPU while nothing plays, and how the
// OpenAL Soft update size trades the idle mixer's cost against the time a started source needs
// to reach the device. Runs on OpenAL Soft's null backend unless ALSOFT_DRIVERS says otherwise.
//
// Usage: AudioOutputBench memory [--plays N] [--minutes M]
//            five (N) overlapping plays of a 10-minute (M) MP3 through the audio service, made
//            with sox and lame in a temporary folder; resident memory before, during and after
//        AudioOutputBench slaps [--plays N] [--minutes M] [--every MS]
//            300 (N) plays of a 10-minute (M) MP3, one every 350 (MS) ms as fast slapping starts
//            them: threads, resident memory, CPU per second and clips sounding as the plays go on
//        AudioOutputBench idle [--seconds S]
//            CPU time and wake-ups per second of the process while the service's device is open
//            and nothing plays (after one short clip has played to its end)
//        AudioOutputBench paced [--seconds S] [--every MS]
//            CPU time and wake-ups per second while a clip of the shipped "pain" pack starts
//            every MS milliseconds (default 2000, the replay recording's pace of slaps)
//        AudioOutputBench sweep [--starts N]
//            raw OpenAL: for several update rates, the idle mixer's CPU and wake-ups per second,
//            and play call -> first sample mixed (+ the latency the device reports), with the
//            device left running or paused while idle and resumed for each start
#include "Services/AudioPlayerService.h"
#include "platform/audio/OutputSetup.h"

#define AL_ALEXT_PROTOTYPES
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double ms(SteadyClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

/// One /proc/self/status value in kB.
long statusKb(const char* key)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
        }
    }
    return -1;
}

double mib(long kb) { return double(kb) / 1024.0; }

struct Usage {
    SteadyClock::time_point wall;
    double cpuSeconds;
    long wakeUps; // voluntary context switches of every thread
};

Usage usage()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return {SteadyClock::now(),
            double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6,
            u.ru_nvcsw};
}

struct Rate {
    double cpuMsPerSecond;
    double wakeUpsPerSecond;
};

Rate rateOver(std::chrono::milliseconds span)
{
    const Usage a = usage();
    std::this_thread::sleep_for(span);
    const Usage b = usage();
    const double seconds = std::chrono::duration<double>(b.wall - a.wall).count();
    return {(b.cpuSeconds - a.cpuSeconds) * 1000.0 / seconds, double(b.wakeUps - a.wakeUps) / seconds};
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * double(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

std::filesystem::path makeTempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "audio-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern;
}

/// A short tone and a long one, encoded as the application's clips are.
struct Clips {
    std::filesystem::path dir = makeTempDir();
    std::filesystem::path shortClip = dir / "short.mp3";
    std::filesystem::path longClip = dir / "long.mp3";
    ~Clips() { std::filesystem::remove_all(dir); }

    /// Makes the clips (no long one for 0 minutes); says why when it cannot.
    bool make(int longMinutes)
    {
        if (longMinutes > 0) {
            std::printf("making a %d-minute stereo MP3 with sox and lame...\n", longMinutes);
            std::fflush(stdout);
        }
        const std::string d = dir.string();
        const bool made =
            run("sox -n -r 44100 -b 16 -c 1 '" + d + "/short.wav' synth 0.3 sine 440 gain -6 && lame --quiet -b 64 '" +
                d + "/short.wav' '" + shortClip.string() + "'") &&
            (longMinutes <= 0 || run("sox -n -r 44100 -b 16 -c 2 '" + d + "/long.wav' synth " +
                                     std::to_string(longMinutes * 60) + " sine 300 gain -12 && lame --quiet -b 128 '" +
                                     d + "/long.wav' '" + longClip.string() + "' && rm '" + d + "/long.wav'"));
        if (!made) {
            std::fprintf(stderr, "AudioOutputBench: sox and lame are needed to make the clips\n");
        }
        return made;
    }
};

bool waitFor(const std::function<bool()>& done, std::chrono::seconds timeout)
{
    const auto deadline = SteadyClock::now() + timeout;
    while (!done()) {
        if (SteadyClock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

int memory(int plays, int minutes)
{
    Clips clips;
    if (!clips.make(minutes)) {
        return 1;
    }
    std::printf("clip: %s, %.1f MiB\n", clips.longClip.c_str(),
                double(std::filesystem::file_size(clips.longClip)) / (1024.0 * 1024.0));

    AudioPlayerService service;
    // The device opened and one short clip played to its end: what listening already costs.
    service.play(clips.shortClip, 0.5);
    waitFor([&] { return service.activePlayerCount() == 1; }, 10s);
    waitFor([&] { return service.activePlayerCount() == 0; }, 10s);
    std::this_thread::sleep_for(500ms);
    const long base = statusKb("VmRSS");
    const long baseHwm = statusKb("VmHWM");

    const auto start = SteadyClock::now();
    long peak = base;
    for (int i = 0; i < plays; ++i) {
        service.play(clips.longClip, 0.5);
        const auto until = SteadyClock::now() + 500ms;
        while (SteadyClock::now() < until) {
            peak = std::max(peak, statusKb("VmRSS"));
            std::this_thread::sleep_for(20ms);
        }
    }
    const bool allPlaying = waitFor(
        [&] {
        peak = std::max(peak, statusKb("VmRSS"));
        return service.activePlayerCount() == std::size_t(plays);
        },
        120s);
    const double allPlayingAfter = ms(SteadyClock::now() - start) / 1000.0;
    for (int i = 0; i < 100; ++i) { // 5 s of all of them playing
        peak = std::max(peak, statusKb("VmRSS"));
        std::this_thread::sleep_for(50ms);
    }
    const long during = statusKb("VmRSS");
    const long hwm = statusKb("VmHWM");
    service.stopAll();
    waitFor([&] { return service.activePlayerCount() == 0; }, 10s);
    std::this_thread::sleep_for(500ms);
    const long after = statusKb("VmRSS");

    std::printf("%d overlapping plays, 0.5 s apart; %s after %.1f s\n", plays,
                allPlaying ? "all playing" : "NOT all playing", allPlayingAfter);
    std::printf("%-34s %9s %9s\n", "resident memory (VmRSS)", "MiB", "+MiB");
    std::printf("%-34s %9.1f %9s\n", "device open, nothing playing", mib(base), "");
    std::printf("%-34s %9.1f %9.1f\n", "all plays sounding", mib(during), mib(during - base));
    std::printf("%-34s %9.1f %9.1f\n", "highest seen (sampled)", mib(peak), mib(peak - base));
    std::printf("%-34s %9.1f %9.1f\n", "high-water mark (VmHWM)", mib(hwm), mib(hwm - baseHwm));
    std::printf("%-34s %9.1f %9.1f\n", "after stopAll()", mib(after), mib(after - base));
    return 0;
}

int threadCount()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

int slaps(int plays, int minutes, int everyMs)
{
    Clips clips;
    if (!clips.make(minutes)) {
        return 1;
    }
    AudioPlayerService service;
    std::atomic<int> started{0};
    std::atomic<int> failed{0};
    service.setOutcomeHandler([&](const std::optional<std::string>& failure) { ++(failure ? failed : started); });
    service.play(clips.shortClip, 0.5);
    waitFor([&] { return started + failed == 1; }, 10s);
    waitFor([&] { return service.activePlayerCount() == 0; }, 10s);

    std::printf("%d plays of the %d-minute clip, one every %d ms\n", plays, minutes, everyMs);
    std::printf("%8s %8s %9s %10s %9s %8s\n", "plays", "threads", "RSS MiB", "CPU ms/s", "sounding", "failed");
    const auto row = [&](int done, const Usage& from) {
        const Usage now = usage();
        const double seconds = std::chrono::duration<double>(now.wall - from.wall).count();
        std::printf("%8d %8d %9.1f %10.1f %9zu %8d\n", done, threadCount(), mib(statusKb("VmRSS")),
                    (now.cpuSeconds - from.cpuSeconds) * 1000.0 / seconds, service.activePlayerCount(), failed.load());
        std::fflush(stdout);
    };
    Usage since = usage();
    std::this_thread::sleep_for(1s);
    row(0, since); // the device open, nothing playing
    since = usage();
    for (int i = 1; i <= plays; ++i) {
        service.play(clips.longClip, 0.5);
        std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
        if (i == 16 || i % 50 == 0 || i == plays) {
            row(i, since);
            since = usage();
        }
    }
    std::this_thread::sleep_for(2s);
    row(plays, since);
    service.stopAll();
    return failed == 0 ? 0 : 1;
}

int idle(int seconds)
{
    Clips clips;
    if (!clips.make(0)) {
        return 1;
    }
    AudioPlayerService service;
    std::this_thread::sleep_for(500ms);
    const Rate before = rateOver(std::chrono::seconds(seconds));
    service.play(clips.shortClip, 0.5);
    waitFor([&] { return service.activePlayerCount() == 1; }, 10s);
    waitFor([&] { return service.activePlayerCount() == 0; }, 10s);
    std::this_thread::sleep_for(3s); // past any pause-on-idle delay
    const Rate open = rateOver(std::chrono::seconds(seconds));
    std::printf("whole process, %d s each         CPU ms/s  wake-ups/s\n", seconds);
    std::printf("%-32s %9.3f %11.1f\n", "no device opened yet", before.cpuMsPerSecond, before.wakeUpsPerSecond);
    std::printf("%-32s %9.3f %11.1f\n", "after one clip, nothing playing", open.cpuMsPerSecond, open.wakeUpsPerSecond);
    return 0;
}

/// CPU while clips come at a steady pace: what a slap every `every` costs the process.
int paced(int seconds, int everyMs)
{
    Clips clips;
    if (!clips.make(0)) {
        return 1;
    }
    const auto pack = std::filesystem::path(THWACKO_SOURCE_DIR) / "resources/Audio/pain";
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(pack)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    AudioPlayerService service;
    service.play(clips.shortClip, 0.5); // the device opens
    waitFor([&] { return service.activePlayerCount() == 1; }, 10s);
    const Usage a = usage();
    const auto end = a.wall + std::chrono::seconds(seconds);
    std::size_t played = 0;
    for (auto next = a.wall; next < end; next += std::chrono::milliseconds(everyMs)) {
        std::this_thread::sleep_until(next);
        service.play(files[played++ % files.size()], 0.5);
    }
    std::this_thread::sleep_until(end);
    const Usage b = usage();
    const double wall = std::chrono::duration<double>(b.wall - a.wall).count();
    std::printf("a pain clip every %d ms for %d s (%zu clips): CPU %.3f ms/s, %.1f wake-ups/s\n", everyMs, seconds,
                played, (b.cpuSeconds - a.cpuSeconds) * 1000.0 / wall, double(b.wakeUps - a.wakeUps) / wall);
    return 0;
}

// ---- raw OpenAL sweep ----

struct SweepRow {
    int refresh = 0; // requested, 0 for the library's default
    int updateFrames = 0;
    int frequency = 0;
    Rate idle{};
    std::vector<double> toMixRunning, toMixResumed, latency;
};

void sweepOne(SweepRow& row, int starts, std::mt19937& random)
{
    ALCdevice* device = alcOpenDevice(nullptr);
    if (device == nullptr) {
        std::fprintf(stderr, "AudioOutputBench: no device\n");
        std::exit(1);
    }
    const ALCint attributes[] = {ALC_REFRESH, row.refresh, 0};
    ALCcontext* context = alcCreateContext(device, row.refresh > 0 ? attributes : nullptr);
    alcMakeContextCurrent(context);
    ALCint refresh = 0;
    alcGetIntegerv(device, ALC_REFRESH, 1, &refresh);
    alcGetIntegerv(device, ALC_FREQUENCY, 1, &row.frequency);
    row.updateFrames = refresh > 0 ? row.frequency / refresh : 0;

    std::vector<std::int16_t> tone(4410);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 440 * double(i) / 44100));
    }
    ALuint buffer = 0;
    ALuint source = 0;
    alGenBuffers(1, &buffer);
    alBufferData(buffer, AL_FORMAT_MONO16, tone.data(), ALsizei(tone.size() * 2), 44100);
    alGenSources(1, &source);
    alSourcei(source, AL_BUFFER, ALint(buffer));

    std::this_thread::sleep_for(300ms);
    row.idle = rateOver(3s);

    const auto getOffset = alGetSourcei64vSOFT;
    std::uniform_int_distribution<int> pauseUs(20000, 60000);
    for (const bool resume : {false, true}) {
        for (int i = 0; i < starts; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
            if (resume) {
                alcDevicePauseSOFT(device);
                std::this_thread::sleep_for(5ms);
            }
            const auto called = SteadyClock::now();
            if (resume) {
                alcDeviceResumeSOFT(device);
            }
            alSourcePlay(source);
            ALint64SOFT values[2] = {0, 0};
            for (;;) {
                getOffset(source, AL_SAMPLE_OFFSET_LATENCY_SOFT, values);
                if (values[0] > 0) {
                    break;
                }
                std::this_thread::sleep_for(50us);
            }
            const double toMix = ms(SteadyClock::now() - called);
            (resume ? row.toMixResumed : row.toMixRunning).push_back(toMix);
            row.latency.push_back(double(values[1]) / 1e6);
            alSourceStop(source);
        }
    }
    alDeleteSources(1, &source);
    alDeleteBuffers(1, &buffer);
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(context);
    alcCloseDevice(device);
}

void printSweepHeader(int starts)
{
    std::printf("null device, %d starts per row at random moments; ms\n", starts);
    std::printf("%7s %7s %6s %9s %10s | %20s | %20s | %8s | %12s %12s\n", "config", "frames", "rate", "idle CPU",
                "wake-ups", "play->mixed running", "play->mixed resumed", "device", "total p99", "total p99");
    std::printf("%7s %7s %6s %9s %10s | %9s %10s | %9s %10s | %8s | %12s %12s\n", "", "update", "Hz", "ms/s", "/s",
                "p50", "p99", "p50", "p99", "latency", "running", "resumed");
    std::fflush(stdout); // before the children's rows
}

void printSweepRow(const std::string& config, const SweepRow& r)
{
    const double latency = percentile(r.latency, 0.5);
    std::printf("%7s %7d %6d %9.3f %10.1f | %9.2f %10.2f | %9.2f %10.2f | %8.2f | %12.2f %12.2f\n", config.c_str(),
                r.updateFrames, r.frequency, r.idle.cpuMsPerSecond, r.idle.wakeUpsPerSecond,
                percentile(r.toMixRunning, 0.5), percentile(r.toMixRunning, 0.99), percentile(r.toMixResumed, 0.5),
                percentile(r.toMixResumed, 0.99), latency, percentile(r.toMixRunning, 0.99) + latency,
                percentile(r.toMixResumed, 0.99) + latency);
    std::fflush(stdout);
}

/// One row in this process: OpenAL reads its configuration once per process.
int sweepRow(int starts, int refresh, const std::string& label)
{
    std::mt19937 random(3);
    SweepRow row;
    row.refresh = refresh;
    sweepOne(row, starts, random);
    printSweepRow(label, row);
    return 0;
}

/// Rows for the ALC_REFRESH attribute, then for update sizes set through a configuration file
/// (period_size x periods), each in a child process.
int sweep(const char* self, int starts)
{
    printSweepHeader(starts);
    const std::filesystem::path dir = makeTempDir();
    for (int refresh : {0, 500}) {
        run(std::string("'") + self + "' sweep-row --starts " + std::to_string(starts) + " --refresh " +
            std::to_string(refresh) + " --label " + (refresh == 0 ? "default" : "refr" + std::to_string(refresh)));
    }
    const std::pair<int, int> configs[] = {{1024, 3}, {512, 2}, {256, 2}, {128, 2}, {96, 2}, {64, 2}, {128, 3}};
    for (const auto& [period, periods] : configs) {
        const auto conf = dir / ("p" + std::to_string(period) + "x" + std::to_string(periods) + ".conf");
        std::ofstream(conf) << "[general]\nperiod_size = " << period << "\nperiods = " << periods << "\n";
        run("ALSOFT_CONF='" + conf.string() + "' '" + self + "' sweep-row --starts " + std::to_string(starts) +
            " --label " + std::to_string(period) + "x" + std::to_string(periods));
    }
    std::filesystem::remove_all(dir);
    return 0;
}

int usageError()
{
    std::fprintf(stderr, "usage: AudioOutputBench memory [--plays N] [--minutes M] | idle [--seconds S] | "
                         "paced [--seconds S] [--every MS] | slaps [--plays N] [--minutes M] [--every MS] | "
                         "sweep [--starts N]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("ALSOFT_DRIVERS", "null", 0);
    if (argc < 2) {
        return usageError();
    }
    const std::string command = argv[1];
    int plays = -1, minutes = 10, seconds = 10, starts = 100, refresh = 0, every = -1; // -1: the command's default
    std::string label;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (flag == "--plays") {
            plays = value;
        } else if (flag == "--minutes") {
            minutes = value;
        } else if (flag == "--seconds") {
            seconds = value;
        } else if (flag == "--starts") {
            starts = value;
        } else if (flag == "--every") {
            every = value;
        } else if (flag == "--refresh") {
            refresh = value;
        } else if (flag == "--label") {
            label = argv[i + 1];
        } else {
            return usageError();
        }
    }
    // The service's runs get the application's update size; the sweep's rows set their own.
    if (command == "memory" || command == "paced" || command == "idle" || command == "slaps") {
        audio::prepareOutput();
    }
    if (command == "memory") {
        return memory(plays < 0 ? 5 : std::max(1, plays), std::max(1, minutes));
    }
    if (command == "slaps") {
        return slaps(plays < 0 ? 300 : std::max(1, plays), std::max(1, minutes), every < 0 ? 350 : std::max(10, every));
    }
    if (command == "paced") {
        return paced(std::max(1, seconds), every < 0 ? 2000 : std::max(10, every));
    }
    if (command == "idle") {
        return idle(std::max(1, seconds));
    }
    if (command == "sweep") {
        return sweep(argv[0], std::max(10, starts));
    }
    if (command == "sweep-row") {
        return sweepRow(std::max(10, starts), refresh, label);
    }
    return usageError();
}
