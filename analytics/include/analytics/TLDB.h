#pragma once

#include "analytics/EntityRecord.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace tally {

/// The record kinds as tables: "events", "people", "groups".
enum class PersistenceType { events, people, groups };

inline constexpr PersistenceType allPersistenceTypes[] = {PersistenceType::events, PersistenceType::people,
                                                          PersistenceType::groups};
std::string rawValue(PersistenceType type);
std::optional<PersistenceType> persistenceType(const std::string& raw);

/// The SQLite queue of one instance: "<token>_TLDB.sqlite" in the user's caches folder, one
/// table "tally_<token>_<kind>" and one index "idx_<kind>_time" per kind, write-ahead logging.
/// The file and its -wal and -shm companions are readable and writable by the owner only.
/// A failed write discards the file and starts afresh. Not thread-safe: its owner calls it from
/// one thread at a time.
class TLDB {
public:
    /// Keeps the token's Unicode letters, marks and digits and opens the store.
    explicit TLDB(const std::string& token);
    ~TLDB();
    TLDB(const TLDB&) = delete;
    TLDB& operator=(const TLDB&) = delete;

    const std::string& apiToken() const { return token; }
    bool isOpen() const { return connection != nullptr; }
    /// The file's full path; nullopt when there is no caches folder.
    std::optional<std::filesystem::path> pathToDb() const;
    std::string tableNameFor(PersistenceType type) const;

    void open();
    void close();
    void insertRow(PersistenceType type, const std::string& data, bool flag = false);
    /// Up to `numRows` rows with `flag`, oldest stored time first, each with its "id". Rows that do
    /// not decode to a dictionary are left out (and left in the table).
    EntityBatch readRows(PersistenceType type, std::int64_t numRows, bool flag = false);
    /// Sets `newFlag` on every row of the kind that has the other flag.
    void updateRowsFlag(PersistenceType type, bool newFlag);
    /// Deletes the rows with these ids (an empty list deletes nothing), or every row.
    void deleteRows(PersistenceType type, const std::vector<std::int32_t>& ids = {}, bool isDeleteAll = false);

    /// The token reduced to its Unicode letters, marks and digits, as the file and tables are named.
    static std::string reducedToken(const std::string& token);

private:
    void reconnect();
    void recreate();
    void createTableFor(PersistenceType type);
    void createIndexFor(PersistenceType type);
    void createTablesAndIndexes();
    static std::string idsSqlString(const std::vector<std::int32_t>& ids);
    void logSqlError(const std::optional<std::string>& message);
    /// Runs a write statement; false (after logging and recreating the file) when it failed.
    bool runWrite(const std::string& sql, const std::string& table, const char* failed, const char* unprepared,
                  const char* done);
    void noteRowId(PersistenceType type, std::int64_t id);

    sqlite3* connection = nullptr;
    std::string token;
    bool opening = false;
    // The largest row id handed out per kind; a recreated file continues after it, so that an id
    // is never reused within the process while a delivery may still refer to it.
    std::map<PersistenceType, std::int64_t> highestRowId;
};

} // namespace tally
