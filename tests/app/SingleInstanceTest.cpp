// The one-copy guard on a real local socket and lock file in a private folder. The later launch
// runs on a thread of its own here: it waits for an answer that the first copy gives from its
// event loop, which is this test's main thread.
#include "app/SingleInstance.h"

#include "../platform/foundation/ScopedEnvironment.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <future>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using testsupport::TempDir;

QString qpath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

/// A later launch's claim, on its own thread, answered while this thread pumps events.
SingleInstance::Outcome claimFromAnotherThread(const QString& folder, const QString& name, const HandOver& mine)
{
    auto later = std::async(std::launch::async, [&] {
        SingleInstance instance(folder, name);
        return instance.claim(mine, 2000);
    });
    EXPECT_TRUE(
        testsupport::pumpUntil([&] { return later.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                               std::chrono::seconds(30)));
    return later.get();
}

TEST(HandOver, RoundTripsAndRefusesAnythingElse)
{
    const HandOver sent{true, "token-1_TIME42"};
    const auto received = HandOver::decode(sent.encode());
    ASSERT_TRUE(received);
    EXPECT_TRUE(received->startListening);
    EXPECT_EQ(received->activationToken, "token-1_TIME42");
    EXPECT_FALSE(sent.encode().contains('\n')); // one line on the wire

    for (const char* line : {"", "ok", "{}", "[]", R"({"startListening":1,"activationToken":""})",
                             R"({"startListening":true})", R"({"startListening":true,"activationToken":7})"}) {
        EXPECT_FALSE(HandOver::decode(line)) << line;
    }
}

TEST(SingleInstance, ALaterLaunchHandsOverItsWishesToTheFirst)
{
    TempDir dir;
    SingleInstance first(qpath(dir.path()), "copy");
    std::vector<HandOver> received;
    first.onHandOver = [&](const HandOver& request) { received.push_back(request); };
    ASSERT_EQ(first.claim(HandOver{}), SingleInstance::Outcome::first) << first.error().toStdString();

    EXPECT_EQ(claimFromAnotherThread(qpath(dir.path()), "copy", HandOver{true, "tok"}),
              SingleInstance::Outcome::handedOver);
    EXPECT_EQ(claimFromAnotherThread(qpath(dir.path()), "copy", HandOver{false, ""}),
              SingleInstance::Outcome::handedOver);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return received.size() == 2; }));
    EXPECT_TRUE(received[0].startListening);
    EXPECT_EQ(received[0].activationToken, "tok");
    EXPECT_FALSE(received[1].startListening);

    // Only the owner may reach the socket.
    struct stat info {};
    ASSERT_EQ(::stat(first.socketPath().toLocal8Bit().constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u);
}

TEST(SingleInstance, AConnectionThatSaysNothingUsefulIsLetGoWithoutHoldingUpOthers)
{
    struct Row {
        const char* name;
        std::string sent;
        bool hangUp; // closes its sending side after `sent`
    };
    const Row rows[] = {
        {"nothing at all", "", false},
        {"a line that is not a hand-over", "hello\n", false},
        {"JSON that is not a hand-over", "{}\n", false},
        {"bytes without a line, then its end", std::string("\0\1\2", 3), true},
        {"a line longer than any hand-over", std::string(64 * 1024, 'x'), false},
    };
    TempDir dir;
    SingleInstance first(qpath(dir.path()), "copy");
    first.requestPatienceMs = 300;
    int handedOver = 0;
    first.onHandOver = [&](const HandOver&) { ++handedOver; };
    ASSERT_EQ(first.claim(HandOver{}), SingleInstance::Outcome::first);

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", first.socketPath().toLocal8Bit().constData());
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        if (!row.sent.empty()) {
            ASSERT_EQ(::send(fd, row.sent.data(), row.sent.size(), MSG_NOSIGNAL), ssize_t(row.sent.size()));
        }
        if (row.hangUp) {
            ::shutdown(fd, SHUT_WR);
        }
        // A later launch is served meanwhile.
        EXPECT_EQ(claimFromAnotherThread(qpath(dir.path()), "copy", HandOver{}), SingleInstance::Outcome::handedOver);
        // The first copy closes the connection without an answer.
        ASSERT_TRUE(testsupport::pumpUntil(
            [&] {
            pollfd readable{fd, POLLIN, 0};
            return ::poll(&readable, 1, 0) == 1;
            },
            std::chrono::seconds(30)));
        char answer[8];
        EXPECT_LE(::read(fd, answer, sizeof answer), 0);
        ::close(fd);
    }
    testsupport::drainPosted();
    EXPECT_EQ(handedOver, int(std::size(rows)));
}

TEST(SingleInstance, OtherNamesAreOtherCopies)
{
    TempDir dir;
    SingleInstance first(qpath(dir.path()), "display-1");
    ASSERT_EQ(first.claim(HandOver{}), SingleInstance::Outcome::first);
    SingleInstance other(qpath(dir.path()), "display-2");
    EXPECT_EQ(other.claim(HandOver{}), SingleInstance::Outcome::first);
}

TEST(SingleInstance, ASocketLeftByACopyThatDiedIsTakenOver)
{
    TempDir dir;
    const std::filesystem::path stale = dir.path() / "copy.socket";
    // A bound socket nobody listens on any more, as a killed copy leaves it.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", stale.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);

    SingleInstance instance(qpath(dir.path()), "copy");
    EXPECT_EQ(instance.claim(HandOver{}), SingleInstance::Outcome::first) << instance.error().toStdString();
    EXPECT_EQ(claimFromAnotherThread(qpath(dir.path()), "copy", HandOver{}), SingleInstance::Outcome::handedOver);
}

TEST(SingleInstance, ACopyThatHoldsTheLockButNeverAnswersIsWaitedForThenNamed)
{
    TempDir dir;
    QLockFile holder(qpath(dir.path() / "copy.lock"));
    ASSERT_TRUE(holder.tryLock(0));
    SingleInstance instance(qpath(dir.path()), "copy");
    EXPECT_EQ(instance.claim(HandOver{}, 300), SingleInstance::Outcome::failed);
    EXPECT_TRUE(instance.error().contains(QString("(process %1)").arg(QCoreApplication::applicationPid())))
        << instance.error().toStdString();
}

TEST(SingleInstance, TheNameTellsUsersPlatformsAndDisplaysApart)
{
    ScopedEnvironment env;
    env.set("WAYLAND_DISPLAY", std::nullopt);
    const auto nameOn = [&](const char* platform, const char* display) {
        env.set("DISPLAY", display ? std::optional<std::string>(display) : std::nullopt);
        return SingleInstance::defaultName(platform);
    };
    EXPECT_EQ(nameOn("xcb", ":1"), nameOn("xcb", ":1.0")); // one display, another screen
    EXPECT_NE(nameOn("xcb", ":1"), nameOn("xcb", ":2"));
    EXPECT_EQ(nameOn("offscreen", ":1"), nameOn("offscreen", nullptr)); // a display of its own
    EXPECT_NE(nameOn("offscreen", nullptr), nameOn("xcb", ":1"));
    EXPECT_TRUE(nameOn("xcb", ":1").startsWith(QString("thwacko-%1-").arg(::getuid())));
    EXPECT_FALSE(nameOn("xcb", "host/../x:1").contains('/'));
    env.set("WAYLAND_DISPLAY", "wayland-1");
    EXPECT_NE(nameOn("wayland", nullptr), nameOn("wayland-egl", nullptr));
    const QString one = nameOn("wayland", nullptr);
    env.set("WAYLAND_DISPLAY", "wayland-2");
    EXPECT_NE(nameOn("wayland", nullptr), one);
}

TEST(SingleInstance, WithoutARuntimeFolderAPrivateOneUnderTheTemporaryFolderIsUsed)
{
    TempDir dir;
    ScopedEnvironment env;
    env.set("XDG_RUNTIME_DIR", std::nullopt);
    env.set("TMPDIR", dir.path().string());
    const std::filesystem::path expected = dir.path() / ("thwacko-" + std::to_string(::getuid()));

    QString error;
    const auto folder = SingleInstance::defaultFolder(error);
    ASSERT_TRUE(folder) << error.toStdString();
    EXPECT_EQ(folder->toStdString(), expected.string());
    struct stat info {};
    ASSERT_EQ(::stat(expected.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_TRUE(SingleInstance::defaultFolder(error)); // found again

    // One that others may enter is not ours to trust.
    ::chmod(expected.c_str(), 0755);
    EXPECT_FALSE(SingleInstance::defaultFolder(error));
    EXPECT_EQ(error.toStdString(), expected.string() + " is not a private folder of this user");

    env.set("XDG_RUNTIME_DIR", dir.path().string());
    EXPECT_EQ(SingleInstance::defaultFolder(error), qpath(dir.path()));
}

} // namespace
