#include "Services/RingFloat.h"

#include <algorithm>
#include <stdexcept>

RingFloat::RingFloat(std::int64_t capacity)
    : capacity(capacity)
{
    if (capacity < 1) {
        throw std::invalid_argument("RingFloat needs a capacity of at least 1");
    }
    data.assign(static_cast<std::size_t>(capacity), 0.0);
}

void RingFloat::push(double value)
{
    data[static_cast<std::size_t>(pos)] = value;
    if (++pos >= capacity) {
        pos = 0;
        isFull = true;
    }
}

std::vector<double> RingFloat::slice() const
{
    std::vector<double> values(static_cast<std::size_t>(count()));
    copyTo(values);
    return values;
}

std::size_t RingFloat::copyTo(std::span<double> out) const
{
    const auto held = static_cast<std::size_t>(count());
    if (out.size() < held) {
        throw std::length_error("RingFloat::copyTo needs room for every value held");
    }
    const auto split = data.begin() + pos;
    if (!isFull) {
        std::copy(data.begin(), split, out.begin());
    } else {
        std::copy(data.begin(), split, std::copy(split, data.end(), out.begin()));
    }
    return held;
}
