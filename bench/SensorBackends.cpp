// What listening costs the main thread with each sensor backend, against its fake at the
// sensor's native rate: main-thread CPU time and wake-ups per second, reports per second, and
// the samples per second that the accelerometer service hands on to the detector.
//
// Each run uses the real backend and the real accelerometer service on the Qt event loop, with a
// 10 ms repeating timer standing in for the view model's processing timer (whose wake-ups the
// backends' batches share). The fakes: a FIFO as the hidraw node fed 1000 reports a second; the
// shipped recording for replay; a fake IIO tree whose character device is a FIFO fed samples
// with timestamps in batches of 10 ms (as the kernel wakes a reader at its watermark); the same
// tree's raw files for polling; a FIFO as the input device fed one event packet per sample.
// The feeding thread's own cost is not counted. Main-thread figures come from getrusage
// (RUSAGE_THREAD): CPU time, and voluntary context switches as wake-ups.
//
// Usage: SensorBackends [seconds per run, default 5]
#include "Services/AccelerometerService.h"
#include "platform/hid/EvdevBackend.h"
#include "platform/hid/HidrawBackend.h"
#include "platform/hid/IioBackend.h"
#include "platform/hid/ReplayBackend.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <linux/input.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct ThreadUsage {
    double cpuMs = 0;
    long wakeUps = 0;
    static ThreadUsage now()
    {
        rusage usage{};
        ::getrusage(RUSAGE_THREAD, &usage);
        const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
        return {ms(usage.ru_utime) + ms(usage.ru_stime), usage.ru_nvcsw};
    }
};

void writeFile(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

/// Calls `feed(n)` at `periodUs` intervals (absolute deadlines) until stopped.
class Feeder {
public:
    Feeder(std::int64_t periodUs, std::function<void(std::int64_t n)> feed)
        : thread([this, periodUs, feed = std::move(feed)] {
            timespec next{};
            ::clock_gettime(CLOCK_MONOTONIC, &next);
            for (std::int64_t n = 0; !stopping; ++n) {
                feed(n);
                next.tv_nsec += periodUs * 1000;
                while (next.tv_nsec >= 1'000'000'000) {
                    next.tv_nsec -= 1'000'000'000;
                    ++next.tv_sec;
                }
                ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            }
        })
    {
    }
    ~Feeder()
    {
        stopping = true;
        thread.join();
    }

private:
    std::atomic<bool> stopping{false};
    std::thread thread;
};

std::int64_t monotonicNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

struct Result {
    double reportsPerSecond = 0;
    double samplesPerSecond = 0;
    double mainCpuMsPerSecond = 0;
    double mainWakeUpsPerSecond = 0;
};

/// Counts reports and, as the service does, decodes one 22-byte report in eight.
struct Counter {
    long reports = 0;
    long samples = 0;
    static void callback(void* context, hid::ReturnCode, void*, std::uint32_t, std::uint32_t, std::uint8_t*,
                         std::ptrdiff_t length)
    {
        auto* self = static_cast<Counter*>(context);
        if (length == 22 && ++self->reports % 8 == 0) {
            ++self->samples;
        }
    }
};

/// Listens through `backend` for `seconds` with a 10 ms timer beside it: through the service,
/// or (`reportLength` given) through the device directly with a buffer of that many bytes; with
/// no backend, only the timer runs.
Result listen(std::shared_ptr<hid::Backend> backend, double seconds, std::size_t reportLength = 0)
{
    AccelerometerService service(backend);
    long samples = 0;
    Counter counter;
    std::vector<std::uint8_t> buffer(reportLength);
    std::unique_ptr<hid::Device> device;
    if (!backend) {
        // Only the timer runs.
    } else if (reportLength == 0) {
        service.setOnSample([&](double, double, double) { ++samples; });
        service.setOnError([](const AccelerometerError& error) {
            std::fprintf(stderr, "sensor error: %s\n", error.errorDescription().c_str());
        });
        service.start();
    } else {
        std::vector<hid::ServiceId> services;
        backend->matchingServices(hid::kSensorServiceClass, services);
        device = services.empty() ? nullptr : backend->createDevice(services.front());
        if (!device || device->open() != hid::kSuccess) {
            std::fprintf(stderr, "cannot open the fake device\n");
            return {};
        }
        device->registerInputReportCallback(buffer.data(), buffer.size(), &Counter::callback, &counter);
        device->scheduleWithMainLoop();
    }
    const auto counted = [&] { return reportLength == 0 ? samples : counter.samples; };
    QTimer processing;
    processing.setTimerType(Qt::PreciseTimer);
    QObject::connect(&processing, &QTimer::timeout, [] {});
    processing.start(10);

    // Settle, then measure.
    QEventLoop loop;
    QTimer::singleShot(500, &loop, &QEventLoop::quit);
    loop.exec();
    const long samplesBefore = counted();
    const ThreadUsage before = ThreadUsage::now();
    const std::int64_t startNs = monotonicNs();
    QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    const ThreadUsage after = ThreadUsage::now();
    const long taken = counted() - samplesBefore;
    seconds = static_cast<double>(monotonicNs() - startNs) / 1e9; // the window as it really was
    service.stop();
    if (device) {
        device->unscheduleFromMainLoop();
        device->close();
    }
    return {taken * 8.0 / seconds, taken / seconds, (after.cpuMs - before.cpuMs) / seconds,
            (after.wakeUps - before.wakeUps) / seconds};
}

void print(const char* name, const char* fake, const Result& r)
{
    std::printf("%-12s %-34s %9.0f %10.1f %10.2f %10.0f\n", name, fake, r.reportsPerSecond, r.samplesPerSecond,
                r.mainCpuMsPerSecond, r.mainWakeUpsPerSecond);
    std::fflush(stdout);
}

/// Reads the write time that the feeder put in a report's first eight bytes, for each report,
/// and at each processing tick takes the time from each report written since to the tick.
struct TickLatency {
    std::vector<std::int64_t> pending; // write times of the reports delivered since the last tick
    std::vector<double> latenciesMs;   // report written -> the tick that sees it
    long lateForATick = 0;             // written before a tick but not delivered by it
    std::int64_t lastTickNs = 0;

    static void callback(void* context, hid::ReturnCode, void*, std::uint32_t, std::uint32_t, std::uint8_t* report,
                         std::ptrdiff_t length)
    {
        if (length != 22) {
            return;
        }
        std::int64_t written = 0;
        std::memcpy(&written, report, sizeof written);
        static_cast<TickLatency*>(context)->pending.push_back(written);
    }

    void tick()
    {
        const std::int64_t now = monotonicNs();
        for (const std::int64_t written : pending) {
            latenciesMs.push_back(static_cast<double>(now - written) / 1e6);
            lateForATick += written < lastTickNs ? 1 : 0;
        }
        pending.clear();
        lastTickNs = now;
    }

    double percentile(double p)
    {
        if (latenciesMs.empty()) {
            return 0;
        }
        std::sort(latenciesMs.begin(), latenciesMs.end());
        return latenciesMs[static_cast<std::size_t>(p * static_cast<double>(latenciesMs.size() - 1))];
    }
};

int openWriter(const fs::path& fifo)
{
    ::mkfifo(fifo.c_str(), 0600);
    return ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

// A fake IIO accelerometer iio:device0 under `root`, with scan elements (le:s16 axes and a
// timestamp) and raw files, offering `hz`.
void makeIioTree(const fs::path& root, int hz)
{
    const fs::path device = root / "sys/bus/iio/devices/iio:device0";
    writeFile(device / "name", "accel_3d\n");
    writeFile(device / "in_accel_scale", "0.009576806\n");
    for (const char* axis : {"x", "y", "z"}) {
        writeFile(device / (std::string("in_accel_") + axis + "_raw"), axis[0] == 'z' ? "1024\n" : "0\n");
        const std::string channel = std::string("scan_elements/in_accel_") + axis;
        writeFile(device / (channel + "_en"), "0\n");
        writeFile(device / (channel + "_index"), std::to_string(axis[0] - 'x') + "\n");
        writeFile(device / (channel + "_type"), "le:s16/16>>0\n");
    }
    writeFile(device / "scan_elements/in_timestamp_en", "0\n");
    writeFile(device / "scan_elements/in_timestamp_index", "3\n");
    writeFile(device / "scan_elements/in_timestamp_type", "le:s64/64>>0\n");
    writeFile(device / "sampling_frequency", std::to_string(hz) + "\n");
    writeFile(device / "buffer/enable", "0\n");
    writeFile(root / "sys/bus/iio/devices/trigger0/name", "accel_3d-dev0\n");
    writeFile(device / "trigger/current_trigger", "\n");
    fs::create_directories(root / "dev");
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: SensorBackends [seconds]\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules("thwacko.hid.info=false");
    char pattern[] = "/tmp/thwacko-sensor-bench-XXXXXX";
    const fs::path work = ::mkdtemp(pattern);

    std::printf("%d s per run after 0.5 s of settling; a 10 ms timer runs beside each, as the processing timer does\n",
                static_cast<int>(seconds));
    std::printf("%-12s %-34s %9s %10s %10s %10s\n", "backend", "fake at native rate", "reports/s", "samples/s",
                "main ms/s", "main wk/s");

    // The processing timer alone, for what the backends add to it.
    print("(none)", "the 10 ms timer alone", listen(nullptr, seconds));
    { // hidraw: 1000 reports a second through a FIFO.
        const fs::path root = work / "hidraw";
        writeFile(root / "sys/class/hidraw/hidraw0/device/report_descriptor",
                  std::string("\x06\x00\xFF\x09\x03\xA1\x01\x75\x08\x95\x16\x81\x02\xC0", 14));
        fs::create_directories(root / "dev");
        const int writer = openWriter(root / "dev/hidraw0");
        std::uint8_t report[22] = {};
        report[16] = 1; // z = 1 g
        Feeder feeder(1000, [&](std::int64_t) { [[maybe_unused]] auto n = ::write(writer, report, sizeof report); });
        // A FIFO merges what it holds into one read, where hidraw gives one report per read: the
        // device is read with a 22-byte buffer and counted as the service counts.
        print("hidraw", "FIFO, 1000 reports/s", listen(std::make_shared<hid::HidrawBackend>(root), seconds, 22));
        ::close(writer);
    }
    { // hidraw: how long a report waits for the processing tick that sees it, at 10 and 4 ms.
        const fs::path root = work / "hidraw-latency";
        writeFile(root / "sys/class/hidraw/hidraw0/device/report_descriptor",
                  std::string("\x06\x00\xFF\x09\x03\xA1\x01\x75\x08\x95\x16\x81\x02\xC0", 14));
        fs::create_directories(root / "dev");
        const int writer = openWriter(root / "dev/hidraw0");
        Feeder feeder(1000, [&](std::int64_t) {
            std::uint8_t report[22] = {};
            const std::int64_t now = monotonicNs();
            std::memcpy(report, &now, sizeof now);
            [[maybe_unused]] auto n = ::write(writer, report, sizeof report);
        });
        hid::HidrawBackend backend(root);
        for (const int periodMs : {10, 4}) {
            TickLatency latency;
            std::vector<std::uint8_t> buffer(22);
            auto device = backend.createDevice(0);
            device->open();
            device->registerInputReportCallback(buffer.data(), buffer.size(), &TickLatency::callback, &latency);
            device->scheduleWithMainLoop();
            QTimer processing;
            processing.setTimerType(Qt::PreciseTimer);
            QObject::connect(&processing, &QTimer::timeout, [&] { latency.tick(); });
            processing.start(periodMs);
            QEventLoop loop;
            QTimer::singleShot(500, &loop, &QEventLoop::quit);
            loop.exec();
            latency.latenciesMs.clear();
            latency.lateForATick = 0;
            QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, &loop, &QEventLoop::quit);
            loop.exec();
            device->unscheduleFromMainLoop();
            device->close();
            const std::size_t count = latency.latenciesMs.size();
            std::printf("hidraw report -> the %d ms tick that sees it: p50 %.2f ms, p99 %.2f ms, max %.2f ms; "
                        "%ld of %zu reports missed a tick after they were written\n",
                        periodMs, latency.percentile(0.5), latency.percentile(0.99), latency.percentile(1.0),
                        latency.lateForATick, count);
        }
        ::close(writer);
    }
    { // replay: the shipped recording, 1000 reports a second.
        const fs::path recording = fs::path(THWACKO_SOURCE_DIR) / "resources/sensor/knocks.replay";
        print("replay", "knocks.replay, 1000 reports/s",
              listen(std::make_shared<hid::ReplayBackend>(recording), seconds));
    }
    for (const int hz : {100, 400, 1000}) { // IIO buffer: samples with timestamps, 10 ms batches.
        const fs::path root = work / ("iio" + std::to_string(hz));
        makeIioTree(root, hz);
        const int writer = openWriter(root / "dev/iio:device0");
        const int perBatch = hz / 100;
        Feeder feeder(10'000, [&](std::int64_t batch) {
            std::vector<std::uint8_t> bytes(16 * static_cast<std::size_t>(perBatch), 0);
            for (int i = 0; i < perBatch; ++i) {
                std::uint8_t* sample = bytes.data() + 16 * i;
                sample[5] = 0x04; // z = 1024 counts
                const std::int64_t stamp = (batch * perBatch + i) * (1'000'000'000 / hz);
                std::memcpy(sample + 8, &stamp, sizeof stamp);
            }
            [[maybe_unused]] auto n = ::write(writer, bytes.data(), bytes.size());
        });
        char fake[64];
        std::snprintf(fake, sizeof fake, "FIFO, %d samples/s", hz);
        print("iio buffer", fake,
              listen(std::make_shared<hid::IioBackend>(root, hid::IioBackend::Kind::Buffered), seconds));
        ::close(writer);
    }
    { // IIO polling: raw files at 200 Hz.
        const fs::path root = work / "iiopoll";
        makeIioTree(root, 200);
        print("iio polling", "raw files, 200 reads/s",
              listen(std::make_shared<hid::IioBackend>(root, hid::IioBackend::Kind::Polled), seconds));
    }
    { // evdev: one packet (X, Y, Z, SYN_REPORT) per sample at 100 Hz.
        const fs::path root = work / "evdev";
        writeFile(root / "sys/class/input/event0/device/name", "accelerometer\n");
        writeFile(root / "sys/class/input/event0/device/properties", "40\n");
        writeFile(root / "sys/class/input/event0/device/capabilities/abs", "7\n");
        fs::create_directories(root / "dev/input");
        const int writer = openWriter(root / "dev/input/event0");
        Feeder feeder(10'000, [&](std::int64_t n) {
            input_event events[4] = {};
            for (int i = 0; i < 4; ++i) {
                events[i].input_event_sec = static_cast<decltype(events[i].input_event_sec)>(n / 100);
                events[i].input_event_usec = static_cast<decltype(events[i].input_event_usec)>((n % 100) * 10'000);
                events[i].type = i < 3 ? EV_ABS : EV_SYN;
                events[i].code = static_cast<std::uint16_t>(i < 3 ? i : SYN_REPORT);
                events[i].value = i == 2 ? 512 : 0;
            }
            [[maybe_unused]] auto written = ::write(writer, events, sizeof events);
        });
        auto backend = std::make_shared<hid::EvdevBackend>(root, [](int, int) {
            return std::optional<hid::EvdevBackend::AxisInfo>({0, 512});
        });
        print("evdev", "FIFO, 100 samples/s", listen(backend, seconds));
        ::close(writer);
    }
    std::error_code ignored;
    fs::remove_all(work, ignored);
    return 0;
}
