#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace foundation {

/// A queue of work items run on background threads.
///
/// Serial: one item at a time, in submission order. Concurrent: items start in submission
/// order and run side by side (a long item never holds up a later one: the queue starts another
/// thread whenever all of its threads are busy); a barrier item waits for everything submitted
/// before it and runs alone, and items submitted after it wait for it. Idle threads exit after a
/// while, so an unused queue holds none.
///
/// The `sync` forms run the work on the calling thread once its turn has come, as if it were an
/// item of the queue (`isCurrent()` is true inside it). A `sync` that can never complete because
/// the calling thread is itself running an item of this queue (any `sync` on a serial queue, a
/// barrier `sync` on a concurrent one, or a plain `sync` behind a barrier that waits for the
/// caller) aborts the process with a message naming the queue, instead of hanging.
///
/// Destruction waits until every submitted item, including those that running items submit
/// meanwhile, has finished, then joins the queue's threads. Destroying a queue from one of its
/// own items aborts. Items must not throw. All members are callable from any thread.
class DispatchQueue {
public:
    enum class Kind { Serial, Concurrent };

    explicit DispatchQueue(std::string label, Kind kind = Kind::Serial);
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const;
    Kind kind() const;

    /// Submits `work` and returns at once.
    void async(std::function<void()> work);
    /// Submits `work` and waits for it; it runs on the calling thread. See above for the deadlock check.
    void sync(const std::function<void()>& work);
    /// Barrier forms; on a serial queue they are the plain forms.
    void asyncBarrier(std::function<void()> work);
    void syncBarrier(const std::function<void()>& work);

    /// True when called from an item of this queue (or from work it runs through `sync`).
    bool isCurrent() const;

    /// How long an idle thread of this queue waits for work before it exits (default 5 s).
    void setIdleThreadTimeout(std::chrono::nanoseconds timeout);

private:
    struct State;
    std::shared_ptr<State> state;
};

/// A counting semaphore. Any thread may signal or wait; it must outlive every waiter.
class Semaphore {
public:
    /// Starts at `value`; a negative value needs that many extra signals before a wait succeeds.
    explicit Semaphore(long value = 0);
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    /// Adds one to the count, waking one waiter.
    void signal();
    /// Waits until the count is above zero, then takes one. With a timeout (measured on the monotonic
    /// clock; zero or negative only tries): false when it ran out, and then nothing was taken.
    bool wait(std::optional<std::chrono::nanoseconds> timeout = std::nullopt);

private:
    struct State;
    std::unique_ptr<State> state;
};

} // namespace foundation
