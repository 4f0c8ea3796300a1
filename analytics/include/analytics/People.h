#pragma once

#include "analytics/Flush.h"
#include "analytics/ReadWriteLock.h"
#include "analytics/SessionMetadata.h"
#include "analytics/TallyPersistence.h"
#include "analytics/TallyType.h"

#include "platform/foundation/DispatchQueue.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tally {

class TallyInstance;

/// The user's profile at the analytics service: each operation queues one people record, built
/// and stored on the instance's tracking queue. Records made while no user is identified are held
/// back until identification.
///
/// Operations may be called from any thread; they check, take the time and enqueue there.
class People : public std::enable_shared_from_this<People> {
public:
    People(std::string apiToken, std::weak_ptr<foundation::DispatchQueue> serialQueue,
           std::shared_ptr<ReadWriteLock> lock, std::shared_ptr<SessionMetadata> metadata,
           std::shared_ptr<TallyPersistence> tallyPersistence);

    /// When true at a call, the record carries "$ignore_time".
    std::atomic<bool> ignoreTime{false};

    void setDelegate(std::weak_ptr<FlushDelegate> delegate) { this->delegate = std::move(delegate); }
    void setTallyInstance(std::weak_ptr<TallyInstance> instance) { tallyInstance = std::move(instance); }

    /// The identified user's distinct id. Written and read on the tracking queue (written under
    /// the instance's write lock).
    std::optional<std::string> distinctId;

    void merge(const Properties& properties);
    void set(const Properties& properties);
    void set(const std::string& property, const TallyType& value);
    void setOnce(const Properties& properties);
    void unset(const std::vector<std::string>& properties);
    void increment(const Properties& properties);
    void increment(const std::string& property, double by);
    void append(const Properties& properties);
    void remove(const Properties& properties);
    void union_(const Properties& properties);
    void trackCharge(double amount, const std::optional<Properties>& properties = std::nullopt);
    void clearCharges();
    void deleteUser();

    /// Queues a record of `action` (checks and enqueues on the caller's thread).
    void addPeopleRecordToQueueWithAction(const std::string& action, const Properties& properties);
    /// Builds the record of `action` at `time` (ms since 1970) for the given distinct id. Tracking queue only.
    EntityRecord buildRecord(const std::string& action, const Properties& properties, double time, bool ignore,
                             const std::optional<std::string>& distinctId) const;

private:
    const std::string apiToken;
    const std::weak_ptr<foundation::DispatchQueue> serialQueue;
    const std::shared_ptr<ReadWriteLock> lock;
    const std::shared_ptr<SessionMetadata> metadata;
    const std::shared_ptr<TallyPersistence> tallyPersistence;
    std::weak_ptr<FlushDelegate> delegate;
    std::weak_ptr<TallyInstance> tallyInstance;
};

/// Milliseconds since 1970, rounded to a whole number, as a float.
double currentMilliseconds();

} // namespace tally
