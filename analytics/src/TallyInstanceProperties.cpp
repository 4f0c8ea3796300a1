// The super properties, timed events and groups of the client instance.
#include "analytics/TallyInstance.h"

#include "analytics/Group.h"
#include "analytics/People.h"
#include "analytics/TallyLogger.h"

#include "platform/foundation/Date.h"

#include <algorithm>

namespace tally {

// Super properties and timed events ---------------------------------------------------------------

void TallyInstance::persistSuperProperties()
{
    readWriteLock->read([&] { TallyPersistence::saveSuperProperties(superProperties, instanceName); });
}

void TallyInstance::persistTimedEvents()
{
    readWriteLock->read([&] { TallyPersistence::saveTimedEvents(timedEvents, instanceName); });
}

void TallyInstance::registerSuperProperties(const Properties& properties)
{
    onTrackingQueue([properties](TallyInstance& self) {
        Properties updated = self.trackInstance->registerSuperProperties(properties, self.superProperties);
        self.readWriteLock->write([&] { self.superProperties = std::move(updated); });
        self.persistSuperProperties();
    });
}

void TallyInstance::registerSuperPropertiesOnce(const Properties& properties,
                                                const std::optional<TallyType>& defaultValue)
{
    onTrackingQueue([properties, defaultValue](TallyInstance& self) {
        Properties updated =
            self.trackInstance->registerSuperPropertiesOnce(properties, self.superProperties, defaultValue);
        self.readWriteLock->write([&] { self.superProperties = std::move(updated); });
        self.persistSuperProperties();
    });
}

void TallyInstance::unregisterSuperProperty(const std::string& propertyName)
{
    onTrackingQueue([propertyName](TallyInstance& self) {
        Properties updated = self.trackInstance->unregisterSuperProperty(propertyName, self.superProperties);
        self.readWriteLock->write([&] { self.superProperties = std::move(updated); });
        self.persistSuperProperties();
    });
}

void TallyInstance::clearSuperProperties()
{
    onTrackingQueue([](TallyInstance& self) {
        Properties updated = self.trackInstance->clearSuperProperties(self.superProperties);
        self.readWriteLock->write([&] { self.superProperties = std::move(updated); });
        self.persistSuperProperties();
    });
}

void TallyInstance::updateSuperProperty(std::function<void(Properties&)> update)
{
    onTrackingQueue([update = std::move(update)](TallyInstance& self) {
        Properties updated = self.superProperties;
        self.trackInstance->updateSuperProperty(update, updated);
        self.readWriteLock->write([&] { self.superProperties = std::move(updated); });
        self.persistSuperProperties();
    });
}

Properties TallyInstance::currentSuperProperties() const
{
    Properties copy;
    readWriteLock->read([&] { copy = superProperties; });
    return copy;
}

void TallyInstance::time(const std::string& event)
{
    const double startTime = foundation::Date::now().timeIntervalSince1970();
    onTrackingQueue([event, startTime](TallyInstance& self) {
        Properties updated = self.trackInstance->time(event, self.timedEvents, startTime);
        self.readWriteLock->write([&] { self.timedEvents = std::move(updated); });
        self.persistTimedEvents();
    });
}

double TallyInstance::eventElapsedTime(const std::string& event) const
{
    Properties copy;
    readWriteLock->read([&] { copy = timedEvents; });
    if (const auto it = copy.find(event); it != copy.end()) {
        if (const auto start = floatingValue(it->second)) {
            return foundation::Date::now().timeIntervalSince1970() - *start;
        }
    }
    return 0;
}

void TallyInstance::clearTimedEvents()
{
    onTrackingQueue([](TallyInstance& self) {
        self.readWriteLock->write([&] { self.timedEvents.clear(); });
        TallyPersistence::saveTimedEvents(Properties{}, self.instanceName);
    });
}

void TallyInstance::clearTimedEvent(const std::string& event)
{
    onTrackingQueue([event](TallyInstance& self) {
        Properties updated = self.trackInstance->clearTimedEvent(event, self.timedEvents);
        self.readWriteLock->write([&] { self.timedEvents = std::move(updated); });
        self.persistTimedEvents();
    });
}

// Groups ------------------------------------------------------------------------------------------

std::string TallyInstance::makeMapKey(const std::string& groupKey, const TallyType& groupID)
{
    std::string idText;
    if (const auto* text = groupID.get<std::string>()) {
        idText = *text;
    } else if (const auto* nsText = groupID.get<NSString>()) {
        idText = nsText->value;
    } else {
        idText = groupID.description();
    }
    return groupKey + "_" + idText;
}

std::shared_ptr<Group> TallyInstance::getGroup(const std::string& groupKey, const TallyType& groupID)
{
    const std::string key = makeMapKey(groupKey, groupID);
    auto makeGroup = [&] {
        return std::make_shared<Group>(apiToken(), trackingQueueRef, readWriteLock, groupKey, groupID, metadata,
                                       persistence, weak_from_this());
    };
    std::shared_ptr<Group> cached;
    readWriteLock->read([&] {
        if (const auto it = groups.find(key); it != groups.end()) {
            cached = it->second;
        }
    });
    if (!cached) {
        auto created = makeGroup();
        readWriteLock->write([&] { groups[key] = created; });
        return created;
    }
    if (cached->groupKey() == groupKey && cached->groupID().equals(groupID)) {
        return cached;
    }
    TALLY_LOG_INFO("groups dictionary key collision: " + key);
    auto replacement = makeGroup();
    readWriteLock->write([&] { groups[key] = replacement; });
    return replacement;
}

void TallyInstance::removeCachedGroup(const std::string& groupKey, const TallyType& groupID)
{
    const std::string key = makeMapKey(groupKey, groupID);
    readWriteLock->write([&] { groups.erase(key); });
}

void TallyInstance::trackWithGroups(const std::optional<std::string>& event,
                                    const std::optional<Properties>& properties,
                                    const std::optional<Properties>& groupProperties)
{
    if (hasOptedOutTracking()) {
        return;
    }
    if (!properties) {
        track(event, groupProperties);
        return;
    }
    if (!groupProperties) {
        track(event, properties);
        return;
    }
    Properties merged = *properties;
    merged += *groupProperties;
    track(event, merged);
}

void TallyInstance::setGroup(const std::string& groupKey, const TallyType& groupID)
{
    if (hasOptedOutTracking()) {
        return;
    }
    setGroup(groupKey, TallyArray{groupID});
}

void TallyInstance::setGroup(const std::string& groupKey, const TallyArray& groupIDs)
{
    if (hasOptedOutTracking()) {
        return;
    }
    const Properties membership{{groupKey, groupIDs}};
    registerSuperProperties(membership);
    peopleInstance->set(membership);
}

void TallyInstance::addGroup(const std::string& groupKey, const TallyType& groupID)
{
    if (hasOptedOutTracking()) {
        return;
    }
    updateSuperProperty([people = peopleInstance, groupKey, groupID](Properties& supers) {
        const auto it = supers.find(groupKey);
        if (it == supers.end()) {
            supers[groupKey] = TallyArray{groupID};
            people->set(Properties{{groupKey, TallyArray{groupID}}});
            return;
        }
        if (const auto* list = it->second.get<TallyArray>()) {
            const bool listed = std::any_of(list->begin(), list->end(),
                                            [&](const TallyType& element) { return element.equals(groupID); });
            if (!listed) {
                TallyArray updated = *list;
                updated.push_back(groupID);
                it->second = std::move(updated);
            }
        } else {
            it->second = TallyArray{it->second, groupID};
        }
        people->union_(Properties{{groupKey, TallyArray{groupID}}});
    });
}

void TallyInstance::removeGroup(const std::string& groupKey, const TallyType& groupID)
{
    if (hasOptedOutTracking()) {
        return;
    }
    updateSuperProperty([people = peopleInstance, groupKey, groupID](Properties& supers) {
        const auto it = supers.find(groupKey);
        if (it == supers.end()) {
            return;
        }
        const auto* list = it->second.get<TallyArray>();
        if (!list || list->size() <= 1) {
            supers.erase(it);
            people->unset({groupKey});
            return;
        }
        TallyArray remaining;
        for (const auto& element : *list) {
            if (!element.equals(groupID)) {
                remaining.push_back(element);
            }
        }
        it->second = std::move(remaining);
        people->remove(Properties{{groupKey, groupID}});
    });
}

} // namespace tally
