#pragma once

#include "platform/workspace/Workspace.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace workspace {

/// One line of a mountinfo file, with the kernel's octal escapes decoded.
struct MountEntry {
    int id = 0;         ///< unique per mount: a remount in place keeps it
    std::string device; ///< "major:minor"
    std::string root;   ///< the folder of the file system mounted ("/" for all of it)
    std::filesystem::path mountPoint;
    std::string fsType;
    std::string source; ///< e.g. "/dev/sdb1"
};

/// The entries of a mountinfo text, in file order; malformed lines are skipped.
std::vector<MountEntry> parseMountInfo(std::string_view text);

/// Whether an entry is a volume: a block device under /dev/ mounted whole, not a bind mount of
/// one of its folders.
bool isVolumeMount(const MountEntry& entry);

/// The mounts that came and went between two tables, matched by id, each in table order.
struct MountChanges {
    std::vector<MountEntry> mounted;
    std::vector<MountEntry> unmounted;
};
MountChanges diffMountTables(const std::vector<MountEntry>& before, const std::vector<MountEntry>& after);

/// Reads a mounted volume's values below `root`:
/// - the device is the source's last component, after one symbolic link (/dev/mapper/x -> dm-0);
/// - removable is the `removable` attribute of `sys/class/block/<device>`, or of its disk for a
///   partition;
/// - ejectable is true for removable media and for any disk attached through USB (its sysfs path
///   runs through a "/usb" node), false otherwise;
/// - the name is the `dev/disk/by-label` link that points at the device, with udev's \xNN
///   escapes decoded.
/// Values that cannot be read (the device is gone, no label) stay unknown.
VolumeResourceValues probeVolume(const std::filesystem::path& root, const MountEntry& entry);

/// Decodes udev's \xNN escapes ("My\x20Disk" -> "My Disk").
std::string decodeUdevEscapes(std::string_view text);

} // namespace workspace
