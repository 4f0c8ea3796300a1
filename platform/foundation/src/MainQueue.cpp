#include "platform/foundation/MainQueue.h"

#include <mutex>

namespace foundation {

namespace {

// Held while a job is handed to the bound queue, so that unbinding waits for posts in flight and
// no thread posts to a queue after its binding ended. Recursive: a queue may run a job at once.
// Never destroyed: threads may still post while the process exits.
std::recursive_mutex& bindingLock = *new std::recursive_mutex;
MainQueue* boundQueue = nullptr;

/// What mainQueue() returns: forwards each job to the queue bound at the moment of posting, and
/// drops it when none is bound (work that background threads finish after the application has
/// unbound its queue at exit never runs).
class BoundMainQueue final : public MainQueue {
public:
    void async(std::function<void()> job) override
    {
        std::lock_guard lock(bindingLock);
        if (boundQueue) {
            boundQueue->async(std::move(job));
        }
    }
};

} // namespace

MainQueue& mainQueue()
{
    static BoundMainQueue forwarder;
    return forwarder;
}

MainQueue* setMainQueue(MainQueue* queue)
{
    std::lock_guard lock(bindingLock);
    MainQueue* previous = boundQueue;
    boundQueue = queue;
    return previous;
}

} // namespace foundation
