// The main queue on the Qt event loop, posted to from other threads while its context and its
// binding go away (the sanitizer build catches any use of freed memory).
#include "platform/qt/QtMainQueue.h"

#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <memory>
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
