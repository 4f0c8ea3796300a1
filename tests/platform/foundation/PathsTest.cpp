#include "platform/foundation/Paths.h"

#include "ScopedEnvironment.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(Paths, CachesFolderFollowsXdgCacheHomeElseTheHomeFolder)
{
    const struct {
        const char* name;
        std::optional<std::string> xdgCacheHome;
        fs::path expected;
    } cases[] = {
        {"absolute", "/var/tmp/caches", "/var/tmp/caches"},
        {"unset", std::nullopt, "/home/someone/.cache"},
        {"empty", "", "/home/someone/.cache"},
        {"relative", "caches", "/home/someone/.cache"},
    };
    for (const auto& c : cases) {
        ScopedEnvironment environment;
        environment.set("HOME", "/home/someone");
        environment.set("XDG_CACHE_HOME", c.xdgCacheHome);
        EXPECT_EQ(foundation::cachesFolder(), c.expected) << c.name;
    }
}

TEST(Paths, HomeFolderFallsBackToThePasswordEntry)
{
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_TRUE(entry && entry->pw_dir);
    const struct {
        const char* name;
        std::optional<std::string> home;
        fs::path expected;
    } cases[] = {
        {"set", "/home/someone", "/home/someone"},
        {"unset", std::nullopt, entry->pw_dir},
        {"relative", "someone", entry->pw_dir},
    };
    for (const auto& c : cases) {
        ScopedEnvironment environment;
        environment.set("HOME", c.home);
        EXPECT_EQ(foundation::homeFolder(), c.expected) << c.name;
    }
}
