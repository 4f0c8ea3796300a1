#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>
#include <string>
#include <vector>

/// Reads an environment variable; nullptr when unset.
using EnvironmentLookup = std::function<const char*(const char* name)>;

/// Why Qt, given these arguments (its "-platform" option) and this environment
/// (QT_QPA_PLATFORM, DISPLAY, WAYLAND_DISPLAY, XDG_RUNTIME_DIR), would find no display to open,
/// or nullopt when it has one or needs none (offscreen, minimal, vnc, ...). Checks without
/// connecting, so a display that is named but unreachable passes here.
std::optional<std::string> missingDisplay(int argc, char** argv, const EnvironmentLookup& environment);

/// The one line that tells a user without a display what to do, with the reason.
std::string noDisplayMessage(const std::string& reason);

/// While alive (around the construction of the QApplication): a fatal Qt message about the
/// platform plugin, which is how an unreachable display ends, prints noDisplayMessage() and
/// exits with status 1 instead of aborting; the platform plugin's warnings are held back and
/// passed on only if the application object is made. Main thread; one at a time.
class PlatformStartGuard final {
public:
    PlatformStartGuard();
    ~PlatformStartGuard();
    PlatformStartGuard(const PlatformStartGuard&) = delete;
    PlatformStartGuard& operator=(const PlatformStartGuard&) = delete;
};
