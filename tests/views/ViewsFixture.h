#pragma once

// The real view model on fakes of what this machine lacks (sensor, monitors' system layers,
// sound card, analytics server), on a bundle of fixture clips, for the view tests.

#include "Services/Analytics.h"
#include "ViewModels/ThwackoViewModel.h"
#include "platform/qt/QtMainQueue.h"
#include "support/EventLoop.h"
#include "support/FakeHid.h"
#include "support/FakeSystemMonitors.h"
#include "support/TempDir.h"
#include "views/Widgets.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>

namespace viewtest {

class SteppingClock final : public foundation::Clock {
public:
    foundation::Date wall{1.7e9};
    foundation::MonotonicTime monotonic{std::chrono::seconds(1000)};
    foundation::Date now() const override { return wall; }
    foundation::MonotonicTime monotonicNow() const override { return monotonic; }
    void advance(double seconds)
    {
        wall = wall.addingTimeInterval(seconds);
        monotonic +=
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    }
};

class SilentClipPlayer final : public ClipPlayer {
public:
    int plays = 0;
    int stopAlls = 0;
    void play(const std::filesystem::path&, double) override { ++plays; }
    void stopAll() override { ++stopAlls; }
    void setVolumeScaling(bool) override {}
    void setSpeedRatio(double) override {}
};

class RecordingAnalytics final : public AnalyticsClient {
public:
    std::vector<std::pair<std::string, AnalyticsProperties>> events;
    void initialize(const AnalyticsConfiguration&) override {}
    void track(const std::string& event, const AnalyticsProperties& properties) override
    {
        events.emplace_back(event, properties);
    }
    int count(const std::string& name) const
    {
        return int(std::count_if(events.begin(), events.end(), [&](const auto& e) { return e.first == name; }));
    }
};

class ViewsTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    QObject mainContext;
    platform::ScopedQtMainQueue mainQueue{&mainContext};
    SteppingClock clock;
    std::unique_ptr<foundation::UserDefaults> defaults;
    std::unique_ptr<foundation::Bundle> bundle;
    foundation::NotificationCenter center;
    std::shared_ptr<testsupport::FakeHidBackend> sensor = std::make_shared<testsupport::FakeHidBackend>();
    std::shared_ptr<testsupport::FakeWorkspace> workspace = std::make_shared<testsupport::FakeWorkspace>();
    std::shared_ptr<testsupport::FakePowerSources> powerSources = std::make_shared<testsupport::FakePowerSources>();
    std::shared_ptr<testsupport::FakeLidRegistry> lid = std::make_shared<testsupport::FakeLidRegistry>();
    std::shared_ptr<RecordingAnalytics> analytics = std::make_shared<RecordingAnalytics>();
    SilentClipPlayer* audio = nullptr;
    ThwackoViewModel::FolderChoice choice;
    std::unique_ptr<ThwackoViewModel> vm;

    void SetUp() override
    {
        for (const char* clip : {"a.mp3", "b.mp3"}) {
            dir.write(std::filesystem::path("res/Audio/pain") / clip, "");
            dir.write(std::filesystem::path("res/Audio/halo") / clip, "");
        }
        dir.write("res/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>BonklyTallyToken</key><string>test-token</string></dict></plist>)");
        bundle = std::make_unique<foundation::Bundle>(dir.path() / "res", "/opt/thwacko");
        defaults = std::make_unique<foundation::UserDefaults>(dir.path() / "defaults.plist");
        sensor->services = {testsupport::FakeHidService::sensor(1)};
        Analytics::setClient(analytics);
        Analytics::configure(*bundle);
        widgets::setAnimationsEnabled(false);
    }

    void TearDown() override
    {
        vm.reset();
        Analytics::setClient(nullptr);
    }

    ThwackoViewModel& make()
    {
        ThwackoViewModel::Dependencies deps;
        deps.accelerometer = std::make_unique<AccelerometerService>(sensor);
        deps.usbVolumeMonitor = std::make_unique<USBVolumeMonitor>(workspace);
        deps.powerSourceMonitor = std::make_unique<PowerSourceMonitor>(powerSources);
        deps.lidClamshellMonitor = std::make_unique<LidClamshellMonitor>(lid, std::chrono::hours(1));
        auto player = std::make_unique<SilentClipPlayer>();
        audio = player.get();
        deps.audioPlayer = std::move(player);
        deps.clock = &clock;
        deps.userDefaults = defaults.get();
        deps.bundle = bundle.get();
        deps.notificationCenter = &center;
        deps.folderChooser = [this](const std::string&) { return choice; };
        vm = std::make_unique<ThwackoViewModel>(std::move(deps));
        return *vm;
    }

    /// Lets queued jobs and the coalesced change signal run.
    static void settle()
    {
        for (int i = 0; i < 6; ++i) {
            QCoreApplication::processEvents();
        }
    }

    void startListening()
    {
        vm->start();
        settle();
        ASSERT_TRUE(vm->isRunning());
    }

    /// A power change as the platform reports it; logs one event when it differs from the last.
    void powerChange(bool external, bool charging, std::int64_t percent)
    {
        powerSources->snapshot = power::Snapshot{
            power::Description{{"Type", std::string("InternalBattery")},
                               {"ExternalConnected", external},
                               {"Is Charging", charging},
                               {"Power Source State", std::string(external ? "AC Power" : "Battery Power")},
                               {"Max Capacity", std::int64_t(100)},
                               {"Current Capacity", percent}}};
        powerSources->notifyChange();
        settle();
    }

    /// A volume mount or unmount as the workspace reports it.
    void volumeChange(const std::string& path, const std::string& name, bool mounted, bool removable)
    {
        workspace->values[path] = workspace::VolumeResourceValues{removable, true, name};
        workspace->post(path, mounted);
        settle();
    }

    /// One knock through the sensor, processed: counts one slap when it passes the gates.
    void knock(double strength = 1.5)
    {
        auto deliver = [&](double z) {
            const auto report = testsupport::sensorReportG(0, 0, z);
            for (int i = 0; i < AccelerometerService::imuDecimation; ++i) {
                sensor->deliver(report);
            }
        };
        for (int i = 0; i < 149; ++i) {
            deliver(1.0);
        }
        deliver(1.0 + strength);
        clock.advance(2.0);
        vm->processSamples();
        settle();
    }
};

} // namespace viewtest
