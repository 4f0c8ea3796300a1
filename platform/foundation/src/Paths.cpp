#include "platform/foundation/Paths.h"

#include "Environment.h"

#include <cstdlib>
#include <optional>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace foundation {

namespace fs = std::filesystem;

std::optional<fs::path> absolutePathFromEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || !*value) {
        return std::nullopt;
    }
    fs::path path(value);
    if (!path.is_absolute()) {
        return std::nullopt;
    }
    return path;
}

fs::path homeFolder()
{
    if (auto home = absolutePathFromEnvironment("HOME")) {
        return *home;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        *found->pw_dir) {
        return fs::path(found->pw_dir);
    }
    // No home at all (a stripped-down service account): keep files somewhere that exists.
    std::error_code error;
    return fs::temp_directory_path(error);
}

fs::path cachesFolder()
{
    if (auto cache = absolutePathFromEnvironment("XDG_CACHE_HOME")) {
        return *cache;
    }
    return homeFolder() / ".cache";
}

} // namespace foundation
