#pragma once

#include "Models/Events.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/workspace/Workspace.h"

#include <functional>
#include <memory>
#include <vector>

/// Reports each mount and unmount of a removable or ejectable volume as one event.
///
/// Main thread only: start(), stop() and destruction are called there, and the workspace posts
/// its notifications there.
class USBVolumeMonitor final {
public:
    using EventCallback = std::function<void(const VolumeMountEvent& event)>;

    /// A stopped monitor over `workspace`; registers nothing.
    explicit USBVolumeMonitor(std::shared_ptr<workspace::Workspace> workspace);
    /// Removes the registrations, so the workspace's center keeps nothing of the monitor.
    ~USBVolumeMonitor();
    USBVolumeMonitor(const USBVolumeMonitor&) = delete;
    USBVolumeMonitor& operator=(const USBVolumeMonitor&) = delete;

    /// Registers for mounts and unmounts, after dropping any earlier registrations.
    void start();
    /// Removes every registration.
    void stop();

    /// The owner's receiver, called synchronously on the main thread.
    EventCallback onEvent;

private:
    void handleNotification(const foundation::Notification& notification, bool mounted);

    std::shared_ptr<workspace::Workspace> workspace;
    std::vector<foundation::NotificationCenter::Token> observers; // mount first; empty while stopped
    // The observer blocks hold this weakly: expired once the monitor is gone.
    std::shared_ptr<USBVolumeMonitor*> self = std::make_shared<USBVolumeMonitor*>(this);
};
