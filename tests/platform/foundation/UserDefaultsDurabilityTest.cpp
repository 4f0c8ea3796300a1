// The settings file's save must survive a crash: this executable interposes fsync and rename to
// see the order of the save's system calls.
#include "platform/foundation/UserDefaults.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex callsLock;
std::vector<std::string> calls;

std::string pathOf(int fd)
{
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

void note(std::string call)
{
    const std::lock_guard lock(callsLock);
    calls.push_back(std::move(call));
}

} // namespace

extern "C" int fsync(int fd)
{
    note("fsync " + pathOf(fd));
    static auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    return real(fd);
}

extern "C" int rename(const char* from, const char* to)
{
    note(std::string("rename ") + from + " " + to);
    static auto real = reinterpret_cast<int (*)(const char*, const char*)>(::dlsym(RTLD_NEXT, "rename"));
    return real(from, to);
}

namespace {

TEST(UserDefaultsDurability, SyncsTheTemporaryFileBeforeTheRenameAndTheFolderAfterIt)
{
    testsupport::TempDir dir;
    const auto file = std::filesystem::canonical(dir.path()) / "Suite.plist";
    foundation::UserDefaults defaults(file);
    {
        const std::lock_guard lock(callsLock);
        calls.clear();
    }
    defaults.set("key", foundation::PlistValue("value"));
    std::vector<std::string> seen;
    {
        const std::lock_guard lock(callsLock);
        seen = calls;
    }
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].rfind("fsync " + file.string() + ".tmp.", 0), 0u) << seen[0];
    EXPECT_EQ(seen[1].rfind("rename " + file.string() + ".tmp.", 0), 0u) << seen[1];
    EXPECT_EQ(seen[1].substr(seen[1].size() - file.string().size()), file.string());
    EXPECT_EQ(seen[2], "fsync " + file.parent_path().string());
    EXPECT_EQ(defaults.stringForKey("key"), "value");
}

TEST(UserDefaultsDurability, TheFileIsOwnerOnlyWhateverTheUmask)
{
    testsupport::TempDir dir;
    const auto file = dir.path() / "Open.plist";
    const mode_t previous = ::umask(0);
    foundation::UserDefaults(file).set("key", foundation::PlistValue(true));
    ::umask(previous);
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

} // namespace
