#include "Services/RingFloat.h"

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
    const auto split = data.begin() + pos;
    if (!isFull) {
        return std::vector<double>(data.begin(), split);
    }
    std::vector<double> values;
    values.reserve(data.size());
    values.insert(values.end(), split, data.end());
    values.insert(values.end(), data.begin(), split);
    return values;
}
