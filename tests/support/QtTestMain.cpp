// The main of every test executable: a Qt application object exists for the whole run, so
// timers, socket notifiers and queued calls work on the test's (main) thread.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
