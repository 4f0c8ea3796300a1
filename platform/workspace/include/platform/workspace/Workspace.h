#pragma once

#include "platform/foundation/NotificationCenter.h"

#include <filesystem>
#include <optional>
#include <string>

namespace workspace {

/// Posted on the main thread when a volume has been mounted.
inline constexpr const char* kDidMountNotification = "WorkspaceDidMount";
/// Posted on the main thread when a volume has been unmounted.
inline constexpr const char* kDidUnmountNotification = "WorkspaceDidUnmount";
/// userInfo key of both notifications: the volume's mount point, a std::filesystem::path.
inline constexpr const char* kVolumeURLKey = "VolumeURL";

/// What a volume tells about itself; each value may be unknown.
struct VolumeResourceValues {
    std::optional<bool> isRemovable;
    std::optional<bool> isEjectable;
    std::optional<std::string> name;
};

/// The desktop's view of mounted volumes.
class Workspace {
public:
    virtual ~Workspace() = default;
    /// The workspace's own notification center (not the application's): the same one on every call.
    virtual foundation::NotificationCenter& notificationCenter() = 0;
    /// The values of the volume mounted at `volumeURL`; nullopt when the query fails.
    virtual std::optional<VolumeResourceValues> resourceValues(const std::filesystem::path& volumeURL) = 0;
};

} // namespace workspace
