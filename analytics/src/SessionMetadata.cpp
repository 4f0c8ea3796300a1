#include "analytics/SessionMetadata.h"

#include "platform/foundation/Date.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <sys/random.h>

namespace tally {

namespace {

std::uint32_t random32()
{
    std::uint32_t value = 0;
    if (::getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) {
        return value;
    }
    thread_local std::mt19937 fallback{std::random_device{}()};
    return static_cast<std::uint32_t>(fallback());
}

} // namespace

std::string SessionMetadata::randomId()
{
    std::array<char, 17> text{};
    std::snprintf(text.data(), text.size(), "%08x%08x", random32(), random32());
    return std::string(text.data(), 16);
}

SessionMetadata::SessionMetadata(std::weak_ptr<foundation::DispatchQueue> trackingQueue)
    : sessionID(randomId())
    , trackingQueue(std::move(trackingQueue))
{
}

Properties SessionMetadata::toDict(bool isEvent)
{
    std::uint64_t& counter = isEvent ? eventsCounter : peopleCounter;
    Properties inner{{"$tl_event_id", randomId()},
                     {"$tl_session_id", sessionID},
                     {"$tl_session_seq_id", counter},
                     {"$tl_session_start_sec", sessionStartEpoch}};
    ++counter;
    return {{"$tl_metadata", std::move(inner)}};
}

void SessionMetadata::applicationWillEnterForeground()
{
    const auto queue = trackingQueue.lock();
    if (!queue) {
        return;
    }
    queue->async([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self) {
            return;
        }
        self->eventsCounter = 0;
        self->peopleCounter = 0;
        self->sessionID = randomId();
        self->sessionStartEpoch =
            static_cast<std::uint64_t>(std::trunc(foundation::Date::now().timeIntervalSince1970()));
    });
}

} // namespace tally
