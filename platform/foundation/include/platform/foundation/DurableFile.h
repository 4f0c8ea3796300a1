#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace foundation {

/// Who may read a file written by writeFileDurably.
enum class FileAccess {
    Default,   // 0666 less the umask
    OwnerOnly, // 0600 whatever the umask
};

/// Replaces `path` with `bytes` so that a reader, a crash or a power cut sees the old or the new
/// contents, never a part: a temporary file beside it is written and synced, renamed over it, and
/// the folder is synced so that the rename itself is on disk. Creates missing folders. Safe to
/// call from several threads at once. On failure leaves no temporary behind and says why.
bool writeFileDurably(const std::filesystem::path& path, std::string_view bytes, FileAccess access, std::string& why);

} // namespace foundation
