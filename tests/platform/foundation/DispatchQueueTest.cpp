#include "platform/foundation/DispatchQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using foundation::DispatchQueue;
using foundation::Semaphore;
using Kind = DispatchQueue::Kind;

namespace {

// Only a guard against hanging when the code under test is broken; a passing run never waits this long.
constexpr std::chrono::seconds kGuard{10};

// Counts how many items are inside a section at once and remembers the most.
class Overlap {
public:
    void enter()
    {
        const int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
    }
    void leave() { --inside; }
    int mostAtOnce() const { return most.load(); }
    int now() const { return inside.load(); }

private:
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
};

// An ordered record of what items did, safe to append to from any thread.
class Log {
public:
    void add(std::string entry)
    {
        const std::lock_guard lock(mutex);
        entries.push_back(std::move(entry));
    }
    std::vector<std::string> snapshot() const
    {
        const std::lock_guard lock(mutex);
        return entries;
    }
    std::size_t indexOf(const std::string& entry) const
    {
        const auto all = snapshot();
        return static_cast<std::size_t>(std::find(all.begin(), all.end(), entry) - all.begin());
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> entries;
};

} // namespace

TEST(DispatchQueue, SerialRunsItemsOneAtATimeInSubmissionOrderAcrossProducers)
{
    constexpr int kProducers = 6;
    constexpr int kItems = 500;
    DispatchQueue queue("test.serial");
    Overlap overlap;
    std::vector<std::vector<int>> seen(kProducers); // touched only by the queue's items

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kItems; ++i) {
                queue.async([&, p, i] {
                    overlap.enter();
                    seen[p].push_back(i);
                    overlap.leave();
                });
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    queue.sync([] {});

    EXPECT_EQ(overlap.mostAtOnce(), 1);
    for (int p = 0; p < kProducers; ++p) {
        ASSERT_EQ(seen[p].size(), static_cast<std::size_t>(kItems)) << "producer " << p;
        EXPECT_TRUE(std::is_sorted(seen[p].begin(), seen[p].end())) << "producer " << p;
    }
}

TEST(DispatchQueue, ConcurrentItemsRunSideBySideEvenWhenEachBlocks)
{
    // Every item waits until all of them have started: a queue that ran a fixed number of items
    // at a time, or let a blocked item hold up a later one, would never release them.
    constexpr int kItems = 24;
    DispatchQueue queue("test.concurrent", Kind::Concurrent);
    Semaphore arrived;
    Semaphore release;
    std::atomic<int> released{0};

    for (int i = 0; i < kItems; ++i) {
        queue.async([&] {
            arrived.signal();
            if (release.wait(kGuard)) {
                ++released;
            }
        });
    }
    int arrivals = 0;
    while (arrivals < kItems && arrived.wait(kGuard)) {
        ++arrivals;
    }
    EXPECT_EQ(arrivals, kItems);
    for (int i = 0; i < kItems; ++i) {
        release.signal();
    }
    queue.syncBarrier([] {});
    EXPECT_EQ(released.load(), kItems);
}

TEST(DispatchQueue, BarrierWaitsForEarlierItemsRunsAloneAndHoldsBackLaterOnes)
{
    constexpr int kReaders = 4;
    DispatchQueue queue("test.barrier", Kind::Concurrent);
    Overlap overlap;
    Log log;
    Semaphore readersStarted;
    Semaphore gate;
    std::atomic<int> othersDuringBarrier{-1};

    for (int i = 0; i < kReaders; ++i) {
        queue.async([&, i] {
            overlap.enter();
            readersStarted.signal();
            gate.wait(kGuard);
            log.add("before" + std::to_string(i));
            overlap.leave();
        });
    }
    for (int i = 0; i < kReaders; ++i) {
        ASSERT_TRUE(readersStarted.wait(kGuard));
    }
    queue.asyncBarrier([&] {
        overlap.enter();
        log.add("barrier start");
        othersDuringBarrier = overlap.now() - 1;
        log.add("barrier end");
        overlap.leave();
    });
    for (int i = 0; i < kReaders; ++i) {
        queue.async([&, i] { log.add("after" + std::to_string(i)); });
    }
    // The earlier readers are all still blocked, so the barrier and everything after it must wait.
    for (int i = 0; i < kReaders; ++i) {
        gate.signal();
    }
    queue.syncBarrier([] {});

    EXPECT_EQ(othersDuringBarrier.load(), 0);
    const std::size_t barrierStart = log.indexOf("barrier start");
    const std::size_t barrierEnd = log.indexOf("barrier end");
    ASSERT_LT(barrierEnd, log.snapshot().size());
    for (int i = 0; i < kReaders; ++i) {
        EXPECT_LT(log.indexOf("before" + std::to_string(i)), barrierStart) << i;
        const std::size_t after = log.indexOf("after" + std::to_string(i));
        EXPECT_GT(after, barrierEnd) << i;
        EXPECT_LT(after, log.snapshot().size()) << i;
    }
}

TEST(DispatchQueue, SyncBarrierWaitsForEarlierItemsAndRunsOnTheCallingThread)
{
    DispatchQueue queue("test.syncbarrier", Kind::Concurrent);
    std::atomic<int> finished{0};
    for (int i = 0; i < 50; ++i) {
        queue.async([&] { ++finished; });
    }
    int seen = -1;
    std::thread::id ranOn;
    queue.syncBarrier([&] {
        seen = finished.load();
        ranOn = std::this_thread::get_id();
    });
    EXPECT_EQ(seen, 50);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(DispatchQueue, ReadsThroughSyncRunTogetherWhileBarrierWritesRunAlone)
{
    // The shape of a reader/writer lock built on a concurrent queue: many threads read with
    // `sync` and write with `syncBarrier`; a write must never overlap anything.
    DispatchQueue queue("test.rwlock", Kind::Concurrent);
    Overlap readers;
    std::atomic<int> writersInside{0};
    std::atomic<bool> overlapped{false};
    long value = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                if ((i + t) % 5 == 0) {
                    queue.syncBarrier([&] {
                        if (++writersInside != 1 || readers.now() != 0) {
                            overlapped = true;
                        }
                        ++value;
                        --writersInside;
                    });
                } else {
                    queue.sync([&] {
                        readers.enter();
                        if (writersInside.load() != 0) {
                            overlapped = true;
                        }
                        [[maybe_unused]] const long read = value;
                        readers.leave();
                    });
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(overlapped.load());
    EXPECT_EQ(value, 6 * 300 / 5);
}

TEST(DispatchQueue, SyncOnASerialQueueRunsAfterEarlierItems)
{
    DispatchQueue queue("test.sync");
    std::vector<int> order;
    for (int i = 0; i < 20; ++i) {
        queue.async([&, i] { order.push_back(i); });
    }
    queue.sync([&] { order.push_back(20); });
    ASSERT_EQ(order.size(), 21u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

TEST(DispatchQueue, IsCurrentOnlyInsideItsOwnItems)
{
    DispatchQueue outer("test.outer");
    DispatchQueue inner("test.inner", Kind::Concurrent);
    EXPECT_FALSE(outer.isCurrent());

    bool outerInItem = false;
    bool innerInOuterItem = true;
    bool bothInNestedSync = false;
    outer.sync([&] {
        outerInItem = outer.isCurrent();
        innerInOuterItem = inner.isCurrent();
        inner.sync([&] { bothInNestedSync = inner.isCurrent() && outer.isCurrent(); });
    });
    Semaphore done;
    bool inAsyncItem = false;
    inner.async([&] {
        inAsyncItem = inner.isCurrent() && !outer.isCurrent();
        done.signal();
    });
    ASSERT_TRUE(done.wait(kGuard));

    EXPECT_TRUE(outerInItem);
    EXPECT_FALSE(innerInOuterItem);
    EXPECT_TRUE(bothInNestedSync);
    EXPECT_TRUE(inAsyncItem);
    EXPECT_FALSE(outer.isCurrent());
}

TEST(DispatchQueue, PlainSyncFromAConcurrentItemWithNoBarrierAheadCompletes)
{
    DispatchQueue queue("test.reentrant", Kind::Concurrent);
    Semaphore done;
    bool innerRan = false;
    queue.async([&] {
        queue.sync([&] { innerRan = true; });
        done.signal();
    });
    ASSERT_TRUE(done.wait(kGuard));
    EXPECT_TRUE(innerRan);
}

struct DestructionCase {
    const char* name;
    Kind kind;
};

void PrintTo(const DestructionCase& c, std::ostream* os) { *os << c.name; }

class DispatchQueueDestruction : public ::testing::TestWithParam<DestructionCase> {};

TEST_P(DispatchQueueDestruction, WaitsForEveryItemIncludingOnesSubmittedMeanwhile)
{
    // A chain of items that each submit the next: the destructor must see the chain through.
    constexpr int kChain = 200;
    constexpr int kPlain = 100;
    std::atomic<int> ran{0};
    Semaphore gate;
    auto queue = std::make_unique<DispatchQueue>("test.destroy", GetParam().kind);
    DispatchQueue* const alive = queue.get(); // `queue` reads null while it is being destroyed
    std::function<void(int)> link = [&](int left) {
        ++ran;
        if (left > 0) {
            alive->async([&link, left] { link(left - 1); });
        }
    };
    queue->async([&] {
        gate.wait(kGuard); // holds everything back until about when the destructor is entered
        link(kChain - 1);
    });
    for (int i = 0; i < kPlain; ++i) {
        queue->async([&] { ++ran; });
    }
    std::thread releaser([&] { gate.signal(); });
    queue.reset();
    releaser.join();
    EXPECT_EQ(ran.load(), kChain + kPlain);
}

TEST_P(DispatchQueueDestruction, IdleThreadsThatRetireAreReplacedOnDemand)
{
    std::atomic<int> ran{0};
    {
        DispatchQueue queue("test.retire", GetParam().kind);
        queue.setIdleThreadTimeout(std::chrono::nanoseconds::zero()); // a thread exits as soon as it runs dry
        for (int i = 0; i < 100; ++i) {
            Semaphore done;
            queue.async([&] {
                ++ran;
                done.signal();
            });
            ASSERT_TRUE(done.wait(kGuard));
        }
    }
    EXPECT_EQ(ran.load(), 100);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DispatchQueueDestruction,
                         ::testing::Values(DestructionCase{"Serial", Kind::Serial},
                                           DestructionCase{"Concurrent", Kind::Concurrent}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DispatchQueue, KnowsItsLabelAndKind)
{
    const DispatchQueue queue("audio.player", Kind::Concurrent);
    EXPECT_EQ(queue.label(), "audio.player");
    EXPECT_EQ(queue.kind(), Kind::Concurrent);
    EXPECT_EQ(DispatchQueue("x").kind(), Kind::Serial);
}

struct DeadlockCase {
    const char* name;
    std::function<void()> run;
};

void PrintTo(const DeadlockCase& c, std::ostream* os) { *os << c.name; }

class DispatchQueueDeadlock : public ::testing::TestWithParam<DeadlockCase> {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(DispatchQueueDeadlock, AbortsWithTheQueueNameInsteadOfHanging)
{
    EXPECT_DEATH(GetParam().run(), "DispatchQueue \"test.dead\": .*deadlock");
}

INSTANTIATE_TEST_SUITE_P(Calls, DispatchQueueDeadlock,
                         ::testing::Values(DeadlockCase{"SyncInsideASerialItem",
                                                        [] {
    DispatchQueue queue("test.dead");
    queue.sync([&] { queue.sync([] {}); });
                                                        }},
                                           DeadlockCase{"SyncBarrierInsideAConcurrentItem",
                                                        [] {
    DispatchQueue queue("test.dead", Kind::Concurrent);
    queue.sync([&] { queue.syncBarrier([] {}); });
                                                        }},
                         DeadlockCase{"SyncInsideABarrier",
                                      [] {
    DispatchQueue queue("test.dead", Kind::Concurrent);
    queue.syncBarrier([&] { queue.sync([] {}); });
                                      }},
                         DeadlockCase{"SyncBehindAPendingBarrier",
                                      [] {
    DispatchQueue queue("test.dead", Kind::Concurrent);
    queue.sync([&] {
        queue.asyncBarrier([] {});
        queue.sync([] {});
    });
                                      }},
    DeadlockCase{"SyncBackOntoTheOuterQueueThroughAnother",
                 [] {
    DispatchQueue outer("test.dead");
    DispatchQueue inner("test.other");
    outer.sync([&] { inner.sync([&] { outer.sync([] {}); }); });
                 }}),
    [](const auto& info) { return std::string(info.param.name); });
