#include "analytics/People.h"

#include "analytics/AutomaticProperties.h"
#include "analytics/TLAssert.h"
#include "analytics/TallyInstance.h"
#include "analytics/Track.h"

#include "platform/foundation/Date.h"

#include <cmath>

namespace tally {

double currentMilliseconds() { return std::round(foundation::Date::now().timeIntervalSince1970() * 1000.0); }

People::People(std::string apiToken, std::weak_ptr<foundation::DispatchQueue> serialQueue,
               std::shared_ptr<ReadWriteLock> lock, std::shared_ptr<SessionMetadata> metadata,
               std::shared_ptr<TallyPersistence> tallyPersistence)
    : apiToken(std::move(apiToken))
    , serialQueue(std::move(serialQueue))
    , lock(std::move(lock))
    , metadata(std::move(metadata))
    , tallyPersistence(std::move(tallyPersistence))
{
}

void People::addPeopleRecordToQueueWithAction(const std::string& action, const Properties& properties)
{
    if (const auto instance = tallyInstance.lock(); instance && instance->hasOptedOutTracking()) {
        return;
    }
    const double time = currentMilliseconds();
    const bool ignore = ignoreTime.load();
    const auto queue = serialQueue.lock();
    if (!queue) {
        return;
    }
    queue->async([weak = weak_from_this(), time, ignore, action, properties] {
        const auto self = weak.lock();
        if (!self) {
            return;
        }
        const EntityRecord record = self->buildRecord(action, properties, time, ignore, self->distinctId);
        self->tallyPersistence->saveEntity(record, PersistenceType::people,
                                           self->distinctId ? false : PersistenceConstant::unIdentifiedFlag);
    });
    if (TallyInstance::isiOSAppExtension()) {
        if (const auto flusher = delegate.lock()) {
            flusher->flush(false, {});
        }
    }
}

EntityRecord People::buildRecord(const std::string& action, const Properties& properties, double time, bool ignore,
                                 const std::optional<std::string>& distinctId) const
{
    EntityRecord record{{"$token", apiToken}, {"$time", time}};
    if (ignore) {
        record["$ignore_time"] = std::int64_t{1};
    }
    if (action == "$unset") {
        if (const auto it = properties.find("$properties"); it != properties.end()) {
            record["$unset"] = it->second;
        }
    } else {
        Properties value;
        if (action == "$set" || action == "$set_once") {
            AutomaticProperties::automaticPropertiesLock().read(
                [&] { value += AutomaticProperties::peopleProperties(); });
        }
        value += properties;
        record[action] = std::move(value);
    }
    record += metadata->toDict(false);
    if (const auto instance = tallyInstance.lock()) {
        if (auto anonymous = instance->anonymousId()) {
            record["$device_id"] = std::move(*anonymous);
        }
        if (auto user = instance->userId()) {
            record["$user_id"] = std::move(*user);
        }
        if (const auto had = instance->hadPersistedDistinctId()) {
            record["$had_persisted_distinct_id"] = *had;
        }
    }
    if (distinctId) {
        record["$distinct_id"] = *distinctId;
    }
    return record;
}

void People::merge(const Properties& properties) { addPeopleRecordToQueueWithAction("$merge", properties); }

void People::set(const Properties& properties)
{
    assertPropertyTypes(properties);
    addPeopleRecordToQueueWithAction("$set", properties);
}

void People::set(const std::string& property, const TallyType& value) { set(Properties{{property, value}}); }

void People::setOnce(const Properties& properties)
{
    assertPropertyTypes(properties);
    addPeopleRecordToQueueWithAction("$set_once", properties);
}

void People::unset(const std::vector<std::string>& properties)
{
    TallyArray names(properties.begin(), properties.end());
    addPeopleRecordToQueueWithAction("$unset", Properties{{"$properties", std::move(names)}});
}

void People::increment(const Properties& properties)
{
    bool allNumbers = true;
    for (const auto& [key, value] : properties) {
        const bool number = value.is<std::int64_t>() || value.is<std::uint64_t>() || value.is<double>() ||
                            value.is<float>() || (value.is<NSNumber>() && !value.get<NSNumber>()->isBoolean());
        allNumbers = allNumbers && number;
    }
    if (!allNumbers) {
        TLAssert([] { return false; }, [] { return std::string("increment property values should be numbers"); });
    }
    addPeopleRecordToQueueWithAction("$add", properties);
}

void People::increment(const std::string& property, double by) { increment(Properties{{property, by}}); }

void People::append(const Properties& properties)
{
    assertPropertyTypes(properties);
    addPeopleRecordToQueueWithAction("$append", properties);
}

void People::remove(const Properties& properties)
{
    assertPropertyTypes(properties);
    addPeopleRecordToQueueWithAction("$remove", properties);
}

void People::union_(const Properties& properties)
{
    bool allLists = true;
    for (const auto& [key, value] : properties) {
        allLists = allLists && (value.is<TallyArray>() || value.is<NSArray>());
    }
    if (!allLists) {
        TLAssert([] { return false; }, [] { return std::string("union property values should be an array"); });
    }
    addPeopleRecordToQueueWithAction("$union", properties);
}

void People::trackCharge(double amount, const std::optional<Properties>& properties)
{
    Properties transaction{{"$amount", amount}, {"$time", foundation::Date::now()}};
    if (properties) {
        transaction += *properties;
    }
    append(Properties{{"$transactions", std::move(transaction)}});
}

void People::clearCharges() { set(Properties{{"$transactions", TallyArray{}}}); }

void People::deleteUser() { addPeopleRecordToQueueWithAction("$delete", {}); }

} // namespace tally
