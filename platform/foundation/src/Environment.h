#pragma once

#include <filesystem>
#include <optional>

namespace foundation {

/// The environment variable `name` as a path, when it is set to an absolute path. XDG base
/// directories must be absolute; a relative value is ignored as the XDG rules ask.
std::optional<std::filesystem::path> absolutePathFromEnvironment(const char* name);

} // namespace foundation
