#include "Services/Analytics.h"
#include "support/RecordingAnalytics.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using foundation::Bundle;
using testsupport::TempDir;

namespace {

std::string infoPlist(const std::string& tokenEntry)
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>CFBundleVersion</key><string>1</string>)" +
           tokenEntry + "</dict></plist>";
}

class AnalyticsTest : public ::testing::Test {
protected:
    std::shared_ptr<testsupport::RecordingAnalytics> client = std::make_shared<testsupport::RecordingAnalytics>();
    TempDir dir;

    void SetUp() override { Analytics::setClient(client); }
    void TearDown() override { Analytics::setClient(nullptr); }

    Bundle bundleWith(const std::string& tokenEntry)
    {
        dir.write("Info.plist", infoPlist(tokenEntry));
        return Bundle(dir.path(), dir.path().string());
    }
};

struct TokenCase {
    const char* name;
    const char* entry; // the Info.plist entry, or "" for none
    const char* token; // the token the client receives, or nullptr when analytics stays off
};

const TokenCase kTokenCases[] = {
    {"MissingKey", "", nullptr},
    {"NumberValue", "<key>BonklyTallyToken</key><integer>12345</integer>", nullptr},
    {"EmptyString", "<key>BonklyTallyToken</key><string></string>", nullptr},
    {"OnlyBlanksAndLineBreaks", "<key>BonklyTallyToken</key><string> \t\n  \r\n</string>", nullptr},
    {"PlainToken", "<key>BonklyTallyToken</key><string>abc123</string>", "abc123"},
    {"TokenWithBlanksAround", "<key>BonklyTallyToken</key><string>  abc123\n</string>", "abc123"},
};

class AnalyticsToken : public AnalyticsTest, public ::testing::WithParamInterface<TokenCase> {};

} // namespace

TEST_P(AnalyticsToken, DecidesWhetherTrackingIsOn)
{
    const auto& param = GetParam();
    Analytics::configure(bundleWith(param.entry));
    Analytics::track("slap", {{"slap_number", std::int64_t{1}}});

    if (!param.token) {
        EXPECT_FALSE(Analytics::isEnabled());
        EXPECT_TRUE(client->initializations.empty());
        EXPECT_TRUE(client->events.empty());
        return;
    }
    EXPECT_TRUE(Analytics::isEnabled());
    ASSERT_EQ(client->initializations.size(), 1u);
    const auto& config = client->initializations[0];
    EXPECT_EQ(config.token, param.token);
    EXPECT_EQ(config.flushInterval, 60);
    EXPECT_FALSE(config.instanceName);
    EXPECT_FALSE(config.optOutTrackingByDefault);
    EXPECT_FALSE(config.useUniqueDistinctId);
    EXPECT_FALSE(config.superProperties);
    EXPECT_FALSE(config.serverURL);
    EXPECT_FALSE(config.useGzipCompression);
    ASSERT_EQ(client->events.size(), 1u);
    EXPECT_EQ(client->events[0].first, "slap");
}

INSTANTIATE_TEST_SUITE_P(All, AnalyticsToken, ::testing::ValuesIn(kTokenCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AnalyticsTest, EventsBeforeConfigureAreLost)
{
    Analytics::track("slap_app_launched");
    Analytics::configure(bundleWith("<key>BonklyTallyToken</key><string>t</string>"));
    EXPECT_TRUE(client->events.empty());
}

TEST_F(AnalyticsTest, TrackPassesNameAndPropertiesUnchanged)
{
    Analytics::configure(bundleWith("<key>BonklyTallyToken</key><string>t</string>"));
    Analytics::track("onboarding_shown");
    const AnalyticsProperties slap{{"slap_number", std::int64_t{3}},
                                   {"amplitude", 0.25},
                                   {"severity", std::string("CHOC_MOYEN")},
                                   {"opened", true}};
    Analytics::track("slap", slap);

    ASSERT_EQ(client->events.size(), 2u);
    EXPECT_EQ(client->events[0].first, "onboarding_shown");
    EXPECT_TRUE(client->events[0].second.empty());
    EXPECT_EQ(client->events[1].second, slap);
}

TEST_F(AnalyticsTest, ALaterFailingConfigureLeavesTrackingOn)
{
    Analytics::configure(bundleWith("<key>BonklyTallyToken</key><string>t</string>"));
    Analytics::configure(Bundle(std::nullopt, "/nowhere"));
    EXPECT_TRUE(Analytics::isEnabled());
    Analytics::configure(bundleWith("<key>BonklyTallyToken</key><string>t</string>"));
    EXPECT_EQ(client->initializations.size(), 2u); // the client reuses its instance by name
}
