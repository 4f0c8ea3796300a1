#pragma once

#include <filesystem>

namespace foundation {

/// The user's caches folder: `$XDG_CACHE_HOME` when it is an absolute path, else `~/.cache`.
std::filesystem::path cachesFolder();
/// The user's home folder: `$HOME` when it is an absolute path, else the password database's entry,
/// else the temporary folder.
std::filesystem::path homeFolder();

} // namespace foundation
