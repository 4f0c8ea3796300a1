#include "app/TerminationSignals.h"

#include "platform/qt/FdWatch.h"

#include <QLoggingCategory>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcSignals, "thwacko.app")

namespace {

// The write end for the handler; lock-free, so reading it is async-signal-safe.
std::atomic<int> handlerPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void onTerminationSignal(int signal)
{
    // The handler interrupts arbitrary code, which may be about to read errno.
    const int savedErrno = errno;
    const int fd = handlerPipe.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signal);
        [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(std::function<void()> onSignal)
    : onSignal(std::move(onSignal))
{
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCWarning(lcSignals) << "cannot watch termination signals:" << std::strerror(errno);
        return;
    }
    watch = std::make_unique<platform::FdWatch>(pipeEnds[0], platform::FdWatch::Condition::readable, [this] {
        if (drainPipe() != 0 && this->onSignal) {
            this->onSignal();
        }
    });
    handlerPipe.store(pipeEnds[1]);

    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &previousInt);
    ::sigaction(SIGTERM, &action, &previousTerm);
    watching = true;
}

TerminationSignals::~TerminationSignals() { restore(); }

void TerminationSignals::restore()
{
    if (watching) {
        ::sigaction(SIGINT, &previousInt, nullptr);
        ::sigaction(SIGTERM, &previousTerm, nullptr);
        watching = false;
        handlerPipe.store(-1);
        // A signal that arrived after the event loop last looked goes to the restored disposition,
        // which for a default one ends the process as the sender asked.
        if (const int pending = drainPipe()) {
            ::raise(pending);
        }
    }
    watch.reset();
    for (int& end : pipeEnds) {
        if (end >= 0) {
            ::close(end);
            end = -1;
        }
    }
}

int TerminationSignals::drainPipe()
{
    int last = 0;
    unsigned char buffer[64];
    ssize_t count = 0;
    while ((count = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
        last = buffer[count - 1];
    }
    return last;
}
