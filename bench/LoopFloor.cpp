// What waking every 10 ms (4 ms in fast mode) costs on this machine before any work is done:
// the floor under the listening application's CPU figure. One thread, three loops in turn:
//   timerfd        a bare timerfd read in a loop (the kernel's and the hypervisor's share)
//   qt-timer       a repeating QTimer on Qt's event loop, its slot empty
//   qt-timer-job   the same, each firing posting one job to the loop, as the processing timer does
// For each: CPU time per second of the thread (the scheduler's exact run time) and its wake-ups
// per second (voluntary context switches).
//
// Usage: LoopFloor [seconds per loop] [timerfd|qt-timer|qt-timer-job] [interval ms]
// (default: 10 s, every loop at 10 ms and at 4 ms; naming a loop runs only that one, at the interval
// given, else at 10 ms)
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Reading {
    std::int64_t runNs = 0;
    long wakeUps = 0;
    Clock::time_point at;
};

Reading readNow()
{
    Reading reading;
    std::ifstream schedstat("/proc/thread-self/schedstat");
    schedstat >> reading.runNs;
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    reading.wakeUps = usage.ru_nvcsw;
    reading.at = Clock::now();
    return reading;
}

void print(const char* name, int intervalMs, const Reading& start, const Reading& end)
{
    const double seconds = std::chrono::duration<double>(end.at - start.at).count();
    std::printf("%-14s %4d ms %12.2f %12.0f\n", name, intervalMs, double(end.runNs - start.runNs) / 1e6 / seconds,
                double(end.wakeUps - start.wakeUps) / seconds);
    std::fflush(stdout);
}

void runTimerfd(int intervalMs, int seconds)
{
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (fd < 0) {
        std::perror("timerfd_create");
        std::exit(1);
    }
    const timespec interval{0, intervalMs * 1'000'000L};
    const itimerspec spec{interval, interval};
    ::timerfd_settime(fd, 0, &spec, nullptr);
    const Reading start = readNow();
    const auto end = start.at + std::chrono::seconds(seconds);
    std::uint64_t expirations = 0;
    while (Clock::now() < end) {
        if (::read(fd, &expirations, sizeof expirations) < 0) {
            std::perror("read");
            std::exit(1);
        }
    }
    print("timerfd", intervalMs, start, readNow());
    ::close(fd);
}

void runQtTimer(int intervalMs, int seconds, bool postJob)
{
    QEventLoop loop;
    QTimer timer;
    timer.setInterval(intervalMs);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&loop, postJob] {
        if (postJob) {
            QMetaObject::invokeMethod(
                &loop, [] {}, Qt::QueuedConnection);
        }
    });
    QTimer::singleShot(std::chrono::seconds(seconds), &loop, &QEventLoop::quit);
    timer.start();
    const Reading start = readNow();
    loop.exec();
    print(postJob ? "qt-timer-job" : "qt-timer", intervalMs, start, readNow());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const char* const only = argc > 2 ? argv[2] : nullptr;
    const int onlyIntervalMs = argc > 3 ? std::atoi(argv[3]) : 10;
    const bool known = only == nullptr || std::strcmp(only, "timerfd") == 0 || std::strcmp(only, "qt-timer") == 0 ||
                       std::strcmp(only, "qt-timer-job") == 0;
    if (seconds < 1 || argc > 4 || !known || onlyIntervalMs < 1) {
        std::fprintf(stderr, "usage: LoopFloor [seconds per loop] [timerfd|qt-timer|qt-timer-job] [interval ms]\n");
        return 2;
    }
    std::printf("%-14s %7s %12s %12s\n", "loop", "every", "CPU ms/s", "wake-ups/s");
    const auto wanted = [only](const char* name) { return only == nullptr || std::strcmp(only, name) == 0; };
    const std::vector<int> intervalsMs = only ? std::vector<int>{onlyIntervalMs} : std::vector<int>{10, 4};
    for (const int intervalMs : intervalsMs) {
        if (wanted("timerfd")) {
            runTimerfd(intervalMs, seconds);
        }
        if (wanted("qt-timer")) {
            runQtTimer(intervalMs, seconds, false);
        }
        if (wanted("qt-timer-job")) {
            runQtTimer(intervalMs, seconds, true);
        }
    }
    return 0;
}
