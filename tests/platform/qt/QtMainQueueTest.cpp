// The main queue on the Qt event loop, posted to from other threads while its context and its
// binding go away (the sanitizer build catches any use of freed memory).
#include "platform/qt/QtMainQueue.h"

#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

/// A queue that only counts what it is given; stands for the binding that was there before.
class CountingQueue final : public foundation::MainQueue {
public:
    std::atomic<int> posted{0};
    void async(std::function<void()>) override { ++posted; }
};

/// A thread that posts jobs without pause through `post` until stopped; each job counts itself
/// and notes whether it ran on the main thread.
class Poster {
public:
    std::atomic<int> posts{0};
    std::atomic<int> ran{0};
    std::atomic<bool> ranOffMain{false};

    explicit Poster(std::function<void(std::function<void()>)> post)
        : thread([this, post = std::move(post)] {
            while (!stopping) {
                post([this] {
                    ++ran;
                    if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
                        ranOffMain = true;
                    }
                });
                ++posts;
            }
        })
    {
    }
    ~Poster() { stop(); }

    /// Waits, running the event loop, until `more` further posts were made.
    bool awaitPosts(int more)
    {
        const int target = posts + more;
        return testsupport::pumpUntil([&] { return posts >= target; });
    }
    void stop()
    {
        stopping = true;
        if (thread.joinable()) {
            thread.join();
        }
    }

private:
    std::atomic<bool> stopping{false};
    std::thread thread;
};

} // namespace

TEST(QtMainQueue, RunsJobsInPostingOrderOnTheContextsThread)
{
    QObject context;
    platform::QtMainQueue queue(&context);
    std::vector<int> order;
    std::thread other([&] {
        for (int i = 0; i < 100; ++i) {
            queue.async([&order, i] { order.push_back(i); });
        }
    });
    other.join();
    EXPECT_TRUE(order.empty()); // nothing runs inside the post
    ASSERT_TRUE(testsupport::pumpUntil([&] { return order.size() == 100; }));
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
}

// Runs `loop` until it quits, or fails after a generous deadline instead of hanging the test.
bool execWithDeadline(QEventLoop& loop)
{
    bool timedOut = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    deadline.start(std::chrono::seconds(10));
    loop.exec();
    return !timedOut;
}

TEST(QtMainQueue, AJobPostedOnTheMainThreadRunsBeforeTheLoopWaitsWithNothingElseToWakeIt)
{
    QObject context;
    platform::QtMainQueue queue(&context);
    QEventLoop loop;
    int chain = 0;
    // Each job posts the next from the main thread; no timer or other event is due meanwhile.
    std::function<void()> next = [&] {
        if (++chain == 100) {
            loop.quit();
        } else {
            queue.async(next);
        }
    };
    queue.async(next);
    EXPECT_EQ(chain, 0); // nothing runs inside the post
    EXPECT_TRUE(execWithDeadline(loop)) << "the loop waited with a job queued; " << chain << " ran";
    EXPECT_EQ(chain, 100);
}

TEST(QtMainQueue, KeepsPostingOrderAcrossTheMainThreadAndOthers)
{
    QObject context;
    platform::QtMainQueue queue(&context);
    std::vector<int> order;
    for (int round = 0; round < 50; ++round) {
        queue.async([&order, round] { order.push_back(2 * round); });
        std::thread other([&] { queue.async([&order, round] { order.push_back(2 * round + 1); }); });
        other.join();
    }
    ASSERT_TRUE(testsupport::pumpUntil([&] { return order.size() == 100; }));
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
}

TEST(QtMainQueue, AJobThatKeepsPostingItselfLeavesTheLoopFreeForOtherEvents)
{
    QObject context;
    platform::QtMainQueue queue(&context);
    bool stop = false;
    int runs = 0;
    std::function<void()> again = [&] {
        ++runs;
        if (!stop) {
            queue.async(again);
        }
    };
    queue.async(again);
    QEventLoop loop;
    QTimer::singleShot(std::chrono::milliseconds(20), &loop, [&] {
        stop = true;
        loop.quit();
    });
    EXPECT_TRUE(execWithDeadline(loop)) << "the timer never fired";
    EXPECT_GT(runs, 1);
    testsupport::pumpFor(std::chrono::milliseconds(5)); // the last one posted runs, and no other
}

TEST(QtMainQueue, AJobRunningANestedLoopLetsTheNextJobsRunInOrderInside)
{
    QObject context;
    platform::QtMainQueue queue(&context);
    std::vector<std::string> order;
    queue.async([&] {
        order.push_back("outer");
        QEventLoop nested;
        queue.async([&] {
            order.push_back("posted inside");
            nested.quit();
        });
        EXPECT_TRUE(execWithDeadline(nested));
        order.push_back("outer done");
    });
    queue.async([&] { order.push_back("second"); });
    ASSERT_TRUE(testsupport::pumpUntil([&] { return order.size() == 4; }));
    EXPECT_EQ(order, (std::vector<std::string>{"outer", "second", "posted inside", "outer done"}));
}

TEST(QtMainQueue, DropsTheJobsWaitingWhenItsContextGoes)
{
    auto context = std::make_unique<QObject>();
    platform::QtMainQueue queue(context.get());
    int ran = 0;
    queue.async([&] { ++ran; });
    std::thread other([&] { queue.async([&] { ++ran; }); });
    other.join();
    context.reset();
    queue.async([&] { ++ran; });
    testsupport::pumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(ran, 0);
}

TEST(QtMainQueue, DropsJobsPostedFromAThreadOnceItsContextIsGone)
{
    auto context = std::make_unique<QObject>();
    platform::QtMainQueue queue(context.get());
    Poster poster([&](std::function<void()> job) { queue.async(std::move(job)); });

    ASSERT_TRUE(testsupport::pumpUntil([&] { return poster.ran >= 50; }));
    context.reset(); // posts are in flight on the other thread
    ASSERT_TRUE(poster.awaitPosts(1000));
    QCoreApplication::processEvents();
    const int ran = poster.ran;
    ASSERT_TRUE(poster.awaitPosts(1000));
    poster.stop();
    QCoreApplication::processEvents();

    EXPECT_EQ(poster.ran, ran) << "a job posted after the context was gone ran";
    EXPECT_FALSE(poster.ranOffMain);
}

TEST(QtMainQueue, PostsFromAThreadAcrossTheUnbindingGoToTheQueueBoundThen)
{
    CountingQueue before;
    foundation::MainQueue* const outer = foundation::setMainQueue(&before);
    auto context = std::make_unique<QObject>();
    auto binding = std::make_unique<platform::ScopedQtMainQueue>(context.get());
    Poster poster([](std::function<void()> job) { foundation::mainQueue().async(std::move(job)); });

    ASSERT_TRUE(testsupport::pumpUntil([&] { return poster.ran >= 50; }));
    EXPECT_EQ(before.posted, 0);
    binding.reset(); // unbinds, then the queue goes
    context.reset();
    const int ran = poster.ran;
    ASSERT_TRUE(poster.awaitPosts(1000));
    poster.stop();
    QCoreApplication::processEvents();

    EXPECT_GT(before.posted, 0); // the binding restored took the later posts
    EXPECT_EQ(poster.ran, ran);
    EXPECT_FALSE(poster.ranOffMain);
    foundation::setMainQueue(outer);
}
