// The application's usage events through the real analytics client to a loopback server: the view
// model's slap with a token configured, and nothing at all without one.
#include "app/AnalyticsLog.h"
#include "app/AppDelegate.h"
#include "app/TallyAnalyticsClient.h"

#include "LoopbackServer.h"
#include "ViewModels/ThwackoViewModel.h"
#include "analytics/AutomaticProperties.h"
#include "analytics/LinuxSystemFacts.h"
#include "analytics/TLDB.h"
#include "analytics/Tally.h"
#include "platform/qt/QtMainQueue.h"
#include "support/EventLoop.h"
#include "support/FakeHid.h"
#include "support/FakeServices.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QCoreApplication>

#include <cstdlib>
#include <fstream>

using nlohmann::json;
using testsupport::TempDir;

namespace {

std::string infoPlist(const std::string& tokenEntry)
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleShortVersionString</key><string>2.0</string>
<key>CFBundleVersion</key><string>3</string>)" +
           tokenEntry + "</dict></plist>";
}

/// A view model on fakes of the sensor and monitors, the facade bound to the real client, which
/// delivers to a loopback server; settings and caches in a private folder.
class AnalyticsEndToEndTest : public ::testing::Test {
protected:
    TempDir dir;
    AnalyticsLog analyticsLog;
    QObject mainContext;
    platform::ScopedQtMainQueue mainQueue{&mainContext};
    analyticstest::LoopbackServer server;
    std::unique_ptr<foundation::Bundle> bundle;
    std::unique_ptr<testsupport::FakeServices> services;
    std::shared_ptr<const tally::SystemFacts> previousFacts;
    std::unique_ptr<ThwackoViewModel> vm;

    void configure(const std::string& tokenEntry)
    {
        ::setenv("XDG_CACHE_HOME", (dir.path() / "cache").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
        for (const char* clip : {"a.mp3", "b.mp3"}) {
            dir.write(std::filesystem::path("res/Audio/pain") / clip, "");
        }
        dir.write("res/Info.plist", infoPlist(tokenEntry));
        bundle = std::make_unique<foundation::Bundle>(dir.path() / "res", "/opt/thwacko");
        services = std::make_unique<testsupport::FakeServices>(dir.path() / "defaults.plist", *bundle);

        auto facts = std::make_shared<tally::LinuxSystemFacts>(*bundle);
        facts->setMainScreenSize(tally::SystemFacts::ScreenSize{1280, 800});
        previousFacts = tally::SystemFacts::setCurrent(facts);
        tally::AutomaticProperties::setProperties(std::nullopt);

        Analytics::setClient(std::make_shared<TallyAnalyticsClient>(server.baseURL()));
        AppDelegate().applicationDidFinishLaunching(*bundle);
    }

    void TearDown() override
    {
        vm.reset();
        Analytics::setClient(nullptr);
        tally::AutomaticProperties::setProperties(std::nullopt);
        tally::SystemFacts::setCurrent(previousFacts);
    }

    void slap()
    {
        vm = std::make_unique<ThwackoViewModel>(services->dependencies());

        vm->start();
        ASSERT_TRUE(testsupport::pumpUntil([&] { return vm->isRunning(); }));
        // 1.5 s of rest, then one knock on the newest sample.
        std::vector<ThwackoViewModel::Sample> samples(149, ThwackoViewModel::Sample{0.0, 0.0, 1.0});
        samples.push_back({0.0, 0.0, 1.3});
        for (const auto& [x, y, z] : samples) {
            ASSERT_TRUE(services->feedSample(x, y, z));
        }
        vm->processSamples();
        ASSERT_EQ(vm->totalSlaps(), 1);
    }

    std::vector<json> receivedEvents() const
    {
        std::vector<json> all;
        for (const auto& request : server.requests()) {
            if (request.path == "/track/") {
                for (const auto& record : json::parse(request.body)) {
                    all.push_back(record);
                }
            }
        }
        return all;
    }
};

} // namespace

TEST_F(AnalyticsEndToEndTest, TheViewModelsSlapArrivesAtTheServer)
{
    configure("<key>BonklyTallyToken</key><string> e2e-token\n</string>");
    ASSERT_TRUE(Analytics::isEnabled());
    slap();
    tally::Tally::mainInstance()->flush();

    ASSERT_TRUE(testsupport::pumpUntil(
        [&] {
        for (const auto& record : receivedEvents()) {
            if (record["event"] == "slap") {
                return true;
            }
        }
        return false;
        },
        std::chrono::seconds(60)));

    json slapRecord;
    for (const auto& record : receivedEvents()) {
        if (record["event"] == "slap") {
            slapRecord = record;
        }
    }
    const json& p = slapRecord["properties"];
    EXPECT_EQ(p["slap_number"], 1);
    EXPECT_DOUBLE_EQ(p["amplitude"].get<double>(), vm->slapEvents().front().amplitude());
    EXPECT_EQ(p["severity"], vm->slapEvents().front().severity());
    EXPECT_EQ(p["sound_mode"], "pain");
    EXPECT_EQ(p["token"], "e2e-token");
    EXPECT_EQ(p["$app_version_string"], "2.0");
    EXPECT_EQ(p["$app_build_number"], "3");
    EXPECT_EQ(p["$screen_width"], 1280);
    EXPECT_EQ(p["$screen_height"], 800);
    EXPECT_EQ(p["tl_lib"], "cpp");
    for (const char* key : {"$os", "$os_version", "$model", "$manufacturer", "$lib_version", "distinct_id", "time"}) {
        EXPECT_TRUE(p.contains(key)) << key;
    }
    ASSERT_TRUE(slapRecord.contains("$tl_metadata"));
    EXPECT_EQ(slapRecord["$tl_metadata"].size(), 4u);
    slapRecord.erase("id"); // the row id travels with the record
    EXPECT_EQ(slapRecord.size(), 3u);

    // The launch event went the same way, first.
    EXPECT_EQ(receivedEvents().front()["event"], "slap_app_launched");
    EXPECT_EQ(receivedEvents().front()["properties"]["app_version"], "2.0");
}

TEST_F(AnalyticsEndToEndTest, WithoutATokenNothingIsStoredOrSent)
{
    configure("");
    EXPECT_FALSE(Analytics::isEnabled());
    slap();
    testsupport::pumpFor(std::chrono::milliseconds(200));
    EXPECT_EQ(server.requestCount(), 0u);
    std::error_code error;
    bool anyDatabase = false;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path() / "cache", error)) {
        anyDatabase = anyDatabase || entry.path().string().find("TLDB") != std::string::npos;
    }
    EXPECT_FALSE(anyDatabase);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "config/ThwackoApp/Tally.plist"));
}

struct DamagedStore {
    const char* name;
    std::function<void(const std::filesystem::path&)> damage;
};

class AnalyticsEndToEndDamagedStore : public AnalyticsEndToEndTest,
                                      public ::testing::WithParamInterface<DamagedStore> {};

TEST_P(AnalyticsEndToEndDamagedStore, TheLaunchEventIsKeptAndTheLogSaysSoOnce)
{
    ::setenv("XDG_CACHE_HOME", (dir.path() / "cache").c_str(), 1);
    const std::string token = "damaged-e2e";
    std::filesystem::path file;
    {
        tally::TLDB db(token); // a store of an earlier run, with a few pages of records
        for (int n = 0; n < 200; ++n) {
            db.insertRow(tally::PersistenceType::events, R"({"event":"old"})");
        }
        file = *db.pathToDb();
    }
    GetParam().damage(file);
    testsupport::LogCapture log("thwacko.analytics");
    configure("<key>BonklyTallyToken</key><string>" + token + "</string>");
    tally::Tally::mainInstance()->flush();
    ASSERT_TRUE(testsupport::pumpUntil(
        [&] {
        for (const auto& record : receivedEvents()) {
            if (record["event"] == "slap_app_launched") {
                return true;
            }
        }
        return false;
        },
        std::chrono::seconds(60)));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines().front().find("was damaged"), std::string::npos) << log.lines().front();
}

INSTANTIATE_TEST_SUITE_P(Stores, AnalyticsEndToEndDamagedStore,
                         ::testing::Values(DamagedStore{"Garbage",
                                                        [](const std::filesystem::path& file) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(8192, 'x');
                                                        }},
                                           DamagedStore{"Truncated",
                                                        [](const std::filesystem::path& file) {
    std::filesystem::resize_file(file, 100 + 4096 + 1000);
    std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(4096 + 100);
    out << std::string(1000, '\xee');
                                                        }}),
    [](const auto& info) { return std::string(info.param.name); });
