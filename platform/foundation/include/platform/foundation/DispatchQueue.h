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
/// order and run side by side (a long item never holds up a later one); a barrier item waits
/// for everything submitted before it and runs alone, and items submitted after it wait for it.
/// Destruction waits for every submitted item to finish.
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
    /// Submits `work` and waits for it. Calling it from an item of the same serial queue deadlocks.
    void sync(const std::function<void()>& work);
    /// Barrier forms; on a serial queue they are the plain forms.
    void asyncBarrier(std::function<void()> work);
    void syncBarrier(const std::function<void()>& work);

    /// True when called from an item of this queue.
    bool isCurrent() const;

private:
    struct State;
    std::shared_ptr<State> state;
};

/// A counting semaphore.
class Semaphore {
public:
    explicit Semaphore(long value = 0);
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    void signal();
    /// Waits until the count is above zero, then takes one. With a timeout: false when it ran out.
    bool wait(std::optional<std::chrono::nanoseconds> timeout = std::nullopt);

private:
    struct State;
    std::unique_ptr<State> state;
};

} // namespace foundation
