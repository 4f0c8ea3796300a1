// Prints the CPU time each given process has used, in nanoseconds, one line each: the scheduler's
// exact sum over all its threads, those that have ended included (a clip's mixer thread lives only
// while the clip sounds), which /proc/<pid>/stat gives only in whole clock ticks.
//
// Usage: ProcessCpu <pid> [pid...]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/types.h>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: ProcessCpu <pid> [pid...]\n");
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        char* end = nullptr;
        errno = 0;
        const long pid = std::strtol(argv[i], &end, 10);
        if (errno != 0 || end == argv[i] || *end != '\0' || pid <= 0) {
            std::fprintf(stderr, "ProcessCpu: not a process id: %s\n", argv[i]);
            return 2;
        }
        clockid_t clock{};
        timespec used{};
        if (const int error = ::clock_getcpuclockid(static_cast<pid_t>(pid), &clock); error != 0) {
            std::fprintf(stderr, "ProcessCpu: %ld: %s\n", pid, std::strerror(error));
            return 1;
        }
        if (::clock_gettime(clock, &used) != 0) {
            std::fprintf(stderr, "ProcessCpu: %ld: %s\n", pid, std::strerror(errno));
            return 1;
        }
        std::printf("%lld\n", static_cast<long long>(used.tv_sec) * 1'000'000'000LL + used.tv_nsec);
    }
    return 0;
}
