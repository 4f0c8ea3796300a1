#include "platform/workspace/LinuxWorkspace.h"

#include "platform/qt/FdWatch.h"

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace workspace {

LinuxWorkspace::LinuxWorkspace(std::filesystem::path root)
    : root(std::move(root))
{
}

LinuxWorkspace::~LinuxWorkspace()
{
    // The watch goes before the descriptor it watches.
    watch.reset();
    if (mountInfoFd >= 0) {
        ::close(mountInfoFd);
    }
}

foundation::NotificationCenter& LinuxWorkspace::notificationCenter()
{
    startWatching();
    return center;
}

std::optional<VolumeResourceValues> LinuxWorkspace::resourceValues(const std::filesystem::path& volumeURL)
{
    std::filesystem::path wanted = volumeURL.lexically_normal();
    if (wanted.has_relative_path() && !wanted.has_filename()) {
        wanted = wanted.parent_path(); // "/media/usb/" names the same mount as "/media/usb"
    }
    // The newest mount at a path is the one on top.
    for (auto it = volumes.rbegin(); it != volumes.rend(); ++it) {
        if (it->second.entry.mountPoint == wanted) {
            return it->second.values;
        }
    }
    return std::nullopt;
}

void LinuxWorkspace::startWatching()
{
    if (watching) {
        return;
    }
    watching = true;
    if (const auto mounts = readVolumeMounts()) {
        for (const auto& entry : *mounts) {
            volumes[entry.id] = Volume{entry, probeVolume(root, entry)};
        }
    }
    const std::filesystem::path mountInfo = root / "proc/self/mountinfo";
    mountInfoFd = ::open(mountInfo.c_str(), O_RDONLY | O_CLOEXEC);
    if (mountInfoFd >= 0) {
        watch = std::make_unique<platform::FdWatch>(mountInfoFd, platform::FdWatch::Condition::priority,
                                                    [this] { rescan(); });
    }
}

std::optional<std::vector<MountEntry>> LinuxWorkspace::readVolumeMounts() const
{
    std::ifstream in(root / "proc/self/mountinfo");
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    std::vector<MountEntry> mounts;
    for (auto& entry : parseMountInfo(text.str())) {
        if (isVolumeMount(entry)) {
            mounts.push_back(std::move(entry));
        }
    }
    return mounts;
}

void LinuxWorkspace::rescan()
{
    if (!watching) {
        startWatching();
        return;
    }
    const auto mounts = readVolumeMounts();
    if (!mounts) {
        return;
    }
    std::vector<MountEntry> before;
    for (const auto& [id, volume] : volumes) {
        before.push_back(volume.entry);
    }
    const MountChanges changes = diffMountTables(before, *mounts);
    for (const auto& entry : changes.unmounted) {
        // Forgotten only after the post, so that observers can still ask for its values.
        post(kDidUnmountNotification, entry.mountPoint);
        volumes.erase(entry.id);
    }
    for (const auto& entry : changes.mounted) {
        volumes[entry.id] = Volume{entry, probeVolume(root, entry)};
        post(kDidMountNotification, entry.mountPoint);
    }
}

void LinuxWorkspace::post(const char* name, const std::filesystem::path& mountPoint)
{
    center.post(foundation::Notification{name, {{kVolumeURLKey, mountPoint}}});
}

} // namespace workspace
