#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tally {

/// A repeating timer whose ticks run on the main queue. A background thread keeps time and posts
/// each tick; a tick posted before `invalidate()` but run after it does nothing.
class RepeatingTimer {
public:
    RepeatingTimer(double intervalSeconds, std::function<void()> tick);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    double interval() const { return seconds; }
    void invalidate();

private:
    void run();

    double seconds;
    std::function<void()> tick;
    std::shared_ptr<std::atomic<bool>> valid = std::make_shared<std::atomic<bool>>(true);
    std::mutex mutex;
    std::condition_variable wake;
    bool stopped = false;
    std::thread thread;
};

} // namespace tally
