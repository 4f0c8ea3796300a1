#include "platform/qt/FdWatch.h"

#include <QLoggingCategory>
#include <QObject>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

Q_LOGGING_CATEGORY(lcFdWatch, "thwacko.platform")

namespace platform {

// Touched on the owning thread only, apart from the reference counts.
struct FdWatch::State {
    std::function<void()> handler;
    std::unique_ptr<QObject> receiver; // lives on the owning thread; deliveries are posted to it
    std::uint64_t id = 0;
    bool alive = true;
};

namespace {

/// The background thread and its watch list. Everything in `entries` is guarded by `lock`; a
/// delivery is posted with `lock` held, so a receiver is never posted to once its watch has been
/// removed (which happens before the receiver goes).
class Poller {
public:
    static Poller& instance()
    {
        static Poller poller;
        return poller;
    }

    std::uint64_t add(int fd, short events, QObject* receiver, std::weak_ptr<FdWatch::State> state)
    {
        std::lock_guard guard(lock);
        if (!thread.joinable() && wakeFd >= 0) {
            thread = std::thread([this] { run(); });
        }
        const std::uint64_t id = nextId++;
        entries.emplace(id, Entry{fd, events, true, receiver, std::move(state)});
        wake();
        return id;
    }

    void remove(std::uint64_t id)
    {
        std::lock_guard guard(lock);
        entries.erase(id);
        // The thread may be in poll() on the descriptor, holding its file open after the owner
        // closes it (a peer would then not see the close): make it let go now.
        wake();
    }

    void rearm(std::uint64_t id)
    {
        std::lock_guard guard(lock);
        const auto it = entries.find(id);
        if (it != entries.end() && !it->second.armed) {
            it->second.armed = true;
            wake();
        }
    }

    void handOff() { std::lock_guard guard(lock); }

private:
    struct Entry {
        int fd;
        short events;
        bool armed; // false from the moment it is found ready until its handler has run
        QObject* receiver;
        std::weak_ptr<FdWatch::State> state;
    };

    Poller()
        : wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (wakeFd < 0) {
            qCWarning(lcFdWatch) << "cannot watch descriptors:" << std::strerror(errno);
        }
    }

    ~Poller()
    {
        {
            std::lock_guard guard(lock);
            stopping = true;
            wake();
        }
        if (thread.joinable()) {
            thread.join();
        }
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }

    // Called with `lock` held.
    void wake()
    {
        if (wakeFd >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(wakeFd, &one, sizeof one);
        }
    }

    static void deliver(const std::weak_ptr<FdWatch::State>& weak)
    {
        const std::shared_ptr<FdWatch::State> state = weak.lock();
        if (!state || !state->alive) {
            return;
        }
        // The handler may destroy the watch; `state` keeps the handler alive until it returns.
        state->handler();
        if (state->alive) {
            instance().rearm(state->id);
        }
    }

    void run()
    {
        std::vector<pollfd> fds;
        std::vector<std::uint64_t> ids;
        for (;;) {
            fds.assign(1, pollfd{wakeFd, POLLIN, 0});
            ids.assign(1, 0);
            {
                std::lock_guard guard(lock);
                if (stopping) {
                    return;
                }
                for (const auto& [id, entry] : entries) {
                    if (entry.armed) {
                        fds.push_back(pollfd{entry.fd, entry.events, 0});
                        ids.push_back(id);
                    }
                }
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                qCWarning(lcFdWatch) << "poll failed, descriptors are no longer watched:" << std::strerror(errno);
                return;
            }
            if (fds[0].revents != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const auto read = ::read(wakeFd, &count, sizeof count);
            }
            std::lock_guard guard(lock);
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) {
                    continue;
                }
                // Looked up by id: the watch may have gone and its number been reused meanwhile.
                const auto it = entries.find(ids[i]);
                if (it == entries.end() || !it->second.armed) {
                    continue;
                }
                it->second.armed = false;
                if ((fds[i].revents & POLLNVAL) != 0) {
                    // Closed under its watch: it stays out of the set rather than spin.
                    qCWarning(lcFdWatch) << "descriptor" << fds[i].fd << "was closed while watched";
                    continue;
                }
                QMetaObject::invokeMethod(
                    it->second.receiver,
                    [state = it->second.state] {
                    // Posted with `lock` held; taking it here first orders the reads of the
                    // capture after that, also for a race detector that cannot see inside Qt.
                    instance().handOff();
                    deliver(state);
                    },
                    Qt::QueuedConnection);
            }
        }
    }

    std::mutex lock;
    std::map<std::uint64_t, Entry> entries;
    std::uint64_t nextId = 1;
    bool stopping = false;
    int wakeFd;
    std::thread thread;
};

// The wake-up descriptor is made as the program loads, so that the descriptors a component opens
// and closes are all its own; the thread starts with the first watch.
[[maybe_unused]] const Poller& loaded = Poller::instance();

} // namespace

FdWatch::FdWatch(int fd, Condition condition, std::function<void()> handler)
    : descriptor(fd)
    , state(std::make_shared<State>())
{
    state->handler = std::move(handler);
    state->receiver = std::make_unique<QObject>();
    const short events = condition == Condition::readable ? POLLIN : POLLPRI;
    state->id = Poller::instance().add(fd, events, state->receiver.get(), state);
}

FdWatch::~FdWatch()
{
    state->alive = false;
    Poller::instance().remove(state->id);
    // The receiver goes with the last reference to the state: here, or after the handler that
    // destroyed this watch returns. Deliveries still queued for it are dropped with it.
}

} // namespace platform
