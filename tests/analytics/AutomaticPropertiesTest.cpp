#include "analytics/AutomaticProperties.h"

#include "FakeSystemFacts.h"

#include <gtest/gtest.h>

using analyticstest::FakeSystemFacts;
using tally::AutomaticProperties;
using tally::Properties;
using tally::TallyType;

namespace {

bool equal(const TallyType& a, const TallyType& b) { return a.equals(b); }

} // namespace

TEST(AutomaticProperties, EventPropertiesHoldEveryFact)
{
    FakeSystemFacts facts;
    const Properties p = AutomaticProperties::computeProperties(facts);

    const Properties expected{{"$screen_height", std::int64_t{900}},
                              {"$screen_width", std::int64_t{1440}},
                              {"$os", "Debian GNU/Linux"},
                              {"$os_version", "12 (Linux 6.1.0)"},
                              {"$app_build_number", "7"},
                              {"$app_version_string", "1.2"},
                              {"tl_lib", "cpp"},
                              {"$lib_version", "1.0.0"},
                              {"$manufacturer", "LENOVO"},
                              {"$model", "x86_64"}};
    EXPECT_TRUE(equal(p, expected)) << TallyType(p).description();
}

TEST(AutomaticProperties, ScreenSizeIsTruncatedTowardZero)
{
    FakeSystemFacts facts;
    facts.screen = tally::SystemFacts::ScreenSize{1440.9, 899.5};
    const Properties p = AutomaticProperties::computeProperties(facts);
    EXPECT_TRUE(equal(p.at("$screen_width"), std::int64_t{1440}));
    EXPECT_TRUE(equal(p.at("$screen_height"), std::int64_t{899}));
}

TEST(AutomaticProperties, WithoutAScreenTheScreenKeysAreAbsent)
{
    FakeSystemFacts facts;
    facts.screen.reset();
    const Properties p = AutomaticProperties::computeProperties(facts);
    EXPECT_FALSE(p.contains("$screen_height"));
    EXPECT_FALSE(p.contains("$screen_width"));
    EXPECT_EQ(p.size(), 8u);
}

struct InfoCase {
    const char* name;
    std::optional<foundation::PlistDictionary> info;
    TallyType buildNumber;                  // "$app_build_number" in events
    std::optional<TallyType> iosAppVersion; // "$ios_app_version" in people updates; nullopt: absent
};

class InfoDictionary : public ::testing::TestWithParam<InfoCase> {};

TEST_P(InfoDictionary, GivesTheVersionKeys)
{
    FakeSystemFacts facts;
    facts.info = GetParam().info;
    const Properties events = AutomaticProperties::computeProperties(facts);
    const Properties people = AutomaticProperties::computePeopleProperties(facts);

    EXPECT_TRUE(equal(events.at("$app_build_number"), GetParam().buildNumber));
    if (GetParam().iosAppVersion) {
        ASSERT_TRUE(people.contains("$ios_app_version"));
        EXPECT_TRUE(equal(people.at("$ios_app_version"), *GetParam().iosAppVersion));
    } else {
        EXPECT_FALSE(people.contains("$ios_app_version"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, InfoDictionary,
    ::testing::Values(InfoCase{"StringEntry", foundation::PlistDictionary{{"CFBundleVersion", "7"}}, "7",
                               TallyType("7")},
                      InfoCase{"NumberEntry", foundation::PlistDictionary{{"CFBundleVersion", 7}}, "Unknown",
                               TallyType(std::int64_t{7})},
                      InfoCase{"MissingEntry", foundation::PlistDictionary{}, "Unknown", std::nullopt},
                      InfoCase{"NoDictionary", std::nullopt, "Unknown", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AutomaticProperties, PeoplePropertiesHoldTheirFacts)
{
    FakeSystemFacts facts;
    const Properties p = AutomaticProperties::computePeopleProperties(facts);
    const Properties expected{{"$ios_app_version", "7"},       {"$ios_app_release", "1.2"},
                              {"$ios_device_model", "x86_64"}, {"$ios_version", "12 (Linux 6.1.0)"},
                              {"$ios_lib_version", "1.0.0"},   {"$cpp_lib_version", "1.0.0"}};
    EXPECT_TRUE(equal(p, expected)) << TallyType(p).description();
}

TEST(AutomaticProperties, AreGatheredOnceAndThenShared)
{
    auto facts = std::make_shared<FakeSystemFacts>();
    const auto previous = tally::SystemFacts::setCurrent(facts);
    AutomaticProperties::setProperties(std::nullopt);

    Properties first;
    Properties second;
    AutomaticProperties::automaticPropertiesLock().read([&] { first = AutomaticProperties::properties(); });
    facts->screen = tally::SystemFacts::ScreenSize{1, 1}; // a later change does not reach the records
    AutomaticProperties::automaticPropertiesLock().read([&] { second = AutomaticProperties::properties(); });

    EXPECT_EQ(facts->operatingSystemQuestions.load(), 1);
    EXPECT_TRUE(equal(first, second));
    EXPECT_TRUE(equal(second.at("$screen_width"), std::int64_t{1440}));

    AutomaticProperties::setProperties(std::nullopt);
    tally::SystemFacts::setCurrent(previous);
}
