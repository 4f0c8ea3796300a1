#include "platform/foundation/Date.h"

namespace foundation {

Date Date::now()
{
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return Date(std::chrono::duration<double>(sinceEpoch).count());
}

const SystemClock& SystemClock::shared()
{
    static const SystemClock clock;
    return clock;
}

} // namespace foundation
