#pragma once
// SoundLatency's sound server: a private PipeWire with its PulseAudio server and a null sink
// (bench/sound-server), the graph's quantum read with pw-profiler, and the null sink's monitor
// recorded with parec to find when each clip's first sample left the server.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mpg123.h>
#include <mutex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace soundserver {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

constexpr int kMonitorRate = 48000;

[[noreturn]] inline void fail(const std::string& why)
{
    std::fprintf(stderr, "SoundLatency: %s\n", why.c_str());
    std::exit(1);
}

/// A child process, interrupted and reaped on destruction.
class Child {
public:
    /// Starts `argv`; with `pipeOut`, its standard output is readable from output().
    explicit Child(std::vector<std::string> argv, bool pipeOut = false)
    {
        std::vector<char*> args;
        for (std::string& a : argv) {
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int fds[2] = {-1, -1};
        if (pipeOut) {
            if (::pipe2(fds, O_CLOEXEC) != 0) {
                fail("cannot make a pipe");
            }
            posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        }
        const int result = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (pipeOut) {
            ::close(fds[1]);
            out_ = fds[0];
        }
        if (result != 0) {
            fail("cannot start " + argv[0] + ": " + std::strerror(result));
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { stop(); }

    int output() const { return out_; }

    void stop()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGINT);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
        if (out_ >= 0) {
            ::close(out_);
            out_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

/// The output of a shell command, or "" when it fails.
inline std::string run(const std::string& command)
{
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            text.append(buffer, n);
        }
        if (::pclose(pipe) != 0) {
            return {};
        }
    }
    return text;
}

/// The server, started under a private runtime folder and stopped on destruction, or one another
/// process started (attach). Construct it before any thread starts: it points this process's
/// PulseAudio clients (OpenAL Soft's backend) at it.
class Server {
public:
    explicit Server(std::filesystem::path script)
        : script_(std::move(script))
        , owner_(true)
    {
        char pattern[] = "/tmp/sound-latency.XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            fail("cannot make a runtime folder");
        }
        dir_ = pattern;
        if (!call("start")) {
            call("stop");
            fail("the sound server did not start (logs in " + dir_.string() + ")");
        }
        ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
        ::setenv("PULSE_SERVER", ("unix:" + (dir_ / "pulse" / "native").string()).c_str(), 1);
        ::setenv("ALSOFT_DRIVERS", "pulse", 1);
    }
    Server(std::filesystem::path script, std::filesystem::path running)
        : script_(std::move(script))
        , dir_(std::move(running))
        , owner_(false)
    {
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    ~Server()
    {
        if (!owner_) {
            return;
        }
        call("stop");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    const std::filesystem::path& dir() const { return dir_; }

    /// CPU time the server's processes (PipeWire, its PulseAudio server, the session manager) have used, in ms.
    double cpuMs() const
    {
        double total = 0;
        for (const char* name : {"pipewire", "pipewire-pulse", "wireplumber"}) {
            std::ifstream pidFile(dir_ / (std::string(name) + ".pid"));
            long pid = 0;
            if (!(pidFile >> pid)) {
                continue;
            }
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
            // Fields after the command's closing parenthesis; utime and stime are the 12th and 13th.
            std::istringstream fields(text.substr(text.rfind(')') + 2));
            std::string field;
            double ticks = 0;
            for (int i = 1; i <= 13 && fields >> field; ++i) {
                if (i >= 12) {
                    ticks += std::atof(field.c_str());
                }
            }
            total += ticks * 1000.0 / double(::sysconf(_SC_CLK_TCK));
        }
        return total;
    }
    const std::filesystem::path& script() const { return script_; }

private:
    bool call(const char* command) const
    {
        return std::system((script_.string() + " " + command + " " + dir_.string()).c_str()) == 0;
    }

    std::filesystem::path script_;
    std::filesystem::path dir_;
    bool owner_;
};

/// pw-profiler over one run: the length of every cycle of the graph's driver (its quantum).
class QuantumLog {
public:
    QuantumLog(const Server& server, const std::string& name)
        : file_(server.dir() / ("profile-" + name + ".log"))
        , profiler_({server.script().string(), "profile", server.dir().string(), file_.string()})
    {
    }

    /// Stops the profiler; the quantum of every cycle it saw with a client in the graph, in ms.
    std::vector<double> finish()
    {
        profiler_.stop();
        std::vector<double> quanta;
        std::ifstream in(file_);
        std::string line;
        while (std::getline(in, line)) {
            // Tab-separated: the driver's signal interval, busy time, delay and quantum (µs), then
            // 8 columns per follower, blank while that follower is not in the graph.
            std::vector<std::string> columns;
            std::istringstream fields(line);
            for (std::string column; std::getline(fields, column, '\t');) {
                columns.push_back(column);
            }
            bool followed = false;
            for (std::size_t at = 4; at < columns.size(); at += 8) {
                followed = followed || columns[at].find_first_not_of(' ') != std::string::npos;
            }
            if (followed && columns.size() > 3) {
                quanta.push_back(std::atof(columns[3].c_str()) / 1000.0);
            }
        }
        return quanta;
    }

private:
    std::filesystem::path file_;
    Child profiler_;
};

/// Records the null sink's monitor and stamps every sound that follows at least 20 ms of digital
/// silence: the moment its first non-zero sample left the server, less the recording's latency.
class MonitorRecorder {
public:
    MonitorRecorder()
        : parec_({"parec", "--device=bench.monitor", "--raw", "--format=float32le", "--channels=1",
                  "--rate=" + std::to_string(kMonitorRate), "--latency-msec=2"},
                 true)
        , reader_([this] { read(); })
    {
    }
    ~MonitorRecorder()
    {
        parec_.stop();
        reader_.join();
    }

    /// The recording's latency as the server reports it (buffer plus source), in ms; -1 if unknown.
    static double reportedLatencyMs()
    {
        const std::string text = run("pactl list source-outputs");
        double total = 0;
        int found = 0;
        for (const char* key : {"Buffer Latency: ", "Source Latency: "}) {
            if (const auto at = text.find(key); at != std::string::npos) {
                total += std::atof(text.c_str() + at + std::strlen(key)) / 1000.0;
                ++found;
            }
        }
        return found == 2 ? total : -1;
    }

    /// When each sound's first sample arrived here, by the samples read after it.
    std::vector<TimePoint> onsets()
    {
        std::lock_guard guard(lock_);
        return onsets_;
    }

private:
    void read()
    {
        std::vector<float> samples(4096);
        long silent = 0;
        std::size_t carry = 0; // bytes of a partial sample kept at the buffer's start
        auto* bytes = reinterpret_cast<char*>(samples.data());
        for (;;) {
            const ssize_t n = ::read(parec_.output(), bytes + carry, samples.size() * sizeof(float) - carry);
            if (n <= 0) {
                return;
            }
            const TimePoint now = SteadyClock::now();
            const std::size_t have = carry + std::size_t(n);
            const std::size_t count = have / sizeof(float);
            for (std::size_t i = 0; i < count; ++i) {
                if (samples[i] == 0.0f) {
                    ++silent;
                    continue;
                }
                if (silent >= kMonitorRate / 50) {
                    const double after = double(count - i) / kMonitorRate;
                    std::lock_guard guard(lock_);
                    onsets_.push_back(
                        now - std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(after)));
                }
                silent = 0;
            }
            carry = have % sizeof(float);
            std::memmove(bytes, bytes + count * sizeof(float), carry);
        }
    }

    Child parec_;
    std::mutex lock_;
    std::vector<TimePoint> onsets_;
    std::thread reader_;
};

/// Seconds of leading zero samples in a clip as the application's decoder gives them (16-bit).
inline double leadInSeconds(const std::filesystem::path& file)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { mpg123_init(); });
    int code = 0;
    mpg123_handle* handle = mpg123_new(nullptr, &code);
    double seconds = -1;
    if (handle != nullptr) {
        mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
        long rate = 0;
        int channels = 0, encoding = 0;
        if (mpg123_open(handle, file.c_str()) == MPG123_OK &&
            mpg123_getformat(handle, &rate, &channels, &encoding) == MPG123_OK) {
            mpg123_format_none(handle);
            mpg123_format(handle, rate, channels, MPG123_ENC_SIGNED_16);
            std::vector<short> buffer(8192);
            long frames = 0;
            std::size_t done = 0;
            for (int result = MPG123_OK; seconds < 0 && (result == MPG123_OK || result == MPG123_NEW_FORMAT);) {
                result = mpg123_read(handle, reinterpret_cast<unsigned char*>(buffer.data()),
                                     buffer.size() * sizeof(short), &done);
                const std::size_t n = done / sizeof(short);
                const auto first =
                    std::find_if(buffer.begin(), buffer.begin() + long(n), [](short s) { return s != 0; });
                if (first != buffer.begin() + long(n)) {
                    seconds = double(frames + (first - buffer.begin()) / channels) / double(rate);
                }
                frames += long(n) / channels;
            }
            mpg123_close(handle);
        }
        mpg123_delete(handle);
    }
    return seconds;
}

} // namespace soundserver
