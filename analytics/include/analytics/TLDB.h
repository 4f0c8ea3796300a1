#pragma once

#include "analytics/EntityRecord.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
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
///
/// A write waits up to 5 s for another writer's lock. A write that still fails is handled by its
/// cause: a lock, or a file that cannot be written (read-only, no space, I/O error, cannot be
/// opened), keeps the file as it is and holds the write in memory (the newest 1,000 records) to
/// be replayed, in order, before the next write; a damaged file (not a database, corrupt, a table
/// or index missing) is replaced by a new one and the write is made there; a write the statement
/// itself refuses (a constraint) drops that record only. Rows whose deletion is held are left out
/// of reads. Not thread-safe: its owner calls it from one thread at a time.
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
    /// Stores all the rows in one transaction, or none: false when they are not in the file (and
    /// nothing is held for them). What is held from earlier writes goes first.
    bool insertRows(PersistenceType type, const std::vector<std::string>& data, bool flag = false);
    /// Up to `numRows` rows with `flag`, oldest stored time first, each with its "id". Rows that do
    /// not decode to a dictionary are left out (and left in the table).
    EntityBatch readRows(PersistenceType type, std::int64_t numRows, bool flag = false);
    /// Sets `newFlag` on every row of the kind that has the other flag.
    void updateRowsFlag(PersistenceType type, bool newFlag);
    /// Deletes the rows with these ids (an empty list deletes nothing), or every row.
    void deleteRows(PersistenceType type, const std::vector<std::int32_t>& ids = {}, bool isDeleteAll = false);

    /// Records whose insert is held in memory, not yet in the file.
    std::size_t heldRecordCount() const;

    /// The token reduced to its Unicode letters, marks and digits, as the file and tables are named.
    static std::string reducedToken(const std::string& token);

    /// The most inserts held in memory; older ones are dropped first.
    static constexpr std::size_t mostHeldRecords = 1000;
    static constexpr int busyTimeoutMs = 5000;

    /// Also receives, besides the client's logger, the warnings a user should see: a file that
    /// cannot be written (once per store), a damaged file replaced, and the records still held at
    /// close. The application routes them to its own log. Callable from any thread.
    static void setProblemHandler(std::function<void(const std::string&)> handler);

private:
    enum class Failure { held, unwritable, damaged, statement };
    struct Write {
        enum class Kind { insert, deleteIds, deleteAll, updateFlag };
        Write(Kind kind, PersistenceType type)
            : kind(kind)
            , type(type)
        {
        }
        Kind kind;
        PersistenceType type;
        std::string data;
        bool flag = false;
        double time = 0;
        std::vector<std::int32_t> ids;
    };

    void reconnect();
    void recreate();
    void createTableFor(PersistenceType type);
    void createIndexFor(PersistenceType type);
    void createTablesAndIndexes();
    static std::string idsSqlString(const std::vector<std::int32_t>& ids);
    void logSqlError(const std::optional<std::string>& message);
    void disconnect();
    bool readable();
    void enqueue(Write write);
    /// Makes the queued writes, oldest first, until one fails for a reason that holds it.
    void replay();
    /// SQLite's result of one write (SQLITE_DONE when made), after logging a failure.
    int perform(const Write& write);
    int runWrite(const std::string& sql, const std::string& table, const char* failed, const char* unprepared,
                 const char* done);
    Failure classify(int code, PersistenceType type);
    bool schemaIntact(PersistenceType type);
    void warnUnwritable();
    void report(const std::string& problem);
    void noteRowId(PersistenceType type, std::int64_t id);

    sqlite3* connection = nullptr;
    std::string token;
    bool opening = false;
    bool openFailed = false; // the last open met an SQLite error (as opposed to no token or path)
    bool warnedUnwritable = false;
    std::deque<Write> pending;
    std::size_t droppedHeld = 0;
    // Delivered rows whose deletion the statement refused: they stay, but are not read again.
    std::map<PersistenceType, std::set<std::int32_t>> undeletable;
    // The largest row id handed out per kind; a recreated file continues after it, so that an id
    // is never reused within the process while a delivery may still refer to it.
    std::map<PersistenceType, std::int64_t> highestRowId;
};

} // namespace tally
