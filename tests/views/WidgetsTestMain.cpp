// The main of the view tests: the environment of every test (no display, OpenAL's null device,
// a private home), a QApplication for the widgets, and the Fusion style, so pictures and sizes
// do not depend on the desktop's theme.
#include <QApplication>
#include <QStyleFactory>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("ALSOFT_DRIVERS", "null", 0);
    ::setenv("XDG_CONFIG_HOME", THWACKO_TEST_HOME "/config", 0);
    ::setenv("XDG_CACHE_HOME", THWACKO_TEST_HOME "/cache", 0);
    ::setenv("THWACKO_SOURCE_DIR", THWACKO_SOURCE_DIR, 0);
    ::setenv("THWACKO_RESOURCE_DIR", THWACKO_RESOURCE_DIR, 0);

    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    return RUN_ALL_TESTS();
}
