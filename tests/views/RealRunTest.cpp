// The real application under a virtual X server, driven from outside: a first launch shows the
// onboarding, the recorded sensor's knocks pass the slap test, a click on "Start Slapping" (sent
// with xdotool) switches the window to the main window in place, and the slaps that follow are
// heard in OpenAL's wave writer. Skipped where Xvfb or xdotool is not installed.
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <cstdlib>
#include <optional>

namespace {

using testsupport::TempDir;

QString run(const QString& program, const QStringList& args, const QProcessEnvironment& env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

/// Polls `done` every 100 ms until it holds or `ms` pass (a bound, not a measurement).
bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) {
            return false;
        }
        QThread::msleep(100);
    }
    return true;
}

/// Whether the wave file holds any sample louder than near-silence.
bool waveHasSound(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray data = file.readAll();
    const auto* samples = reinterpret_cast<const qint16*>(data.constData() + 44);
    const qsizetype count = (data.size() - 44) / 2;
    for (qsizetype i = 0; i < count; ++i) {
        if (std::abs(int(samples[i])) > 300) {
            return true;
        }
    }
    return false;
}

class RealRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        xvfb = QStandardPaths::findExecutable("Xvfb");
        xdotool = QStandardPaths::findExecutable("xdotool");
        if (xvfb.isEmpty() || xdotool.isEmpty()) {
            GTEST_SKIP() << "Xvfb or xdotool is not installed (scripts/setup installs both)";
        }
        // The server picks a free display number itself and writes it once it accepts
        // connections, so tests side by side never race for a number or reach a server that is
        // still starting (or a stale socket left by one that was killed).
        server.start(xvfb, {"-displayfd", "1", "-screen", "0", "1280x900x24", "-nolisten", "tcp"});
        ASSERT_TRUE(server.waitForStarted());
        QByteArray out;
        waitFor(
            [&] {
            server.waitForReadyRead(100);
            out += server.readAllStandardOutput();
            return out.contains('\n') || server.state() == QProcess::NotRunning;
            },
            20000);
        bool isNumber = false;
        const int number = out.trimmed().toInt(&isNumber);
        if (isNumber && server.state() != QProcess::NotRunning) {
            display = QString(":%1").arg(number);
        }
        ASSERT_FALSE(display.isEmpty()) << "no display for Xvfb";
    }

    void TearDown() override
    {
        if (app.state() != QProcess::NotRunning) {
            app.kill();
            app.waitForFinished();
        }
        if (server.state() != QProcess::NotRunning) {
            server.terminate();
            if (!server.waitForFinished(5000)) {
                server.kill();
                server.waitForFinished();
            }
        }
    }

    QString xdo(const QStringList& args) { return run(xdotool, args, xEnv()); }

    QProcessEnvironment xEnv() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display);
        return env;
    }

    /// The window's width, from outside.
    std::optional<int> windowWidth(const QString& window)
    {
        const QString out = xdo({"getwindowgeometry", "--shell", window});
        for (const QString& line : out.split('\n')) {
            if (line.startsWith("WIDTH=")) {
                return line.mid(6).toInt();
            }
        }
        return std::nullopt;
    }

    /// The application's environment on this display: X11, private folders (its runtime folder
    /// among them, so it meets no other copy), the recorded sensor, no sound card.
    QProcessEnvironment appEnvironment() const
    {
        QProcessEnvironment env = xEnv();
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("ALSOFT_DRIVERS", "null");
        env.remove("ALSOFT_CONF");
        env.insert("XDG_CONFIG_HOME", QString::fromStdString((home.path() / "config").string()));
        env.insert("XDG_CACHE_HOME", QString::fromStdString((home.path() / "cache").string()));
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(home.path().string()));
        env.insert("THWACKO_SENSOR", "replay");
        env.remove("THWACKO_SENSOR_REPLAY"); // the recording among the resources
        // libxkbcommon-x11, which Qt's X11 plugin loads, reads keymap names with strndup past their
        // end; the check of strict string bounds reports that library, not this application.
        env.insert("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=1:strict_string_checks=0");
        if (!env.contains("LSAN_OPTIONS")) {
            env.insert("LSAN_OPTIONS", "suppressions=" THWACKO_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0");
        }
        return env;
    }

    TempDir home;
    QString xvfb;
    QString xdotool;
    QString display;
    QProcess server;
    QProcess app;
};

TEST_F(RealRun, OnboardingThenStartSlappingListensAndPlays)
{
    const QString wave = QString::fromStdString((home.path() / "out.wav").string());
    const auto config = home.write("alsoft.conf", "[general]\nchannels = stereo\nsample-type = int16\n"
                                                  "frequency = 44100\n[wave]\nfile = " +
                                                      wave.toStdString() + "\n");
    QProcessEnvironment env = appEnvironment();
    env.insert("ALSOFT_DRIVERS", "wave");
    env.insert("ALSOFT_CONF", QString::fromStdString(config.string()));
    app.setProcessEnvironment(env);
    // Kept in a file, read at the end: nothing reads a pipe while the test waits.
    const QString errorFile = QString::fromStdString((home.path() / "app.err").string());
    app.setStandardOutputFile(QProcess::nullDevice());
    app.setStandardErrorFile(errorFile);
    app.start(THWACKO_LAUNCHER, {});
    ASSERT_TRUE(app.waitForStarted());

    QString window;
    ASSERT_TRUE(waitFor(
        [&] {
        window = xdo({"search", "--onlyvisible", "--name", "^Bonkly$"}).section('\n', 0, 0);
        return !window.isEmpty();
        },
        30000))
        << "no window titled Bonkly";
    ASSERT_TRUE(waitFor([&] { return windowWidth(window) == 440; }, 10000)) << "the onboarding is not 440 wide";

    // The go button spans the column below the two cards once the test slap is counted; click
    // down that band until the window has switched to the main window (which is 720 wide).
    const bool switched = waitFor(
        [&] {
        for (int y : {540, 556, 570, 585}) {
            xdo({"mousemove", "--window", window, "220", QString::number(y), "click", "1"});
            if (windowWidth(window) >= 720) {
                return true;
            }
        }
        return false;
        },
        60000);
    ASSERT_TRUE(switched) << "the window never switched to the main window";
    EXPECT_EQ(xdo({"search", "--onlyvisible", "--name", "^Bonkly$"}).section('\n', 0, 0), window) << "not in place";

    // The flag persists for the next launch.
    const QString defaults = QString::fromStdString((home.path() / "config").string());
    QStringList plists;
    for (const QString& entry : QDir(defaults).entryList(QStringList{"*"}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        for (const QString& file : QDir(defaults + "/" + entry).entryList({"*.plist"}, QDir::Files)) {
            plists << defaults + "/" + entry + "/" + file;
        }
    }
    bool flagged = false;
    for (const QString& plist : plists) {
        QFile file(plist);
        flagged = flagged || (file.open(QIODevice::ReadOnly) && file.readAll().contains("hasCompletedOnboarding"));
    }
    EXPECT_TRUE(flagged) << "no defaults file holds the onboarding flag";

    // The replay keeps knocking: the main window listens and answers with sound.
    EXPECT_TRUE(waitFor([&] { return waveHasSound(wave); }, 60000)) << "no sound in " << wave.toStdString();
    ::kill(pid_t(app.processId()), SIGTERM);
    ASSERT_TRUE(app.waitForFinished(20000));
    QFile errorLog(errorFile);
    const QByteArray errors = errorLog.open(QIODevice::ReadOnly) ? errorLog.readAll() : QByteArray();
    // LeakSanitizer's own tracer can crash while it stops the exiting process's threads on a
    // loaded machine; then no leak check ran, and the application did nothing wrong.
    const bool tracerCrashed =
        errors.contains("Tracer caught signal") && errors.contains("LeakSanitizer has encountered a fatal error");
    if (!tracerCrashed) {
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << errors.toStdString();
        EXPECT_EQ(app.exitCode(), 0) << errors.toStdString();
    }
    EXPECT_TRUE(waveHasSound(wave)) << "no sound in " << wave.toStdString();
}

} // namespace

namespace {

// The main window's keyboard, as a user meets it: a later launch (the onboarding done) opens
// the main window; the window's pixels are read from the X server.
class RealRunKeyboard : public RealRun {
protected:
    void SetUp() override
    {
        RealRun::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        home.write("config/ThwackoApp/ThwackoApp.plist",
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                   "<key>Bonkly.hasCompletedOnboarding</key><true/></dict></plist>\n");
        app.setProcessEnvironment(appEnvironment());
        app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.start(THWACKO_LAUNCHER, {});
        ASSERT_TRUE(app.waitForStarted());
        ASSERT_TRUE(waitFor(
            [&] {
            window = xdo({"search", "--onlyvisible", "--name", "^Bonkly$"}).section('\n', 0, 0);
            return !window.isEmpty() && windowWidth(window) == 720;
            },
            30000))
            << "no main window";
    }

    /// A hash of the window's pixels, once two reads 100 ms apart agree (it has finished drawing).
    QString settledHash()
    {
        QString before;
        QString now;
        waitFor(
            [&] {
            before = now;
            now = run(THWACKO_XWINDOWTOOL, {"hash", window}, xEnv());
            return !now.isEmpty() && now == before;
            },
            10000);
        return now;
    }
    bool hashBecomes(const std::function<bool(const QString&)>& wanted)
    {
        return waitFor([&] { return wanted(run(THWACKO_XWINDOWTOOL, {"hash", window}, xEnv())); }, 10000);
    }
    void clickAt(int x, int y)
    {
        xdo({"mousemove", "--window", window, QString::number(x), QString::number(y), "click", "1"});
    }
    QString sheet() { return xdo({"search", "--onlyvisible", "--name", "^Settings$"}).section('\n', 0, 0); }
    /// Opens the settings sheet with the header's gear.
    bool openSheet()
    {
        clickAt(345, 28);
        return waitFor([&] { return !sheet().isEmpty(); }, 10000);
    }

    QString window;
};

TEST_F(RealRunKeyboard, TheFocusRingShowsForTheKeyboardAndNotForAClick)
{
    const QString before = settledHash();
    clickAt(120, 228); // the mode "Sexy": selected and focused by the click
    ASSERT_TRUE(hashBecomes([&](const QString& hash) { return !hash.isEmpty() && hash != before; }))
        << "the click changed nothing";
    const QString clicked = settledHash();
    ASSERT_FALSE(clicked.isEmpty());
    // Tab away and back: the same button, focused by the keyboard, shows its ring.
    xdo({"key", "--window", window, "Tab", "shift+Tab"});
    ASSERT_TRUE(hashBecomes([&](const QString& hash) { return !hash.isEmpty() && hash != clicked; }))
        << "no ring after Tab";
    // A click on it hides the ring again.
    clickAt(120, 228);
    EXPECT_TRUE(hashBecomes([&](const QString& hash) { return hash == clicked; })) << "the ring stayed after a click";
}

TEST_F(RealRunKeyboard, EscapeClosesTheSettingsSheetAlsoAfterAClickOnTheWindowBelow)
{
    for (const bool clickBelow : {false, true}) {
        ASSERT_TRUE(openSheet()) << "the gear opened no sheet";
        if (clickBelow) {
            clickAt(600, 400); // the window the sheet blocks
        } else {
            xdo({"key", "Tab", "Tab"});
        }
        xdo({"key", "Escape"});
        EXPECT_TRUE(waitFor([&] { return sheet().isEmpty(); }, 10000))
            << "Escape left the sheet open" << (clickBelow ? " after a click on the window" : "");
    }
}

} // namespace
