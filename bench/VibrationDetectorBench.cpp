// Cost of one detector sample over a long, realistic stream, and the allocations it makes.
// The stream (gravity, sensor noise, occasional damped knocks) is made before timing; the
// counting operator new shows the per-sample path allocating only for the events it makes (one
// sources list each); the window statistics work in the detector's fixed scratch storage.
#include "Services/VibrationDetector.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

namespace {

std::atomic<std::size_t> allocations{0};

void* countedAlloc(std::size_t size, std::size_t alignment)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        p = std::malloc(size ? size : 1);
    } else if (::posix_memalign(&p, alignment, size ? size : 1) != 0) {
        p = nullptr;
    }
    if (!p) {
        throw std::bad_alloc();
    }
    return p;
}

} // namespace

void* operator new(std::size_t size) { return countedAlloc(size, 0); }
void* operator new[](std::size_t size) { return countedAlloc(size, 0); }
void* operator new(std::size_t size, std::align_val_t al) { return countedAlloc(size, static_cast<std::size_t>(al)); }
void* operator new[](std::size_t size, std::align_val_t al) { return countedAlloc(size, static_cast<std::size_t>(al)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

struct Sample {
    double x, y, z;
};

// About 44 minutes at 100 samples per second: a laptop at rest, tilted slightly, with 2 mg of
// noise per axis and a slow drift; when `knocks` is set, a damped 20 Hz knock of 0.02 to 0.6 g
// on average every 4 s.
std::vector<Sample> makeStream(bool knocks)
{
    constexpr std::size_t length = std::size_t{1} << 18;
    std::mt19937_64 random(20240601);
    std::normal_distribution<double> noise(0.0, 0.002);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<Sample> stream;
    stream.reserve(length);
    double knockAmp = 0.0;
    int knockAge = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const double t = static_cast<double>(i) / 100.0;
        if (knocks && unit(random) < 1.0 / 400.0) {
            knockAmp = 0.02 + 0.58 * unit(random);
            knockAge = 0;
        }
        const double knock = knockAmp * std::exp(-knockAge / 6.0) * std::sin(2.0 * M_PI * 20.0 * knockAge / 100.0);
        ++knockAge;
        const double drift = 0.001 * std::sin(2.0 * M_PI * t / 300.0);
        stream.push_back({0.03 + drift + noise(random) + 0.3 * knock, -0.02 + noise(random) + 0.2 * knock,
                          -0.999 + noise(random) + knock});
    }
    return stream;
}

void processStream(benchmark::State& state, const std::vector<Sample>& stream)
{
    VibrationDetector detector;
    const std::size_t mask = stream.size() - 1;
    std::size_t i = 0;
    double t = 1.7e9;
    std::size_t events = 0;
    const std::size_t before = allocations.load();
    for (auto _ : state) {
        const Sample& s = stream[i++ & mask];
        benchmark::DoNotOptimize(detector.process(s.x, s.y, s.z, t));
        t += 0.01;
        if (!detector.events().empty() && detector.events().back().time().timeIntervalSince1970() > t - 0.015) {
            ++events;
        }
    }
    const double allocated = static_cast<double>(allocations.load() - before);
    state.counters["allocs/sample"] = benchmark::Counter(allocated, benchmark::Counter::kAvgIterations);
    state.counters["events/sample"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kAvgIterations);
}

void BM_ProcessRealisticStream(benchmark::State& state)
{
    static const std::vector<Sample> stream = makeStream(true);
    processStream(state, stream);
}
BENCHMARK(BM_ProcessRealisticStream);

void BM_ProcessQuietStream(benchmark::State& state)
{
    static const std::vector<Sample> stream = makeStream(false);
    processStream(state, stream);
}
BENCHMARK(BM_ProcessQuietStream);

} // namespace
