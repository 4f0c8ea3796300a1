#include "MainLoopDrain.h"

#include "support/EventLoop.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>

namespace {

using hid::detail::MainLoopDrain;
using namespace std::chrono_literals;

TEST(MainLoopDrainTest, DrainsBeforeTheNextEventOfTheLoop)
{
    int drains = 0;
    MainLoopDrain drain([&] { ++drains; });
    drain.start();
    int drainsSeenByTheEvent = -1;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { drainsSeenByTheEvent = drains; }, Qt::QueuedConnection);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return drainsSeenByTheEvent >= 0; }));
    EXPECT_GE(drainsSeenByTheEvent, 1) << "a consumer's event must see every report that came before it";
}

TEST(MainLoopDrainTest, FallbackDrainsALoopThatNothingElseWakes)
{
    int drains = 0;
    MainLoopDrain drain([&] { ++drains; });
    bool timedOut = false;
    QTimer::singleShot(5s, [&] { timedOut = true; });
    drain.start();
    // Nothing but the fallback wakes this loop until the guard above.
    while (drains < 3 && !timedOut) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    EXPECT_FALSE(timedOut);
}

TEST(MainLoopDrainTest, NoDrainAfterStopFromInsideTheDrain)
{
    int drains = 0;
    MainLoopDrain* self = nullptr;
    MainLoopDrain drain([&] {
        ++drains;
        self->stop();
    });
    self = &drain;
    drain.start();
    ASSERT_TRUE(testsupport::pumpUntil([&] { return drains == 1; }));
    testsupport::pumpFor(3 * MainLoopDrain::kFallbackInterval);
    EXPECT_EQ(drains, 1);
    EXPECT_FALSE(drain.isRunning());
}

TEST(MainLoopDrainTest, MayBeDestroyedFromInsideTheDrain)
{
    int drains = 0;
    std::unique_ptr<MainLoopDrain> drain;
    drain = std::make_unique<MainLoopDrain>([&] {
        ++drains;
        drain.reset();
    });
    drain->start();
    ASSERT_TRUE(testsupport::pumpUntil([&] { return drains == 1; }));
    testsupport::pumpFor(3 * MainLoopDrain::kFallbackInterval);
    EXPECT_EQ(drains, 1);
}

TEST(MainLoopDrainTest, ANestedLoopInsideTheDrainDoesNotDrainAgain)
{
    int depth = 0;
    int deepest = 0;
    int drains = 0;
    MainLoopDrain drain([&] {
        ++drains;
        ++depth;
        deepest = std::max(deepest, depth);
        if (drains == 1) {
            testsupport::pumpFor(3 * MainLoopDrain::kFallbackInterval);
        }
        --depth;
    });
    drain.start();
    ASSERT_TRUE(testsupport::pumpUntil([&] { return drains >= 2; }));
    EXPECT_EQ(deepest, 1);
}

} // namespace
