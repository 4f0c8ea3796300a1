#include "Models/SoundPackType.h"

#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct TypeRow {
    SoundPackType type;
    const char* raw;
    const char* label;
    const char* icon;
    PlayMode playMode;
    const char* description;
};
void PrintTo(const TypeRow& row, std::ostream* os) { *os << row.raw; }

const TypeRow typeRows[] = {
    {SoundPackType::pain, "pain", "Pain", "hand.raised.fill", PlayMode::random,
     "Yells \"ow!\" when you slap the laptop"},
    {SoundPackType::sexy, "sexy", "Sexy", "heart.fill", PlayMode::escalation,
     "Escalating responses \xE2\x80\x94 the more you slap, the more intense"},
    {SoundPackType::halo, "halo", "Halo", "sparkles", PlayMode::random, "Random Halo death sounds on each slap"},
    {SoundPackType::lizard, "lizard", "Lizard", "lizard.fill", PlayMode::escalation, "Escalating lizard sounds"},
    {SoundPackType::custom, "custom", "Custom", "folder.fill", PlayMode::random, "Your own MP3 files"},
};

class SoundPackTypeRows : public ::testing::TestWithParam<TypeRow> {};

TEST_P(SoundPackTypeRows, PropertiesMatchTheTable)
{
    const TypeRow& row = GetParam();
    EXPECT_EQ(rawValue(row.type), row.raw);
    EXPECT_EQ(id(row.type), row.raw);
    EXPECT_EQ(label(row.type), row.label);
    EXPECT_EQ(icon(row.type), row.icon);
    EXPECT_EQ(playMode(row.type), row.playMode);
    EXPECT_EQ(description(row.type), row.description);
    EXPECT_EQ(fromRawValue<SoundPackType>(row.raw), row.type);
}

INSTANTIATE_TEST_SUITE_P(All, SoundPackTypeRows, ::testing::ValuesIn(typeRows),
                         [](const auto& info) { return std::string(info.param.raw); });

TEST(SoundPackType, AllCasesInDeclarationOrder)
{
    std::vector<SoundPackType> expected;
    for (const TypeRow& row : typeRows) {
        expected.push_back(row.type);
    }
    EXPECT_EQ(std::vector<SoundPackType>(allCases<SoundPackType>.begin(), allCases<SoundPackType>.end()), expected);
    EXPECT_EQ(std::vector<PlayMode>(allCases<PlayMode>.begin(), allCases<PlayMode>.end()),
              (std::vector<PlayMode>{PlayMode::random, PlayMode::escalation}));
}

TEST(SoundPackType, RawValuesAreExact)
{
    EXPECT_EQ(rawValue(PlayMode::random), "random");
    EXPECT_EQ(rawValue(PlayMode::escalation), "escalation");
    EXPECT_EQ(fromRawValue<PlayMode>("escalation"), PlayMode::escalation);
    for (const char* unknown : {"Pain", "pain ", "", "lid", "Random"}) {
        EXPECT_EQ(fromRawValue<SoundPackType>(unknown), std::nullopt) << unknown;
        EXPECT_EQ(fromRawValue<PlayMode>(unknown), std::nullopt) << unknown;
    }
}

} // namespace
