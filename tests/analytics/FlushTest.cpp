#include "analytics/Flush.h"
#include "AnalyticsTestSupport.h"
#include "LoopbackServer.h"
#include "analytics/JSONHandler.h"
#include "analytics/TallyPersistence.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

using namespace tally;
using analyticstest::Answer;
using analyticstest::DrainedMainQueue;
using analyticstest::LogCapture;
using analyticstest::LoopbackServer;

namespace {

// Stands in for the client instance: deletes delivered rows from a real store, unless told to
// hold the deletions back (as when they are still queued on the tracking queue).
class StoreDelegate final : public FlushDelegate {
public:
    explicit StoreDelegate(TallyPersistence& persistence)
        : persistence(persistence)
    {
    }
    void flush(bool performFullFlush, std::function<void()>) override
    {
        EXPECT_FALSE(performFullFlush);
        ++flushes;
    }
    void flushSuccess(FlushType type, const std::vector<std::int32_t>& ids) override
    {
        delivered.push_back(ids);
        if (deleteAtOnce) {
            persistence.removeEntitiesInBatch(
                type == FlushType::events ? PersistenceType::events : PersistenceType::people, ids);
        } else {
            pending.push_back(ids);
        }
    }
    void deletePending()
    {
        for (const auto& ids : pending) {
            persistence.removeEntitiesInBatch(PersistenceType::events, ids);
        }
        pending.clear();
    }

    TallyPersistence& persistence;
    std::atomic<int> flushes{0};
    std::vector<std::vector<std::int32_t>> delivered;
    std::vector<std::vector<std::int32_t>> pending;
    bool deleteAtOnce = true;
};

class FlushEngine : public testing::Test {
protected:
    FlushEngine()
        : persistence("flush" + std::to_string(::getpid()) +
                      testing::UnitTest::GetInstance()->current_test_info()->name())
    {
    }

    void store(int count)
    {
        for (int n = 0; n < count; ++n) {
            persistence.saveEntity({{"event", "e" + std::to_string(n)}, {"properties", Properties{{"n", n}}}},
                                   PersistenceType::events);
        }
    }
    EntityBatch stored() { return persistence.loadEntitiesInBatch(PersistenceType::events); }
    std::shared_ptr<Flush> engine(const LoopbackServer& server, bool gzip = false)
    {
        auto flush = std::make_shared<Flush>(server.baseURL(), gzip);
        flush->setDelegate(delegate);
        return flush;
    }
    static std::size_t recordsIn(const analyticstest::ReceivedRequest& request)
    {
        return nlohmann::json::parse(request.body).size();
    }

    DrainedMainQueue mainQueue;
    TallyPersistence persistence;
    std::shared_ptr<StoreDelegate> delegate = std::make_shared<StoreDelegate>(persistence);
};

TEST_F(FlushEngine, AFullFlushGoesOutInBatchesOfFiftyAndIsDeleted)
{
    LoopbackServer server;
    store(120);
    auto flush = engine(server);
    flush->flushQueue(stored(), FlushType::events);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(recordsIn(requests[0]), 50u);
    EXPECT_EQ(recordsIn(requests[1]), 50u);
    EXPECT_EQ(recordsIn(requests[2]), 20u);
    EXPECT_EQ(requests[0].path, "/track/");
    ASSERT_EQ(delegate->delivered.size(), 3u);
    EXPECT_EQ(delegate->delivered[2].size(), 20u);
    EXPECT_TRUE(stored().empty());
    // The records on the wire are the stored ones, in store order, with their row ids.
    const auto first = nlohmann::json::parse(requests[0].body)[0];
    EXPECT_EQ(first["event"], "e0");
    EXPECT_EQ(first["id"], delegate->delivered[0][0]);
}

TEST_F(FlushEngine, AFailedBatchStopsTheLoopAndKeepsTheRest)
{
    LoopbackServer server([](const auto&, int index) { return index == 1 ? Answer{503, "", {}} : Answer{}; });
    store(120);
    auto flush = engine(server);
    flush->flushQueue(stored(), FlushType::events);
    EXPECT_EQ(server.requestCount(), 2u);
    ASSERT_EQ(delegate->delivered.size(), 1u);
    EXPECT_EQ(delegate->delivered[0].size(), 50u);
    EXPECT_EQ(stored().size(), 70u);
}

TEST_F(FlushEngine, AnAnswerOfZeroCountsAsDeliveredAndLogsTheRejection)
{
    LogCapture log;
    LoopbackServer server([](const auto&, int) { return Answer{200, "0", {}}; });
    store(3);
    engine(server)->flushQueue(stored(), FlushType::events);
    EXPECT_TRUE(stored().empty());
    EXPECT_TRUE(log.contains(TallyLogLevel::info, "api rejected some items"));
}

TEST_F(FlushEngine, RetryAfterHoldsTheNextFlushBack)
{
    LoopbackServer server([](const auto&, int) { return Answer{429, "", {{"Retry-After", "3600"}}}; });
    store(3);
    auto flush = engine(server);
    flush->flushQueue(stored(), FlushType::events);
    flush->flushQueue(stored(), FlushType::events);
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_TRUE(delegate->delivered.empty());
    EXPECT_EQ(stored().size(), 3u);
}

TEST_F(FlushEngine, RowsDeliveredByAnEarlierFlushAreNotSentAgain)
{
    LoopbackServer server;
    store(5);
    auto flush = engine(server);
    delegate->deleteAtOnce = false;
    const auto firstLoad = stored();
    const auto secondLoad = stored(); // loaded while the first flush was still in flight
    flush->flushQueue(firstLoad, FlushType::events);
    flush->flushQueue(secondLoad, FlushType::events);
    EXPECT_EQ(server.requestCount(), 1u);
    delegate->deletePending();
    store(2);
    flush->flushQueue(stored(), FlushType::events);
    ASSERT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(recordsIn(server.requests()[1]), 2u);
}

TEST_F(FlushEngine, ABatchSizeBelowOneIsTakenAsOne)
{
    LoopbackServer server;
    store(3);
    auto flush = engine(server);
    flush->setFlushBatchSize(0);
    EXPECT_EQ(flush->flushBatchSize(), 1);
    flush->flushQueue(stored(), FlushType::events);
    EXPECT_EQ(server.requestCount(), 3u);
    for (const auto& ids : delegate->delivered) {
        EXPECT_EQ(ids.size(), 1u);
    }
}

TEST_F(FlushEngine, ARecordWithoutIdReportsIdZero)
{
    LoopbackServer server;
    engine(server)->flushQueue({{{"event", "loose"}}}, FlushType::events);
    ASSERT_EQ(delegate->delivered.size(), 1u);
    EXPECT_EQ(delegate->delivered[0], std::vector<std::int32_t>{0});
}

TEST_F(FlushEngine, GzipAppliesToEventsOnly)
{
    LoopbackServer server;
    auto flush = engine(server, true);
    flush->flushQueue({{{"event", "a"}}}, FlushType::events);
    flush->flushQueue({{{"$set", Properties{{"a", 1}}}}}, FlushType::people);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("Content-Encoding"), "gzip");
    EXPECT_EQ(requests[0].body, R"([{"event":"a"}])");
    EXPECT_EQ(requests[1].header("Content-Encoding"), "");
    EXPECT_EQ(requests[1].path, "/engage/");
}

TEST_F(FlushEngine, SettingTheIntervalFlushesAtOnceThenOnEveryTick)
{
    LoopbackServer server;
    auto flush = engine(server);
    flush->setFlushInterval(0.02);
    EXPECT_EQ(delegate->flushes, 1);
    EXPECT_TRUE(mainQueue.runUntil([&] { return delegate->flushes >= 3; }));
    EXPECT_TRUE(flush->hasTimer());

    flush->setFlushInterval(0);
    mainQueue.drain();
    EXPECT_FALSE(flush->hasTimer());
}

TEST_F(FlushEngine, ResigningActiveStopsTheTimerAndBecomingActiveRestartsIt)
{
    LoopbackServer server;
    auto flush = engine(server);
    flush->setFlushInterval(3600);
    mainQueue.drain();
    ASSERT_TRUE(flush->hasTimer());
    flush->applicationWillResignActive();
    mainQueue.drain();
    EXPECT_FALSE(flush->hasTimer());
    flush->applicationDidBecomeActive();
    mainQueue.drain();
    EXPECT_TRUE(flush->hasTimer());
}

TEST_F(FlushEngine, AStopBeforeAQueuedStartLetsTheStartCreateItsTimer)
{
    LoopbackServer server;
    auto flush = engine(server);
    flush->setFlushInterval(3600); // posts a start
    flush->stopFlushTimer();       // no timer exists yet
    mainQueue.drain();
    EXPECT_TRUE(flush->hasTimer());
}

TEST_F(FlushEngine, ServerAddressChangesReachTheRequests)
{
    LoopbackServer first;
    LoopbackServer second;
    auto flush = engine(first);
    flush->setServerURL(second.baseURL());
    EXPECT_EQ(flush->serverURL(), second.baseURL());
    flush->flushQueue({{{"event", "a"}}}, FlushType::events);
    EXPECT_EQ(first.requestCount(), 0u);
    EXPECT_EQ(second.requestCount(), 1u);
}

TEST(RemoveProcessedBatch, DropsTheFirstRecords)
{
    const EntityBatch queue{{{"n", 1}}, {{"n", 2}}, {{"n", 3}}};
    EXPECT_EQ(Flush::removeProcessedBatch(2, queue, FlushType::events).size(), 1u);
    EXPECT_TRUE(Flush::removeProcessedBatch(0, queue, FlushType::events).empty());
    EXPECT_TRUE(Flush::removeProcessedBatch(5, queue, FlushType::events).empty());
}

} // namespace
