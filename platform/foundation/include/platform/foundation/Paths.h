#pragma once

#include <filesystem>

namespace foundation {

/// The user's caches folder: `$XDG_CACHE_HOME`, else `~/.cache`.
std::filesystem::path cachesFolder();
/// The user's home folder: `$HOME`, else the password database's entry.
std::filesystem::path homeFolder();

} // namespace foundation
