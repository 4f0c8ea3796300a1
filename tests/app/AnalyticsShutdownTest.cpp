// The end of the application with the analytics client busy: the quit of a real event loop with a
// request in flight against a slow loopback server.
#include "app/AnalyticsSetup.h"

#include "AnalyticsTestSupport.h"
#include "LoopbackServer.h"
#include "Services/Analytics.h"
#include "analytics/Tally.h"
#include "platform/qt/QtMainQueue.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using analyticstest::filesEndingIn;
using analyticstest::threadNamed;

// Polls without running the event loop: the end must not rely on it.
bool becomes(const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace

TEST(AnalyticsShutdown, AQuitLetsTheRequestInFlightFinishThenClosesTheStoreAndEndsTheTimer)
{
    testsupport::TempDir dir;
    ::setenv("XDG_CACHE_HOME", (dir.path() / "cache").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
    analyticstest::LoopbackServer server([](const auto&, int) {
        return analyticstest::Answer{200, "1", {}, std::chrono::milliseconds(1500)};
    });
    auto& app = static_cast<QGuiApplication&>(*QCoreApplication::instance());
    platform::ScopedQtMainQueue mainQueue(&app);
    {
        AnalyticsSetup analytics(app, server.baseURL());
        auto instance =
            tally::Tally::initialize("shutdown-token", 60, std::nullopt, false, false, std::nullopt, server.baseURL());
        ASSERT_TRUE(testsupport::pumpUntil([] { return threadNamed("tally.timer"); }));
        instance->track("in flight");
        instance->flush();
        ASSERT_TRUE(server.waitForRequests(1)); // held by the server for 1.5 s

        QTimer::singleShot(0, &app, [] { QCoreApplication::quit(); });
        QCoreApplication::exec();

        // All of it happened while the application was quitting, not at the setup's end.
        EXPECT_TRUE(becomes([] { return !threadNamed("tally.timer"); }));
        EXPECT_TRUE(filesEndingIn(dir.path() / "cache", "-wal").empty());
        EXPECT_TRUE(filesEndingIn(dir.path() / "cache", "-shm").empty());
        ASSERT_EQ(filesEndingIn(dir.path() / "cache", "TLDB.sqlite").size(), 1u);
        tally::EntityBatch left;
        instance->trackingQueue()->sync(
            [&] { left = instance->tallyPersistence()->loadEntitiesInBatch(tally::PersistenceType::events); });
        EXPECT_TRUE(left.empty()); // delivered, so not sent again next run
        EXPECT_EQ(server.requestCount(), 1u);
    }
    Analytics::setClient(nullptr);
}
