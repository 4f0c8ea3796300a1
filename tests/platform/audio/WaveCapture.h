#pragma once

#include "support/TempDir.h"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace audiotest {

/// A clip under tests/platform/audio/fixtures in the source tree.
std::filesystem::path fixture(const std::string& name);

/// A stretch of the output with signal in it, in frames.
struct Burst {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t length() const { return end - begin; }
};

/// The process's sound output, captured through OpenAL Soft's wave backend. `instance()` points
/// OpenAL at a config of its own and must run before the process opens its first device; the
/// backend then writes everything it mixes, in real time, to a file that this reads as it grows.
class WaveCapture {
public:
    static WaveCapture& instance();
    ~WaveCapture();

    /// Reads what the backend has written so far and returns the number of frames seen.
    std::size_t mark();
    /// Frames seen so far, each the mean of its channels, in -1..1.
    const std::vector<float>& frames() const { return mono; }
    int rate() const { return sampleRate; }
    std::size_t framesFor(std::chrono::milliseconds duration) const;

    /// Pumps the event loop until at least `count` bursts lie after frame `from`, the last one
    /// followed by `quiet` of silence (or the timeout passes); returns the bursts after `from`.
    std::vector<Burst> waitForBursts(std::size_t from, std::size_t count,
                                     std::chrono::milliseconds quiet = std::chrono::milliseconds(150),
                                     std::chrono::milliseconds timeout = std::chrono::seconds(15));
    /// Pumps the event loop until `duration` of output lies after frame `from`; false on timeout.
    bool waitForOutput(std::size_t from, std::chrono::milliseconds duration);

private:
    WaveCapture();
    bool readHeader();

    testsupport::TempDir dir;
    std::filesystem::path wavePath;
    std::FILE* file = nullptr;
    std::vector<unsigned char> pending;
    bool headerRead = false;
    int channels = 0;
    int bits = 0;
    bool isFloat = false;
    int sampleRate = 0;
    std::vector<float> mono;
};

/// Bursts of signal in `frames` between `from` and `to`: 10 ms windows louder than -40 dBFS,
/// with gaps under 30 ms bridged.
std::vector<Burst> findBursts(const std::vector<float>& frames, std::size_t from, std::size_t to, int rate);
/// Root-mean-square level of the inner part of `burst` (its first and last 30 ms left out).
double innerLevel(const std::vector<float>& frames, const Burst& burst, int rate);
/// Amplitude of the `hz` component in frames [begin, end).
double toneAmplitude(const std::vector<float>& frames, std::size_t begin, std::size_t end, int rate, double hz);

/// Points standard output (or another descriptor) at a file while it lives, so tests can read
/// what was printed.
class OutputCapture {
public:
    explicit OutputCapture(int fd = 1);
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    /// Everything printed since construction.
    std::string text() const;

private:
    testsupport::TempDir dir;
    std::filesystem::path path;
    int target = 1;
    int saved = -1;
};

/// Records what an outcome handler of the audio service is told, on whichever thread.
class OutcomeRecorder {
public:
    std::function<void(const std::optional<std::string>&)> handler()
    {
        return [this](const std::optional<std::string>& failure) {
            std::lock_guard guard(mutex);
            seen.push_back(failure);
        };
    }
    std::vector<std::optional<std::string>> outcomes() const
    {
        std::lock_guard guard(mutex);
        return seen;
    }
    std::size_t count() const { return outcomes().size(); }

private:
    mutable std::mutex mutex;
    std::vector<std::optional<std::string>> seen;
};

} // namespace audiotest
