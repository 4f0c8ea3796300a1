#include "platform/foundation/MainQueue.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace foundation {

namespace {

// Held while a job is handed to the bound queue, so that unbinding waits for posts in flight and
// no thread posts to a queue after its binding ended. Recursive: a queue may run a job at once.
std::recursive_mutex bindingLock;
MainQueue* boundQueue = nullptr;

[[noreturn]] void unbound()
{
    std::fputs("foundation: the main queue was used before one was bound\n", stderr);
    std::abort();
}

/// What mainQueue() returns: forwards each job to the queue bound at the moment of posting.
class BoundMainQueue final : public MainQueue {
public:
    void async(std::function<void()> job) override
    {
        std::lock_guard lock(bindingLock);
        if (!boundQueue) {
            unbound();
        }
        boundQueue->async(std::move(job));
    }
};

} // namespace

MainQueue& mainQueue()
{
    static BoundMainQueue forwarder;
    std::lock_guard lock(bindingLock);
    if (!boundQueue) {
        unbound();
    }
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
