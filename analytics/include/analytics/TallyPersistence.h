#pragma once

#include "analytics/EntityRecord.h"
#include "analytics/TLDB.h"

#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tally {

struct PersistenceConstant {
    /// The row flag of people records made while no distinct id was known.
    static constexpr bool unIdentifiedFlag = true;
};

/// The user-defaults suite and the key names; a full key is "tally-<instance name>-<key name>".
struct TallyUserDefaultsKeys {
    static constexpr const char* suiteName = "Tally";
    static constexpr const char* prefix = "tally";
    static constexpr const char* optOutStatus = "OptOutStatus";
    static constexpr const char* timedEvents = "timedEvents";
    static constexpr const char* superProperties = "superProperties";
    static constexpr const char* distinctID = "TLDistinctID";
    static constexpr const char* peopleDistinctID = "TLPeopleDistinctID";
    static constexpr const char* anonymousId = "TLAnonymousId";
    static constexpr const char* userID = "TLUserId";
    static constexpr const char* alias = "TLAlias";
    static constexpr const char* hadPersistedDistinctId = "TLHadPersistedDistinctId";
};

/// The six identity values, saved and restored together.
struct TallyIdentity {
    std::string distinctID;
    std::optional<std::string> peopleDistinctID;
    std::optional<std::string> anonymousId;
    std::optional<std::string> userId;
    std::optional<std::string> alias;
    std::optional<bool> hadPersistedDistinctId;

    friend bool operator==(const TallyIdentity&, const TallyIdentity&) = default;
};

/// The kinds of legacy archive file: "tally-<instance name>-<kind>" in the caches folder.
enum class LegacyArchiveType { events, people, groups, properties, optOutStatus };
std::string rawValue(LegacyArchiveType type);

/// What the legacy files held.
struct LegacySnapshot {
    EntityBatch eventsQueue;
    EntityBatch peopleQueue;
    EntityBatch groupsQueue;
    Properties superProperties;
    Properties timedEvents;
    std::string distinctId;
    std::optional<std::string> anonymousId;
    std::optional<std::string> userId;
    std::optional<std::string> alias;
    std::optional<bool> hadPersistedDistinctId;
    std::optional<std::string> peopleDistinctId;
    EntityBatch peopleUnidentifiedQueue;
    std::optional<bool> optOutStatus;
};

/// An instance's gateway to what it keeps across launches: the record queue (its own SQLite
/// store), and, through class-level operations keyed by instance name, the identity, opt-out
/// flag, super properties and timed events in the "Tally" user-defaults suite. Not thread-safe:
/// the instance calls the entity operations from its serial tracking queue only.
class TallyPersistence {
public:
    static constexpr std::int64_t unlimitedBatch = std::numeric_limits<std::int64_t>::max();

    /// Opens the instance's store at once.
    explicit TallyPersistence(std::string instanceName);
    ~TallyPersistence();
    TallyPersistence(const TallyPersistence&) = delete;
    TallyPersistence& operator=(const TallyPersistence&) = delete;

    const std::string& instanceName() const { return name; }
    TLDB& tldb() { return *store; }

    void closeDB();
    /// Queues one record; a record that cannot be made into JSON is dropped (and logged).
    void saveEntity(const EntityRecord& entity, PersistenceType type, bool flag = false);
    void saveEntities(const EntityBatch& entities, PersistenceType type, bool flag = false);
    /// The oldest records of the kind with `flag`, each with its "id". With
    /// `excludeAutomaticEvents`, events named "$ae_..." are left out (and left stored). People
    /// records carry the distinct id stored at the time of loading.
    EntityBatch loadEntitiesInBatch(PersistenceType type, std::int64_t batchSize = unlimitedBatch, bool flag = false,
                                    bool excludeAutomaticEvents = false);
    void removeEntitiesInBatch(PersistenceType type, const std::vector<std::int32_t>& ids);
    /// Marks every held-back people record ready to send.
    void identifyPeople(const std::string& token);
    void resetEntities();

    static TallyIdentity loadIdentity(const std::string& instanceName);
    static void saveIdentity(const TallyIdentity& identity, const std::string& instanceName);
    static void saveOptOutStatusFlag(bool value, const std::string& instanceName);
    /// nullopt when no decision was ever stored.
    static std::optional<bool> loadOptOutStatusFlag(const std::string& instanceName);
    static void saveTimedEvents(const Properties& timedEvents, const std::string& instanceName);
    static Properties loadTimedEvents(const std::string& instanceName);
    static void saveSuperProperties(const Properties& superProperties, const std::string& instanceName);
    static Properties loadSuperProperties(const std::string& instanceName);
    static void deleteTLUserDefaultsData(const std::string& instanceName);
    /// The profile deletions of users who opted out that are not yet delivered, oldest first; each
    /// record is complete (its "$distinct_id" is the departed user's). A reset keeps them.
    static EntityBatch loadPendingProfileDeletions(const std::string& instanceName);
    static void savePendingProfileDeletions(const EntityBatch& deletions, const std::string& instanceName);

    /// Imports this instance's legacy archive files once: records into the queue, settings into
    /// the user defaults, then deletes the files whose records are all stored (a file whose
    /// records could not be stored stays for a later start). A file that cannot be deleted is
    /// remembered and not imported again.
    void migrate();
    bool needMigration() const;

private:
    /// Stores every record in one transaction; false when none was stored.
    bool storeAll(const EntityBatch& entities, PersistenceType type, bool flag);
    static EntityRecord entityWithDistinctId(const EntityRecord& entity, const std::string& distinctId);

    std::optional<std::filesystem::path> filePathWithType(LegacyArchiveType type) const;
    bool fileExists(LegacyArchiveType type) const;
    LegacySnapshot unarchiveFromLegacy();
    std::optional<TallyType> unarchiveWithFilePath(const std::filesystem::path& path);
    void removeArchivedFile(const std::filesystem::path& path);
    EntityBatch unarchiveEvents();
    EntityBatch unarchivePeople();
    EntityBatch unarchiveGroups();
    std::optional<bool> unarchiveOptOutStatus();
    void unarchiveProperties(LegacySnapshot& snapshot);
    std::optional<TallyType> unarchiveWithType(LegacyArchiveType type);
    EntityBatch unarchiveRecords(LegacyArchiveType type);
    /// A legacy file's identity (device, inode, size, modification time), to tell an imported
    /// file that could not be deleted from a new one.
    std::optional<std::string> fingerprint(LegacyArchiveType type) const;
    bool alreadyImported(LegacyArchiveType type) const;

    std::string name;
    std::unique_ptr<TLDB> store;
    std::vector<std::pair<LegacyArchiveType, std::string>> importedNow;
};

} // namespace tally
