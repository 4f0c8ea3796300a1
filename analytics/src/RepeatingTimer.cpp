#include "RepeatingTimer.h"

#include "platform/foundation/MainQueue.h"

#include <pthread.h>

namespace tally {

RepeatingTimer::RepeatingTimer(double intervalSeconds, std::function<void()> tick)
    : seconds(intervalSeconds)
    , tick(std::move(tick))
{
    thread = std::thread([this] { run(); });
}

RepeatingTimer::~RepeatingTimer() { invalidate(); }

void RepeatingTimer::invalidate()
{
    *valid = false;
    {
        const std::lock_guard lock(mutex);
        stopped = true;
    }
    wake.notify_all();
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
        thread.join();
    }
}

void RepeatingTimer::run()
{
    ::pthread_setname_np(::pthread_self(), "tally.timer");
    const auto period =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    auto next = std::chrono::steady_clock::now() + period;
    std::unique_lock lock(mutex);
    for (;;) {
        if (wake.wait_until(lock, next, [this] { return stopped; })) {
            return;
        }
        next += period;
        const auto now = std::chrono::steady_clock::now();
        if (next <= now) {
            next = now + period; // skip ticks missed while asleep, as a run-loop timer does
        }
        foundation::mainQueue().async([valid = valid, tick = tick] {
            if (*valid) {
                tick();
            }
        });
    }
}

} // namespace tally
