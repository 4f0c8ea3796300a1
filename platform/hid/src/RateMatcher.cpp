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
    // Rounded, not cut: a sample a hair early (a jittery clock) still gets its report.
    carry += ratio;
    const int copies = static_cast<int>(std::floor(carry + 0.5));
    carry -= copies;
    return copies;
}

} // namespace hid
