#include "analytics/TallyPersistence.h"
#include "AnalyticsTestSupport.h"
#include "analytics/KeyedArchive.h"
#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include <limits>

#include <unistd.h>

using namespace tally;
using analyticstest::LogCapture;

namespace {

std::string uniqueName(const char* base)
{
    return std::string(base) + std::to_string(::getpid()) +
           testing::UnitTest::GetInstance()->current_test_info()->name();
}

foundation::UserDefaults tallySuite() { return *foundation::UserDefaults::suite("Tally"); }

std::vector<std::string> eventNames(const EntityBatch& batch)
{
    std::vector<std::string> names;
    for (const auto& record : batch) {
        names.push_back(*record.at("event").get<std::string>());
    }
    return names;
}

TEST(TallyPersistence, HeldBackPeopleRecordsAppearAfterIdentifyWithTheStoredDistinctId)
{
    const std::string name = uniqueName("people");
    TallyPersistence persistence(name);
    persistence.saveEntities(
        {{{"$set", Properties{{"a", 1}}}, {"$distinct_id", "old"}}, {{"$set", Properties{{"b", 2}}}}},
        PersistenceType::people, PersistenceConstant::unIdentifiedFlag);
    EXPECT_TRUE(persistence.loadEntitiesInBatch(PersistenceType::people).empty());
    EXPECT_EQ(persistence.loadEntitiesInBatch(PersistenceType::people, TallyPersistence::unlimitedBatch, true).size(),
              2u);

    TallyPersistence::saveIdentity(TallyIdentity{"new-id", {}, {}, {}, {}, true}, name);
    persistence.identifyPeople("token");
    const auto loaded = persistence.loadEntitiesInBatch(PersistenceType::people);
    ASSERT_EQ(loaded.size(), 2u);
    for (const auto& record : loaded) {
        EXPECT_TRUE(record.at("$distinct_id").equals("new-id"));
    }
}

TEST(TallyPersistence, AutomaticEventsAreFilteredOnlyWhenAskedAndStayStored)
{
    TallyPersistence persistence(uniqueName("automatic"));
    for (int n = 0; n < 50; ++n) {
        const std::string event = (n == 3 || n == 10 || n == 40) ? "$ae_session" : "e" + std::to_string(n);
        persistence.saveEntity({{"event", event}}, PersistenceType::events);
    }
    persistence.saveEntity({{"no-event", 1}}, PersistenceType::events);
    EXPECT_EQ(persistence.loadEntitiesInBatch(PersistenceType::events, 50, false, true).size(), 47u);
    EXPECT_EQ(persistence.loadEntitiesInBatch(PersistenceType::events, 50, false, false).size(), 50u);
    EXPECT_EQ(persistence.loadEntitiesInBatch(PersistenceType::events, 51, false, true).size(), 48u);
}

TEST(TallyPersistence, RemovingIdsTwiceDeletesOnceAndResetEmptiesEveryKind)
{
    TallyPersistence persistence(uniqueName("remove"));
    persistence.saveEntities({{{"event", "a"}}, {{"event", "b"}}}, PersistenceType::events);
    persistence.saveEntity({{"$group_key", "k"}}, PersistenceType::groups);
    const auto first = persistence.loadEntitiesInBatch(PersistenceType::events);
    const auto again = persistence.loadEntitiesInBatch(PersistenceType::events);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_TRUE(first[0].at("id").equals(again[0].at("id")));
    const std::vector<std::int32_t> ids{static_cast<std::int32_t>(*first[0].at("id").get<std::int64_t>())};
    persistence.removeEntitiesInBatch(PersistenceType::events, ids);
    persistence.removeEntitiesInBatch(PersistenceType::events, ids);
    EXPECT_EQ(eventNames(persistence.loadEntitiesInBatch(PersistenceType::events)), (std::vector<std::string>{"b"}));
    persistence.resetEntities();
    for (auto type : allPersistenceTypes) {
        EXPECT_TRUE(persistence.loadEntitiesInBatch(type).empty());
    }
}

TEST(PersistedSettings, AnEmptyStoreReadsAsNoIdentityAndNoDecisions)
{
    LogCapture log;
    const std::string name = uniqueName("empty");
    EXPECT_EQ(TallyPersistence::loadIdentity(name), (TallyIdentity{"", {}, {}, {}, {}, false}));
    EXPECT_EQ(TallyPersistence::loadOptOutStatusFlag(name), std::nullopt);
    EXPECT_TRUE(TallyPersistence::loadSuperProperties(name).empty());
    EXPECT_TRUE(TallyPersistence::loadTimedEvents(name).empty());
    EXPECT_TRUE(log.messages().empty());
}

TEST(PersistedSettings, IdentityRoundTripsAndAbsentFieldsRemoveTheirKeys)
{
    const std::string name = uniqueName("identity");
    const TallyIdentity full{"d", "p", "anon", "user", "alias", true};
    TallyPersistence::saveIdentity(full, name);
    EXPECT_EQ(TallyPersistence::loadIdentity(name), full);
    EXPECT_TRUE(tallySuite().object("tally-" + name + "-TLAlias"));

    TallyPersistence::saveIdentity(TallyIdentity{"", "p", {}, {}, {}, {}}, name);
    EXPECT_EQ(TallyPersistence::loadIdentity(name), (TallyIdentity{"", "p", {}, {}, {}, false}));
    EXPECT_FALSE(tallySuite().object("tally-" + name + "-TLAlias"));
    EXPECT_FALSE(tallySuite().object("tally-" + name + "-TLHadPersistedDistinctId"));
}

TEST(PersistedSettings, OptOutReadsBackPresentAndIsAbsentAfterDelete)
{
    const std::string name = uniqueName("optout");
    TallyPersistence::saveOptOutStatusFlag(false, name);
    EXPECT_EQ(TallyPersistence::loadOptOutStatusFlag(name), std::optional<bool>(false));
    TallyPersistence::saveOptOutStatusFlag(true, name);
    EXPECT_EQ(TallyPersistence::loadOptOutStatusFlag(name), std::optional<bool>(true));
    TallyPersistence::deleteTLUserDefaultsData(name);
    EXPECT_EQ(TallyPersistence::loadOptOutStatusFlag(name), std::nullopt);
}

TEST(PersistedSettings, DictionariesRoundTripEveryPropertyKind)
{
    const std::string name = uniqueName("dictionaries");
    const Properties properties{{"text", "t"},
                                {"int", -5},
                                {"double", 2.5},
                                {"bool", true},
                                {"date", foundation::Date(1700000000.5)},
                                {"url", URL{"https://example.com"}},
                                {"null", NSNull{}},
                                {"list", TallyArray{1, "two", TallyArray{3}}},
                                {"nested", Properties{{"a", Properties{{"b", 1}}}}},
                                {"unsigned", std::numeric_limits<std::uint64_t>::max()},
                                {std::string("nul\0key", 7), std::string("a\0b\xc3\xa9", 5)}};
    TallyPersistence::saveSuperProperties(properties, name);
    TallyPersistence::saveTimedEvents({{"e", 1700000000.25}}, name);
    const auto loaded = TallyPersistence::loadSuperProperties(name);
    EXPECT_TRUE(TallyType(loaded).equals(TallyType(properties))) << TallyType(loaded).description();
    EXPECT_TRUE(loaded.at("bool").get<NSNumber>()->isBoolean());
    EXPECT_TRUE(TallyPersistence::loadTimedEvents(name).at("e").equals(1700000000.25));
}

TEST(PersistedSettings, GarbageUnderAKeyWarnsGivesEmptyAndStaysUntilReplaced)
{
    LogCapture log;
    const std::string name = uniqueName("garbage");
    const std::string key = "tally-" + name + "-superProperties";
    const foundation::PlistData garbage{'n', 'o', 'p', 'e'};
    tallySuite().set(key, foundation::PlistValue(garbage));
    EXPECT_TRUE(TallyPersistence::loadSuperProperties(name).empty());
    EXPECT_TRUE(log.contains(TallyLogLevel::warning, "Failed to unarchive super properties"));
    EXPECT_EQ(tallySuite().object(key), std::optional<foundation::PlistValue>(garbage));

    log.clear();
    tallySuite().set("tally-" + name + "-timedEvents", foundation::PlistValue("a string"));
    EXPECT_TRUE(TallyPersistence::loadTimedEvents(name).empty());
    EXPECT_TRUE(log.messages().empty());
}

TEST(PersistedSettings, AnArchiveOfAnotherRootIsEmptyWithoutWarning)
{
    LogCapture log;
    const std::string name = uniqueName("otherroot");
    const auto archived = *KeyedArchive::archive(TallyArray{1, 2});
    tallySuite().set("tally-" + name + "-superProperties",
                     foundation::PlistValue(foundation::PlistData(archived.begin(), archived.end())));
    EXPECT_TRUE(TallyPersistence::loadSuperProperties(name).empty());
    EXPECT_TRUE(log.messages().empty());
}

TEST(PersistedSettings, TooDeepADictionaryIsNotArchivedAndTheOldValueStays)
{
    LogCapture log;
    const std::string name = uniqueName("deep");
    TallyPersistence::saveSuperProperties({{"kept", 1}}, name);
    Properties deep{{"leaf", 1}};
    for (int i = 0; i < KeyedArchive::deepestNesting + 5; ++i) {
        deep = Properties{{"x", deep}};
    }
    TallyPersistence::saveSuperProperties(deep, name);
    EXPECT_TRUE(log.contains(TallyLogLevel::warning, "Failed to archive super properties"));
    EXPECT_TRUE(TallyPersistence::loadSuperProperties(name).at("kept").equals(1));
}

TEST(PersistedSettings, InstancesKeepSeparateEntriesAndDeleteOnlyTheirOwn)
{
    const std::string a = uniqueName("a");
    const std::string b = uniqueName("b");
    TallyPersistence::saveIdentity(TallyIdentity{"a-id", {}, {}, {}, {}, true}, a);
    TallyPersistence::saveIdentity(TallyIdentity{"b-id", {}, {}, {}, {}, true}, b);
    TallyPersistence::saveSuperProperties({{"k", "a"}}, a);
    TallyPersistence::deleteTLUserDefaultsData(a);
    EXPECT_EQ(TallyPersistence::loadIdentity(a).distinctID, "");
    EXPECT_TRUE(TallyPersistence::loadSuperProperties(a).empty());
    EXPECT_EQ(TallyPersistence::loadIdentity(b).distinctID, "b-id");
}

TEST(PersistedSettings, AnEmptyInstanceNameWorksLikeAnyOther)
{
    TallyPersistence::saveOptOutStatusFlag(true, "");
    EXPECT_TRUE(tallySuite().object("tally--OptOutStatus"));
    EXPECT_EQ(TallyPersistence::loadOptOutStatusFlag(""), std::optional<bool>(true));
}

} // namespace
