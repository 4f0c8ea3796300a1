#include "app/ThwackoApp.h"

#include "app/AnalyticsSetup.h"
#include "app/DisplayCheck.h"
#include "app/RealServices.h"
#include "app/SingleInstance.h"
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

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <optional>
#include <string_view>

Q_LOGGING_CATEGORY(lcApp, "thwacko.app")

namespace {

struct Options {
    bool startListening = false;
    bool sensorChosen = false; // --sensor or --sensor-replay
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
            options.sensorChosen = true;
        } else if (const char* file = value("--sensor-replay")) {
            ::setenv("THWACKO_SENSOR_REPLAY", file, 1);
            options.sensorChosen = true;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return options;
}

/// The token the desktop gave this launch to let its window take focus; Qt consumes it on start-up.
QByteArray activationToken()
{
    QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN");
    return token.isEmpty() ? qgetenv("DESKTOP_STARTUP_ID") : token;
}

/// Lets the next activation of a window use the token of a later launch.
void useActivationToken(const QByteArray& token)
{
    if (token.isEmpty()) {
        return;
    }
    const QString platform = QGuiApplication::platformName();
    if (platform.startsWith("wayland")) {
        qputenv("XDG_ACTIVATION_TOKEN", token); // read and cleared by the next activation
    } else if (platform == "xcb") {
        // The X11 plugin takes a startup id only through its own (static) entry, not in public API.
        using SetStartupId = void (*)(const char*);
        void* library = ::dlopen("libQt6XcbQpa.so.6", RTLD_LAZY | RTLD_NOLOAD);
        if (library == nullptr) {
            return;
        }
        if (auto set = reinterpret_cast<SetStartupId>(::dlsym(library, "_ZN19QXcbNativeInterface12setStartupIdEPKc"))) {
            set(token.constData());
        }
        ::dlclose(library);
    }
}

/// Becomes the one copy for this user and display, or hands over to the one running. True when
/// this process should end now.
bool handOverToRunningCopy(const Options& options, const QByteArray& token, std::optional<SingleInstance>& instance)
{
    QString error;
    const auto folder = SingleInstance::defaultFolder(error);
    if (folder) {
        instance.emplace(*folder, SingleInstance::defaultName(QGuiApplication::platformName()));
        switch (instance->claim(HandOver{options.startListening, token})) {
        case SingleInstance::Outcome::first:
            return false;
        case SingleInstance::Outcome::handedOver:
            if (options.sensorChosen) {
                std::fputs("Bonkly is already running and keeps its sensor: --sensor and --sensor-replay apply "
                           "only when it starts.\n",
                           stderr);
            }
            qCInfo(lcApp) << "already running: its window was shown";
            return true;
        case SingleInstance::Outcome::failed:
            error = instance->error();
            instance.reset();
            break;
        }
    }
    qCWarning(lcApp).noquote() << "cannot make sure that only one copy runs:" << error;
    return false;
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
    const QByteArray token = activationToken();
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
    // Before anything opens the sensor, the sound device, the tray or the analytics store.
    std::optional<SingleInstance> instance;
    if (handOverToRunningCopy(options, token, instance)) {
        return 0;
    }
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
    const auto openWindow = [&window] {
        // Opened again, the window takes the default size for the onboarding flag as it is now.
        window->resize(window->defaultSize());
        window->open();
        window->raise();
        window->activateWindow();
    };
    // The tray item; without a tray, closing the last window quits instead (MenuBarExtra).
    MenuBarExtra menuBarExtra(viewModel, [&openWindow](const QString&) { openWindow(); });
    if (instance) {
        // A later launch shows the window as "Open Bonkly window" does.
        instance->onHandOver = [&openWindow, &viewModel](const HandOver& request) {
            qCInfo(lcApp) << "launched again: showing the window";
            useActivationToken(request.activationToken);
            openWindow();
            if (request.startListening) {
                viewModel.start();
            }
        };
    }

    const int result = QApplication::exec();
    if (instance) {
        instance->onHandOver = nullptr; // it refers to the window and view model, gone before it
    }
    terminationSignals.restore();
    return result;
}
