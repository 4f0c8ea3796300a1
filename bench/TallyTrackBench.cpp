// The analytics client's track call: how long it keeps the calling thread while the tracking queue
// is busy storing earlier events, and how many events per second reach the record store.
//
//   TallyTrackBench [calls]
//
// Runs against a private caches and settings folder (removed at the end); nothing is delivered.
#include "analytics/TallyInstance.h"

#include "platform/foundation/MainQueue.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class DroppingMainQueue final : public foundation::MainQueue {
public:
    void async(std::function<void()>) override {}
};

std::shared_ptr<tally::TallyInstance> makeInstance(const std::string& name)
{
    tally::TallyInstance::Options options;
    options.apiToken = "bench";
    options.name = name;
    options.flushInterval = 0;                // no timer, nothing sent
    options.serverURL = "http://127.0.0.1:1"; // a closed port
    return tally::TallyInstance::create(options);
}

tally::Properties slapProperties(int i)
{
    return {{"slap_number", i}, {"amplitude", 0.123}, {"severity", "CHOC_MOYEN"}, {"sound_mode", "pain"}};
}

double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[index];
}

} // namespace

int main(int argc, char** argv)
{
    const int calls = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 20000;

    namespace fs = std::filesystem;
    std::string home = (fs::temp_directory_path() / "tally-bench-XXXXXX").string();
    if (!::mkdtemp(home.data())) {
        return 2;
    }
    ::setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    DroppingMainQueue mainQueue;
    foundation::setMainQueue(&mainQueue);

    {
        // 1. The caller's cost, one call at a time, while the queue works through the backlog.
        auto instance = makeInstance("caller");
        instance->waitUntilIdle();
        std::vector<double> nanoseconds;
        nanoseconds.reserve(static_cast<std::size_t>(calls));
        const auto started = Clock::now();
        for (int i = 0; i < calls; ++i) {
            tally::Properties properties = slapProperties(i); // built by the caller in any case
            const auto before = Clock::now();
            instance->track("slap", properties);
            const auto after = Clock::now();
            nanoseconds.push_back(std::chrono::duration<double, std::nano>(after - before).count());
        }
        const double callingSeconds = std::chrono::duration<double>(Clock::now() - started).count();
        instance->waitUntilIdle();
        const double drainedSeconds = std::chrono::duration<double>(Clock::now() - started).count();

        std::printf("track on the calling thread (%d calls, queue busy throughout: the backlog took %.2f s "
                    "to store after the calls took %.3f s)\n",
                    calls, drainedSeconds, callingSeconds);
        std::printf("  median %8.0f ns   p99 %8.0f ns   max %8.0f ns\n", percentile(nanoseconds, 0.5),
                    percentile(nanoseconds, 0.99), percentile(nanoseconds, 1.0));
    }
    {
        // 2. Throughput from track to the store (one row insert and one timed-events save per event).
        auto instance = makeInstance("store");
        instance->waitUntilIdle();
        const auto started = Clock::now();
        for (int i = 0; i < calls; ++i) {
            instance->track("slap", slapProperties(i));
        }
        instance->waitUntilIdle();
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::printf("track to store: %d events in %.2f s = %.0f events/s\n", calls, seconds, calls / seconds);
    }

    foundation::setMainQueue(nullptr);
    std::error_code error;
    fs::remove_all(home, error);
    return 0;
}
