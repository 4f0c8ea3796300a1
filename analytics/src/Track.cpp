#include "analytics/Track.h"

#include "analytics/AutomaticProperties.h"
#include "analytics/TallyInstance.h"
#include "analytics/TallyLogger.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tally {

namespace {

const TallyType& unwrapped(const TallyType& value)
{
    static const TallyType null{NSNull{}};
    if (const auto* optional = value.get<TallyOptional>()) {
        return optional->hasValue() ? unwrapped(optional->value()) : null;
    }
    return value;
}

std::optional<double> numberValue(const TallyType& value)
{
    if (const auto* number = value.get<NSNumber>()) {
        return number->doubleValue();
    }
    if (const auto* v = value.get<std::int64_t>()) {
        return static_cast<double>(*v);
    }
    if (const auto* v = value.get<std::uint64_t>()) {
        return static_cast<double>(*v);
    }
    if (const auto* v = value.get<double>()) {
        return *v;
    }
    if (const auto* v = value.get<float>()) {
        return static_cast<double>(*v);
    }
    if (const auto* v = value.get<bool>()) {
        return *v ? 1.0 : 0.0;
    }
    return std::nullopt;
}

const std::string* textValue(const TallyType& value)
{
    if (const auto* text = value.get<std::string>()) {
        return text;
    }
    if (const auto* text = value.get<NSString>()) {
        return &text->value;
    }
    return nullptr;
}

const TallyArray* listValue(const TallyType& value)
{
    if (const auto* list = value.get<TallyArray>()) {
        return list;
    }
    if (const auto* list = value.get<NSArray>()) {
        return &list->elements;
    }
    return nullptr;
}

} // namespace

std::optional<double> floatingValue(const TallyType& value)
{
    if (const auto* v = value.get<double>()) {
        return *v;
    }
    // Restored from the settings, a float comes back as a number object.
    if (const auto* n = value.get<NSNumber>(); n && !n->isBoolean() && std::holds_alternative<double>(n->storage())) {
        return n->doubleValue();
    }
    return std::nullopt;
}

namespace {

/// Equality of the values as platform objects: numbers by value across kinds, texts by text,
/// lists and dictionaries element by element; an absent value is the null object.
bool objectEquals(const TallyType& lhsValue, const TallyType& rhsValue)
{
    const TallyType& lhs = unwrapped(lhsValue);
    const TallyType& rhs = unwrapped(rhsValue);
    if (const auto a = numberValue(lhs)) {
        const auto b = numberValue(rhs);
        return b && *a == *b;
    }
    if (const auto* a = textValue(lhs)) {
        const auto* b = textValue(rhs);
        return b && *a == *b;
    }
    if (const auto* a = listValue(lhs)) {
        const auto* b = listValue(rhs);
        if (!b || a->size() != b->size()) {
            return false;
        }
        for (std::size_t i = 0; i < a->size(); ++i) {
            if (!objectEquals((*a)[i], (*b)[i])) {
                return false;
            }
        }
        return true;
    }
    if (const auto* a = lhs.get<Properties>()) {
        const auto* b = rhs.get<Properties>();
        if (!b || a->size() != b->size()) {
            return false;
        }
        for (const auto& [key, value] : *a) {
            const auto it = b->find(key);
            if (it == b->end() || !objectEquals(value, it->second)) {
                return false;
            }
        }
        return true;
    }
    if (const auto* a = lhs.get<foundation::Date>()) {
        const auto* b = rhs.get<foundation::Date>();
        return b && *a == *b;
    }
    if (const auto* a = lhs.get<URL>()) {
        const auto* b = rhs.get<URL>();
        return b && *a == *b;
    }
    return lhs.is<NSNull>() && rhs.is<NSNull>();
}

} // namespace

Properties& operator+=(Properties& target, const Properties& other)
{
    for (const auto& [key, value] : other) {
        target.insert_or_assign(key, value);
    }
    return target;
}

Track::Track(std::string apiToken, std::string instanceName, std::shared_ptr<ReadWriteLock> lock,
             std::shared_ptr<SessionMetadata> metadata, std::shared_ptr<TallyPersistence> tallyPersistence)
    : instanceName(std::move(instanceName))
    , apiToken(std::move(apiToken))
    , lock(std::move(lock))
    , metadata(std::move(metadata))
    , tallyPersistence(std::move(tallyPersistence))
{
}

void Track::setTallyInstance(std::weak_ptr<TallyInstance> instance) { tallyInstance = std::move(instance); }

bool Track::isOptedOut() const
{
    const auto owner = tallyInstance.lock();
    return owner && owner->hasOptedOutTracking();
}

Properties Track::track(const std::optional<std::string>& event, const std::optional<Properties>& properties,
                        const Properties& timedEvents, const Properties& superProperties,
                        const TallyIdentity& tallyIdentity, double epochInterval)
{
    std::string name;
    if (event) {
        name = *event;
    } else {
        name = "tl_event";
        TALLY_LOG_INFO("tally track called with empty event parameter. using 'tl_event'");
    }
    const auto owner = tallyInstance.lock();
    const bool automaticEventsEnabled = owner && owner->trackAutomaticEventsEnabled();
    if (!automaticEventsEnabled && name.starts_with("$ae_")) {
        return timedEvents;
    }
    assertPropertyTypes(properties);

    const double epochMilliseconds = std::round(epochInterval * 1000.0);
    std::optional<double> startTime;
    if (const auto it = timedEvents.find(name); it != timedEvents.end()) {
        startTime = floatingValue(it->second);
    }

    Properties p;
    AutomaticProperties::automaticPropertiesLock().read([&] { p += AutomaticProperties::properties(); });
    p["token"] = apiToken;
    p["time"] = epochMilliseconds;

    Properties remainingTimedEvents = timedEvents;
    if (startTime) {
        remainingTimedEvents.erase(name);
        char text[64];
        std::snprintf(text, sizeof text, "%.3f", epochInterval - *startTime);
        char* end = nullptr;
        const double duration = std::strtod(text, &end);
        if (end != text && *end == '\0') {
            p["$duration"] = duration;
        }
    }
    p["distinct_id"] = tallyIdentity.distinctID;
    if (tallyIdentity.anonymousId) {
        p["$device_id"] = *tallyIdentity.anonymousId;
    }
    if (tallyIdentity.userId) {
        p["$user_id"] = *tallyIdentity.userId;
    }
    if (tallyIdentity.hadPersistedDistinctId) {
        p["$had_persisted_distinct_id"] = *tallyIdentity.hadPersistedDistinctId;
    }
    p += superProperties;
    if (properties) {
        p += *properties;
    }

    EntityRecord record{{"event", name}, {"properties", std::move(p)}};
    record += metadata->toDict();
    tallyPersistence->saveEntity(record, PersistenceType::events);
    TallyPersistence::saveTimedEvents(remainingTimedEvents, instanceName);
    return remainingTimedEvents;
}

Properties Track::registerSuperProperties(const Properties& properties, const Properties& superProperties) const
{
    if (isOptedOut()) {
        return superProperties;
    }
    assertPropertyTypes(properties);
    Properties updated = superProperties;
    updated += properties;
    return updated;
}

Properties Track::registerSuperPropertiesOnce(const Properties& properties, const Properties& superProperties,
                                              const std::optional<TallyType>& defaultValue) const
{
    if (isOptedOut()) {
        return superProperties;
    }
    assertPropertyTypes(properties);
    Properties updated = superProperties;
    for (const auto& [key, value] : properties) {
        const auto it = updated.find(key);
        if (it == updated.end()) {
            updated.emplace(key, value);
        } else if (defaultValue && objectEquals(it->second, *defaultValue)) {
            it->second = value;
        }
    }
    return updated;
}

Properties Track::unregisterSuperProperty(const std::string& propertyName, const Properties& superProperties) const
{
    Properties updated = superProperties;
    updated.erase(propertyName);
    return updated;
}

Properties Track::clearSuperProperties(const Properties&) const { return {}; }

void Track::updateSuperProperty(const std::function<void(Properties&)>& update, Properties& superProperties) const
{
    update(superProperties);
}

Properties Track::time(const std::optional<std::string>& event, const Properties& timedEvents, double startTime) const
{
    if (isOptedOut()) {
        return timedEvents;
    }
    if (!event || event->empty()) {
        TALLY_LOG_ERROR("tally cannot time an empty event");
        return timedEvents;
    }
    Properties updated = timedEvents;
    updated.insert_or_assign(*event, startTime);
    return updated;
}

Properties Track::clearTimedEvents(const Properties&) const { return {}; }

Properties Track::clearTimedEvent(const std::optional<std::string>& event, const Properties& timedEvents) const
{
    if (!event || event->empty()) {
        TALLY_LOG_ERROR("tally cannot clear an empty timed event");
        return timedEvents;
    }
    Properties updated = timedEvents;
    updated.erase(*event);
    return updated;
}

} // namespace tally
