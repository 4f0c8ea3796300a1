#include "analytics/People.h"

#include "InstanceFixture.h"
#include "analytics/TLAssert.h"

#include <gtest/gtest.h>

using namespace tally;
using analyticstest::InstanceFixture;
using analyticstest::number;

namespace {

class PeopleTest : public InstanceFixture {
protected:
    std::shared_ptr<TallyInstance> instance = nullptr;

    void SetUp() override
    {
        InstanceFixture::SetUp();
        instance = make();
    }

    /// The single people record stored after `action`, the user identified as "alice".
    Properties only(const std::function<void(People&)>& action)
    {
        instance->identify("alice");
        action(*instance->people());
        const EntityBatch batch = stored(*instance, PersistenceType::people);
        EXPECT_EQ(batch.size(), 1u);
        return batch.empty() ? Properties{} : batch[0];
    }

    static const Properties& value(const Properties& record, const std::string& action)
    {
        static const Properties none;
        const auto it = record.find(action);
        return it == record.end() ? none : *it->second.get<Properties>();
    }
};

} // namespace

TEST_F(PeopleTest, ARecordBeforeIdentificationIsHeldBackThenSentAsTheUser)
{
    instance->people()->set("plan", "pro");
    const EntityBatch held = stored(*instance, PersistenceType::people, true);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_TRUE(stored(*instance, PersistenceType::people).empty());

    instance->identify("alice");
    const EntityBatch ready = stored(*instance, PersistenceType::people);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(text(ready[0], "$distinct_id"), "alice");
}

TEST_F(PeopleTest, RecordLayout)
{
    const Properties record = only([](People& people) { people.set("plan", "pro"); });
    EXPECT_EQ(text(record, "$token"), "T0K");
    EXPECT_TRUE(number(record, "$time").has_value());
    EXPECT_FALSE(record.contains("$ignore_time"));
    EXPECT_TRUE(record.contains("$tl_metadata"));
    EXPECT_EQ(text(record, "$device_id"), *instance->anonymousId());
    EXPECT_EQ(text(record, "$user_id"), "alice");
    EXPECT_EQ(number(record, "$had_persisted_distinct_id"), 1.0);
    const Properties& set = value(record, "$set");
    EXPECT_EQ(text(set, "plan"), "pro");
    EXPECT_EQ(text(set, "$ios_device_model"), "x86_64");
}

TEST_F(PeopleTest, CallerValuesWinOverAutomaticOnes)
{
    const Properties record = only([](People& people) { people.setOnce({{"$ios_device_model", "mine"}}); });
    EXPECT_EQ(text(value(record, "$set_once"), "$ios_device_model"), "mine");
}

TEST_F(PeopleTest, IgnoreTimeMarksTheRecord)
{
    const Properties record = only([](People& people) {
        people.ignoreTime = true;
        people.increment("n", 2);
    });
    EXPECT_EQ(number(record, "$ignore_time"), 1.0);
    EXPECT_EQ(number(value(record, "$add"), "n"), 2.0);
    EXPECT_FALSE(value(record, "$add").contains("$ios_device_model"));
}

TEST_F(PeopleTest, ActionsAndTheirValues)
{
    EXPECT_EQ(value(only([](People& p) { p.deleteUser(); }), "$delete").size(), 0u);
}

TEST_F(PeopleTest, UnsetListsTheNames)
{
    const Properties record = only([](People& p) { p.unset({"a", "b"}); });
    const auto* names = record.at("$unset").get<TallyArray>();
    ASSERT_NE(names, nullptr);
    ASSERT_EQ(names->size(), 2u);
    EXPECT_EQ(*(*names)[0].get<std::string>(), "a");
    EXPECT_EQ(*(*names)[1].get<std::string>(), "b");
}

TEST_F(PeopleTest, ClearChargesSetsAnEmptyTransactionList)
{
    const Properties record = only([](People& p) { p.clearCharges(); });
    const Properties& set = value(record, "$set");
    ASSERT_TRUE(set.contains("$transactions"));
    EXPECT_TRUE(set.at("$transactions").get<TallyArray>()->empty());
    EXPECT_TRUE(set.contains("$ios_device_model"));
}

TEST_F(PeopleTest, ACallersTimeReplacesTheChargesDate)
{
    const Properties record = only([](People& p) { p.trackCharge(9.5, Properties{{"$time", "then"}}); });
    const Properties& transaction = *value(record, "$append").at("$transactions").get<Properties>();
    EXPECT_EQ(number(transaction, "$amount"), 9.5);
    EXPECT_EQ(text(transaction, "$time"), "then");
}

TEST_F(PeopleTest, ANonNumberIncrementIsReportedOnceAndStillQueued)
{
    int reports = 0;
    Assertions::setAssertClosure([&](bool condition, const std::string& message, const char*, unsigned) {
        reports += !condition && message == "increment property values should be numbers";
    });
    const Properties record = only([](People& p) { p.increment(Properties{{"a", "x"}, {"b", "y"}}); });
    Assertions::setAssertClosure(Assertions::swiftAssertClosure());
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(text(value(record, "$add"), "a"), "x");
}

TEST_F(PeopleTest, NothingIsQueuedWhileOptedOut)
{
    instance->optOutTracking();
    instance->waitUntilIdle();
    instance->people()->set("a", 1);
    EXPECT_TRUE(stored(*instance, PersistenceType::people).empty());
    EXPECT_TRUE(stored(*instance, PersistenceType::people, true).empty());
}

TEST_F(PeopleTest, WithTheInstanceGoneRecordsLackTheIdentityKeys)
{
    auto people = instance->people();
    auto persistence = instance->tallyPersistence();
    auto queue = instance->trackingQueue();
    releaseLast(instance);
    people->set("a", 1);
    queue->sync([] {});
    const EntityBatch batch = persistence->loadEntitiesInBatch(PersistenceType::people, 10, true);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_FALSE(batch[0].contains("$device_id"));
    EXPECT_FALSE(batch[0].contains("$user_id"));
}
