#pragma once

// The real view model on fakes of what this machine lacks (sensor, monitors' system layers,
// sound card, analytics server), on a bundle of fixture clips, for the view tests.

#include "Services/Analytics.h"
#include "ViewModels/ThwackoViewModel.h"
#include "platform/qt/QtMainQueue.h"
#include "support/EventLoop.h"
#include "support/FakeServices.h"
#include "support/RecordingAnalytics.h"
#include "support/TempDir.h"
#include "views/AppWindow.h"
#include "views/Widgets.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>

namespace viewtest {

class ViewsTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    QObject mainContext;
    platform::ScopedQtMainQueue mainQueue{&mainContext};
    std::unique_ptr<foundation::Bundle> bundle;
    std::unique_ptr<testsupport::FakeServices> services;
    std::shared_ptr<testsupport::RecordingAnalytics> analytics = std::make_shared<testsupport::RecordingAnalytics>();
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
        services = std::make_unique<testsupport::FakeServices>(dir.path() / "defaults.plist", *bundle);
        services->powerSources->snapshot = battery(false, false, 50); // the monitor's baseline
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
        vm = std::make_unique<ThwackoViewModel>(services->dependencies());
        return *vm;
    }

    testsupport::FakeHidBackend& sensor() { return *services->sensor; }
    int analyticsCount(const std::string& name) const { return int(analytics->named(name).size()); }

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

    static power::Snapshot battery(bool external, bool charging, std::int64_t percent)
    {
        return power::Snapshot{
            power::Description{{"Type", std::string("InternalBattery")},
                               {"ExternalConnected", external},
                               {"Is Charging", charging},
                               {"Power Source State", std::string(external ? "AC Power" : "Battery Power")},
                               {"Max Capacity", std::int64_t(100)},
                               {"Current Capacity", percent}}};
    }

    /// A power change as the platform reports it; logs one event when it differs from the last.
    void powerChange(bool external, bool charging, std::int64_t percent)
    {
        services->powerSources->snapshot = battery(external, charging, percent);
        services->powerSources->notifyChange();
        settle();
    }

    /// A volume mount or unmount as the workspace reports it.
    void volumeChange(const std::string& path, const std::string& name, bool mounted, bool removable)
    {
        services->workspace->values[path] = workspace::VolumeResourceValues{removable, true, name};
        services->workspace->post(path, mounted);
        settle();
    }

    /// One knock through the sensor (`width` samples of alternating sign), processed: counts one
    /// slap when it passes the gates.
    void knock(double strength = 1.5, int width = 1)
    {
        for (int i = 0; i < 150 - width; ++i) {
            services->feedSample(0, 0, 1.0);
        }
        for (int i = 0; i < width; ++i) {
            services->feedSample(0, 0, 1.0 + (i % 2 == 0 ? strength : -strength * 0.8));
        }
        services->clock.advance(2.0);
        vm->processSamples();
        settle();
    }
};

/// A ViewsTest with the application's window on its view model.
class WindowTest : public ViewsTest {
protected:
    std::unique_ptr<AppWindow> window;

    void TearDown() override
    {
        window.reset();
        ViewsTest::TearDown();
    }

    /// Opens the window: the onboarding unless `completed`, else the main window.
    AppWindow& open(bool completed)
    {
        make();
        vm->setHasCompletedOnboarding(completed);
        window = std::make_unique<AppWindow>(*vm);
        window->open();
        settle();
        return *window;
    }
};

} // namespace viewtest
