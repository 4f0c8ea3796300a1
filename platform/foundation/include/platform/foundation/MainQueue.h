#pragma once

#include <functional>

namespace foundation {

/// The queue of the main thread (the main run loop). Jobs run on the main thread, one at a
/// time, in posting order, each after the poster's current job has returned.
///
/// The application binds it to the Qt event loop; the analytics client's tests bind a queue
/// that they drain themselves.
class MainQueue {
public:
    virtual ~MainQueue() = default;
    /// Posts `job`; callable from any thread.
    virtual void async(std::function<void()> job) = 0;
};

/// The main queue: each job goes to the queue bound when it is posted. Posting while none is
/// bound is a programming error (it aborts).
MainQueue& mainQueue();
/// Binds `queue` (not owned) as the main queue; nullptr unbinds. Returns the previous binding
/// once no post to it is in flight, so the caller may then destroy it.
MainQueue* setMainQueue(MainQueue* queue);

} // namespace foundation
