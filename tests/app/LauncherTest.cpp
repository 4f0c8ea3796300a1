// The real launcher and application library, run as a user would run them (offscreen, no sound
// card, the recorded sensor).
#include "platform/foundation/UserDefaults.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

#include <QRegularExpression>

#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

QProcessEnvironment appEnvironment(const TempDir& home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("ALSOFT_DRIVERS", "null");
    env.insert("XDG_CONFIG_HOME", QString::fromStdString((home.path() / "config").string()));
    env.insert("XDG_CACHE_HOME", QString::fromStdString((home.path() / "cache").string()));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(home.path().string()));
    env.remove("THWACKO_RESOURCES");
    env.remove("ALSOFT_CONF");
    return env;
}

/// Waits until the process has written `text` to its standard error; returns all it wrote.
bool waitForError(QProcess& process, QByteArray& seen, const char* text)
{
    return testsupport::pumpUntil(
               [&] {
        seen += process.readAllStandardError();
        return seen.contains(text) || process.state() == QProcess::NotRunning;
               },
               std::chrono::seconds(30)) &&
        seen.contains(text);
}

} // namespace

TEST(Launcher, RunsTheApplicationAndStopsListeningOnSigterm)
{
    TempDir home;
    QProcess app;
    app.setProcessEnvironment(appEnvironment(home));
    app.start(THWACKO_LAUNCHER, {"--sensor", "replay", "--start-listening"});
    ASSERT_TRUE(app.waitForStarted());

    QByteArray errors;
    ASSERT_TRUE(waitForError(app, errors, "thwacko.status: Listening for slaps...")) << errors.toStdString();
    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return app.state() == QProcess::NotRunning; }, std::chrono::seconds(30)));
    errors += app.readAllStandardError();

    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << errors.toStdString();
    EXPECT_EQ(app.exitCode(), 0) << errors.toStdString();
    // The state it ended in, then the stop that termination brings.
    const auto ending = errors.indexOf("thwacko.app: terminating; status: Listening for slaps...");
    EXPECT_GE(ending, 0) << errors.toStdString();
    EXPECT_GT(errors.indexOf("thwacko.status: Stopped", ending), ending) << errors.toStdString();
    // The onboarding flag is written back at every launch.
    foundation::UserDefaults defaults(home.path() / "config/ThwackoApp/ThwackoApp.plist");
    EXPECT_TRUE(defaults.object("Bonkly.hasCompletedOnboarding"));
    // The sound output's update size, configured at start-up.
    EXPECT_TRUE(fs::is_regular_file(home.path() / "cache/ThwackoApp/openal.conf"));
}

TEST(Launcher, TellsWhyListeningFailedAndEndsWithIt)
{
    TempDir home;
    QProcess app;
    app.setProcessEnvironment(appEnvironment(home));
    app.start(THWACKO_LAUNCHER, {"--sensor", "none", "--start-listening"});
    QByteArray errors;
    ASSERT_TRUE(waitForError(app, errors, "thwacko.status: Error")) << errors.toStdString();
    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return app.state() == QProcess::NotRunning; }, std::chrono::seconds(30)));
    errors += app.readAllStandardError();

    const QByteArray error = "Accelerometer not found. Make sure this laptop has a motion sensor.";
    EXPECT_TRUE(errors.contains("thwacko.status: error: " + error)) << errors.toStdString();
    EXPECT_TRUE(errors.contains("thwacko.app: terminating; status: Error; error: " + error)) << errors.toStdString();
    EXPECT_EQ(app.exitCode(), 0);
}

// What the application writes to its log names no Mac: a run that finds no sensor, and a run
// that finds one (the recording) and listens.
TEST(Launcher, ItsLogNamesNoMac)
{
    const QRegularExpression macWords(QStringLiteral("\\b(Mac|MacBooks?|macOS|Apple Silicon|IORegistry)\\b"));
    TempDir sensors; // an empty device tree: no sensor of any kind
    for (const QStringList& args : {QStringList{"--sensor", "auto", "--start-listening"},
                                    QStringList{"--sensor", "replay", "--start-listening"}}) {
        TempDir home;
        QProcessEnvironment env = appEnvironment(home);
        env.insert("THWACKO_SENSOR_ROOT", QString::fromStdString(sensors.path().string()));
        QProcess app;
        app.setProcessEnvironment(env);
        app.start(THWACKO_LAUNCHER, args);
        QByteArray errors;
        ASSERT_TRUE(waitForError(app, errors, args[1] == "auto" ? "thwacko.status: Error" : "Listening for slaps..."))
            << errors.toStdString();
        ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
        ASSERT_TRUE(
            testsupport::pumpUntil([&] { return app.state() == QProcess::NotRunning; }, std::chrono::seconds(30)));
        errors += app.readAllStandardError();
        const auto match = macWords.match(QString::fromUtf8(errors));
        EXPECT_FALSE(match.hasMatch()) << match.captured().toStdString() << " in:\n" << errors.toStdString();
    }
}

// A user who may not read the motion sensor learns it, and what grants access, from the status
// card's error; the application runs as an unprivileged user against a sensor only root may read.
TEST(Launcher, AnUnreadableSensorSaysWhichRulesFileGrantsAccess)
{
    TempDir sensors;
    ASSERT_EQ(::chmod(sensors.path().c_str(), 0755), 0);
    sensors.write("sys/class/hidraw/hidraw0/device/report_descriptor",
                  std::string("\x06\x00\xFF\x09\x03\xA1\x01\x75\x08\x95\x16\x81\x02\xC0", 14));
    sensors.mkdir("dev");
    ASSERT_EQ(::mkfifo((sensors.path() / "dev/hidraw0").c_str(), 0600), 0);
    for (const char* folder : {"sys", "sys/class", "sys/class/hidraw", "sys/class/hidraw/hidraw0",
                               "sys/class/hidraw/hidraw0/device", "dev"}) {
        ::chmod((sensors.path() / folder).c_str(), 0755);
    }
    ::chmod((sensors.path() / "sys/class/hidraw/hidraw0/device/report_descriptor").c_str(), 0644);

    TempDir home;
    const bool dropRoot = ::geteuid() == 0;
    if (dropRoot) {
        for (const auto& entry : fs::recursive_directory_iterator(home.path())) {
            ASSERT_EQ(::chown(entry.path().c_str(), 65534, 65534), 0);
        }
        ASSERT_EQ(::chown(home.path().c_str(), 65534, 65534), 0);
    }
    QProcessEnvironment env = appEnvironment(home);
    env.insert("THWACKO_SENSOR_ROOT", QString::fromStdString(sensors.path().string()));
    QProcess app;
    app.setProcessEnvironment(env);
    if (dropRoot) {
        app.setChildProcessModifier([] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                ::_exit(97);
            }
        });
    }
    app.start(THWACKO_LAUNCHER, {"--sensor", "auto", "--start-listening"});
    QByteArray errors;
    ASSERT_TRUE(waitForError(app, errors, "thwacko.status: Error")) << errors.toStdString();
    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return app.state() == QProcess::NotRunning; }, std::chrono::seconds(30)));
    errors += app.readAllStandardError();
    EXPECT_TRUE(errors.contains("thwacko.status: error: Cannot open accelerometer (code: 0xfffffff3). This user may "
                                "not read the motion sensor; the udev rules file 70-thwacko-sensors.rules grants "
                                "access."))
        << errors.toStdString();
    EXPECT_EQ(app.exitCode(), 0) << errors.toStdString();
}

TEST(Launcher, SigintQuitsCleanlyToo)
{
    TempDir home;
    QProcess app;
    app.setProcessEnvironment(appEnvironment(home));
    app.start(THWACKO_LAUNCHER, {"--sensor", "none"});
    QByteArray errors;
    ASSERT_TRUE(waitForError(app, errors, "thwacko.app: launched")) << errors.toStdString();
    ::kill(static_cast<pid_t>(app.processId()), SIGINT);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return app.state() == QProcess::NotRunning; }, std::chrono::seconds(30)));
    EXPECT_EQ(app.exitCode(), 0);
}

TEST(Launcher, MissingResourcesAreNamedAndTheApplicationRunsOn)
{
    TempDir home;
    const std::string resources = (home.path() / "gone").string();
    QProcessEnvironment env = appEnvironment(home);
    env.insert("THWACKO_RESOURCES", QString::fromStdString(resources));
    QProcess app;
    app.setProcessEnvironment(env);
    app.start(THWACKO_LAUNCHER, {"--sensor", "none", "--start-listening"});
    QByteArray errors;
    const std::string message = "Cannot find the application's resources in " + resources;
    ASSERT_TRUE(waitForError(app, errors, "thwacko.app: launched")) << errors.toStdString();
    EXPECT_TRUE(errors.contains("thwacko.status: error: " + message)) << errors.toStdString();
    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return app.state() == QProcess::NotRunning; }, std::chrono::seconds(30)));
    errors += app.readAllStandardError();
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << errors.toStdString();
    EXPECT_EQ(app.exitCode(), 0) << errors.toStdString();
    EXPECT_TRUE(errors.contains("; error: " + message)) << errors.toStdString(); // still shown at the end
}

struct NoDisplayCase {
    const char* name;
    const char* platform; // QT_QPA_PLATFORM, or nullptr for none
    const char* display;  // DISPLAY, or nullptr for none
    const char* reason;
};

const NoDisplayCase kNoDisplayCases[] = {
    {"NoneNamed", nullptr, nullptr, "neither DISPLAY nor WAYLAND_DISPLAY is set"},
    {"X11WithoutDisplay", "xcb", nullptr, "no display for the platform \"xcb\""},
    {"UnreachableDisplay", "xcb", ":4242", "cannot connect to the display"},
};

class LauncherWithoutDisplay : public ::testing::TestWithParam<NoDisplayCase> {};

TEST_P(LauncherWithoutDisplay, SaysSoInOneLineAndFails)
{
    TempDir home;
    QProcessEnvironment env = appEnvironment(home);
    env.remove("QT_QPA_PLATFORM");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    if (GetParam().platform) {
        env.insert("QT_QPA_PLATFORM", GetParam().platform);
    }
    if (GetParam().display) {
        ASSERT_FALSE(fs::exists("/tmp/.X11-unix/X4242"));
        env.insert("DISPLAY", GetParam().display);
    }
    QProcess app;
    app.setProcessEnvironment(env);
    app.start(THWACKO_LAUNCHER, {"--sensor", "none"});
    ASSERT_TRUE(app.waitForFinished(30000));
    const std::string errors = app.readAllStandardError().toStdString();

    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << errors;
    EXPECT_EQ(app.exitCode(), 1) << errors;
    EXPECT_EQ(errors, std::string("Bonkly needs a graphical session (") + GetParam().reason +
                          "); to run it without one, start it with QT_QPA_PLATFORM=offscreen\n");
}

INSTANTIATE_TEST_SUITE_P(All, LauncherWithoutDisplay, ::testing::ValuesIn(kNoDisplayCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Launcher, AMissingLibraryIsAClearErrorAndAFailure)
{
    TempDir dir;
    const fs::path launcher = dir.path() / "ThwackoApp";
    fs::copy_file(THWACKO_LAUNCHER, launcher);
    QProcess app;
    app.start(QString::fromStdString(launcher.string()), {});
    ASSERT_TRUE(app.waitForFinished(30000));
    const std::string errors = app.readAllStandardError().toStdString();
    EXPECT_NE(app.exitCode(), 0);
    EXPECT_NE(errors.find("ThwackoApp: cannot load " + (dir.path() / "ThwackoApp.debug").string()), std::string::npos)
        << errors;
}

TEST(Launcher, FallsBackToMainAndPassesItsResultOn)
{
    TempDir dir;
    const fs::path launcher = dir.path() / "ThwackoApp";
    fs::copy_file(THWACKO_LAUNCHER, launcher);
    fs::copy_file(FALLBACK_LIBRARY, dir.path() / "ThwackoApp.debug");
    QProcess app;
    app.start(QString::fromStdString(launcher.string()), {"one", "two"});
    ASSERT_TRUE(app.waitForFinished(30000));
    EXPECT_EQ(app.exitCode(), 43) << app.readAllStandardError().toStdString(); // 40 + argc
}
