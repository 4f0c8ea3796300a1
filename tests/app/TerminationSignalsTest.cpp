#include "app/TerminationSignals.h"

#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <filesystem>

namespace {

std::atomic<int> reachedPrevious{0};

void previousHandler(int signal) { reachedPrevious = signal; }

int openDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

/// The process's own handler stands in for the default disposition, which would end the test.
class TerminationSignalsTest : public ::testing::TestWithParam<int> {
protected:
    struct sigaction saved {};

    void SetUp() override
    {
        reachedPrevious = 0;
        struct sigaction action {};
        action.sa_handler = previousHandler;
        sigemptyset(&action.sa_mask);
        ::sigaction(GetParam(), &action, &saved);
    }
    void TearDown() override { ::sigaction(GetParam(), &saved, nullptr); }

    static void (*currentHandler(int signal))(int)
    {
        struct sigaction now {};
        ::sigaction(signal, nullptr, &now);
        return now.sa_handler;
    }
};

} // namespace

TEST_P(TerminationSignalsTest, ASignalCallsBackOnTheEventLoopOnly)
{
    int calls = 0;
    TerminationSignals watch([&] { ++calls; });
    ASSERT_TRUE(watch.isWatching());
    ::raise(GetParam());
    EXPECT_EQ(calls, 0); // the handler only writes to the pipe
    EXPECT_EQ(reachedPrevious, 0);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return calls == 1; }));
}

TEST_P(TerminationSignalsTest, TheHandlerLeavesErrnoAsItFoundIt)
{
    TerminationSignals watch([] {});
    // Fill the pipe (no event loop reads it here), so that the handler's write fails as well.
    for (int i = 0; i < 70000; ++i) {
        ::raise(GetParam());
    }
    errno = EDOM;
    ::raise(GetParam());
    EXPECT_EQ(errno, EDOM);
}

TEST_P(TerminationSignalsTest, RestoringGivesTheSignalBackAndClosesThePipe)
{
    const int before = openDescriptors();
    {
        TerminationSignals watch([] {});
        EXPECT_NE(currentHandler(GetParam()), &previousHandler);
        EXPECT_EQ(openDescriptors(), before + 2);
        watch.restore();
        EXPECT_EQ(currentHandler(GetParam()), &previousHandler);
        EXPECT_EQ(openDescriptors(), before);
        watch.restore(); // twice is harmless, and so is the destructor after it
    }
    ::raise(GetParam()); // once the event loop is done a signal is no longer swallowed
    EXPECT_EQ(reachedPrevious, GetParam());
}

TEST_P(TerminationSignalsTest, ASignalLeftUnreadAtTheEndIsRaisedAgain)
{
    int calls = 0;
    {
        TerminationSignals watch([&] { ++calls; });
        ::raise(GetParam()); // after the event loop's last look at the pipe
    }
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(reachedPrevious, GetParam());
}

INSTANTIATE_TEST_SUITE_P(All, TerminationSignalsTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return info.param == SIGINT ? "Sigint" : "Sigterm"; });
