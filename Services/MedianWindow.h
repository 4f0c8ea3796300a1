#pragma once

#include "Services/RingFloat.h"

#include <cstddef>
#include <cstdint>
#include <vector>

/// The most recent magnitudes, a fixed number of them,, with their median and median absolute deviation.
///
/// Both statistics are the exact values a full sort of the window gives: the median is the
/// value at index n / 2 of the sorted window, the deviation the value at that index of the
/// sorted |v - median|. The window is kept sorted as values arrive, so each statistic costs a
/// walk over half the window instead of two selections over all of it.
///
/// Values are magnitudes: non-negative, or not finite. A window holding any value that is not
/// finite is evaluated by selection over a copy, as such values break the sorted walk's order.
///
/// Not synchronised: a window belongs to its owner's thread.
class MedianWindow final {
public:
    /// A window of `size` values (at least 1; throws std::invalid_argument otherwise).
    explicit MedianWindow(std::int64_t size);
    MedianWindow(const MedianWindow&) = delete;
    MedianWindow& operator=(const MedianWindow&) = delete;

    /// Adds `value`, dropping the oldest once the window is full. Never allocates.
    void push(double value);
    /// The values held, in arrival order.
    const RingFloat& values() const { return ring; }
    std::int64_t count() const { return ring.count(); }

    struct Spread {
        double median;
        double deviation; // the median absolute deviation from `median`
    };
    /// The median and median absolute deviation of the values held; at least one must be. Never allocates.
    Spread spread();

private:
    Spread spreadBySelection();

    RingFloat ring;
    std::size_t capacity;
    // The bit patterns of the values held, ascending: for non-negative doubles they order like
    // the numbers, and every value that is not finite sorts after every finite one.
    std::vector<std::uint64_t> sorted;
    std::vector<double> scratch;
};
