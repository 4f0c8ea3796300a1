#include "analytics/ReadWriteLock.h"

#include "platform/foundation/DispatchQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tally;
using foundation::Semaphore;

TEST(ReadWriteLock, WriteReturnsTheCallbacksValue)
{
    ReadWriteLock lock("test.lock");
    EXPECT_EQ(lock.write([] { return std::string("value"); }), "value");
    EXPECT_EQ(lock.label(), "test.lock");
}

TEST(ReadWriteLock, TwoReadersRunAtTheSameTime)
{
    ReadWriteLock lock("test.readers");
    Semaphore firstInside, secondInside;
    // Each reader waits inside its section for the other: only overlapping sections finish.
    std::thread first([&] {
        lock.read([&] {
            firstInside.signal();
            secondInside.wait();
        });
    });
    lock.read([&] {
        secondInside.signal();
        firstInside.wait();
    });
    first.join();
}

namespace {

// Whether thread `tid` of this process sleeps (blocked on the lock's futex: its only blocking call).
bool isBlocked(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
}

void waitUntilBlocked(const std::atomic<pid_t>& tid, const std::atomic<bool>& finished)
{
    while (tid == 0 || (!finished && !isBlocked(tid))) {
        std::this_thread::yield();
    }
}

} // namespace

TEST(ReadWriteLock, AWaitingWriterGoesBeforeLaterReaders)
{
    ReadWriteLock lock("test.writer");
    std::vector<std::string> order;
    std::mutex orderLock;
    auto note = [&](const char* what) {
        const std::lock_guard guard(orderLock);
        order.emplace_back(what);
    };
    Semaphore readerInside, releaseReader;
    std::atomic<pid_t> writerTid{0}, lateReaderTid{0};
    std::atomic<bool> writerDone{false}, lateReaderDone{false};

    std::thread longReader([&] {
        lock.read([&] {
            readerInside.signal();
            releaseReader.wait();
            note("long read");
        });
    });
    readerInside.wait();
    std::thread writer([&] {
        writerTid = ::gettid();
        lock.write([&] { note("write"); });
        writerDone = true;
    });
    waitUntilBlocked(writerTid, writerDone);
    std::thread lateReader([&] {
        lateReaderTid = ::gettid();
        lock.read([&] { note("late read"); });
        lateReaderDone = true;
    });
    waitUntilBlocked(lateReaderTid, lateReaderDone);
    releaseReader.signal();
    longReader.join();
    writer.join();
    lateReader.join();
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], "long read");
    EXPECT_EQ(order[1], "write");
    EXPECT_EQ(order[2], "late read");
}
