#pragma once

#include "platform/hid/Hid.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace hid::detail {

/// One sample in sensor units and the number of reports that carry it.
struct QueuedSample {
    std::array<std::int32_t, 3> units{};
    int copies = 1;
};

/// Samples on their way from a reader thread to the main thread, in order, and the end of the
/// stream when the reader fails. Bounded: while the main thread is stalled the oldest samples
/// go first (and are counted).
class SampleQueue {
public:
    static constexpr std::size_t kCapacity = 8192;

    /// Reader side.
    void push(const QueuedSample& sample);
    /// Reader side: the stream ended with `error`, after the samples pushed so far.
    void fail(ReturnCode error);

    /// Main side: moves everything pending into `out` (emptied first); the failure, when the
    /// stream ended.
    std::optional<ReturnCode> take(std::vector<QueuedSample>& out);
    /// Main side: drops everything, failure included.
    void clear();
    /// Samples dropped for lack of room since the last clear().
    std::uint64_t dropped() const;

private:
    mutable std::mutex lock;
    std::vector<QueuedSample> samples;
    std::size_t first = 0; // samples before it were dropped
    std::optional<ReturnCode> failure;
    std::uint64_t droppedCount = 0;
};

} // namespace hid::detail
