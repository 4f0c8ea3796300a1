#include "app/DisplayCheck.h"

#include <QByteArray>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace {

bool isSet(const EnvironmentLookup& environment, const char* name)
{
    const char* value = environment(name);
    return value && *value;
}

/// A Wayland compositor to talk to: WAYLAND_DISPLAY, else the default socket the client tries.
bool hasWayland(const EnvironmentLookup& environment)
{
    if (isSet(environment, "WAYLAND_DISPLAY")) {
        return true;
    }
    const char* runtime = environment("XDG_RUNTIME_DIR");
    std::error_code error;
    return runtime && *runtime && std::filesystem::exists(std::filesystem::path(runtime) / "wayland-0", error);
}

/// The platform Qt is asked for: the last "-platform" argument, else QT_QPA_PLATFORM; empty for
/// Qt's own choice.
std::string requestedPlatform(int argc, char** argv, const EnvironmentLookup& environment)
{
    std::string platform;
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-platform" || arg == "--platform") {
            platform = argv[++i];
        }
    }
    if (platform.empty()) {
        if (const char* fromEnvironment = environment("QT_QPA_PLATFORM")) {
            platform = fromEnvironment;
        }
    }
    return platform;
}

/// Whether Qt can start the platform `name` (without its ":options"); platforms other than
/// the windowing systems' need no display.
bool canStart(std::string_view name, const EnvironmentLookup& environment)
{
    if (name == "xcb") {
        return isSet(environment, "DISPLAY");
    }
    if (name.starts_with("wayland")) {
        return hasWayland(environment);
    }
    if (name.empty()) {
        return isSet(environment, "DISPLAY") || hasWayland(environment);
    }
    return true;
}

// The guard's state: the handler before it, and the plugin warnings held back.
QtMessageHandler previousHandler = nullptr;
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString message;
};
std::vector<HeldMessage> held;

void guardHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const std::string_view category = context.category ? context.category : "";
    if (type == QtFatalMsg && message.contains("platform plugin")) {
        const std::string line = noDisplayMessage("cannot connect to the display") + "\n";
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        // The application object is half made; nothing of it may be torn down.
        std::_Exit(1);
    }
    if (type != QtFatalMsg && category.starts_with("qt.qpa")) {
        held.push_back({type, QByteArray(context.category), message});
        return;
    }
    previousHandler(type, context, message);
}

} // namespace

std::optional<std::string> missingDisplay(int argc, char** argv, const EnvironmentLookup& environment)
{
    const std::string platform = requestedPlatform(argc, argv, environment);
    // A list ("wayland;xcb") is tried in order; any one that can start will do.
    std::size_t begin = 0;
    while (true) {
        const std::size_t end = platform.find(';', begin);
        std::string_view entry = std::string_view(platform).substr(begin, end - begin);
        entry = entry.substr(0, entry.find(':'));
        if (canStart(entry, environment)) {
            return std::nullopt;
        }
        if (end == std::string::npos) {
            break;
        }
        begin = end + 1;
    }
    if (platform.empty()) {
        return "neither DISPLAY nor WAYLAND_DISPLAY is set";
    }
    return "no display for the platform \"" + platform + "\"";
}

std::string noDisplayMessage(const std::string& reason)
{
    return "Bonkly needs a graphical session (" + reason +
           "); to run it without one, start it with QT_QPA_PLATFORM=offscreen";
}

PlatformStartGuard::PlatformStartGuard() { previousHandler = qInstallMessageHandler(guardHandler); }

PlatformStartGuard::~PlatformStartGuard()
{
    qInstallMessageHandler(previousHandler);
    for (const HeldMessage& message : held) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
        previousHandler(message.type, context, message.message);
    }
    held.clear();
}
