#include "analytics/Group.h"

#include "analytics/People.h"
#include "analytics/TallyInstance.h"
#include "analytics/Track.h"

namespace tally {

Group::Group(std::string apiToken, std::weak_ptr<foundation::DispatchQueue> serialQueue,
             std::shared_ptr<ReadWriteLock> lock, std::string groupKey, TallyType groupID,
             std::shared_ptr<SessionMetadata> metadata, std::shared_ptr<TallyPersistence> tallyPersistence,
             std::weak_ptr<TallyInstance> tallyInstance)
    : apiToken(std::move(apiToken))
    , serialQueue(std::move(serialQueue))
    , lock(std::move(lock))
    , key(std::move(groupKey))
    , id(std::move(groupID))
    , metadata(std::move(metadata))
    , tallyPersistence(std::move(tallyPersistence))
    , tallyInstance(std::move(tallyInstance))
{
}

void Group::addGroupRecordToQueueWithAction(const std::string& action, const Properties& properties)
{
    if (const auto instance = tallyInstance.lock(); instance && instance->hasOptedOutTracking()) {
        return;
    }
    const double time = currentMilliseconds();
    const auto queue = serialQueue.lock();
    if (!queue) {
        return;
    }
    // The block keeps the group alive until it has run.
    queue->async([self = shared_from_this(), time, action, properties] {
        EntityRecord record{{"$token", self->apiToken}, {"$time", time}};
        if (action == "$unset") {
            if (const auto it = properties.find("$properties"); it != properties.end()) {
                record["$unset"] = it->second;
            }
        } else {
            record[action] = properties;
        }
        record += self->metadata->toDict(false);
        record["$group_key"] = self->key;
        record["$group_id"] = self->id;
        self->tallyPersistence->saveEntity(record, PersistenceType::groups);
    });
    if (TallyInstance::isiOSAppExtension()) {
        if (const auto flusher = delegate.lock()) {
            flusher->flush(false, {});
        }
    }
}

void Group::set(const Properties& properties)
{
    assertPropertyTypes(properties);
    addGroupRecordToQueueWithAction("$set", properties);
}

void Group::set(const std::string& property, const TallyType& value) { set(Properties{{property, value}}); }

void Group::setOnce(const Properties& properties)
{
    assertPropertyTypes(properties);
    addGroupRecordToQueueWithAction("$set_once", properties);
}

void Group::unset(const std::string& property)
{
    addGroupRecordToQueueWithAction("$unset", Properties{{"$properties", TallyArray{property}}});
}

void Group::remove(const std::string& name, const TallyType& value)
{
    const Properties entry{{name, value}};
    assertPropertyTypes(entry);
    addGroupRecordToQueueWithAction("$remove", entry);
}

void Group::union_(const std::string& name, const TallyArray& values)
{
    addGroupRecordToQueueWithAction("$union", Properties{{name, values}});
}

void Group::deleteGroup()
{
    addGroupRecordToQueueWithAction("$delete", {});
    if (const auto instance = tallyInstance.lock()) {
        instance->removeCachedGroup(key, id);
    }
}

} // namespace tally
