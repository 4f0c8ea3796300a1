#include "WaveCapture.h"

#include "support/EventLoop.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace audiotest {

namespace {

std::uint32_t le32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::uint16_t le16(const unsigned char* p) { return std::uint16_t(p[0] | p[1] << 8); }

} // namespace

std::filesystem::path fixture(const std::string& name)
{
    return testsupport::sourceDir() / "tests/platform/audio/fixtures" / name;
}

WaveCapture& WaveCapture::instance()
{
    static WaveCapture capture;
    return capture;
}

WaveCapture::WaveCapture()
    : wavePath(dir.path() / "output.wav")
{
    // Plain 16-bit stereo at a fixed rate, with nothing between the mixer and the file that
    // would change levels (no limiter, dither or headphone filter).
    const auto config = dir.write("alsoft.conf", "[general]\n"
                                                 "channels = stereo\n"
                                                 "sample-type = int16\n"
                                                 "frequency = 44100\n"
                                                 "stereo-mode = speakers\n"
                                                 "hrtf = false\n"
                                                 "dither = false\n"
                                                 "output-limiter = false\n"
                                                 "[wave]\n"
                                                 "file = " +
                                                     wavePath.string() + "\n");
    ::setenv("ALSOFT_DRIVERS", "wave", 1);
    ::setenv("ALSOFT_CONF", config.c_str(), 1);
}

WaveCapture::~WaveCapture()
{
    if (file != nullptr) {
        std::fclose(file);
    }
}

std::size_t WaveCapture::framesFor(std::chrono::milliseconds duration) const
{
    return static_cast<std::size_t>(std::llround(double(sampleRate) * double(duration.count()) / 1000.0));
}

bool WaveCapture::readHeader()
{
    // RIFF, WAVE, then chunks up to "data", whose size stays a placeholder while the device is open.
    std::size_t at = 12;
    if (pending.size() < at) {
        return false;
    }
    if (std::memcmp(pending.data(), "RIFF", 4) != 0 || std::memcmp(pending.data() + 8, "WAVE", 4) != 0) {
        throw std::runtime_error("the wave backend wrote no RIFF/WAVE header");
    }
    while (pending.size() >= at + 8) {
        const unsigned char* chunk = pending.data() + at;
        const std::uint32_t size = le32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at + 8));
            if (channels <= 0 || sampleRate <= 0 || !((bits == 16 && !isFloat) || (bits == 32 && isFloat))) {
                throw std::runtime_error("unexpected wave format");
            }
            return true;
        }
        if (pending.size() < at + 8 + size) {
            return false;
        }
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            const unsigned char* fmt = chunk + 8;
            std::uint16_t tag = le16(fmt);
            channels = le16(fmt + 2);
            sampleRate = static_cast<int>(le32(fmt + 4));
            bits = le16(fmt + 14);
            if (tag == 0xFFFE && size >= 26) {
                tag = le16(fmt + 24); // the sub-format's first two bytes are the plain tag
            }
            isFloat = tag == 3;
        }
        at += 8 + size + (size & 1);
    }
    return false;
}

std::size_t WaveCapture::mark()
{
    if (file == nullptr) {
        file = std::fopen(wavePath.c_str(), "rb");
        if (file == nullptr) {
            return 0; // no device opened yet
        }
    }
    unsigned char chunk[65536];
    std::clearerr(file);
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        pending.insert(pending.end(), chunk, chunk + got);
    }
    if (!headerRead) {
        headerRead = readHeader();
        if (!headerRead) {
            return 0;
        }
    }
    const std::size_t sampleBytes = static_cast<std::size_t>(bits / 8);
    const std::size_t frameBytes = sampleBytes * static_cast<std::size_t>(channels);
    const std::size_t whole = pending.size() / frameBytes;
    for (std::size_t f = 0; f < whole; ++f) {
        double sum = 0.0;
        for (int c = 0; c < channels; ++c) {
            const unsigned char* p = pending.data() + f * frameBytes + static_cast<std::size_t>(c) * sampleBytes;
            if (isFloat) {
                float value;
                std::memcpy(&value, p, sizeof value);
                sum += value;
            } else {
                sum += static_cast<std::int16_t>(le16(p)) / 32768.0;
            }
        }
        mono.push_back(static_cast<float>(sum / channels));
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(whole * frameBytes));
    return mono.size();
}

std::vector<Burst> WaveCapture::waitForBursts(std::size_t from, std::size_t count, std::chrono::milliseconds quiet,
                                              std::chrono::milliseconds timeout)
{
    std::vector<Burst> bursts;
    std::size_t seen = 0;
    testsupport::pumpUntil(
        [&] {
        const std::size_t now = mark();
        if (now == seen) {
            return false;
        }
        seen = now;
        bursts = findBursts(mono, from, now, sampleRate);
        return bursts.size() >= count && (bursts.empty() ? now - from : now - bursts.back().end) >= framesFor(quiet);
        },
        timeout);
    return bursts;
}

bool WaveCapture::waitForOutput(std::size_t from, std::chrono::milliseconds duration)
{
    return testsupport::pumpUntil([&] { return sampleRate > 0 && mark() >= from + framesFor(duration); },
                                  std::chrono::seconds(15));
}

std::vector<Burst> findBursts(const std::vector<float>& frames, std::size_t from, std::size_t to, int rate)
{
    const std::size_t window = static_cast<std::size_t>(rate / 100);
    const std::size_t bridge = static_cast<std::size_t>(rate * 3 / 100);
    const double threshold = 0.01; // -40 dBFS
    std::vector<Burst> bursts;
    for (std::size_t at = from; window > 0 && at + window <= to; at += window) {
        double energy = 0.0;
        for (std::size_t i = at; i < at + window; ++i) {
            energy += double(frames[i]) * frames[i];
        }
        if (std::sqrt(energy / double(window)) < threshold) {
            continue;
        }
        if (!bursts.empty() && at - bursts.back().end < bridge) {
            bursts.back().end = at + window;
        } else {
            bursts.push_back({at, at + window});
        }
    }
    return bursts;
}

double innerLevel(const std::vector<float>& frames, const Burst& burst, int rate)
{
    const std::size_t margin = static_cast<std::size_t>(rate * 3 / 100);
    if (burst.length() <= 2 * margin) {
        return 0.0;
    }
    double energy = 0.0;
    for (std::size_t i = burst.begin + margin; i < burst.end - margin; ++i) {
        energy += double(frames[i]) * frames[i];
    }
    return std::sqrt(energy / double(burst.length() - 2 * margin));
}

double toneAmplitude(const std::vector<float>& frames, std::size_t begin, std::size_t end, int rate, double hz)
{
    // Goertzel filter at `hz`: the magnitude of that frequency's component over the stretch.
    const double w = 2.0 * std::numbers::pi * hz / rate;
    const double coefficient = 2.0 * std::cos(w);
    double s1 = 0.0;
    double s2 = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        const double s0 = frames[i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2.0 * std::sqrt(std::max(power, 0.0)) / double(end - begin);
}

OutputCapture::OutputCapture(int fd)
    : path(dir.path() / "output.txt")
    , target(fd)
{
    std::cout.flush();
    std::fflush(stdout);
    std::fflush(stderr);
    saved = ::dup(target);
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(file, target);
    ::close(file);
}

OutputCapture::~OutputCapture()
{
    std::cout.flush();
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved, target);
    ::close(saved);
}

std::string OutputCapture::text() const
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

} // namespace audiotest
