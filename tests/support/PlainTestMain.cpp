// The main of the test executables that link no Qt. Each process gets a private, fresh home
// for settings and caches (ctest runs test cases in parallel processes, and the analytics
// client keeps one settings file for all its instances), removed at the end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(THWACKO_TEST_HOME, error);
    std::string home = std::string(THWACKO_TEST_HOME) + "/plain-XXXXXX";
    if (!::mkdtemp(home.data())) {
        return 2;
    }
    ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
    ::setenv("THWACKO_SOURCE_DIR", THWACKO_SOURCE_DIR, 0);

    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    fs::remove_all(home, error);
    return result;
}
