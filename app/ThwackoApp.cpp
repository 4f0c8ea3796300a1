#include "app/ThwackoApp.h"

#include "app/AnalyticsSetup.h"

#include "platform/foundation/NotificationCenter.h"
#include "platform/qt/QtMainQueue.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

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

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

/// SIGINT and SIGTERM quit the event loop, so the will-terminate path runs as for a normal quit.
void quitOnTerminationSignals(QCoreApplication& app)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCWarning(lcApp) << "cannot watch termination signals:" << std::strerror(errno);
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

} // namespace

ThwackoViewModel& ThwackoApp::viewModel()
{
    if (!model) {
        model = std::make_unique<ThwackoViewModel>();
    }
    return *model;
}

int ThwackoApp::main(int argc, char** argv)
{
    const Options options = takeOptions(argc, argv);

    QApplication app(argc, argv);
    QApplication::setApplicationName("ThwackoApp");
    QApplication::setApplicationDisplayName("Bonkly");
    platform::ScopedQtMainQueue mainQueue(&app);
    quitOnTerminationSignals(app);
    AnalyticsSetup analytics(app); // ends before the main queue is unbound

    ThwackoApp application;
    QApplication::setQuitOnLastWindowClosed(
        application.appDelegate().applicationShouldTerminateAfterLastWindowClosed());
    ThwackoViewModel& viewModel = application.viewModel();

    auto& center = foundation::NotificationCenter::defaultCenter();
    // Registered after the view model's own observer, so it reports after listening has stopped.
    const auto terminationLog = center.addObserver(foundation::kApplicationWillTerminate, [&viewModel](const auto&) {
        qCInfo(lcApp).noquote() << "terminating; status:" << QString::fromStdString(viewModel.statusMessage());
    });
    QObject::connect(&app, &QCoreApplication::aboutToQuit,
                     [&center] { center.post(foundation::kApplicationWillTerminate); });

    QTimer::singleShot(0, &app, [&] {
        application.appDelegate().applicationDidFinishLaunching();
        qCInfo(lcApp) << "launched";
        if (options.startListening) {
            viewModel.start();
        }
    });

    const int result = QApplication::exec();
    center.removeObserver(terminationLog);
    return result;
}
