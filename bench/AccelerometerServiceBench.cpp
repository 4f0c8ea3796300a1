// Cost of one input report through the accelerometer service (lock, count, decimation and, one
// report in eight, decoding and the sample handler), and of the whole path from report to
// vibration detector. Both report heap allocations per report, which must stay at zero.
#include "Services/AccelerometerService.h"
#include "Services/VibrationDetector.h"
#include "support/FakeHid.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>

namespace {

std::atomic<long> allocations{0};

} // namespace

void* operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }

void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

/// A second of sensor reports: gravity, noise and one knock.
std::vector<std::array<std::uint8_t, 22>> realisticReports()
{
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 0.002);
    std::vector<std::array<std::uint8_t, 22>> reports;
    for (int i = 0; i < 1000; ++i) {
        const double t = i / 1000.0;
        const double knock = t > 0.5 ? 0.3 * std::exp(-(t - 0.5) * 40) * std::sin(2 * M_PI * 30 * (t - 0.5)) : 0;
        reports.push_back(
            testsupport::sensorReportG(0.02 + noise(random), -0.01 + noise(random), -1.0 + knock + noise(random)));
    }
    return reports;
}

/// Delivers the reports through a started service whose sample handler is `onSample`, counting
/// the heap allocations made meanwhile.
void deliverReports(benchmark::State& state, AccelerometerService::SampleHandler onSample)
{
    auto backend = std::make_shared<testsupport::FakeHidBackend>();
    backend->services = {testsupport::FakeHidService::sensor(1)};
    AccelerometerService service(backend);
    service.setOnSample(std::move(onSample));
    service.start();
    const auto reports = realisticReports();

    std::size_t i = 0;
    const long before = allocations.load();
    for (auto _ : state) {
        backend->deliver(reports[i]);
        i = (i + 1) % reports.size();
    }
    state.counters["allocs/report"] =
        benchmark::Counter(static_cast<double>(allocations.load() - before), benchmark::Counter::kAvgIterations);
    service.stop();
}

void ReportThroughService(benchmark::State& state)
{
    double sum = 0;
    deliverReports(state, [&sum](double x, double y, double z) { sum += x + y + z; });
    benchmark::DoNotOptimize(sum);
}
BENCHMARK(ReportThroughService);

void ReportToDetector(benchmark::State& state)
{
    VibrationDetector detector;
    double t = 1.7e9;
    deliverReports(state, [&](double x, double y, double z) {
        detector.process(x, y, z, t);
        t += 0.01;
    });
}
BENCHMARK(ReportToDetector);

} // namespace
