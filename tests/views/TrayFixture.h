#pragma once

// A real view model wired to the shared fakes of what this machine lacks (the sensor, the monitors'
// system layers, the sound card, the clock), on a bundle of fixture clips; shared by the tray, menu
// and settings-sheet tests.

#include "Services/Analytics.h"
#include "ViewModels/ThwackoViewModel.h"
#include "platform/qt/QtMainQueue.h"
#include "support/EventLoop.h"
#include "support/FakeServices.h"
#include "support/RecordingAnalytics.h"
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
    std::unique_ptr<foundation::Bundle> bundle;
    std::unique_ptr<testsupport::FakeServices> services;
    // The fakes the tests reach for, from `services`.
    std::shared_ptr<testsupport::FakeHidBackend> sensor;
    std::shared_ptr<testsupport::FakeWorkspace> workspace;
    std::shared_ptr<testsupport::FakePowerSources> powerSources;
    std::shared_ptr<testsupport::FakeLidRegistry> lid;
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
        services = std::make_unique<testsupport::FakeServices>(dir.path() / "defaults.plist", *bundle);
        sensor = services->sensor;
        workspace = services->workspace;
        powerSources = services->powerSources;
        lid = services->lid;
        Analytics::setClient(std::make_shared<testsupport::RecordingAnalytics>());
        Analytics::configure(*bundle);
        vm = std::make_unique<ThwackoViewModel>(services->dependencies());
    }

    void TearDown() override
    {
        vm.reset();
        Analytics::setClient(nullptr);
        QApplication::setPalette(theme::lightPalette());
    }

    /// Runs the main queue's posted jobs and the coalesced change signal.
    static void drain() { testsupport::drainPosted(); }

    void startListening()
    {
        vm->start();
        drain();
        ASSERT_TRUE(vm->isRunning());
    }

    /// One knock through the sensor and one processing tick: one counted slap.
    void slap()
    {
        ASSERT_TRUE(services->feedKnock(1.4));
        services->clock.advance(2);
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
