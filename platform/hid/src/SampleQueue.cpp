#include "SampleQueue.h"

namespace hid::detail {

void SampleQueue::push(const QueuedSample& sample)
{
    std::lock_guard guard(lock);
    if (samples.size() - first >= kCapacity) {
        ++first;
        ++droppedCount;
        if (first >= kCapacity) {
            samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(first));
            first = 0;
        }
    }
    samples.push_back(sample);
}

void SampleQueue::fail(ReturnCode error)
{
    std::lock_guard guard(lock);
    if (!failure) {
        failure = error;
    }
}

std::optional<ReturnCode> SampleQueue::take(std::vector<QueuedSample>& out)
{
    out.clear();
    std::lock_guard guard(lock);
    if (first == 0) {
        out.swap(samples); // both keep their capacity, so a steady stream allocates nothing
    } else {
        out.assign(samples.begin() + static_cast<std::ptrdiff_t>(first), samples.end());
        samples.clear();
        first = 0;
    }
    return failure;
}

void SampleQueue::clear()
{
    std::lock_guard guard(lock);
    samples.clear();
    first = 0;
    failure.reset();
    droppedCount = 0;
}

std::uint64_t SampleQueue::dropped() const
{
    std::lock_guard guard(lock);
    return droppedCount;
}

} // namespace hid::detail
