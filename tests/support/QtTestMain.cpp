// The main of every test executable. It gives the process the test environment (unless the
// caller set a variable already): no display, OpenAL's null device, a private home for
// settings and caches, and the source and resource folders; then it keeps a Qt application
// object alive for the whole run, so timers, socket notifiers and queued calls work on the
// test's (main) thread. Built with THWACKO_TEST_WIDGETS it keeps a widget application instead,
// for tests that open windows or dialogs, in the Fusion style, so that pictures and sizes do not
// depend on the desktop's theme.
#ifdef THWACKO_TEST_WIDGETS
#include <QApplication>
#include <QStyleFactory>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif
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
    TestApplication app(argc, argv);
#ifdef THWACKO_TEST_WIDGETS
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
#endif
    return RUN_ALL_TESTS();
}
