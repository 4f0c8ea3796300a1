#pragma once

#include "analytics/Flush.h"
#include "analytics/ReadWriteLock.h"
#include "analytics/SessionMetadata.h"
#include "analytics/TallyPersistence.h"
#include "analytics/TallyType.h"

#include "platform/foundation/DispatchQueue.h"

#include <memory>
#include <string>

namespace tally {

class TallyInstance;

/// One group's profile at the analytics service: each operation queues one group record, built and
/// stored on the instance's tracking queue. Made by `TallyInstance::getGroup`.
class Group : public std::enable_shared_from_this<Group> {
public:
    Group(std::string apiToken, std::weak_ptr<foundation::DispatchQueue> serialQueue,
          std::shared_ptr<ReadWriteLock> lock, std::string groupKey, TallyType groupID,
          std::shared_ptr<SessionMetadata> metadata, std::shared_ptr<TallyPersistence> tallyPersistence,
          std::weak_ptr<TallyInstance> tallyInstance);

    const std::string& groupKey() const { return key; }
    const TallyType& groupID() const { return id; }
    void setDelegate(std::weak_ptr<FlushDelegate> delegate) { this->delegate = std::move(delegate); }

    void set(const Properties& properties);
    void set(const std::string& property, const TallyType& value);
    void setOnce(const Properties& properties);
    void unset(const std::string& property);
    void remove(const std::string& key, const TallyType& value);
    void union_(const std::string& key, const TallyArray& values);
    void deleteGroup();

    void addGroupRecordToQueueWithAction(const std::string& action, const Properties& properties);

private:
    const std::string apiToken;
    const std::weak_ptr<foundation::DispatchQueue> serialQueue;
    const std::shared_ptr<ReadWriteLock> lock;
    const std::string key;
    const TallyType id;
    const std::shared_ptr<SessionMetadata> metadata;
    const std::shared_ptr<TallyPersistence> tallyPersistence;
    std::weak_ptr<FlushDelegate> delegate;
    const std::weak_ptr<TallyInstance> tallyInstance;
};

} // namespace tally
