#include "app/AppDelegate.h"
#include "support/RecordingAnalytics.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace {

std::string plist(const std::string& entries)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + entries + "</dict></plist>";
}

struct LaunchCase {
    const char* name;
    const char* entries;
    const char* appVersion;
    const char* build;
};

const LaunchCase kLaunchCases[] = {
    {"Both", "<key>CFBundleShortVersionString</key><string>1.2</string><key>CFBundleVersion</key><string>7</string>",
     "1.2", "7"},
    {"NoBuild", "<key>CFBundleShortVersionString</key><string>1.2</string>", "1.2", ""},
    {"BuildNotAString",
     "<key>CFBundleShortVersionString</key><string>1.2</string><key>CFBundleVersion</key>"
     "<integer>7</integer>",
     "1.2", ""},
    {"NoDictionary", nullptr, "", ""},
};

class AppDelegateLaunch : public ::testing::TestWithParam<LaunchCase> {};

} // namespace

TEST_P(AppDelegateLaunch, SendsTheLaunchEventWithTheBundleVersions)
{
    testsupport::TempDir dir;
    const std::string token = "<key>BonklyTallyToken</key><string>t</string>";
    if (GetParam().entries) {
        dir.write("Info.plist", plist(token + GetParam().entries));
    }
    const foundation::Bundle bundle(dir.path(), dir.path().string());
    auto client = std::make_shared<testsupport::RecordingAnalytics>();
    Analytics::setClient(client);

    AppDelegate().applicationDidFinishLaunching(bundle);

    if (GetParam().entries) {
        ASSERT_EQ(client->events.size(), 1u);
        EXPECT_EQ(client->events[0].first, "slap_app_launched");
        const AnalyticsProperties expected{{"app_version", std::string(GetParam().appVersion)},
                                           {"build", std::string(GetParam().build)}};
        EXPECT_EQ(client->events[0].second, expected);
    } else {
        EXPECT_TRUE(client->events.empty()); // no token: analytics stays off, launching still completes
    }
    EXPECT_EQ(AppDelegate::launchProperties(bundle).at("build"), AnalyticsValue(std::string(GetParam().build)));
    Analytics::setClient(nullptr);
}

INSTANTIATE_TEST_SUITE_P(All, AppDelegateLaunch, ::testing::ValuesIn(kLaunchCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AppDelegate, KeepsRunningWhenTheLastWindowCloses)
{
    EXPECT_FALSE(AppDelegate().applicationShouldTerminateAfterLastWindowClosed());
}
