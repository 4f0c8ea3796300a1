#include "support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace testsupport {

namespace fs = std::filesystem;

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "thwacko-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    root = pattern;
}

TempDir::~TempDir()
{
    std::error_code error;
    fs::remove_all(root, error);
}

fs::path TempDir::write(const fs::path& relative, const std::string& contents) const
{
    const fs::path full = root / relative;
    fs::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << contents;
    return full;
}

fs::path TempDir::mkdir(const fs::path& relative) const
{
    const fs::path full = root / relative;
    fs::create_directories(full);
    return full;
}

static fs::path fromEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || !*value) {
        throw std::runtime_error(std::string(name) + " is not set; run the tests through ctest");
    }
    return value;
}

fs::path sourceDir() { return fromEnvironment("THWACKO_SOURCE_DIR"); }

fs::path builtResourceDir() { return fromEnvironment("THWACKO_RESOURCE_DIR"); }

} // namespace testsupport
