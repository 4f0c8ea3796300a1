#pragma once

#include "Services/Analytics.h"
#include "platform/foundation/Bundle.h"

/// Finishes launching: starts analytics and sends the launch event. Holds no reference to the
/// view model. Used on the main thread.
class AppDelegate {
public:
    AppDelegate() = default;

    /// Called once when the event loop has started.
    void applicationDidFinishLaunching(const foundation::Bundle& bundle = foundation::Bundle::main());
    /// Closing the last window leaves the application running in the tray.
    bool applicationShouldTerminateAfterLastWindowClosed() const { return false; }

    /// The launch event's properties: "app_version" and "build" from the bundle's information
    /// dictionary, the empty string where an entry is missing or not a string.
    static AnalyticsProperties launchProperties(const foundation::Bundle& bundle);
};
