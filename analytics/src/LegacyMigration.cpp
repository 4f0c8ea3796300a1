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
#include <set>

namespace tally {

namespace fs = std::filesystem;
using detail::booleanOf;
using detail::keyFor;
using detail::recordsOf;
using detail::suite;
using detail::textOf;
using foundation::PlistValue;

namespace {

// Not one of the nine settings: which legacy files were imported but could not be deleted.
constexpr const char* kImportedLegacyFiles = "ImportedLegacyFiles";

} // namespace

// ---- legacy archive migration ----

constexpr LegacyArchiveType kLegacyKinds[] = {LegacyArchiveType::events, LegacyArchiveType::people,
                                              LegacyArchiveType::groups, LegacyArchiveType::properties,
                                              LegacyArchiveType::optOutStatus};

void TallyPersistence::migrate()
{
    if (!needMigration()) {
        return;
    }
    importedNow.clear();
    const LegacySnapshot snapshot = unarchiveFromLegacy();
    // Each file's records go in at once or not at all, before the file is deleted: a file whose
    // records could not all be stored stays, to be imported whole at a later start.
    std::set<LegacyArchiveType> stored = {LegacyArchiveType::optOutStatus};
    const auto store = [&](const EntityBatch& records, PersistenceType type, bool flag, LegacyArchiveType from) {
        if (storeAll(records, type, flag)) {
            stored.insert(from);
        }
    };
    store(snapshot.eventsQueue, PersistenceType::events, false, LegacyArchiveType::events);
    store(snapshot.peopleUnidentifiedQueue, PersistenceType::people, PersistenceConstant::unIdentifiedFlag,
          LegacyArchiveType::properties);
    store(snapshot.peopleQueue, PersistenceType::people, false, LegacyArchiveType::people);
    store(snapshot.groupsQueue, PersistenceType::groups, false, LegacyArchiveType::groups);
    saveSuperProperties(snapshot.superProperties, name);
    saveTimedEvents(snapshot.timedEvents, name);
    saveIdentity(TallyIdentity{snapshot.distinctId, snapshot.peopleDistinctId, snapshot.anonymousId, snapshot.userId,
                               snapshot.alias, snapshot.hadPersistedDistinctId},
                 name);
    if (snapshot.optOutStatus) {
        saveOptOutStatusFlag(*snapshot.optOutStatus, name);
    }
    std::erase_if(importedNow, [&](const auto& entry) { return !stored.count(entry.first); });
    // Remember what was imported, so that a file which cannot be deleted is not imported again.
    if (auto defaults = suite(); defaults && !importedNow.empty()) {
        const std::string key = keyFor(name, kImportedLegacyFiles);
        foundation::PlistDictionary imported;
        if (auto previous = defaults->object(key); previous && previous->is<foundation::PlistDictionary>()) {
            imported = *previous->get<foundation::PlistDictionary>();
        }
        for (const auto& [type, print] : importedNow) {
            imported[rawValue(type)] = PlistValue(print);
        }
        defaults->set(key, PlistValue(std::move(imported)));
    }
    for (auto type : kLegacyKinds) {
        const auto path = filePathWithType(type);
        if (path && stored.count(type)) {
            removeArchivedFile(*path);
        } else if (path && fileExists(type)) {
            TALLY_LOG_WARN("Kept legacy file " + path->string() + ": its records could not be stored");
        }
    }
}

bool TallyPersistence::storeAll(const EntityBatch& entities, PersistenceType type, bool flag)
{
    std::vector<std::string> rows;
    rows.reserve(entities.size());
    for (const auto& entity : entities) {
        // A record that can never be made into JSON is dropped (and logged), as any other.
        if (auto data = JSONHandler::serializeJSONObject(TallyType(entity))) {
            rows.push_back(std::move(*data));
        }
    }
    return rows.empty() || store->insertRows(type, rows, flag);
}

bool TallyPersistence::needMigration() const
{
    for (auto type : kLegacyKinds) {
        if (fileExists(type) && !alreadyImported(type)) {
            return true;
        }
    }
    return false;
}

bool TallyPersistence::fileExists(LegacyArchiveType type) const
{
    const auto path = filePathWithType(type);
    std::error_code error;
    return path && fs::exists(fs::symlink_status(*path, error));
}

std::optional<fs::path> TallyPersistence::filePathWithType(LegacyArchiveType type) const
{
    return foundation::cachesFolder() / ("tally-" + name + "-" + rawValue(type));
}

std::optional<std::string> TallyPersistence::fingerprint(LegacyArchiveType type) const
{
    const auto path = filePathWithType(type);
    struct stat info {};
    if (!path || ::stat(path->c_str(), &info) != 0) {
        return std::nullopt;
    }
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" + std::to_string(info.st_size) + ":" +
           std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
}

bool TallyPersistence::alreadyImported(LegacyArchiveType type) const
{
    const auto print = fingerprint(type);
    auto defaults = suite();
    if (!print || !defaults) {
        return false;
    }
    const auto stored = defaults->object(keyFor(name, kImportedLegacyFiles));
    const auto* imported = stored ? stored->get<foundation::PlistDictionary>() : nullptr;
    if (!imported) {
        return false;
    }
    const auto it = imported->find(rawValue(type));
    return it != imported->end() && it->second == PlistValue(*print);
}

LegacySnapshot TallyPersistence::unarchiveFromLegacy()
{
    LegacySnapshot snapshot;
    snapshot.eventsQueue = unarchiveEvents();
    snapshot.peopleQueue = unarchivePeople();
    snapshot.groupsQueue = unarchiveGroups();
    snapshot.optOutStatus = unarchiveOptOutStatus();
    unarchiveProperties(snapshot);
    return snapshot;
}

EntityBatch TallyPersistence::unarchiveRecords(LegacyArchiveType type)
{
    const auto value = unarchiveWithType(type);
    if (!value) {
        return {};
    }
    return recordsOf(*value).value_or(EntityBatch{});
}

EntityBatch TallyPersistence::unarchiveEvents() { return unarchiveRecords(LegacyArchiveType::events); }

EntityBatch TallyPersistence::unarchivePeople() { return unarchiveRecords(LegacyArchiveType::people); }

EntityBatch TallyPersistence::unarchiveGroups() { return unarchiveRecords(LegacyArchiveType::groups); }

std::optional<bool> TallyPersistence::unarchiveOptOutStatus()
{
    const auto value = unarchiveWithType(LegacyArchiveType::optOutStatus);
    return value ? booleanOf(*value) : std::nullopt;
}

void TallyPersistence::unarchiveProperties(LegacySnapshot& snapshot)
{
    const auto value = unarchiveWithType(LegacyArchiveType::properties);
    const auto* properties = value ? value->get<Properties>() : nullptr;
    if (!properties) {
        return;
    }
    auto dictionaryOf = [&](const char* key) {
        const auto it = properties->find(key);
        const auto* dictionary = it == properties->end() ? nullptr : it->second.get<Properties>();
        return dictionary ? *dictionary : Properties{};
    };
    snapshot.superProperties = dictionaryOf("superProperties");
    snapshot.timedEvents = dictionaryOf("timedEvents");
    snapshot.distinctId = textOf(*properties, "distinctId").value_or("");
    snapshot.anonymousId = textOf(*properties, "anonymousId");
    snapshot.userId = textOf(*properties, "userId");
    snapshot.alias = textOf(*properties, "alias");
    if (const auto it = properties->find("hadPersistedDistinctId"); it != properties->end()) {
        const auto* number = it->second.get<NSNumber>();
        if (number && number->isBoolean()) {
            snapshot.hadPersistedDistinctId = std::get<bool>(number->storage());
        }
    }
    snapshot.peopleDistinctId = textOf(*properties, "peopleDistinctId");
    if (const auto it = properties->find("peopleUnidentifiedQueue"); it != properties->end()) {
        snapshot.peopleUnidentifiedQueue = recordsOf(it->second).value_or(EntityBatch{});
    }
}

std::optional<TallyType> TallyPersistence::unarchiveWithType(LegacyArchiveType type)
{
    const auto path = filePathWithType(type);
    if (!path) {
        TALLY_LOG_INFO("bad file path, cant fetch file");
        return std::nullopt;
    }
    if (alreadyImported(type)) {
        return std::nullopt;
    }
    const auto print = fingerprint(type);
    auto value = unarchiveWithFilePath(*path);
    if (!value) {
        TALLY_LOG_INFO("can't unarchive file");
        return std::nullopt;
    }
    if (print) {
        importedNow.emplace_back(type, *print);
    }
    return value;
}

std::optional<TallyType> TallyPersistence::unarchiveWithFilePath(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::optional<TallyType> value;
    if (in) {
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.bad()) {
            auto decoded = KeyedArchive::unarchive(bytes);
            if (!decoded.failed) {
                value = std::move(decoded.root);
            }
        }
    }
    if (!value) {
        TALLY_LOG_INFO("Unable to read file at path: " + path.string());
        removeArchivedFile(path);
    }
    return value;
}

void TallyPersistence::removeArchivedFile(const fs::path& path)
{
    std::error_code error;
    if (!fs::remove(path, error) || error) {
        const std::string why =
            error ? error.message() : std::make_error_code(std::errc::no_such_file_or_directory).message();
        TALLY_LOG_INFO("Unable to remove file at path: " + path.string() + ", error: " + why);
    }
}

} // namespace tally
