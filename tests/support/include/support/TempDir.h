#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

/// A fresh folder under the system's temporary folder, deleted with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return root; }
    /// Writes `contents` to `relative` below the folder, creating parent folders; returns the full path.
    std::filesystem::path write(const std::filesystem::path& relative, const std::string& contents) const;
    /// Creates the folder `relative` (and its parents); returns the full path.
    std::filesystem::path mkdir(const std::filesystem::path& relative) const;

private:
    std::filesystem::path root;
};

/// The source tree (THWACKO_SOURCE_DIR, set by the test build).
std::filesystem::path sourceDir();
/// The built resource folder next to the executables (THWACKO_RESOURCE_DIR).
std::filesystem::path builtResourceDir();

} // namespace testsupport
