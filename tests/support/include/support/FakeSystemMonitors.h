#pragma once

// In-memory stand-ins for the three layers the system-event monitors read: power sources, the
// lid's registry property and the workspace's volume notifications. Header-only.

#include "platform/foundation/NotificationCenter.h"
#include "platform/power/PowerSources.h"
#include "platform/registry/LidRegistry.h"
#include "platform/workspace/Workspace.h"

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace testsupport {

/// Power sources with a scripted snapshot; the test fires the change notification.
class FakePowerSources final : public power::PowerSources {
public:
    std::optional<power::Snapshot> snapshot = power::Snapshot{}; ///< nullopt: no snapshot can be taken
    bool changeSourceFails = false;
    int snapshotsTaken = 0;

    std::optional<power::Snapshot> copyPowerSources() override
    {
        ++snapshotsTaken;
        return snapshot;
    }

    std::unique_ptr<power::ChangeSource> createChangeSource(std::function<void()> onChange) override
    {
        if (changeSourceFails) {
            return nullptr;
        }
        auto registration = std::make_shared<Registration>();
        registration->onChange = std::move(onChange);
        registrations.push_back(registration);
        return std::make_unique<Source>(registration);
    }

    /// Calls every live change source, as the platform does on a change; returns how many.
    int notifyChange()
    {
        int called = 0;
        for (const auto& registration : std::vector(registrations)) {
            if (registration->alive && registration->onChange) {
                registration->onChange();
                ++called;
            }
        }
        return called;
    }

    /// Change sources made and not yet destroyed.
    int liveChangeSources() const
    {
        int live = 0;
        for (const auto& registration : registrations) {
            live += registration->alive ? 1 : 0;
        }
        return live;
    }

private:
    struct Registration {
        std::function<void()> onChange;
        bool alive = true;
    };
    struct Source final : power::ChangeSource {
        explicit Source(std::shared_ptr<Registration> registration)
            : registration(std::move(registration))
        {
        }
        ~Source() override { registration->alive = false; }
        std::shared_ptr<Registration> registration;
    };
    std::vector<std::shared_ptr<Registration>> registrations;
};

/// A lid whose readings follow a script: each read takes the next one, and once the script is
/// used up every read repeats the last reading taken.
class FakeLidRegistry final : public registry::LidRegistry {
public:
    std::deque<std::optional<registry::PropertyValue>> script;
    std::optional<registry::PropertyValue> last;
    int reads = 0;

    std::optional<registry::PropertyValue> clamshellState() override
    {
        ++reads;
        if (!script.empty()) {
            last = script.front();
            script.pop_front();
        }
        return last;
    }
};

/// A workspace with its own notification center and scripted volume values per path; a path
/// without values makes the query fail.
class FakeWorkspace final : public workspace::Workspace {
public:
    std::map<std::filesystem::path, workspace::VolumeResourceValues> values;
    int centerFetches = 0;

    foundation::NotificationCenter& notificationCenter() override
    {
        ++centerFetches;
        return center;
    }

    std::optional<workspace::VolumeResourceValues> resourceValues(const std::filesystem::path& volumeURL) override
    {
        const auto it = values.find(volumeURL);
        if (it == values.end()) {
            return std::nullopt;
        }
        return it->second;
    }

    /// Posts a mount (or unmount) of the volume at `path`, as the platform does.
    void post(const std::filesystem::path& path, bool mounted)
    {
        center.post(
            foundation::Notification{mounted ? workspace::kDidMountNotification : workspace::kDidUnmountNotification,
                                     {{workspace::kVolumeURLKey, path}}});
    }

    foundation::NotificationCenter center;
};

} // namespace testsupport
