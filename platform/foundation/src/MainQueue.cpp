#include "platform/foundation/MainQueue.h"

#include <mutex>
#include <shared_mutex>

namespace foundation {

namespace {

struct Binding {
    std::shared_mutex lock; // shared while posting, exclusive while (un)binding
    MainQueue* queue = nullptr;
};

Binding& binding()
{
    static Binding* shared = new Binding; // never destroyed: threads may post during exit
    return *shared;
}

/// What mainQueue() hands out: forwards to the bound queue, and drops the job when none is bound.
/// The post holds the binding shared, so an unbinding waits for posts in flight and the queue it
/// unbinds is never used afterwards.
class ForwardingMainQueue final : public MainQueue {
public:
    void async(std::function<void()> job) override
    {
        Binding& current = binding();
        const std::shared_lock guard(current.lock);
        if (current.queue) {
            current.queue->async(std::move(job));
        }
    }
};

} // namespace

MainQueue& mainQueue()
{
    static ForwardingMainQueue* forwarding = new ForwardingMainQueue;
    return *forwarding;
}

MainQueue* setMainQueue(MainQueue* queue)
{
    Binding& current = binding();
    const std::unique_lock guard(current.lock);
    MainQueue* previous = current.queue;
    current.queue = queue;
    return previous;
}

} // namespace foundation
