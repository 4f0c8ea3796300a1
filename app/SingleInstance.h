#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace platform {
class FdWatch;
}

/// What a second launch passes to the copy already running.
struct HandOver {
    bool startListening = false;
    /// XDG_ACTIVATION_TOKEN or DESKTOP_STARTUP_ID of the second launch, so the window may take focus.
    QByteArray activationToken;

    QByteArray encode() const;
    /// Nullopt for anything that is not an encoded hand-over.
    static std::optional<HandOver> decode(const QByteArray& line);
};

/// One copy of the application per user and display. The first copy listens on a local (AF_UNIX)
/// stream socket, watched off its event loop's own polling;
/// a later launch finds it there, hands over its wishes and ends. A lock file beside the socket,
/// held for the first copy's whole life, decides who is first: a socket left by a killed copy is
/// taken over, and of two launches at the same instant exactly one becomes the first.
///
/// Used on the main thread, after the Qt application exists.
class SingleInstance {
public:
    enum class Outcome {
        first,      ///< this process is the one copy: it listens for later launches
        handedOver, ///< a running copy took the hand-over: this process should end
        failed,     ///< neither; error() says why
    };

    /// The socket `folder`/`name`.socket and the lock `folder`/`name`.lock.
    SingleInstance(const QString& folder, const QString& name);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    /// $XDG_RUNTIME_DIR, else a folder of this user's own (mode 0700) under the temporary folder,
    /// made when missing; nullopt (with `error` set) when neither can be used safely.
    static std::optional<QString> defaultFolder(QString& error);
    /// The name for this user, the Qt platform and its display; offscreen is a display of its own.
    static QString defaultName(const QString& platform);

    /// Hands `mine` over to a running copy, or becomes the one copy. A copy that holds the lock but
    /// answers nothing is waited for up to `patience`.
    Outcome claim(const HandOver& mine, int patienceMs = 20000);
    QString error() const { return lastError; }
    QString socketPath() const { return socket; }

    /// Run for each later launch once this process is the first.
    std::function<void(const HandOver&)> onHandOver;
    /// How long the first copy waits for a connected launch to say what it wants before it lets
    /// the connection go.
    int requestPatienceMs = 10000;

private:
    struct Peer;

    bool handOver(const HandOver& mine);
    bool listen();
    void accept();
    void readFrom(Peer& peer);
    void drop(const Peer& peer);
    void dropLatePeers();

    QString socket;
    QLockFile lock;
    int listener = -1;
    std::unique_ptr<platform::FdWatch> listening;
    std::vector<std::unique_ptr<Peer>> peers;
    QTimer lateTimer; // lets go of connections that never complete a request
    QString lastError;
};
