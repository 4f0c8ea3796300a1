#include "analytics/Group.h"

#include "InstanceFixture.h"
#include "analytics/People.h"

#include <gtest/gtest.h>

using namespace tally;
using analyticstest::InstanceFixture;
using analyticstest::LogCapture;
using analyticstest::number;

namespace {

class GroupTest : public InstanceFixture {
protected:
    std::shared_ptr<TallyInstance> instance;

    void SetUp() override
    {
        InstanceFixture::SetUp();
        instance = make();
        instance->identify("alice"); // people records go out at once
        instance->waitUntilIdle();
    }

    EntityBatch people() { return stored(*instance, PersistenceType::people); }

    /// The actions of the people records stored so far, in order.
    std::vector<std::string> peopleActions()
    {
        std::vector<std::string> actions;
        for (const auto& record : people()) {
            for (const char* action : {"$set", "$union", "$remove", "$unset"}) {
                if (record.contains(action)) {
                    actions.emplace_back(action);
                }
            }
        }
        return actions;
    }

    std::string membership(const std::string& key)
    {
        instance->waitUntilIdle();
        const Properties supers = instance->currentSuperProperties();
        const auto it = supers.find(key);
        return it == supers.end() ? "<absent>" : it->second.description();
    }
};

} // namespace

TEST_F(GroupTest, TheCacheHandsOutOneObjectPerKeyAndIdentifier)
{
    LogCapture log;
    const auto a = instance->getGroup("company", "acme");
    EXPECT_EQ(instance->getGroup("company", "acme"), a);

    const auto one = instance->getGroup("n", std::int64_t{1});
    const auto textOne = instance->getGroup("n", "1"); // the same cache key: a collision
    EXPECT_NE(one, textOne);
    EXPECT_TRUE(log.contains(TallyLogLevel::info, "groups dictionary key collision: n_1"));
    EXPECT_EQ(instance->getGroup("n", "1"), textOne);

    const auto nan = instance->getGroup("n", std::numeric_limits<double>::quiet_NaN());
    EXPECT_NE(instance->getGroup("n", std::numeric_limits<double>::quiet_NaN()), nan);
}

TEST_F(GroupTest, DeletingAGroupQueuesDeleteAndDropsItFromTheCache)
{
    const auto group = instance->getGroup("company", "acme");
    group->deleteGroup();
    EXPECT_NE(instance->getGroup("company", "acme"), group);
    const EntityBatch records = stored(*instance, PersistenceType::groups);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].at("$delete").get<Properties>()->empty());
    EXPECT_EQ(text(records[0], "$group_key"), "company");
    EXPECT_EQ(text(records[0], "$group_id"), "acme");
    EXPECT_EQ(text(records[0], "$token"), "T0K");
    EXPECT_FALSE(records[0].contains("$distinct_id"));
}

TEST_F(GroupTest, GroupRecordsShareThePeopleCounter)
{
    const EntityBatch before = people(); // none yet
    instance->people()->set("a", 1);
    const auto group = instance->getGroup("company", std::int64_t{7});
    group->unset("size");
    const EntityBatch records = stored(*instance, PersistenceType::groups);
    ASSERT_EQ(records.size(), 1u);
    const auto* names = records[0].at("$unset").get<TallyArray>();
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(*(*names)[0].get<std::string>(), "size");
    EXPECT_EQ(number(records[0], "$group_id"), 7.0);
    EXPECT_EQ(number(*records[0].at("$tl_metadata").get<Properties>(), "$tl_session_seq_id"), 1.0);
}

TEST_F(GroupTest, AddingGroupsKeepsTheMembershipListAndMirrorsIt)
{
    instance->addGroup("company", "a");
    EXPECT_EQ(membership("company"), TallyType(TallyArray{"a"}).description());
    instance->addGroup("company", "b");
    instance->addGroup("company", "b");
    EXPECT_EQ(membership("company"), TallyType(TallyArray{"a", "b"}).description());
    EXPECT_EQ(peopleActions(), (std::vector<std::string>{"$set", "$union", "$union"}));
}

TEST_F(GroupTest, AddingOverASingleValueMakesAList)
{
    instance->registerSuperProperties({{"company", "a"}});
    instance->addGroup("company", "b");
    EXPECT_EQ(membership("company"), TallyType(TallyArray{"a", "b"}).description());
}

struct RemoveCase {
    const char* name;
    TallyArray list;
    const char* removed;
    std::optional<TallyArray> remaining; // nullopt: the super property is gone
    const char* action;
};

class RemoveGroup : public GroupTest, public ::testing::WithParamInterface<RemoveCase> {};

TEST_P(RemoveGroup, UpdatesTheListAndThePeopleProfile)
{
    instance->registerSuperProperties({{"company", GetParam().list}});
    instance->removeGroup("company", GetParam().removed);
    if (GetParam().remaining) {
        EXPECT_EQ(membership("company"), TallyType(*GetParam().remaining).description());
    } else {
        EXPECT_EQ(membership("company"), "<absent>");
    }
    EXPECT_EQ(peopleActions(), std::vector<std::string>{GetParam().action});
}

INSTANTIATE_TEST_SUITE_P(
    All, RemoveGroup,
    ::testing::Values(RemoveCase{"OneElementEvenAnother", {"x"}, "a", std::nullopt, "$unset"},
                      RemoveCase{"EveryMatchGoes", {"a", "b", "a"}, "a", TallyArray{"b"}, "$remove"},
                      RemoveCase{"NoMatchStillRemoves", {"a", "b"}, "c", TallyArray{"a", "b"}, "$remove"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(GroupTest, TrackWithGroupsLetsGroupValuesWin)
{
    instance->trackWithGroups("e", Properties{{"company", "mine"}, {"x", 1}}, Properties{{"company", "acme"}});
    instance->trackWithGroups("f", std::nullopt, Properties{{"company", "acme"}});
    const EntityBatch batch = events(*instance);
    ASSERT_EQ(batch.size(), 3u); // after the "$identify"
    EXPECT_EQ(text(props(batch[1]), "company"), "acme");
    EXPECT_EQ(number(props(batch[1]), "x"), 1.0);
    EXPECT_EQ(text(props(batch[2]), "company"), "acme");
}

TEST_F(GroupTest, SetGroupRegistersTheListAndSetsThePeopleProperty)
{
    instance->setGroup("company", "acme");
    EXPECT_EQ(membership("company"), TallyType(TallyArray{"acme"}).description());
    EXPECT_EQ(peopleActions(), std::vector<std::string>{"$set"});
}
