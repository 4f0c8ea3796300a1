// The main of the test executables that link no Qt: a private home for settings and caches and
// the source folder, unless the caller set them already.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    ::setenv("XDG_CONFIG_HOME", THWACKO_TEST_HOME "/config", 0);
    ::setenv("XDG_CACHE_HOME", THWACKO_TEST_HOME "/cache", 0);
    ::setenv("THWACKO_SOURCE_DIR", THWACKO_SOURCE_DIR, 0);

    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
