// Makes the sensor recording that the replay backend plays when the application runs without a
// sensor: a laptop lying still on a desk, with six knocks of rising strength. With --quiet it
// makes the same recording without the knocks (a laptop at rest, for measuring what listening
// costs between slaps). The model is deterministic, so the committed files can be checked
// against a fresh run.
//
// Usage: make-replay [--quiet] <output file>
#include "platform/hid/ReplayFile.h"
#include "platform/hid/SensorReport.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <span>
#include <string_view>

namespace {

constexpr int kReportsPerSecond = 1000; // the sensor's rate at a report interval of 1000 µs
constexpr int kReportCount = 13'500;    // 13.5 s
constexpr std::uint32_t kReportIntervalUs = 1'000'000 / kReportsPerSecond;

// Gravity in g: lying flat, tilted by about two degrees.
constexpr std::array<double, 3> kGravity = {0.021, -0.034, 0.99920};
constexpr double kNoiseG = 0.001; // white, per axis, standard deviation
constexpr std::uint64_t kSeed = 0x5EED'B0A4'C0DE'2024;

struct Knock {
    double startS;
    double peakG; // the largest deviation from rest, along the knock's direction
};
// Keep in step with platform/hid/replay/FORMAT.md.
constexpr std::array<Knock, 6> kKnocks = {{{1.5, 0.03}, {3.5, 0.12}, {5.5, 0.2}, {7.5, 0.3}, {9.5, 0.5}, {11.5, 0.8}}};
constexpr double kKnockHz = 20.0;
constexpr double kKnockDecayS = 0.050; // envelope time constant: 5 % left after 150 ms
constexpr double kKnockLengthS = 0.400;
// Mostly vertical, as a hand on the palm rest pushes the chassis down.
constexpr std::array<double, 3> kKnockDirection = {0.25, -0.15, 1.0};

// splitmix64: small, and the same sequence on every platform (unlike std::normal_distribution).
class Random {
public:
    explicit Random(std::uint64_t seed)
        : state(seed)
    {
    }
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in (0, 1].
    double uniform() { return (static_cast<double>(next() >> 11) + 1.0) / 9007199254740992.0; }
    // Standard normal, by Box-Muller (one value per pair of draws).
    double gaussian()
    {
        const double radius = std::sqrt(-2.0 * std::log(uniform()));
        return radius * std::cos(2.0 * std::numbers::pi * uniform());
    }

private:
    std::uint64_t state;
};

// The knock's deviation in g along its direction, `t` seconds after it starts: the impact moves
// the chassis at once (the peak, 1), then it rings down.
double knockShape(double t) { return std::exp(-t / kKnockDecayS) * std::cos(2.0 * std::numbers::pi * kKnockHz * t); }

hid::Recording makeRecording(std::span<const Knock> knocks)
{
    const double directionLength = std::hypot(kKnockDirection[0], kKnockDirection[1], kKnockDirection[2]);
    Random random(kSeed);
    hid::Recording recording;
    recording.durationUs = kReportCount * kReportIntervalUs;
    for (int i = 0; i < kReportCount; ++i) {
        const double t = static_cast<double>(i) / kReportsPerSecond;
        std::array<double, 3> g = kGravity;
        for (const Knock& knock : knocks) {
            const double since = t - knock.startS;
            if (since >= 0.0 && since < kKnockLengthS) {
                const double deviation = knock.peakG * knockShape(since);
                for (std::size_t axis = 0; axis < 3; ++axis) {
                    g[axis] += deviation * kKnockDirection[axis] / directionLength;
                }
            }
        }
        for (double& value : g) {
            value += kNoiseG * random.gaussian();
        }
        const hid::SensorReport report = hid::makeSensorReport(hid::sensorUnitsFromG(g[0]), hid::sensorUnitsFromG(g[1]),
                                                               hid::sensorUnitsFromG(g[2]));
        recording.append(static_cast<std::uint32_t>(i) * kReportIntervalUs, report);
    }
    return recording;
}

} // namespace

int main(int argc, char** argv)
{
    const bool quiet = argc == 3 && std::string_view(argv[1]) == "--quiet";
    if (argc != 2 && !quiet) {
        std::fprintf(stderr, "usage: %s [--quiet] <output file>\n", argv[0]);
        return 2;
    }
    const char* const file = argv[argc - 1];
    const std::vector<std::uint8_t> bytes =
        hid::serializeRecording(makeRecording(quiet ? std::span<const Knock>() : kKnocks));
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], file);
        return 1;
    }
    return 0;
}
