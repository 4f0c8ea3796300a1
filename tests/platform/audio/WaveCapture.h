#pragma once

#include "support/TempDir.h"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <filesystem>
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

/// Points standard output at a file while it lives, so tests can read what was printed.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    /// Everything printed since construction.
    std::string text() const;

private:
    testsupport::TempDir dir;
    std::filesystem::path path;
    int saved = -1;
};

} // namespace audiotest
