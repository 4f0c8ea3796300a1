#include "platform/hid/RateMatcher.h"

#include <algorithm>
#include <cmath>

namespace hid {

RateMatcher::RateMatcher(std::int64_t reportIntervalUs)
    : reportIntervalUs(static_cast<double>(std::max<std::int64_t>(1, reportIntervalUs)))
{
}

int RateMatcher::copiesAfter(double intervalUs)
{
    const double ratio = intervalUs > 0 && std::isfinite(intervalUs)
                             ? std::min<double>(kMaxCopies, intervalUs / reportIntervalUs)
                             : static_cast<double>(kMaxCopies);
    carry += ratio;
    // The small slack keeps 0.125 ms steps of a 8 kHz clock from losing a copy to rounding.
    const int copies = static_cast<int>(std::floor(carry + 1e-6));
    carry = std::max(0.0, carry - copies);
    return copies;
}

} // namespace hid
