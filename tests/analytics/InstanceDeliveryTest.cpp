// The client instance delivering to a real HTTP server on the loopback interface.
#include "analytics/TallyInstance.h"

#include "InstanceFixture.h"
#include "LoopbackServer.h"
#include "analytics/People.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using namespace tally;
using analyticstest::Answer;
using analyticstest::InstanceFixture;
using analyticstest::LoopbackServer;
using analyticstest::ReceivedRequest;
using nlohmann::json;

namespace {

class InstanceDeliveryTest : public InstanceFixture {
protected:
    std::atomic<bool> serverFails{false};
    // Answers 503 while `serverFails`; records whether each request was taken.
    std::mutex takenLock;
    std::vector<bool> taken;
    LoopbackServer server{[this](const ReceivedRequest&, int) {
        const bool fails = serverFails.load();
        const std::lock_guard lock(takenLock);
        taken.push_back(!fails);
        return fails ? Answer{503, "", {}} : Answer{};
    }};

    TallyInstance::Options deliveringOptions(const std::string& name = "app")
    {
        auto o = options(name);
        o.serverURL = server.baseURL();
        return o;
    }

    void flushAndWait(TallyInstance& instance, bool full = false)
    {
        bool completed = false;
        instance.flush(full, [&] { completed = true; });
        ASSERT_TRUE(mainQueue.runUntil([&] { return completed; }));
        instance.waitUntilIdle();
    }

    /// Every record the server took (answered 200), with the path it came to.
    std::vector<std::pair<std::string, json>> takenRecords()
    {
        const auto requests = server.requests();
        const std::lock_guard lock(takenLock);
        std::vector<std::pair<std::string, json>> records;
        for (std::size_t i = 0; i < requests.size() && i < taken.size(); ++i) {
            if (taken[i]) {
                for (const auto& record : json::parse(requests[i].body)) {
                    records.emplace_back(requests[i].path, record);
                }
            }
        }
        return records;
    }

    static bool isDeletionOf(const json& record, const std::string& user)
    {
        return record.contains("$delete") && record["$distinct_id"] == user;
    }

    /// "alice" identified with pending events and people rows; her opt-out meets a failing server.
    std::shared_ptr<TallyInstance> aliceOptsOutWhileTheServerFails()
    {
        auto instance = make(deliveringOptions());
        instance->identify("alice");
        instance->people()->set("plan", "pro");
        instance->track("e");
        instance->waitUntilIdle();
        EXPECT_EQ(server.requestCount(), 0u);
        serverFails = true;
        instance->optOutTracking();
        EXPECT_TRUE(server.waitForRequests(1));
        instance->waitUntilIdle();
        serverFails = false;
        // It went alone, and everything else she recorded is gone.
        const auto sent = server.requests();
        EXPECT_EQ(sent.size(), 1u);
        const json records = json::parse(sent.at(0).body);
        EXPECT_EQ(sent[0].path, "/engage/");
        EXPECT_EQ(records.size(), 1u);
        EXPECT_TRUE(isDeletionOf(records[0], "alice")) << records.dump();
        EXPECT_TRUE(events(*instance).empty());
        EXPECT_TRUE(stored(*instance, PersistenceType::people).empty());
        EXPECT_TRUE(stored(*instance, PersistenceType::people, true).empty());
        return instance;
    }

    std::vector<ReceivedRequest> requestsTo(const std::string& path) const
    {
        std::vector<ReceivedRequest> found;
        for (const auto& request : server.requests()) {
            if (request.path == path) {
                found.push_back(request);
            }
        }
        return found;
    }
};

} // namespace

TEST_F(InstanceDeliveryTest, ANormalFlushSendsOneBatchAndAFullFlushSendsTheRest)
{
    auto instance = make(deliveringOptions());
    instance->waitUntilIdle();
    for (int i = 0; i < 120; ++i) {
        instance->track("e", Properties{{"i", i}});
    }
    flushAndWait(*instance);
    ASSERT_EQ(requestsTo("/track/").size(), 1u);
    EXPECT_EQ(json::parse(requestsTo("/track/")[0].body).size(), 50u);
    EXPECT_EQ(events(*instance).size(), 70u);

    flushAndWait(*instance, true);
    const auto sent = requestsTo("/track/");
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(json::parse(sent[1].body).size(), 50u);
    EXPECT_EQ(json::parse(sent[2].body).size(), 20u);
    EXPECT_EQ(json::parse(sent[2].body).back()["properties"]["i"], 119);
    EXPECT_TRUE(events(*instance).empty());
}

TEST_F(InstanceDeliveryTest, AnEmptyStoreSendsNothingAndStillCompletes)
{
    auto instance = make(deliveringOptions());
    flushAndWait(*instance);
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(InstanceDeliveryTest, TheProxyDelegateAddsHeadersToEveryKind)
{
    struct Proxy final : TallyProxyServerDelegate {
        std::atomic<int> asked{0};
        std::optional<ServerProxyResource> proxyResource(const std::string& name) override
        {
            ++asked;
            EXPECT_EQ(name, "app");
            return ServerProxyResource{std::nullopt, {{"X-Proxy", "yes"}}};
        }
    };
    auto proxy = std::make_shared<Proxy>();
    auto o = deliveringOptions();
    o.proxyServerDelegate = proxy;
    auto instance = make(o);
    instance->waitUntilIdle();
    proxy->asked = 0;
    instance->track("e");
    flushAndWait(*instance);
    EXPECT_EQ(proxy->asked.load(), 3);
    const auto sent = requestsTo("/track/");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].header("X-Proxy"), "yes");
    EXPECT_EQ(sent[0].target, "/track/?ip=1");
}

TEST_F(InstanceDeliveryTest, AnOptOutsDeletionIsRetriedAndIsTheOnlyRecordThatLeaves)
{
    auto instance = aliceOptsOutWhileTheServerFails();
    flushAndWait(*instance);
    flushAndWait(*instance);
    instance->track("while opted out");
    flushAndWait(*instance);

    const auto records = takenRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].first, "/engage/");
    EXPECT_TRUE(isDeletionOf(records[0].second, "alice")) << records[0].second.dump();
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(InstanceDeliveryTest, AnOptOutsDeletionSurvivesARestartAndArrivesOnce)
{
    aliceOptsOutWhileTheServerFails().reset();
    for (int run = 0; run < 2; ++run) {
        auto again = make(deliveringOptions()); // its construction flushes at once
        again->waitUntilIdle();
        flushAndWait(*again);
        EXPECT_TRUE(again->hasOptedOutTracking());
    }
    const auto records = takenRecords();
    ASSERT_EQ(records.size(), 1u);
    // Not stamped with the identity stored now, the fresh device id.
    EXPECT_TRUE(isDeletionOf(records[0].second, "alice")) << records[0].second.dump();
}

TEST_F(InstanceDeliveryTest, AnOptInBeforeTheDeletionIsDeliveredStillSendsItFirst)
{
    auto instance = aliceOptsOutWhileTheServerFails();
    instance->optInTracking("bob");
    instance->people()->set("plan", "free");
    instance->track("after");
    instance->waitUntilIdle();
    flushAndWait(*instance, true);

    const auto records = takenRecords();
    ASSERT_GE(records.size(), 3u);
    EXPECT_TRUE(isDeletionOf(records[0].second, "alice")) << records[0].second.dump();
    // Nothing of alice's but the deletion: the rest is bob's.
    for (std::size_t i = 1; i < records.size(); ++i) {
        EXPECT_FALSE(records[i].second.contains("$delete")) << records[i].second.dump();
        EXPECT_EQ(records[i].second.dump().find("alice"), std::string::npos) << records[i].second.dump();
    }
    EXPECT_TRUE(events(*instance).empty());
}

TEST_F(InstanceDeliveryTest, ASecondOptOutAddsNoSecondDeletion)
{
    auto instance = aliceOptsOutWhileTheServerFails();
    instance->optOutTracking(); // its flush delivers the pending deletion
    ASSERT_TRUE(server.waitForRequests(2));
    instance->waitUntilIdle();
    flushAndWait(*instance);
    const auto records = takenRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(isDeletionOf(records[0].second, "alice"));
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(InstanceDeliveryTest, NothingIsSentOrKeptForAnInstanceThatRestartsOptedOut)
{
    {
        auto first = make(options());
        first->track("dropped");
        first->waitUntilIdle();
        first->optOutTracking();
        first->waitUntilIdle();
    }
    auto again = make(deliveringOptions()); // its construction flushes at once
    again->waitUntilIdle();
    flushAndWait(*again);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(events(*again).empty());
}

TEST_F(InstanceDeliveryTest, ResigningActiveFlushes)
{
    auto instance = make(deliveringOptions());
    instance->waitUntilIdle();
    instance->track("e");
    foundation::NotificationCenter::defaultCenter().post(foundation::kApplicationWillResignActive);
    ASSERT_TRUE(server.waitForRequests(1));
    instance->waitUntilIdle();
    EXPECT_TRUE(events(*instance).empty());
}

TEST_F(InstanceDeliveryTest, ShutdownDeliversWhatIsQueuedAndTakesNoMoreWork)
{
    auto instance = make(deliveringOptions());
    instance->waitUntilIdle();
    for (int i = 0; i < 3; ++i) {
        instance->track("e");
    }
    instance->shutdown(std::chrono::seconds(60));
    // Delivered before shutdown returned: nothing is left for the (soon unbound) main queue.
    const auto sent = requestsTo("/track/");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(json::parse(sent[0].body).size(), 3u);
    EntityBatch left; // and the delivered rows are gone, so the next run does not send them again
    instance->trackingQueue()->sync(
        [&] { left = instance->tallyPersistence()->loadEntitiesInBatch(PersistenceType::events); });
    EXPECT_TRUE(left.empty());

    instance->track("late");
    bool completed = false;
    instance->flush(false, [&] { completed = true; });
    EXPECT_TRUE(mainQueue.runUntil([&] { return completed; }));
    instance->waitUntilIdle();
    EXPECT_TRUE(events(*instance).empty());
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(InstanceDeliveryTest, ShutdownLetsARequestInFlightFinishThenEndsTheTimerAndClosesTheStore)
{
    LoopbackServer slow([](const ReceivedRequest&, int) { return Answer{200, "1", {}, std::chrono::seconds(1)}; });
    auto o = options();
    o.serverURL = slow.baseURL();
    o.flushInterval = 3600;
    auto instance = make(o);
    ASSERT_TRUE(mainQueue.runUntil([] { return analyticstest::threadNamed("tally.timer"); }));
    instance->track("in flight");
    instance->flush();
    ASSERT_TRUE(slow.waitForRequests(1));

    instance->shutdown(std::chrono::seconds(60));
    // Joined on return; polled only because the system may take a moment to drop the thread.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (analyticstest::threadNamed("tally.timer") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(analyticstest::threadNamed("tally.timer"));
    EXPECT_TRUE(analyticstest::filesEndingIn(home.path(), "-wal").empty());
    EXPECT_TRUE(analyticstest::filesEndingIn(home.path(), "-shm").empty());
    EntityBatch left;
    instance->trackingQueue()->sync(
        [&] { left = instance->tallyPersistence()->loadEntitiesInBatch(PersistenceType::events); });
    EXPECT_TRUE(left.empty());
    EXPECT_EQ(slow.requestCount(), 1u);
}
