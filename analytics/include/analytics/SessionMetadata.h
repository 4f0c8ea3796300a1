#pragma once

#include "analytics/TallyType.h"

#include "platform/foundation/DispatchQueue.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tally {

/// The session state behind the "$tl_metadata" of every record an instance queues: a random
/// record id, the session id, the record's sequence number in the session and the session's start.
///
/// Used on the owning instance's tracking queue only (`toDict` and the session restart run there),
/// so it takes no lock. Made in a shared_ptr: the session restart holds it weakly.
class SessionMetadata : public std::enable_shared_from_this<SessionMetadata> {
public:
    /// `trackingQueue` is held weakly: the instance owns it.
    explicit SessionMetadata(std::weak_ptr<foundation::DispatchQueue> trackingQueue);

    std::uint64_t eventsCounter = 0;
    std::uint64_t peopleCounter = 0; ///< people and group records share it
    std::string sessionID;
    std::uint64_t sessionStartEpoch = 0;

    /// {"$tl_metadata": {...}} for the next record: an event record (`isEvent`) or a people or
    /// group record; advances the counter it used.
    Properties toDict(bool isEvent = true);
    /// Starts a new session on the tracking queue; returns at once.
    void applicationWillEnterForeground();

    /// Sixteen lowercase hexadecimal digits from two random 32-bit values.
    static std::string randomId();

private:
    std::weak_ptr<foundation::DispatchQueue> trackingQueue;
};

} // namespace tally
