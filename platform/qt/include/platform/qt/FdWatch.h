#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

/// Watches a descriptor that is rarely ready (a signal pipe, a listening socket, a netlink
/// monitor, the mount table) from one background thread shared by all watches, and runs the
/// handler on the event loop of the thread that made the watch. The loop itself never polls the
/// descriptor, so a loop woken often by its timers does not pay for it on each wake-up, and
/// nothing wakes the loop while no watched descriptor is ready.
///
/// A descriptor found ready is not looked at again until its handler has run (a level-triggered
/// one would otherwise be reported without end). A hang-up or error counts as ready, so the
/// handler sees end of file. The descriptor is not owned: destroy the watch before closing it.
///
/// Made and destroyed on the owning thread, which runs a Qt event loop. Once the watch is
/// destroyed its handler never runs again, even if the descriptor was found ready meanwhile; it
/// may be destroyed from inside its own handler. The background thread starts with the first
/// watch and is joined at exit.
class FdWatch final {
public:
    enum class Condition {
        readable, ///< data, a connection to accept, end of file
        priority, ///< an exceptional condition (POLLPRI), as the kernel flags a changed mount table
    };

    FdWatch(int fd, Condition condition, std::function<void()> handler);
    ~FdWatch();
    FdWatch(const FdWatch&) = delete;
    FdWatch& operator=(const FdWatch&) = delete;

    int fd() const { return descriptor; }

    struct State; // shared with the deliveries on their way to the owning thread

private:
    int descriptor;
    std::shared_ptr<State> state;
};

} // namespace platform
