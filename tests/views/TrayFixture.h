#pragma once

// A real view model wired to fakes of what this machine lacks (the sensor, the monitors' system
// layers, the sound card, the clock), on a bundle of fixture clips; shared by the tray, menu and
// settings-sheet tests.

#include "Services/Analytics.h"
#include "ViewModels/ThwackoViewModel.h"
#include "platform/qt/QtMainQueue.h"
#include "support/EventLoop.h"
#include "support/FakeHid.h"
#include "support/FakeSystemMonitors.h"
#include "support/TempDir.h"
#include "views/Theme.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPalette>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace traytest {

class FakeClock final : public foundation::Clock {
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
    void play(const std::filesystem::path&, double) override { ++plays; }
    void stopAll() override {}
    void setVolumeScaling(bool) override {}
    void setSpeedRatio(double) override {}
};

class NullAnalytics final : public AnalyticsClient {
public:
    void initialize(const AnalyticsConfiguration&) override {}
    void track(const std::string&, const AnalyticsProperties&) override {}
};

inline const char* const kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>CFBundleShortVersionString</key><string>2.3.4</string>
<key>BonklyPlatform</key><string>Linux (test)</string>
<key>BonklySensor</key><string>Test sensor</string>
<key>BonklyTallyToken</key><string></string>
</dict></plist>)";

class ViewModelFixture : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    QObject mainContext;
    platform::ScopedQtMainQueue mainQueue{&mainContext};
    FakeClock clock;
    std::unique_ptr<foundation::UserDefaults> defaults;
    std::unique_ptr<foundation::Bundle> bundle;
    foundation::NotificationCenter center;
    std::shared_ptr<testsupport::FakeHidBackend> sensor = std::make_shared<testsupport::FakeHidBackend>();
    std::shared_ptr<testsupport::FakeWorkspace> workspace = std::make_shared<testsupport::FakeWorkspace>();
    std::shared_ptr<testsupport::FakePowerSources> powerSources = std::make_shared<testsupport::FakePowerSources>();
    std::shared_ptr<testsupport::FakeLidRegistry> lid = std::make_shared<testsupport::FakeLidRegistry>();
    SilentClipPlayer* audio = nullptr;
    std::unique_ptr<ThwackoViewModel> vm;

    void SetUp() override
    {
        for (const char* clip : {"a.mp3", "b.mp3"}) {
            dir.write(std::filesystem::path("res/Audio/pain") / clip, "");
        }
        dir.write("res/Audio/lid/open.mp3", "");
        dir.write("res/Audio/lid/close.mp3", "");
        dir.write("res/Info.plist", kInfoPlist);
        bundle = std::make_unique<foundation::Bundle>(dir.path() / "res", "/opt/thwacko");
        defaults = std::make_unique<foundation::UserDefaults>(dir.path() / "defaults.plist");
        sensor->services = {testsupport::FakeHidService::sensor(1)};
        Analytics::setClient(std::make_shared<NullAnalytics>());
        Analytics::configure(*bundle);

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
        deps.folderChooser = [](const std::string&) { return ThwackoViewModel::FolderChoice{}; };
        vm = std::make_unique<ThwackoViewModel>(std::move(deps));
    }

    void TearDown() override
    {
        vm.reset();
        Analytics::setClient(nullptr);
        QApplication::setPalette(theme::lightPalette());
    }

    /// Runs the main queue's posted jobs and the coalesced change signal.
    static void drain()
    {
        for (int i = 0; i < 4; ++i) {
            QCoreApplication::processEvents();
        }
    }

    void startListening()
    {
        vm->start();
        drain();
        ASSERT_TRUE(vm->isRunning());
    }

    /// One knock through the sensor and one processing tick: one counted slap.
    void slap()
    {
        const auto quiet = testsupport::sensorReportG(0.0, 0.0, 1.0);
        const auto knock = testsupport::sensorReportG(0.0, 0.0, 1.4);
        auto deliver = [this](const auto& report) {
            for (int i = 0; i < AccelerometerService::imuDecimation; ++i) {
                ASSERT_TRUE(sensor->deliver(report));
            }
        };
        for (int i = 0; i < 149; ++i) {
            deliver(quiet);
        }
        deliver(knock);
        clock.advance(2);
        vm->processSamples();
        drain();
    }
};

/// A left click in the middle of `widget`, as the window system delivers it.
inline void click(QWidget* widget)
{
    const QPointF local = QRectF(widget->rect()).center();
    const QPointF global = widget->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QApplication::sendEvent(widget, &release);
}

/// A key press and release sent to `widget`.
inline void key(QWidget* widget, Qt::Key which)
{
    QKeyEvent press(QEvent::KeyPress, which, Qt::NoModifier);
    QKeyEvent release(QEvent::KeyRelease, which, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QApplication::sendEvent(widget, &release);
}

/// Waits until `gone` holds, deleting objects whose deleteLater() ran outside any event loop (a
/// test body runs outside one, so a nested loop would never delete them).
inline bool waitUntilGone(const std::function<bool()>& gone)
{
    return testsupport::pumpUntil([&gone] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return gone();
    });
}

/// Where the pictures go: the build folder's screenshots folder.
inline QString screenshotPath(const QString& name)
{
    const QString folder = QStringLiteral(THWACKO_SCREENSHOT_DIR);
    QDir().mkpath(folder);
    return folder + QLatin1Char('/') + name + QStringLiteral(".png");
}

struct PaletteCase {
    const char* name;
    QPalette (*palette)();
};

inline const PaletteCase kPalettes[] = {{"light", &theme::lightPalette}, {"dark", &theme::darkPalette}};

} // namespace traytest
