#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kConnectMs = 1000;
// The running copy answers from its event loop, which may be busy starting up.
constexpr int kAnswerMs = 10000;
const QByteArray kAccepted = "ok\n";

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

SingleInstance::SingleInstance(const QString& folder, const QString& name)
    : socket(folder + "/" + name + ".socket")
    , lock(folder + "/" + name + ".lock")
{
    // Held for the first copy's whole life: only a dead holder makes the lock stale, never its age.
    lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance()
{
    server.reset(); // removes the socket before the lock is let go
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
            // Whoever listens holds the lock, so a socket found now was left by a copy that died.
            QLocalServer::removeServer(socket);
            server = std::make_unique<QLocalServer>();
            server->setSocketOptions(QLocalServer::UserAccessOption);
            if (!server->listen(socket)) {
                lastError = "cannot listen on " + socket + ": " + server->errorString();
                server.reset();
                lock.unlock();
                return Outcome::failed;
            }
            QObject::connect(server.get(), &QLocalServer::newConnection, server.get(), [this] { accept(); });
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

bool SingleInstance::handOver(const HandOver& mine)
{
    QLocalSocket peer;
    peer.connectToServer(socket);
    if (!peer.waitForConnected(kConnectMs)) {
        return false;
    }
    peer.write(mine.encode() + "\n");
    if (!peer.waitForBytesWritten(kAnswerMs)) {
        return false;
    }
    QByteArray answer;
    QElapsedTimer waited;
    waited.start();
    while (!answer.contains('\n') && waited.elapsed() < kAnswerMs) {
        if (!peer.waitForReadyRead(static_cast<int>(kAnswerMs - waited.elapsed())) && peer.bytesAvailable() == 0) {
            break;
        }
        answer += peer.readAll();
    }
    // No answer: a copy on its way out. The caller tries again and finds its lock free.
    return answer == kAccepted;
}

void SingleInstance::accept()
{
    while (QLocalSocket* peer = server->nextPendingConnection()) {
        QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        // A peer that never says what it wants is let go.
        QTimer::singleShot(kAnswerMs, peer, [peer] { peer->abort(); });
        QObject::connect(peer, &QLocalSocket::readyRead, peer, [this, peer] {
            if (!peer->canReadLine()) {
                return;
            }
            const std::optional<HandOver> request = HandOver::decode(peer->readLine().trimmed());
            if (!request) {
                peer->abort();
                return;
            }
            peer->write(kAccepted);
            peer->flush();
            peer->disconnectFromServer();
            if (onHandOver) {
                onHandOver(*request);
            }
        });
    }
}
