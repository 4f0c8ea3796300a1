#include "analytics/SessionMetadata.h"

#include <gtest/gtest.h>

#include <regex>

using tally::Properties;
using tally::SessionMetadata;
using tally::TallyType;

namespace {

const Properties& inner(const Properties& dict) { return *dict.at("$tl_metadata").get<Properties>(); }

std::uint64_t sequence(const Properties& dict) { return *inner(dict).at("$tl_session_seq_id").get<std::uint64_t>(); }

std::string text(const Properties& dict, const char* key) { return *inner(dict).at(key).get<std::string>(); }

bool isHexId(const std::string& id) { return std::regex_match(id, std::regex("[0-9a-f]{16}")); }

} // namespace

TEST(SessionMetadata, EventRecordsCountFromZeroWithoutGaps)
{
    SessionMetadata metadata({});
    for (std::uint64_t i = 0; i < 4; ++i) {
        const Properties dict = metadata.toDict();
        ASSERT_EQ(dict.size(), 1u);
        EXPECT_EQ(inner(dict).size(), 4u);
        EXPECT_EQ(sequence(dict), i);
        EXPECT_EQ(*inner(dict).at("$tl_session_start_sec").get<std::uint64_t>(), 0u);
    }
}

TEST(SessionMetadata, PeopleAndGroupRecordsShareTheirOwnCounter)
{
    SessionMetadata metadata({});
    for (int i = 0; i < 3; ++i) {
        metadata.toDict();
    }
    EXPECT_EQ(sequence(metadata.toDict(false)), 0u); // a people record
    EXPECT_EQ(sequence(metadata.toDict(false)), 1u); // a group record after it
    EXPECT_EQ(sequence(metadata.toDict()), 3u);
}

TEST(SessionMetadata, IdsAreSixteenHexDigitsAndTheSessionIdStays)
{
    SessionMetadata metadata({});
    const Properties a = metadata.toDict();
    const Properties b = metadata.toDict(false);
    EXPECT_TRUE(isHexId(text(a, "$tl_event_id")));
    EXPECT_TRUE(isHexId(text(a, "$tl_session_id")));
    EXPECT_NE(text(a, "$tl_event_id"), text(b, "$tl_event_id"));
    EXPECT_EQ(text(a, "$tl_session_id"), text(b, "$tl_session_id"));
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(isHexId(SessionMetadata::randomId())); // small random halves keep their leading zeros
    }
}

TEST(SessionMetadata, TwoInstancesHaveTheirOwnSessions)
{
    SessionMetadata first({});
    SessionMetadata second({});
    first.toDict();
    EXPECT_NE(first.sessionID, second.sessionID);
    EXPECT_EQ(sequence(second.toDict()), 0u);
}

TEST(SessionMetadata, ANewSessionStartsOnTheTrackingQueue)
{
    auto queue = std::make_shared<foundation::DispatchQueue>("test.tracking");
    auto metadata = std::make_shared<SessionMetadata>(queue);
    const std::string firstSession = metadata->sessionID;
    queue->sync([&] {
        metadata->toDict();
        metadata->toDict(false);
    });

    metadata->applicationWillEnterForeground();
    Properties event;
    Properties people;
    queue->sync([&] {
        event = metadata->toDict();
        people = metadata->toDict(false);
    });
    EXPECT_EQ(sequence(event), 0u);
    EXPECT_EQ(sequence(people), 0u);
    EXPECT_NE(text(event, "$tl_session_id"), firstSession);
    EXPECT_GT(*inner(event).at("$tl_session_start_sec").get<std::uint64_t>(), 1'600'000'000u);
}
