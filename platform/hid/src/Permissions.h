#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace hid::detail {

/// The udev rules file that grants the logged-in user access to the sensors.
inline constexpr std::string_view kUdevRulesFile = "resources/udev/70-thwacko-sensors.rules";

/// What to tell the user about `file` that this user may not open: its owner group and mode,
/// and what grants access (the group, where joining it would do, and the udev rules file).
std::string permissionAdvice(const std::filesystem::path& file);
/// Logs a warning that the `kind` sensor at `file` cannot be opened for lack of permission.
void warnAboutPermission(std::string_view kind, const std::filesystem::path& file);
/// Whether this process may open `file` for reading (and writing, when `write`); false sets
/// errno as access(2) does.
bool mayOpen(const std::filesystem::path& file, bool write = false);

} // namespace hid::detail
