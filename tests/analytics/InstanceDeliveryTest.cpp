// The client instance delivering to a real HTTP server on the loopback interface.
#include "analytics/TallyInstance.h"

#include "InstanceFixture.h"
#include "LoopbackServer.h"
#include "analytics/People.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace tally;
using analyticstest::Answer;
using analyticstest::InstanceFixture;
using analyticstest::LoopbackServer;
using analyticstest::ReceivedRequest;
using nlohmann::json;

namespace {

class InstanceDeliveryTest : public InstanceFixture {
protected:
    LoopbackServer server;

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

TEST_F(InstanceDeliveryTest, OptingOutDeletesTheProfileOfTheUserWhoOptsOutOnly)
{
    auto instance = make(deliveringOptions());
    instance->identify("alice");
    instance->people()->set("plan", "pro");
    instance->waitUntilIdle();
    instance->optOutTracking();
    ASSERT_TRUE(server.waitForRequests(1));
    instance->waitUntilIdle();

    const auto engage = requestsTo("/engage/");
    ASSERT_EQ(engage.size(), 1u);
    const json records = json::parse(engage[0].body);
    ASSERT_EQ(records.size(), 3u); // the pending "$set", the deletion and the cleared charges
    for (const auto& record : records) {
        EXPECT_EQ(record["$distinct_id"], "alice");
    }
    EXPECT_TRUE(records[1].contains("$delete"));
    EXPECT_TRUE(stored(*instance, PersistenceType::people).empty());

    // The next user's first flush carries no deletion.
    instance->optInTracking("bob");
    instance->people()->set("plan", "free");
    instance->waitUntilIdle();
    flushAndWait(*instance);
    for (const auto& request : requestsTo("/engage/")) {
        for (const auto& record : json::parse(request.body)) {
            EXPECT_FALSE(record.contains("$delete") && record["$distinct_id"] == "bob") << record.dump();
        }
    }
}

TEST_F(InstanceDeliveryTest, NothingIsSentForAnInstanceThatRestartsOptedOut)
{
    {
        auto first = make(options());
        first->track("kept");
        first->waitUntilIdle();
        first->optOutTracking();
        first->waitUntilIdle();
    }
    auto again = make(deliveringOptions()); // its construction flushes at once
    again->waitUntilIdle();
    flushAndWait(*again);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(events(*again).size(), 1u);
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
