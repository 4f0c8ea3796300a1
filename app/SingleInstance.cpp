#include "app/SingleInstance.h"

#include "platform/qt/FdWatch.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kConnectMs = 1000;
// The running copy answers from its event loop, which may be busy starting up.
constexpr int kAnswerMs = 10000;
const QByteArray kAccepted = "ok\n";
// A hand-over is one short line; anything longer is not one.
constexpr qsizetype kMaxRequest = 16 * 1024;
// Later launches connected at once; more are turned away rather than hold descriptors.
constexpr std::size_t kMaxPeers = 16;

using Clock = std::chrono::steady_clock;

/// Closes a descriptor at the end of a scope.
class Descriptor {
public:
    explicit Descriptor(int fd)
        : fd(fd)
    {
    }
    ~Descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd; }

private:
    int fd;
};

QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

/// The address of `path`; false when it does not fit.
bool unixAddress(const QString& path, sockaddr_un& address)
{
    const QByteArray name = QFile::encodeName(path);
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (name.size() >= static_cast<qsizetype>(sizeof address.sun_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
    return true;
}

void setSendTimeout(int fd, int ms)
{
    timeval timeout{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

QString sanitized(const QString& text)
{
    QString result;
    for (const QChar c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-' || c == '_';
        result += plain ? c : QChar('_');
    }
    return result;
}

/// ":0.0" and ":0" are one display; the screen number does not make another.
QString withoutScreen(QString display)
{
    const qsizetype colon = display.lastIndexOf(':');
    const qsizetype dot = display.lastIndexOf('.');
    if (colon >= 0 && dot > colon) {
        display.truncate(dot);
    }
    return display;
}

} // namespace

QByteArray HandOver::encode() const
{
    QJsonObject object;
    object["startListening"] = startListening;
    object["activationToken"] = QString::fromUtf8(activationToken);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<HandOver> HandOver::decode(const QByteArray& line)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    if (!object.value("startListening").isBool() || !object.value("activationToken").isString()) {
        return std::nullopt;
    }
    HandOver handOver;
    handOver.startListening = object.value("startListening").toBool();
    handOver.activationToken = object.value("activationToken").toString().toUtf8();
    return handOver;
}

struct SingleInstance::Peer {
    int fd = -1;
    QByteArray request;
    Clock::time_point deadline;
    std::unique_ptr<platform::FdWatch> watch;

    ~Peer()
    {
        watch.reset(); // before the descriptor it watches
        ::close(fd);
    }
};

SingleInstance::SingleInstance(const QString& folder, const QString& name)
    : socket(folder + "/" + name + ".socket")
    , lock(folder + "/" + name + ".lock")
{
    // Held for the first copy's whole life: only a dead holder makes the lock stale, never its age.
    lock.setStaleLockTime(0);
    lateTimer.setSingleShot(true);
    QObject::connect(&lateTimer, &QTimer::timeout, [this] { dropLatePeers(); });
}

SingleInstance::~SingleInstance()
{
    peers.clear();
    if (listener >= 0) {
        listening.reset();
        ::close(listener);
        // Removed before the lock is let go, so that no later launch finds it without an owner.
        ::unlink(QFile::encodeName(socket).constData());
    }
}

std::optional<QString> SingleInstance::defaultFolder(QString& error)
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir()) {
        return runtime;
    }
    const QString folder = QDir::tempPath() + "/thwacko-" + QString::number(::getuid());
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        error = "cannot make " + folder + ": " + QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    // Anyone may make a folder of that name in the shared temporary folder first.
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid() ||
        (info.st_mode & 077) != 0) {
        error = folder + " is not a private folder of this user";
        return std::nullopt;
    }
    return folder;
}

QString SingleInstance::defaultName(const QString& platform)
{
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    const QString x11 = withoutScreen(qEnvironmentVariable("DISPLAY"));
    QString display;
    if (platform.startsWith("wayland")) {
        display = wayland.isEmpty() ? QString("wayland-0") : wayland;
    } else if (platform == "xcb") {
        display = x11;
    } else if (platform != "offscreen" && platform != "minimal") {
        display = wayland.isEmpty() ? x11 : wayland;
    }
    QString name = "thwacko-" + QString::number(::getuid()) + "-" + sanitized(platform);
    if (!display.isEmpty()) {
        name += "-" + sanitized(display);
    }
    // A socket's whole path must fit in about 100 bytes.
    if (name.size() > 64) {
        name = "thwacko-" + QString::number(::getuid()) + "-" +
               QString::fromLatin1(QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
    }
    return name;
}

SingleInstance::Outcome SingleInstance::claim(const HandOver& mine, int patienceMs)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (handOver(mine)) {
            return Outcome::handedOver;
        }
        if (lock.tryLock(100)) {
            if (!listen()) {
                lock.unlock();
                return Outcome::failed;
            }
            return Outcome::first;
        }
        if (lock.error() != QLockFile::LockFailedError) {
            lastError = "cannot lock " + lock.fileName() + ": " +
                        (lock.error() == QLockFile::PermissionError ? "permission denied" : "unknown error");
            return Outcome::failed;
        }
        if (waited.elapsed() > patienceMs) {
            qint64 pid = 0;
            QString host;
            QString application;
            lock.getLockInfo(&pid, &host, &application);
            lastError = QString("another copy (process %1) holds %2 but does not answer").arg(pid).arg(lock.fileName());
            return Outcome::failed;
        }
        // The holder is starting up (it listens right after taking the lock) or quitting.
        QThread::msleep(50);
    }
}

bool SingleInstance::listen()
{
    const auto fail = [this](int fd) {
        lastError = "cannot listen on " + socket + ": " + systemError();
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    };
    sockaddr_un address{};
    if (!unixAddress(socket, address)) {
        return fail(-1);
    }
    // Whoever listens holds the lock, so a socket found now was left by a copy that died.
    ::unlink(address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return fail(-1);
    }
    // Only this user may connect; nobody can before listen(), so there is no gap to close.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(address.sun_path, S_IRUSR | S_IWUSR) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        ::unlink(address.sun_path);
        errno = error;
        return fail(fd);
    }
    listener = fd;
    listening = std::make_unique<platform::FdWatch>(fd, platform::FdWatch::Condition::readable, [this] { accept(); });
    return true;
}

bool SingleInstance::handOver(const HandOver& mine)
{
    sockaddr_un address{};
    if (!unixAddress(socket, address)) {
        return false;
    }
    const Descriptor peer(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (peer.get() < 0) {
        return false;
    }
    // A blocking connect waits while the running copy's backlog is full, up to the send time-out.
    setSendTimeout(peer.get(), kConnectMs);
    if (::connect(peer.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return false;
    }
    setSendTimeout(peer.get(), kAnswerMs);
    const QByteArray request = mine.encode() + "\n";
    for (qsizetype sent = 0; sent < request.size();) {
        const ssize_t count = ::send(peer.get(), request.constData() + sent,
                                     static_cast<std::size_t>(request.size() - sent), MSG_NOSIGNAL);
        if (count < 0 && errno != EINTR) {
            return false;
        }
        sent += std::max<ssize_t>(count, 0);
    }
    QByteArray answer;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerMs);
    while (!answer.contains('\n') && answer.size() <= kAccepted.size()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd readable{peer.get(), POLLIN, 0};
        const int ready = left > 0 ? ::poll(&readable, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        char chunk[16];
        const ssize_t count = ::read(peer.get(), chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        answer.append(chunk, count);
    }
    // No answer: a copy on its way out. The caller tries again and finds its lock free.
    return answer == kAccepted;
}

void SingleInstance::accept()
{
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return; // none left (or none to be had now: the watch reports the rest later)
        }
        if (peers.size() >= kMaxPeers) {
            ::close(fd);
            continue;
        }
        auto peer = std::make_unique<Peer>();
        peer->fd = fd;
        peer->deadline = Clock::now() + std::chrono::milliseconds(requestPatienceMs);
        Peer& added = *peer;
        peer->watch = std::make_unique<platform::FdWatch>(fd, platform::FdWatch::Condition::readable,
                                                          [this, &added] { readFrom(added); });
        peers.push_back(std::move(peer));
        if (!lateTimer.isActive()) {
            lateTimer.start(requestPatienceMs);
        }
    }
}

void SingleInstance::readFrom(Peer& peer)
{
    for (;;) {
        char chunk[1024];
        const ssize_t count = ::read(peer.fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return; // the rest of the line is on its way
        }
        if (count <= 0) {
            drop(peer); // gone, or failed, before saying what it wants
            return;
        }
        peer.request.append(chunk, count);
        const qsizetype end = peer.request.indexOf('\n');
        if (end < 0 && peer.request.size() <= kMaxRequest) {
            continue;
        }
        const std::optional<HandOver> request =
            end >= 0 && end <= kMaxRequest ? HandOver::decode(peer.request.left(end).trimmed()) : std::nullopt;
        if (request) {
            [[maybe_unused]] const ssize_t sent =
                ::send(peer.fd, kAccepted.constData(), static_cast<std::size_t>(kAccepted.size()),
                       MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        drop(peer);
        if (request && onHandOver) {
            onHandOver(*request);
        }
        return;
    }
}

void SingleInstance::drop(const Peer& peer)
{
    const auto it = std::find_if(peers.begin(), peers.end(), [&](const auto& each) { return each.get() == &peer; });
    if (it != peers.end()) {
        peers.erase(it);
    }
}

void SingleInstance::dropLatePeers()
{
    const auto now = Clock::now();
    std::erase_if(peers, [&](const auto& peer) { return peer->deadline <= now; });
    if (!peers.empty()) {
        const auto next = std::min_element(peers.begin(), peers.end(),
                                           [](const auto& a, const auto& b) { return a->deadline < b->deadline; });
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>((*next)->deadline - now).count();
        lateTimer.start(static_cast<int>(std::max<long long>(wait, 1)));
    }
}
