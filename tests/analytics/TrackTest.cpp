#include "analytics/Track.h"

#include "InstanceFixture.h"

#include "platform/foundation/Date.h"

#include <gtest/gtest.h>

using namespace tally;
using analyticstest::InstanceFixture;
using analyticstest::LogCapture;
using analyticstest::number;

namespace {

/// The builder on its own: no owner, so automatic events are off and tracking is not opted out.
class TrackTest : public InstanceFixture {
protected:
    std::shared_ptr<TallyPersistence> persistence;
    std::shared_ptr<Track> builder;
    const TallyIdentity identity{"$device:D", std::nullopt, "D", std::nullopt, std::nullopt, true};

    void SetUp() override
    {
        InstanceFixture::SetUp();
        persistence = std::make_shared<TallyPersistence>("builder");
        builder = std::make_shared<Track>("T0K", "builder", std::make_shared<ReadWriteLock>("test.lock"),
                                          std::make_shared<SessionMetadata>(std::weak_ptr<foundation::DispatchQueue>()),
                                          persistence);
    }

    EntityBatch storedEvents() { return persistence->loadEntitiesInBatch(PersistenceType::events); }

    Properties trackOne(const Properties& caller, const Properties& supers = {}, const Properties& timed = {},
                        double epoch = 1'700'000'000.0)
    {
        return builder->track("e", caller, timed, supers, identity, epoch);
    }
};

} // namespace

TEST_F(TrackTest, RecordHasEventPropertiesAndMetadataOnly)
{
    trackOne({{"slap_number", 3}});
    const EntityBatch batch = storedEvents();
    ASSERT_EQ(batch.size(), 1u);
    Properties record = batch[0];
    record.erase("id");
    EXPECT_EQ(record.size(), 3u);
    EXPECT_EQ(text(record, "event"), "e");
    ASSERT_TRUE(record.contains("$tl_metadata"));

    const Properties& p = props(record);
    EXPECT_EQ(text(p, "token"), "T0K");
    EXPECT_EQ(number(p, "time"), 1'700'000'000'000.0);
    EXPECT_EQ(text(p, "distinct_id"), "$device:D");
    EXPECT_EQ(text(p, "$device_id"), "D");
    EXPECT_EQ(number(p, "$had_persisted_distinct_id"), 1.0);
    EXPECT_FALSE(p.contains("$user_id"));
    EXPECT_FALSE(p.contains("$duration"));
    EXPECT_EQ(number(p, "slap_number"), 3.0);
    EXPECT_EQ(text(p, "$os"), "Debian GNU/Linux");
    EXPECT_EQ(number(p, "$screen_width"), 1440.0);
    EXPECT_EQ(text(p, "tl_lib"), "cpp");
}

struct PrecedenceCase {
    const char* name;
    Properties supers;
    Properties caller;
    const char* key;
    const char* expected;
};

class Precedence : public TrackTest, public ::testing::WithParamInterface<PrecedenceCase> {};

TEST_P(Precedence, LaterSourcesWin)
{
    trackOne(GetParam().caller, GetParam().supers);
    const EntityBatch batch = storedEvents();
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(text(props(batch[0]), GetParam().key), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    All, Precedence,
    ::testing::Values(PrecedenceCase{"CallerTimeReplacesTheBuilders", {}, {{"time", "now"}}, "time", "now"},
                      PrecedenceCase{"SuperTokenReplacesTheProjectToken", {{"token", "s"}}, {}, "token", "s"},
                      PrecedenceCase{"CallerTokenReplacesBoth", {{"token", "s"}}, {{"token", "c"}}, "token", "c"},
                      PrecedenceCase{"CallerReplacesAnAutomaticProperty", {}, {{"$os", "mine"}}, "$os", "mine"},
                      PrecedenceCase{"SuperReplacesAnAutomaticProperty", {{"$model", "s"}}, {}, "$model", "s"},
                      PrecedenceCase{"CallerReplacesASuperProperty", {{"plan", "s"}}, {{"plan", "c"}}, "plan", "c"}),
    [](const auto& info) { return std::string(info.param.name); });

struct DurationCase {
    const char* name;
    TallyType start;                // the timed-events entry of "e"
    std::optional<double> duration; // nullopt: no "$duration"
    bool entryStays;
};

class Duration : public TrackTest, public ::testing::WithParamInterface<DurationCase> {};

TEST_P(Duration, ComesFromTheTimedEvent)
{
    const double epoch = 1'700'000'000.0;
    const Properties timed{{"e", GetParam().start}, {"other", epoch - 1}};
    const Properties remaining = trackOne({}, {}, timed, epoch);
    const EntityBatch batch = storedEvents();
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(number(props(batch[0]), "$duration"), GetParam().duration);
    EXPECT_EQ(remaining.contains("e"), GetParam().entryStays);
    EXPECT_TRUE(remaining.contains("other"));
    EXPECT_EQ(TallyPersistence::loadTimedEvents("builder").contains("e"), GetParam().entryStays);
}

INSTANTIATE_TEST_SUITE_P(
    All, Duration,
    ::testing::Values(DurationCase{"TwoAndAHalfSeconds", 1'700'000'000.0 - 2.5, 2.5, false},
                      DurationCase{"RoundedToThreeDecimals", 1'700'000'000.0 - 1.23456, 1.235, false},
                      DurationCase{"ClockSetBack", 1'700'000'000.0 + 2.0, -2.0, false},
                      DurationCase{"EntryNotAFloat", TallyType("yesterday"), std::nullopt, true},
                      DurationCase{"EntryAnInteger", TallyType(std::int64_t{5}), std::nullopt, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TrackTest, TrackingTheSameNameAgainHasNoDuration)
{
    const double epoch = 1'700'000'000.0;
    Properties timed = trackOne({}, {}, {{"e", epoch - 1}}, epoch);
    trackOne({}, {}, timed, epoch + 1);
    const EntityBatch batch = storedEvents();
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_TRUE(props(batch[0]).contains("$duration"));
    EXPECT_FALSE(props(batch[1]).contains("$duration"));
}

TEST_F(TrackTest, AnAbsentNameBecomesTlEventWithOneInfoLine)
{
    LogCapture log;
    builder->track(std::nullopt, std::nullopt, {}, {}, identity, 1.0);
    builder->track("", std::nullopt, {}, {}, identity, 1.0);
    const EntityBatch batch = storedEvents();
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(text(batch[0], "event"), "tl_event");
    EXPECT_EQ(text(batch[1], "event"), "");
    int lines = 0;
    for (const auto& message : log.messages()) {
        lines += message.text == "tally track called with empty event parameter. using 'tl_event'";
    }
    EXPECT_EQ(lines, 1);
}

TEST_F(TrackTest, AutomaticEventsAreDroppedWhileDisabled)
{
    const Properties timed{{"$ae_session", 1.0}};
    const Properties remaining = builder->track("$ae_session", std::nullopt, timed, {}, identity, 2.0);
    builder->track("$AE_session", std::nullopt, {}, {}, identity, 2.0);
    const EntityBatch batch = storedEvents();
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(text(batch[0], "event"), "$AE_session");
    EXPECT_TRUE(remaining.contains("$ae_session"));
}

TEST_F(TrackTest, IdentityKeysAreAbsentNotNull)
{
    builder->track("e", std::nullopt, {}, {},
                   TallyIdentity{"", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt}, 1.0);
    const EntityBatch batch = storedEvents();
    ASSERT_EQ(batch.size(), 1u);
    const Properties& p = props(batch[0]);
    EXPECT_EQ(text(p, "distinct_id"), "");
    EXPECT_FALSE(p.contains("$device_id"));
    EXPECT_FALSE(p.contains("$user_id"));
    EXPECT_FALSE(p.contains("$had_persisted_distinct_id"));
}

TEST_F(TrackTest, EventsCountTheirSessionSequence)
{
    for (int i = 0; i < 3; ++i) {
        trackOne({});
    }
    const EntityBatch batch = storedEvents();
    ASSERT_EQ(batch.size(), 3u);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const auto& metadata = *batch[i].at("$tl_metadata").get<Properties>();
        EXPECT_EQ(number(metadata, "$tl_session_seq_id"), double(i));
    }
}

TEST_F(TrackTest, AnUntimedEventStillRewritesThePersistedTimedEvents)
{
    TallyPersistence::saveTimedEvents({{"x", 5.0}}, "builder");
    trackOne({}, {}, {{"kept", 3.0}});
    const Properties persisted = TallyPersistence::loadTimedEvents("builder");
    EXPECT_FALSE(persisted.contains("x"));
    EXPECT_TRUE(persisted.contains("kept"));
}

struct OnceCase {
    const char* name;
    Properties existing;
    std::optional<TallyType> defaultValue;
    const char* expected;
};

class RegisterOnce : public TrackTest, public ::testing::WithParamInterface<OnceCase> {};

TEST_P(RegisterOnce, KeepsOrReplaces)
{
    const Properties result =
        builder->registerSuperPropertiesOnce({{"plan", "new"}}, GetParam().existing, GetParam().defaultValue);
    EXPECT_EQ(text(result, "plan"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    All, RegisterOnce,
    ::testing::Values(OnceCase{"AbsentKeyIsStored", {}, std::nullopt, "new"},
                      OnceCase{"ExistingKeyIsKept", {{"plan", "old"}}, std::nullopt, "old"},
                      OnceCase{"EqualDefaultIsReplaced", {{"plan", "old"}}, TallyType("old"), "new"},
                      OnceCase{"OtherDefaultKeeps", {{"plan", "old"}}, TallyType("other"), "old"},
                      OnceCase{"NumbersCompareByValue", {{"plan", std::int64_t{1}}}, TallyType(1.0), "new"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TrackTest, TimingAnEmptyNameLogsAndAddsNothing)
{
    LogCapture log;
    EXPECT_TRUE(builder->time("", {}, 1.0).empty());
    EXPECT_TRUE(builder->time(std::nullopt, {}, 1.0).empty());
    EXPECT_TRUE(log.contains(TallyLogLevel::error, "tally cannot time an empty event"));
    EXPECT_TRUE(builder->clearTimedEvent("", {{"a", 1.0}}).contains("a"));
    EXPECT_TRUE(log.contains(TallyLogLevel::error, "tally cannot clear an empty timed event"));
    const Properties twice = builder->time("a", builder->time("a", {}, 1.0), 2.0);
    EXPECT_EQ(number(twice, "a"), 2.0);
}
