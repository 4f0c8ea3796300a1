#include "analytics/TallyInstance.h"

#include "InstanceFixture.h"
#include "analytics/Constants.h"
#include "analytics/People.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <regex>
#include <thread>

using namespace tally;
using analyticstest::InstanceFixture;
using analyticstest::LogCapture;
using analyticstest::number;

namespace {

class TallyInstanceTest : public InstanceFixture {};

bool isUuid(const std::string& text)
{
    return std::regex_match(text, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"));
}

/// Holds the tracking queue until released, so that work queued meanwhile waits.
struct QueueGate {
    std::shared_ptr<foundation::Semaphore> open = std::make_shared<foundation::Semaphore>(0);
    explicit QueueGate(foundation::DispatchQueue& queue)
    {
        queue.async([open = open] { open->wait(); });
    }
    void release() { open->signal(); }
};

} // namespace

// Construction ------------------------------------------------------------------------------------

TEST_F(TallyInstanceTest, QueueLabelsCarryTheToken)
{
    auto instance = make();
    const std::string prefix = std::string(tallyLabelPrefix) + ".";
    EXPECT_EQ(instance->trackingQueue()->label(), prefix + "T0K.tracking)");
    EXPECT_EQ(instance->networkQueue()->label(), prefix + "T0K.network)");

    auto o = options("tokenless");
    o.apiToken.reset();
    auto tokenless = make(o);
    EXPECT_EQ(tokenless->apiToken(), "");
    EXPECT_EQ(tokenless->trackingQueue()->label(), prefix + ".tracking)");
}

TEST_F(TallyInstanceTest, AFirstStartMakesADeviceIdentity)
{
    auto first = make(options("one"));
    auto second = make(options("two"));
    const std::string id = first->distinctId();
    ASSERT_TRUE(id.starts_with("$device:"));
    EXPECT_TRUE(isUuid(id.substr(8)));
    EXPECT_EQ(first->anonymousId(), std::optional(id.substr(8)));
    EXPECT_EQ(first->hadPersistedDistinctId(), std::optional(true));
    EXPECT_NE(first->distinctId(), second->distinctId());
    // Saved at once: a new instance of the same name restores it.
    first.reset();
    EXPECT_EQ(make(options("one"))->distinctId(), id);
}

TEST_F(TallyInstanceTest, AUniqueDistinctIdComesFromTheSerialNumber)
{
    facts->serial = "PF12345";
    auto o = options();
    o.useUniqueDistinctId = true;
    EXPECT_EQ(make(o)->distinctId(), "$device:PF12345");
}

struct OptOutByDefaultCase {
    const char* name;
    std::optional<bool> persisted;
    bool optedOut;
};

class OptOutByDefault : public InstanceFixture, public ::testing::WithParamInterface<OptOutByDefaultCase> {};

TEST_P(OptOutByDefault, AppliesUnlessAnOptInWasStored)
{
    if (GetParam().persisted) {
        TallyPersistence::saveOptOutStatusFlag(*GetParam().persisted, "app");
    }
    auto o = options();
    o.optOutTrackingByDefault = true;
    auto instance = make(o);
    EXPECT_EQ(instance->hasOptedOutTracking(), GetParam().optedOut);
    EXPECT_EQ(TallyPersistence::loadOptOutStatusFlag("app"), std::optional(GetParam().optedOut));
}

INSTANTIATE_TEST_SUITE_P(All, OptOutByDefault,
                         ::testing::Values(OptOutByDefaultCase{"FirstStart", std::nullopt, true},
                                           OptOutByDefaultCase{"StoredOptIn", false, false},
                                           OptOutByDefaultCase{"StoredOptOut", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TallyInstanceTest, GivenSuperPropertiesWinOverPersistedOnes)
{
    TallyPersistence::saveSuperProperties({{"plan", "old"}, {"kept", "yes"}}, "app");
    auto o = options();
    o.superProperties = Properties{{"plan", "new"}};
    auto instance = make(o);
    instance->waitUntilIdle();
    const Properties supers = instance->currentSuperProperties();
    EXPECT_EQ(text(supers, "plan"), "new");
    EXPECT_EQ(text(supers, "kept"), "yes");
}

TEST_F(TallyInstanceTest, BatchSizeIsClampedToOneToFifty)
{
    auto instance = make();
    for (const auto& [given, expected] : {std::pair{500, 50}, {51, 50}, {10, 10}, {0, 1}, {-3, 1}}) {
        instance->setFlushBatchSize(given);
        EXPECT_EQ(instance->flushBatchSize(), expected) << given;
    }
}

TEST_F(TallyInstanceTest, ServerAddressAndLoggingSwitch)
{
    auto instance = make();
    instance->setServerURL("http://127.0.0.1:2");
    EXPECT_EQ(instance->serverURL(), "http://127.0.0.1:2");

    LogCapture log; // enables every level; the switch below disables them all again
    instance->setLoggingEnabled(true);
    instance->setLoggingEnabled(false);
    EXPECT_TRUE(log.contains(TallyLogLevel::info, "TallyLogging Enabled"));
    EXPECT_TRUE(log.contains(TallyLogLevel::info, "TallyLogging Disabled"));
    log.clear();
    TallyLogger::error([] { return std::string("after"); }, __FILE__, __func__);
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(TallyInstanceTest, SmallHelpers)
{
    EXPECT_EQ(TallyInstance::addPrefixToDeviceId(std::nullopt), "");
    EXPECT_EQ(TallyInstance::addPrefixToDeviceId("X"), "$device:X");
    EXPECT_FALSE(ProxyServerConfig::make(BasePath::DefaultTallyAPI(), nullptr).has_value());
    EXPECT_TRUE(ProxyServerConfig::make("https://proxy.example", nullptr).has_value());

    auto instance = make();
    EXPECT_EQ(instance->debugDescription(),
              "Tally(\n    Token: T0K,\n    Distinct Id: " + instance->distinctId() + "\n)");
    EXPECT_FALSE(TallyInstance::isiOSAppExtension());
    facts->path = "/opt/Thing.appex";
    EXPECT_TRUE(TallyInstance::isiOSAppExtension());
}

// Tracking ----------------------------------------------------------------------------------------

TEST_F(TallyInstanceTest, TrackTakesTheTimeOnTheCallersThread)
{
    auto instance = make();
    QueueGate gate(*instance->trackingQueue());
    const double before = std::floor(foundation::Date::now().timeIntervalSince1970() * 1000);
    instance->track("slap", Properties{{"amplitude", 0.5}});
    const double after = std::ceil(foundation::Date::now().timeIntervalSince1970() * 1000);
    gate.release();

    const EntityBatch batch = events(*instance);
    ASSERT_EQ(batch.size(), 1u);
    const double time = *number(props(batch[0]), "time");
    EXPECT_GE(time, before);
    EXPECT_LE(time, after);
    EXPECT_EQ(number(props(batch[0]), "amplitude"), 0.5);
}

TEST_F(TallyInstanceTest, EventsFromOneThreadAreStoredInCallOrder)
{
    auto instance = make();
    for (int i = 0; i < 20; ++i) {
        instance->track("e" + std::to_string(i));
    }
    const EntityBatch batch = events(*instance);
    ASSERT_EQ(batch.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(text(batch[i], "event"), "e" + std::to_string(i));
    }
}

TEST_F(TallyInstanceTest, AutomaticPropertiesAreGatheredOnceForAllInstances)
{
    auto first = make(options("one"));
    auto second = make(options("two"));
    first->track("a");
    second->track("b");
    EXPECT_EQ(text(props(events(*first)[0]), "$model"), "x86_64");
    EXPECT_EQ(text(props(events(*second)[0]), "$model"), "x86_64");
    EXPECT_EQ(facts->operatingSystemQuestions.load(), 1);
}

TEST_F(TallyInstanceTest, WhileOptedOutNothingIsStoredAndFlushCompletes)
{
    auto instance = make();
    instance->time("e");
    instance->optOutTracking();
    instance->track("e");
    instance->time("f");
    bool completed = false;
    instance->flush(false, [&] { completed = true; });
    EXPECT_TRUE(events(*instance).empty());
    EXPECT_EQ(instance->eventElapsedTime("f"), 0);
    EXPECT_TRUE(mainQueue.runUntil([&] { return completed; }));
}

TEST_F(TallyInstanceTest, AFlushVetoedByTheDelegateStillCompletes)
{
    struct Veto final : TallyDelegate {
        int asked = 0;
        bool tallyShouldFlush(TallyInstance&) override
        {
            ++asked;
            return false;
        }
    };
    auto veto = std::make_shared<Veto>();
    auto instance = make();
    instance->waitUntilIdle(); // the first flush of construction has asked nobody
    instance->setDelegate(veto);
    instance->track("kept");
    bool completed = false;
    instance->flush(false, [&] { completed = true; });
    EXPECT_TRUE(mainQueue.runUntil([&] { return completed; }));
    EXPECT_EQ(veto->asked, 1);
    EXPECT_EQ(events(*instance).size(), 1u);
}

TEST_F(TallyInstanceTest, FlushSuccessDeletesExactlyTheGivenRows)
{
    auto instance = make();
    for (int i = 0; i < 3; ++i) {
        instance->people()->set("n", i);
    }
    instance->identify("alice");
    EntityBatch people = stored(*instance, PersistenceType::people);
    ASSERT_EQ(people.size(), 3u);
    const auto id = static_cast<std::int32_t>(*number(people[1], "id"));
    instance->flushSuccess(FlushType::people, {id});
    people = stored(*instance, PersistenceType::people);
    ASSERT_EQ(people.size(), 2u);
    EXPECT_NE(*number(people[0], "id"), id);
    EXPECT_NE(*number(people[1], "id"), id);
}

TEST_F(TallyInstanceTest, CompletionsRunEvenWhenTheInstanceIsGone)
{
    auto instance = make();
    instance->waitUntilIdle(); // nothing but the test holds it now
    const std::weak_ptr<TallyInstance> weak = instance;
    QueueGate gate(*instance->trackingQueue());
    int completions = 0;
    instance->identify("alice", true, [&] { ++completions; });
    instance->reset([&] { ++completions; });
    instance->flush(false, [&] { ++completions; });
    // The last reference goes while the work waits; its end waits for the queue, so release it
    // from another thread.
    std::thread release([&] { instance.reset(); });
    // The queued work runs only once the instance is gone.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!weak.expired() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(weak.expired());
    gate.release();
    release.join();
    EXPECT_TRUE(mainQueue.runUntil([&] { return completions == 3; }));
}

TEST_F(TallyInstanceTest, TheLastReferenceMayGoOnTheInstancesOwnQueue)
{
    using QueueOf = const std::shared_ptr<foundation::DispatchQueue>& (TallyInstance::*)() const;
    for (const QueueOf queueOf : {&TallyInstance::trackingQueue, &TallyInstance::networkQueue}) {
        auto instance = make();
        // The first flush of construction holds the instance on the network queue while its
        // request fails; only once that is over is the test's reference the last one.
        instance->waitUntilIdle();
        std::weak_ptr<TallyInstance> weak = instance;
        auto ended = std::make_shared<foundation::Semaphore>(0);
        foundation::DispatchQueue& queue = *((*instance).*queueOf)();
        const std::string label = queue.label(); // the queue ends with the instance
        queue.async([strong = std::move(instance), ended]() mutable {
            strong.reset(); // the last reference: the instance ends on its own queue
            ended->signal();
        });
        ended->wait();
        EXPECT_TRUE(weak.expired()) << label;
    }
}

// Identity ----------------------------------------------------------------------------------------

TEST_F(TallyInstanceTest, TheFirstIdentifyOfAFreshInstall)
{
    auto instance = make();
    const std::string device = instance->distinctId();
    const std::optional<std::string> anonymous = instance->anonymousId();
    instance->identify("alice");
    instance->identify("alice"); // the same id again: no second record
    const EntityBatch batch = events(*instance);

    EXPECT_EQ(instance->distinctId(), "alice");
    EXPECT_EQ(instance->userId(), std::optional<std::string>("alice"));
    EXPECT_EQ(instance->anonymousId(), anonymous);
    EXPECT_EQ(instance->alias(), std::nullopt);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(text(batch[0], "event"), "$identify");
    EXPECT_EQ(text(props(batch[0]), "$anon_distinct_id"), device);
    EXPECT_EQ(text(props(batch[0]), "distinct_id"), "alice");
    EXPECT_EQ(TallyPersistence::loadIdentity("app").distinctID, "alice");
    EXPECT_EQ(TallyPersistence::loadIdentity("app").peopleDistinctID, std::optional<std::string>("alice"));
}

TEST_F(TallyInstanceTest, IdentifyRefusesABlankIdAndAnAliasEqualToTheId)
{
    LogCapture log;
    auto instance = make();
    int completions = 0;
    instance->identify("", true, [&] { ++completions; });
    instance->createAlias("bob", "bob", true, true, [&] { ++completions; });
    instance->createAlias("", "bob", true, true, [&] { ++completions; });
    EXPECT_TRUE(mainQueue.runUntil([&] { return completions == 3; }));
    EXPECT_TRUE(
        log.contains(TallyLogLevel::error, instance->debugDescription() + " cannot identify blank distinct id"));
    EXPECT_TRUE(log.contains(TallyLogLevel::error, "alias: bob matches distinctId: bob - skipping api call."));
    EXPECT_TRUE(
        log.contains(TallyLogLevel::error, instance->debugDescription() + " create alias called with empty alias"));
    EXPECT_TRUE(events(*instance).empty());
}

TEST_F(TallyInstanceTest, WhileOptedOutIdentifyOnlyCompletesWithoutLogging)
{
    auto instance = make();
    instance->optOutTracking();
    instance->waitUntilIdle();
    LogCapture log;
    bool completed = false;
    instance->identify("", true, [&] { completed = true; });
    EXPECT_TRUE(mainQueue.runUntil([&] { return completed; }));
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(TallyInstanceTest, CreateAliasQueuesTheAliasThenIdentifiesThenFlushes)
{
    auto instance = make();
    bool completed = false;
    instance->createAlias("al", "alice", true, true, [&] { completed = true; });
    EXPECT_TRUE(mainQueue.runUntil([&] { return completed; }));
    const EntityBatch batch = events(*instance);
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(text(batch[0], "event"), "$create_alias");
    EXPECT_EQ(text(props(batch[0]), "alias"), "al");
    EXPECT_EQ(text(props(batch[0]), "distinct_id"), "alice");
    EXPECT_EQ(text(batch[1], "event"), "$identify");
    EXPECT_EQ(TallyPersistence::loadIdentity("app").distinctID, "alice");
}

TEST_F(TallyInstanceTest, IdentifyWithoutPeopleLeavesPeopleRecordsUnidentified)
{
    auto instance = make();
    instance->identify("alice", false);
    instance->people()->set("a", 1);
    EXPECT_TRUE(stored(*instance, PersistenceType::people).empty());
    EXPECT_EQ(stored(*instance, PersistenceType::people, true).size(), 1u);

    instance->identify("alice", true); // marks the held-back record identified
    const EntityBatch people = stored(*instance, PersistenceType::people);
    ASSERT_EQ(people.size(), 1u);
    EXPECT_EQ(text(people[0], "$distinct_id"), "alice");
}

TEST_F(TallyInstanceTest, ResetEmptiesEverythingButKeepsTheOptOutDecision)
{
    auto instance = make();
    instance->identify("alice");
    instance->registerSuperProperties({{"plan", "pro"}});
    instance->time("e");
    instance->track("e");
    instance->optOutTracking();
    instance->optInTracking();
    instance->optOutTracking();
    bool completed = false;
    instance->reset([&] { completed = true; });
    EXPECT_TRUE(mainQueue.runUntil([&] { return completed; }));

    EXPECT_TRUE(events(*instance).empty());
    EXPECT_TRUE(instance->currentSuperProperties().empty());
    EXPECT_TRUE(instance->distinctId().starts_with("$device:"));
    EXPECT_EQ(instance->userId(), std::nullopt);
    EXPECT_TRUE(TallyPersistence::loadSuperProperties("app").empty());
    EXPECT_TRUE(TallyPersistence::loadTimedEvents("app").empty());
    EXPECT_EQ(TallyPersistence::loadIdentity("app").distinctID, instance->distinctId());
    EXPECT_TRUE(instance->hasOptedOutTracking());
    EXPECT_EQ(TallyPersistence::loadOptOutStatusFlag("app"), std::optional(true));
}

TEST_F(TallyInstanceTest, OptingOutForgetsTheUserAndStoresTheFlag)
{
    auto instance = make();
    instance->identify("alice");
    instance->registerSuperProperties({{"plan", "pro"}});
    instance->time("e");
    instance->people()->set("plan", "pro");
    instance->waitUntilIdle(); // "$identify" is built behind the identify; let it be stored first
    instance->optOutTracking();
    instance->track("after");
    instance->waitUntilIdle();

    EXPECT_TRUE(instance->hasOptedOutTracking());
    EXPECT_TRUE(instance->distinctId().starts_with("$device:"));
    EXPECT_EQ(instance->userId(), std::nullopt);
    EXPECT_TRUE(instance->currentSuperProperties().empty());
    EXPECT_EQ(instance->eventElapsedTime("e"), 0);
    EXPECT_TRUE(TallyPersistence::loadSuperProperties("app").empty());
    EXPECT_TRUE(TallyPersistence::loadTimedEvents("app").empty());
    EXPECT_EQ(TallyPersistence::loadOptOutStatusFlag("app"), std::optional(true));
    // What was recorded before is deleted too: it would leave after an opt-in.
    EXPECT_TRUE(events(*instance).empty());
    EXPECT_TRUE(stored(*instance, PersistenceType::people).empty());
}

TEST_F(TallyInstanceTest, OptingInStoresTheFlagAndQueuesOptIn)
{
    auto instance = make();
    instance->optOutTracking();
    instance->optInTracking();
    instance->optInTracking("carol", Properties{{"why", "asked"}});
    const EntityBatch batch = events(*instance);
    EXPECT_FALSE(instance->hasOptedOutTracking());
    EXPECT_EQ(TallyPersistence::loadOptOutStatusFlag("app"), std::optional(false));
    // The identify's block runs before the second "$opt_in" is built, which therefore carries the
    // new identity; the "$identify" record is queued behind both.
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_EQ(text(batch[0], "event"), "$opt_in");
    EXPECT_FALSE(props(batch[0]).contains("why"));
    EXPECT_EQ(text(batch[1], "event"), "$opt_in");
    EXPECT_EQ(text(props(batch[1]), "distinct_id"), "carol");
    EXPECT_EQ(text(props(batch[1]), "why"), "asked");
    EXPECT_EQ(text(batch[2], "event"), "$identify");
}

TEST_F(TallyInstanceTest, ARestartRestoresIdentityAndSettings)
{
    std::string id;
    {
        auto instance = make();
        instance->identify("alice");
        instance->registerSuperProperties({{"plan", "pro"}});
        instance->time("e");
        instance->waitUntilIdle();
        id = instance->distinctId();
    }
    auto again = make();
    EXPECT_EQ(again->distinctId(), "alice");
    EXPECT_EQ(text(again->currentSuperProperties(), "plan"), "pro");
    EXPECT_GT(again->eventElapsedTime("e"), 0);
}

// Super properties and timed events ---------------------------------------------------------------

TEST_F(TallyInstanceTest, SuperPropertiesJoinEventsBeneathTheCallersOwn)
{
    auto instance = make();
    instance->registerSuperProperties({{"plan", "pro"}, {"tier", "gold"}});
    instance->track("e", Properties{{"tier", "mine"}});
    instance->unregisterSuperProperty("absent");
    instance->unregisterSuperProperty("plan");
    instance->track("f");
    const EntityBatch batch = events(*instance);
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(text(props(batch[0]), "plan"), "pro");
    EXPECT_EQ(text(props(batch[0]), "tier"), "mine");
    EXPECT_FALSE(props(batch[1]).contains("plan"));
    EXPECT_EQ(text(TallyPersistence::loadSuperProperties("app"), "tier"), "gold");

    Properties copy = instance->currentSuperProperties();
    copy["tier"] = "changed";
    EXPECT_EQ(text(instance->currentSuperProperties(), "tier"), "gold");
    instance->clearSuperProperties();
    instance->waitUntilIdle();
    EXPECT_TRUE(instance->currentSuperProperties().empty());
}

TEST_F(TallyInstanceTest, RegisteringWhileOptedOutChangesNothing)
{
    auto instance = make();
    instance->registerSuperProperties({{"a", 1}});
    instance->optOutTracking(); // clears them
    instance->registerSuperProperties({{"b", 2}});
    instance->waitUntilIdle();
    EXPECT_TRUE(instance->currentSuperProperties().empty());
}

TEST_F(TallyInstanceTest, TimedEventsGiveADurationOnceAndCanBeCleared)
{
    auto instance = make();
    instance->time("a");
    instance->time("b");
    instance->time("c");
    instance->clearTimedEvent("b");
    instance->track("a");
    instance->track("a");
    instance->track("b");
    const EntityBatch batch = events(*instance);
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_TRUE(props(batch[0]).contains("$duration"));
    EXPECT_GE(*number(props(batch[0]), "$duration"), 0);
    EXPECT_FALSE(props(batch[1]).contains("$duration"));
    EXPECT_FALSE(props(batch[2]).contains("$duration"));
    EXPECT_EQ(instance->eventElapsedTime("b"), 0);
    EXPECT_EQ(instance->eventElapsedTime("never"), 0);
    EXPECT_GE(instance->eventElapsedTime("c"), 0);
    EXPECT_TRUE(TallyPersistence::loadTimedEvents("app").contains("c"));

    instance->clearTimedEvents();
    instance->track("c");
    EXPECT_FALSE(props(events(*instance)[3]).contains("$duration"));
    EXPECT_TRUE(TallyPersistence::loadTimedEvents("app").empty());
}

TEST_F(TallyInstanceTest, OptingInWithABlankIdLogsThroughIdentifyAndStillQueuesOptIn)
{
    LogCapture log;
    auto instance = make();
    instance->optInTracking(std::string());
    const EntityBatch batch = events(*instance);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(text(batch[0], "event"), "$opt_in");
    EXPECT_TRUE(log.contains(TallyLogLevel::error, "cannot identify blank distinct id"));
}
