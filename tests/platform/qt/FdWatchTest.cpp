// Descriptor watches on real pipes, sockets and a real mount table, with the background thread and
// the Qt event loop of this test's main thread (the sanitizer builds catch races and use of freed
// memory between the two).
#include "platform/qt/FdWatch.h"

#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

#include <atomic>
#include <cstdio>

#include <arpa/inet.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using platform::FdWatch;

/// Both ends of a descriptor pair, closed on destruction; end 0 is watched, end 1 drives it.
struct Ends {
    int fd[2] = {-1, -1};
    /// Called from the main thread once a handler is to be called; empty when it is ready.
    std::function<void()> makeReady;
    std::shared_ptr<void> keep; // anything the row needs alive (a child process)
    ~Ends()
    {
        for (int end : fd) {
            if (end >= 0) {
                ::close(end);
            }
        }
    }
};

std::unique_ptr<Ends> pipeEnds()
{
    auto ends = std::make_unique<Ends>();
    EXPECT_EQ(::pipe2(ends->fd, O_CLOEXEC | O_NONBLOCK), 0);
    return ends;
}

/// A loopback TCP connection; end 0 is the accepted side.
std::unique_ptr<Ends> tcpEnds()
{
    auto ends = std::make_unique<Ends>();
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener, 1), 0);
    EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ends->fd[1] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::connect(ends->fd[1], reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ends->fd[0] = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    ::close(listener);
    return ends;
}

/// A shell in a mount namespace of its own; end 0 is its mount table, which changes when the shell
/// mounts a tmpfs. Null where this machine does not allow a namespace. Spawned, not forked: a fork
/// of this threaded process would upset the thread sanitizer.
std::unique_ptr<Ends> mountTableEnds(const testsupport::TempDir& dir)
{
    int toShell[2];
    int fromShell[2];
    if (::pipe2(toShell, O_CLOEXEC) != 0 || ::pipe2(fromShell, O_CLOEXEC) != 0) {
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toShell[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromShell[1], 1);
    const std::string folder = dir.path().string();
    const char* argv[] = {"unshare",
                          "--mount",
                          "--propagation",
                          "private",
                          "sh",
                          "-c",
                          "echo ready; read go; mount -t tmpfs none \"$1\"; read end",
                          "sh",
                          folder.c_str(),
                          nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, "unshare", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toShell[0]);
    ::close(fromShell[1]);
    auto ends = std::make_unique<Ends>();
    ends->fd[1] = toShell[1]; // closing it ends the shell
    const int answer = fromShell[0];
    ends->keep = std::shared_ptr<void>(nullptr, [pid, answer](void*) {
        ::close(answer);
        if (pid > 0) {
            ::waitpid(pid, nullptr, 0);
        }
    });
    char line[6] = {};
    pollfd ready{answer, POLLIN, 0};
    if (spawned != 0 || ::poll(&ready, 1, 30000) != 1 || ::read(answer, line, sizeof line) != 6 ||
        std::string(line, 6) != "ready\n") {
        return nullptr;
    }
    const std::string table = "/proc/" + std::to_string(pid) + "/mountinfo";
    ends->fd[0] = ::open(table.c_str(), O_RDONLY | O_CLOEXEC);
    ends->makeReady = [shell = ends->fd[1]] { ASSERT_EQ(::write(shell, "go\n", 3), 3); };
    return ends;
}

void writeByte(int fd)
{
    const char byte = 'x';
    ASSERT_EQ(::write(fd, &byte, 1), 1);
}

struct ReadyRow {
    const char* name;
    FdWatch::Condition condition;
    std::function<std::unique_ptr<Ends>(const testsupport::TempDir&)> make;
    std::function<void(Ends&)> makeReady;
};

TEST(FdWatch, TheHandlerRunsOnTheWatchingThreadOnceTheDescriptorIsReady)
{
    const ReadyRow rows[] =
        {
            {"data in a pipe", FdWatch::Condition::readable, [](auto&) { return pipeEnds(); },
             [](Ends& ends) {
        writeByte(ends.fd[1]);
             }},
            {"a pipe's writer gone", FdWatch::Condition::readable, [](auto&) { return pipeEnds(); },
             [](Ends& ends) {
        ::close(ends.fd[1]);
        ends.fd[1] = -1;
             }},
                   {"an urgent byte on a socket", FdWatch::Condition::priority, [](auto&) { return tcpEnds(); },
                    [](Ends& ends) {
        const char byte = '!';
        ASSERT_EQ(::send(ends.fd[1], &byte, 1, MSG_OOB), 1);
                    }},
        {"a changed mount table", FdWatch::Condition::priority, mountTableEnds, [](Ends& ends) { ends.makeReady(); }},
        };
    for (const ReadyRow& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir;
        const std::unique_ptr<Ends> ends = row.make(dir);
        if (!ends) {
            std::printf("skipped \"%s\": no mount namespace here\n", row.name);
            continue;
        }
        int calls = 0;
        bool onMain = false;
        FdWatch watch(ends->fd[0], row.condition, [&] {
            ++calls;
            onMain = QThread::currentThread() == QCoreApplication::instance()->thread();
        });
        testsupport::drainPosted();
        EXPECT_EQ(calls, 0) << "called before the descriptor was ready";
        row.makeReady(*ends);
        ASSERT_TRUE(testsupport::pumpUntil([&] { return calls > 0; }, std::chrono::seconds(30)));
        EXPECT_TRUE(onMain);
    }
}

TEST(FdWatch, EachCallFindsTheDescriptorReadyAndNothingIsLeftUnread)
{
    const auto ends = pipeEnds();
    int calls = 0;
    int emptyCalls = 0;
    int bytes = 0;
    FdWatch watch(ends->fd[0], FdWatch::Condition::readable, [&] {
        ++calls;
        char byte = 0;
        // One byte per call: the rest keeps the descriptor ready and must bring further calls.
        if (::read(ends->fd[0], &byte, 1) == 1) {
            ++bytes;
        } else {
            ++emptyCalls;
        }
    });
    constexpr int kBytes = 50;
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < kBytes; ++i) {
            writeByte(ends->fd[1]);
        }
        ASSERT_TRUE(testsupport::pumpUntil([&] { return bytes == (round + 1) * kBytes; }, std::chrono::seconds(30)));
    }
    testsupport::drainPosted();
    EXPECT_EQ(emptyCalls, 0) << "a descriptor was reported again before its handler had run";
    EXPECT_EQ(calls, 4 * kBytes);
}

TEST(FdWatch, ADestroyedWatchNeverCallsItsHandlerEvenWhenItWasJustFoundReady)
{
    const auto ends = pipeEnds();
    int lateCalls = 0;
    for (int i = 0; i < 300; ++i) {
        auto watch = std::make_unique<FdWatch>(ends->fd[0], FdWatch::Condition::readable, [&] { ++lateCalls; });
        writeByte(ends->fd[1]);
        // Varies whether the background thread has seen the byte before the watch goes.
        for (int spin = 0; spin < i % 40; ++spin) {
            std::this_thread::yield();
        }
        watch.reset();
        testsupport::drainPosted();
        char byte = 0;
        ASSERT_EQ(::read(ends->fd[0], &byte, 1), 1);
    }
    EXPECT_EQ(lateCalls, 0);
}

TEST(FdWatch, AHandlerMayDestroyItsOwnWatchOrMakeAnother)
{
    const auto first = pipeEnds();
    const auto second = pipeEnds();
    int firstCalls = 0;
    int secondCalls = 0;
    std::unique_ptr<FdWatch> next;
    std::unique_ptr<FdWatch> watch;
    watch = std::make_unique<FdWatch>(first->fd[0], FdWatch::Condition::readable, [&] {
        ++firstCalls;
        next = std::make_unique<FdWatch>(second->fd[0], FdWatch::Condition::readable, [&] {
            ++secondCalls;
            next.reset();
        });
        watch.reset();
    });
    writeByte(first->fd[1]);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return !watch; }));
    writeByte(second->fd[1]);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return !next; }));
    writeByte(first->fd[1]);
    writeByte(second->fd[1]);
    testsupport::drainPosted();
    EXPECT_EQ(firstCalls, 1);
    EXPECT_EQ(secondCalls, 1);
}

TEST(FdWatch, APeerSeesTheCloseOfADescriptorThatWasWatched)
{
    for (int i = 0; i < 20; ++i) {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        {
            FdWatch watch(pair[0], FdWatch::Condition::readable, [] {});
            // A call of a later watch shows that the background thread polls the socket too.
            const auto witness = pipeEnds();
            std::unique_ptr<FdWatch> later;
            later = std::make_unique<FdWatch>(witness->fd[0], FdWatch::Condition::readable, [&] { later.reset(); });
            writeByte(witness->fd[1]);
            ASSERT_TRUE(testsupport::pumpUntil([&] { return !later; }, std::chrono::seconds(30)));
        }
        ::close(pair[0]);
        // The background thread must not keep the socket open in a poll() that nothing ends.
        pollfd peer{pair[1], POLLIN, 0};
        ASSERT_EQ(::poll(&peer, 1, 30000), 1);
        char byte = 0;
        EXPECT_EQ(::read(pair[1], &byte, 1), 0);
        ::close(pair[1]);
    }
}

TEST(FdWatch, AWatchMadeOnAnotherThreadCallsBackOnThatThread)
{
    const auto ends = pipeEnds();
    std::atomic<bool> watching{false};
    std::atomic<QThread*> ranOn{nullptr};
    std::unique_ptr<QThread> worker(QThread::create([&] {
        QEventLoop loop;
        FdWatch watch(ends->fd[0], FdWatch::Condition::readable, [&] {
            ranOn = QThread::currentThread();
            loop.quit();
        });
        watching = true;
        loop.exec();
    }));
    worker->start();
    ASSERT_TRUE(testsupport::pumpUntil([&] { return watching.load(); }, std::chrono::seconds(30)));
    writeByte(ends->fd[1]);
    ASSERT_TRUE(worker->wait(QDeadlineTimer(30000)));
    EXPECT_EQ(ranOn.load(), worker.get());
}

} // namespace
