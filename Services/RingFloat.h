#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

/// A fixed-capacity ring of doubles that keeps the most recent `capacity` values pushed into it
/// and hands them back oldest first. The storage is allocated once, at construction.
///
/// Not synchronised: a ring belongs to its owner's thread.
class RingFloat final {
public:
    /// A ring with `capacity` slots (at least 1; throws std::invalid_argument otherwise), holding no values.
    explicit RingFloat(std::int64_t capacity);
    RingFloat(const RingFloat&) = delete;
    RingFloat& operator=(const RingFloat&) = delete;

    /// Stores `value`, overwriting the oldest one once the ring is full. Constant time, never allocates.
    void push(double value);
    /// The number of values pushed and still held: at most the capacity.
    std::int64_t count() const { return isFull ? capacity : pos; }
    /// The oldest value held: the one the next push overwrites once the ring is full. count() must be at least 1.
    double front() const { return data[isFull ? static_cast<std::size_t>(pos) : 0]; }
    /// The values held, oldest first, as a new array of exactly count() values.
    std::vector<double> slice() const;
    /// Copies the values held, oldest first, to the front of `out` and returns how many (count()); never
    /// allocates. `out` must have room for count() values: throws std::length_error, writing nothing, otherwise.
    std::size_t copyTo(std::span<double> out) const;

private:
    std::vector<double> data;
    std::int64_t pos = 0; // the slot the next push writes; after the first wrap, the oldest value
    bool isFull = false;
    const std::int64_t capacity;
};
