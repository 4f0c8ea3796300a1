#include "analytics/TallyPersistence.h"

#include "PersistenceSupport.h"
#include "analytics/JSONHandler.h"
#include "analytics/KeyedArchive.h"
#include "analytics/TallyLogger.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UserDefaults.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>

namespace tally {

namespace fs = std::filesystem;
using foundation::PlistValue;
using foundation::UserDefaults;

namespace detail {

std::string keyFor(const std::string& instanceName, const char* keyName)
{
    return std::string(TallyUserDefaultsKeys::prefix) + "-" + instanceName + "-" + keyName;
}

std::optional<UserDefaults> suite() { return UserDefaults::suite(TallyUserDefaultsKeys::suiteName); }

} // namespace detail

using detail::keyFor;
using detail::suite;

namespace {

// Not one of the nine settings, so a reset keeps it: profile deletions not yet delivered.
constexpr const char* kPendingProfileDeletions = "PendingProfileDeletions";

void setOptionalString(UserDefaults& defaults, const std::string& key, const std::optional<std::string>& value)
{
    if (value) {
        defaults.set(key, PlistValue(*value));
    } else {
        defaults.removeObject(key);
    }
}

void saveArchived(const Properties& dictionary, const std::string& instanceName, const char* keyName,
                  const char* failure)
{
    auto defaults = suite();
    if (!defaults) {
        return;
    }
    const auto archived = KeyedArchive::archive(TallyType(dictionary));
    if (!archived) {
        TALLY_LOG_WARN(failure);
        return;
    }
    defaults->set(keyFor(instanceName, keyName), PlistValue(foundation::PlistData(archived->begin(), archived->end())));
}

Properties loadArchived(const std::string& instanceName, const char* keyName, const char* failure)
{
    auto defaults = suite();
    if (!defaults) {
        return {};
    }
    const auto stored = defaults->object(keyFor(instanceName, keyName));
    const auto* data = stored ? stored->get<foundation::PlistData>() : nullptr;
    if (!data) {
        return {};
    }
    const auto decoded = KeyedArchive::unarchive(std::string(data->begin(), data->end()));
    if (decoded.failed) {
        TALLY_LOG_WARN(failure);
        return {};
    }
    if (!decoded.root || !decoded.root->is<Properties>()) {
        return {};
    }
    return *decoded.root->get<Properties>();
}

} // namespace

namespace detail {

std::optional<bool> booleanOf(const TallyType& value)
{
    if (const auto* b = value.get<bool>()) {
        return *b;
    }
    if (const auto* number = value.get<NSNumber>()) {
        return number->exactBool();
    }
    return std::nullopt;
}

std::optional<std::string> textOf(const Properties& dictionary, const char* key)
{
    const auto it = dictionary.find(key);
    if (it == dictionary.end()) {
        return std::nullopt;
    }
    if (const auto* s = it->second.get<std::string>()) {
        return *s;
    }
    if (const auto* s = it->second.get<NSString>()) {
        return s->value;
    }
    return std::nullopt;
}

std::optional<EntityBatch> recordsOf(const TallyType& value)
{
    const TallyArray* list = value.get<TallyArray>();
    if (!list) {
        if (const auto* other = value.get<NSArray>()) {
            list = &other->elements;
        }
    }
    if (!list) {
        return std::nullopt;
    }
    EntityBatch records;
    for (const auto& element : *list) {
        const auto* record = element.get<Properties>();
        if (!record) {
            return std::nullopt;
        }
        records.push_back(*record);
    }
    return records;
}

} // namespace detail

using detail::textOf;

std::string rawValue(LegacyArchiveType type)
{
    switch (type) {
    case LegacyArchiveType::events:
        return "events";
    case LegacyArchiveType::people:
        return "people";
    case LegacyArchiveType::groups:
        return "groups";
    case LegacyArchiveType::properties:
        return "properties";
    case LegacyArchiveType::optOutStatus:
        return "optOutStatus";
    }
    return "events";
}

TallyPersistence::TallyPersistence(std::string instanceName)
    : name(std::move(instanceName))
    , store(std::make_unique<TLDB>(name))
{
}

TallyPersistence::~TallyPersistence() { closeDB(); }

void TallyPersistence::closeDB() { store->close(); }

void TallyPersistence::saveEntity(const EntityRecord& entity, PersistenceType type, bool flag)
{
    const auto data = JSONHandler::serializeJSONObject(TallyType(entity));
    if (!data) {
        return;
    }
    store->insertRow(type, *data, flag);
}

void TallyPersistence::saveEntities(const EntityBatch& entities, PersistenceType type, bool flag)
{
    for (const auto& entity : entities) {
        saveEntity(entity, type, flag);
    }
}

EntityBatch TallyPersistence::loadEntitiesInBatch(PersistenceType type, std::int64_t batchSize, bool flag,
                                                  bool excludeAutomaticEvents)
{
    EntityBatch entities = store->readRows(type, batchSize, flag);
    if (excludeAutomaticEvents && type == PersistenceType::events) {
        // A record without a text "event" is no automatic event, so it stays in the batch.
        std::erase_if(entities, [](const EntityRecord& entity) {
            const auto event = textOf(entity, "event");
            return event && event->rfind("$ae_", 0) == 0;
        });
    }
    if (type == PersistenceType::people) {
        const std::string distinctId = loadIdentity(name).distinctID;
        for (auto& entity : entities) {
            entity = entityWithDistinctId(entity, distinctId);
        }
    }
    return entities;
}

EntityRecord TallyPersistence::entityWithDistinctId(const EntityRecord& entity, const std::string& distinctId)
{
    EntityRecord copy = entity;
    copy["$distinct_id"] = TallyType(distinctId);
    return copy;
}

void TallyPersistence::removeEntitiesInBatch(PersistenceType type, const std::vector<std::int32_t>& ids)
{
    store->deleteRows(type, ids, false);
}

void TallyPersistence::identifyPeople(const std::string&) { store->updateRowsFlag(PersistenceType::people, false); }

void TallyPersistence::resetEntities()
{
    for (auto type : allPersistenceTypes) {
        store->deleteRows(type, {}, true);
    }
}

TallyIdentity TallyPersistence::loadIdentity(const std::string& instanceName)
{
    auto defaults = suite();
    if (!defaults) {
        return TallyIdentity{};
    }
    TallyIdentity identity;
    identity.distinctID = defaults->stringForKey(keyFor(instanceName, TallyUserDefaultsKeys::distinctID)).value_or("");
    identity.peopleDistinctID = defaults->stringForKey(keyFor(instanceName, TallyUserDefaultsKeys::peopleDistinctID));
    identity.anonymousId = defaults->stringForKey(keyFor(instanceName, TallyUserDefaultsKeys::anonymousId));
    identity.userId = defaults->stringForKey(keyFor(instanceName, TallyUserDefaultsKeys::userID));
    identity.alias = defaults->stringForKey(keyFor(instanceName, TallyUserDefaultsKeys::alias));
    identity.hadPersistedDistinctId =
        defaults->boolForKey(keyFor(instanceName, TallyUserDefaultsKeys::hadPersistedDistinctId));
    return identity;
}

void TallyPersistence::saveIdentity(const TallyIdentity& identity, const std::string& instanceName)
{
    auto defaults = suite();
    if (!defaults) {
        return;
    }
    defaults->set(keyFor(instanceName, TallyUserDefaultsKeys::distinctID), PlistValue(identity.distinctID));
    setOptionalString(*defaults, keyFor(instanceName, TallyUserDefaultsKeys::peopleDistinctID),
                      identity.peopleDistinctID);
    setOptionalString(*defaults, keyFor(instanceName, TallyUserDefaultsKeys::anonymousId), identity.anonymousId);
    setOptionalString(*defaults, keyFor(instanceName, TallyUserDefaultsKeys::userID), identity.userId);
    setOptionalString(*defaults, keyFor(instanceName, TallyUserDefaultsKeys::alias), identity.alias);
    const std::string hadKey = keyFor(instanceName, TallyUserDefaultsKeys::hadPersistedDistinctId);
    if (identity.hadPersistedDistinctId) {
        defaults->set(hadKey, PlistValue(*identity.hadPersistedDistinctId));
    } else {
        defaults->removeObject(hadKey);
    }
}

void TallyPersistence::saveOptOutStatusFlag(bool value, const std::string& instanceName)
{
    if (auto defaults = suite()) {
        defaults->set(keyFor(instanceName, TallyUserDefaultsKeys::optOutStatus), PlistValue(value));
    }
}

std::optional<bool> TallyPersistence::loadOptOutStatusFlag(const std::string& instanceName)
{
    auto defaults = suite();
    if (!defaults) {
        return std::nullopt;
    }
    const auto value = defaults->object(keyFor(instanceName, TallyUserDefaultsKeys::optOutStatus));
    if (!value) {
        return std::nullopt;
    }
    if (const bool* b = value->get<bool>()) {
        return *b;
    }
    if (const std::int64_t* i = value->get<std::int64_t>(); i && (*i == 0 || *i == 1)) {
        return *i == 1;
    }
    if (const double* d = value->get<double>(); d && (*d == 0.0 || *d == 1.0)) {
        return *d == 1.0;
    }
    return std::nullopt;
}

void TallyPersistence::saveTimedEvents(const Properties& timedEvents, const std::string& instanceName)
{
    saveArchived(timedEvents, instanceName, TallyUserDefaultsKeys::timedEvents, "Failed to archive timed events");
}

Properties TallyPersistence::loadTimedEvents(const std::string& instanceName)
{
    return loadArchived(instanceName, TallyUserDefaultsKeys::timedEvents, "Failed to unarchive timed events");
}

void TallyPersistence::saveSuperProperties(const Properties& superProperties, const std::string& instanceName)
{
    saveArchived(superProperties, instanceName, TallyUserDefaultsKeys::superProperties,
                 "Failed to archive super properties");
}

Properties TallyPersistence::loadSuperProperties(const std::string& instanceName)
{
    return loadArchived(instanceName, TallyUserDefaultsKeys::superProperties, "Failed to unarchive super properties");
}

void TallyPersistence::deleteTLUserDefaultsData(const std::string& instanceName)
{
    auto defaults = suite();
    if (!defaults) {
        return;
    }
    for (const char* key :
         {TallyUserDefaultsKeys::distinctID, TallyUserDefaultsKeys::peopleDistinctID,
          TallyUserDefaultsKeys::anonymousId, TallyUserDefaultsKeys::userID, TallyUserDefaultsKeys::alias,
          TallyUserDefaultsKeys::hadPersistedDistinctId, TallyUserDefaultsKeys::optOutStatus,
          TallyUserDefaultsKeys::timedEvents, TallyUserDefaultsKeys::superProperties}) {
        defaults->removeObject(keyFor(instanceName, key));
    }
}

EntityBatch TallyPersistence::loadPendingProfileDeletions(const std::string& instanceName)
{
    auto defaults = suite();
    if (!defaults) {
        return {};
    }
    const auto text = defaults->stringForKey(keyFor(instanceName, kPendingProfileDeletions));
    if (!text) {
        return {};
    }
    const auto decoded = JSONHandler::deserializeData(*text);
    auto records = decoded ? detail::recordsOf(*decoded) : std::nullopt;
    if (!records) {
        TALLY_LOG_WARN("Failed to read the pending profile deletions");
        return {};
    }
    return std::move(*records);
}

void TallyPersistence::savePendingProfileDeletions(const EntityBatch& deletions, const std::string& instanceName)
{
    auto defaults = suite();
    if (!defaults) {
        return;
    }
    const std::string key = keyFor(instanceName, kPendingProfileDeletions);
    if (deletions.empty()) {
        defaults->removeObject(key);
        return;
    }
    const auto text = JSONHandler::serializeJSONObject(TallyType(TallyArray(deletions.begin(), deletions.end())));
    if (!text) {
        TALLY_LOG_WARN("Failed to store the pending profile deletions");
        return;
    }
    defaults->set(key, PlistValue(*text));
}
} // namespace tally
