#include "app/ThwackoApp.h"

#include "app/AnalyticsSetup.h"
#include "app/DisplayCheck.h"
#include "app/RealServices.h"
#include "app/TerminationSignals.h"
#include "platform/audio/OutputSetup.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/qt/QtMainQueue.h"
#include "views/AppWindow.h"
#include "views/MenuBarExtra.h"
#include "views/SettingsSheetPresenter.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdlib>
#include <optional>
#include <string_view>

Q_LOGGING_CATEGORY(lcApp, "thwacko.app")

namespace {

struct Options {
    bool startListening = false;
};

/// Takes our own options out of argv (setting the sensor environment they stand for) and leaves
/// the rest for Qt.
Options takeOptions(int& argc, char** argv)
{
    Options options;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view name) -> const char* {
            if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
                return argv[i] + name.size() + 1;
            }
            if (arg == name && i + 1 < argc) {
                return argv[++i];
            }
            return nullptr;
        };
        if (arg == "--start-listening") {
            options.startListening = true;
        } else if (const char* kind = value("--sensor")) {
            ::setenv("THWACKO_SENSOR", kind, 1);
        } else if (const char* file = value("--sensor-replay")) {
            ::setenv("THWACKO_SENSOR_REPLAY", file, 1);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return options;
}

} // namespace

ThwackoViewModel& ThwackoApp::viewModel()
{
    if (!model) {
        model = std::make_unique<ThwackoViewModel>(makeRealDependencies());
    }
    return *model;
}

int ThwackoApp::main(int argc, char** argv)
{
    const Options options = takeOptions(argc, argv);
    // It sets the environment: before Qt, the analytics client or the sound output start a thread.
    audio::prepareOutput();

    std::optional<PlatformStartGuard> platformStart(std::in_place); // a display that cannot be reached
    QApplication app(argc, argv);
    platformStart.reset();
    // The name the user knows: the tray item's id and title and the X11 window class. The
    // settings and cache folders do not follow it (platform/foundation names them).
    QApplication::setApplicationName("Bonkly");
    QApplication::setApplicationDisplayName("Bonkly");
    QGuiApplication::setDesktopFileName("app.thwacko.Bonkly");
    platform::ScopedQtMainQueue mainQueue(&app);
    // SIGINT and SIGTERM quit the event loop, so the will-terminate path runs as for a normal quit.
    TerminationSignals terminationSignals([] { QCoreApplication::quit(); });
    AnalyticsSetup analytics(app); // ends before the main queue is unbound

    ThwackoApp application;
    QApplication::setQuitOnLastWindowClosed(
        application.appDelegate().applicationShouldTerminateAfterLastWindowClosed());
    ThwackoViewModel& viewModel = application.viewModel();
    // The one window; closing it only hides it. Destroyed before the view model it shows.
    const std::unique_ptr<AppWindow> window(showAppWindow(viewModel));

    auto& center = foundation::NotificationCenter::defaultCenter();
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [&center, &viewModel] {
        // The state the application ends in, before the will-terminate path stops listening.
        QString state = QString::fromStdString(viewModel.statusMessage());
        if (viewModel.errorMessage()) {
            state += "; error: " + QString::fromStdString(*viewModel.errorMessage());
        }
        qCInfo(lcApp).noquote() << "terminating; status:" << state;
        center.post(foundation::kApplicationWillTerminate);
    });

    QTimer::singleShot(0, &app, [&] {
        application.appDelegate().applicationDidFinishLaunching();
        qCInfo(lcApp) << "launched";
        if (options.startListening) {
            viewModel.start();
        }
    });

    // The gear button's settings sheet over the window.
    new SettingsSheetPresenter(*window, viewModel);
    // The tray item; without a tray, closing the last window quits instead (MenuBarExtra).
    MenuBarExtra menuBarExtra(viewModel, [&window](const QString&) {
        // Opened again, the window takes the default size for the onboarding flag as it is now.
        window->resize(window->defaultSize());
        window->open();
        window->raise();
        window->activateWindow();
    });

    const int result = QApplication::exec();
    terminationSignals.restore();
    return result;
}
