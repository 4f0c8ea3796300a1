#include "platform/foundation/DispatchQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using foundation::Semaphore;
using namespace std::chrono_literals;

TEST(Semaphore, ATimedOutWaitReportsFalseAndTakesNothing)
{
    Semaphore semaphore;
    EXPECT_FALSE(semaphore.wait(1ms));
    EXPECT_FALSE(semaphore.wait(0ns));
    EXPECT_FALSE(semaphore.wait(-5ms));
    semaphore.signal();
    EXPECT_TRUE(semaphore.wait(0ns));
    EXPECT_FALSE(semaphore.wait(0ns));
}

TEST(Semaphore, StartsAtItsValue)
{
    struct Case {
        long value;
        int signals;
        int successfulWaits;
    };
    const Case cases[] = {{0, 0, 0}, {2, 0, 2}, {2, 1, 3}, {-1, 1, 0}, {-1, 2, 1}};
    for (const auto& c : cases) {
        Semaphore semaphore(c.value);
        for (int i = 0; i < c.signals; ++i) {
            semaphore.signal();
        }
        int successes = 0;
        while (semaphore.wait(0ns)) {
            ++successes;
        }
        EXPECT_EQ(successes, c.successfulWaits) << "value " << c.value << ", signals " << c.signals;
    }
}

TEST(Semaphore, EverySignalWakesExactlyOneWaiter)
{
    constexpr int kWaiters = 4;
    constexpr int kRounds = 500;
    Semaphore semaphore;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int w = 0; w < kWaiters; ++w) {
        waiters.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                semaphore.wait(); // no timeout: must be released by a signal
                ++woken;
            }
        });
    }
    for (int i = 0; i < kWaiters * kRounds; ++i) {
        semaphore.signal();
    }
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(woken.load(), kWaiters * kRounds);
    EXPECT_FALSE(semaphore.wait(0ns));
}

TEST(Semaphore, AVeryLongTimeoutStillReturnsOnSignal)
{
    Semaphore semaphore;
    std::thread signaller([&] { semaphore.signal(); });
    EXPECT_TRUE(semaphore.wait(std::chrono::nanoseconds::max()));
    signaller.join();
}
