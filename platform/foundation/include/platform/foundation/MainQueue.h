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

/// The main queue: posts go to the bound queue. A job posted while none is bound is dropped (so work
/// that background threads finish after the application has unbound its queue at exit never runs).
MainQueue& mainQueue();
/// Binds `queue` (not owned) as the main queue; nullptr unbinds. Returns the previous binding. Waits
/// for posts in flight, so once it returns the previous queue is no longer used and may be destroyed.
MainQueue* setMainQueue(MainQueue* queue);

} // namespace foundation
