#pragma once

#include <csignal>
#include <functional>
#include <memory>

namespace platform {
class FdWatch;
}

/// Turns SIGINT and SIGTERM into a call of `onSignal` on the event loop of the constructing
/// (main) thread, through a self-pipe, so a quit by signal takes the same path as any other quit.
///
/// restore() (also run by the destructor) puts back the dispositions found at construction and
/// closes the pipe; a signal that came after the loop last read the pipe is then raised again, so
/// no signal is swallowed once the event loop has stopped. One instance at a time.
class TerminationSignals final {
public:
    explicit TerminationSignals(std::function<void()> onSignal);
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    /// False when the pipe could not be made; signals then keep their old dispositions.
    bool isWatching() const { return watching; }
    /// Ends the watch; safe to call more than once.
    void restore();

private:
    /// Reads what the handler wrote; returns the last signal number, or 0.
    int drainPipe();

    std::function<void()> onSignal;
    int pipeEnds[2] = {-1, -1};
    std::unique_ptr<platform::FdWatch> watch;
    struct sigaction previousInt {};
    struct sigaction previousTerm {};
    bool watching = false;
};
