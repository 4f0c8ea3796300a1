#include "platform/foundation/MainQueue.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace foundation {

namespace {
std::atomic<MainQueue*> boundQueue{nullptr};
}

MainQueue& mainQueue()
{
    MainQueue* queue = boundQueue.load(std::memory_order_acquire);
    if (!queue) {
        std::fputs("foundation: the main queue was used before one was bound\n", stderr);
        std::abort();
    }
    return *queue;
}

MainQueue* setMainQueue(MainQueue* queue) { return boundQueue.exchange(queue, std::memory_order_acq_rel); }

} // namespace foundation
