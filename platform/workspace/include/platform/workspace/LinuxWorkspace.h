#pragma once

#include "platform/workspace/MountTable.h"
#include "platform/workspace/Workspace.h"

#include <filesystem>
#include <map>
#include <memory>

namespace platform {
class FdWatch;
}

namespace workspace {

/// Volumes from `<root>/proc/self/mountinfo`, with their values probed from sysfs when they
/// appear and remembered until they are gone, so that an unmount (after which the device has
/// usually vanished) is still described.
///
/// Construction touches nothing. The first notificationCenter() or rescan() call reads the
/// mount table as the baseline, without notifications, and starts watching it: the kernel
/// flags a change of the table as an exceptional condition on the open file, and each flag
/// triggers rescan(). Main thread only; needs the Qt event loop for the watching.
class LinuxWorkspace final : public Workspace {
public:
    explicit LinuxWorkspace(std::filesystem::path root = "/");
    ~LinuxWorkspace() override;
    LinuxWorkspace(const LinuxWorkspace&) = delete;
    LinuxWorkspace& operator=(const LinuxWorkspace&) = delete;

    foundation::NotificationCenter& notificationCenter() override;
    /// The remembered values of the volume mounted at `volumeURL`, also while its unmount is
    /// being posted; nullopt for any other path.
    std::optional<VolumeResourceValues> resourceValues(const std::filesystem::path& volumeURL) override;

    /// Re-reads the mount table and posts an unmount for each volume gone, then a mount for each
    /// new one. An unreadable table changes nothing.
    void rescan();

private:
    struct Volume {
        MountEntry entry;
        VolumeResourceValues values;
    };

    void startWatching();
    std::optional<std::vector<MountEntry>> readVolumeMounts() const;
    void post(const char* name, const std::filesystem::path& mountPoint);

    std::filesystem::path root;
    foundation::NotificationCenter center;
    bool watching = false;
    std::map<int, Volume> volumes; // by mount id
    int mountInfoFd = -1;
    std::unique_ptr<platform::FdWatch> watch;
};

} // namespace workspace
