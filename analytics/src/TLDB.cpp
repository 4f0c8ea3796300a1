#include "analytics/TLDB.h"

#include "SqliteStatement.h"
#include "analytics/JSONHandler.h"
#include "analytics/TallyLogger.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Paths.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <mutex>

namespace tally {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDbFileName = "TLDB.sqlite";

// SQLite gives its -wal and -shm files the mode of the database file, so making that one 0600
// before SQLite opens it covers all three, whatever the umask. A file its owner made read-only
// is left as it is: the store must not make it writable again.
void restrictToOwner(const fs::path& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    struct stat info {};
    const bool ownerWritable = ::fstat(fd, &info) == 0 && (info.st_mode & S_IWUSR);
    if (ownerWritable) {
        ::fchmod(fd, 0600);
    }
    ::close(fd);
    if (!ownerWritable) {
        return;
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        const std::string companion = path.string() + suffix;
        ::chmod(companion.c_str(), 0600);
    }
}

std::string immutableUri(const fs::path& path)
{
    std::string uri = "file:";
    for (const char c : path.string()) {
        if (c == '%' || c == '?' || c == '#') {
            static constexpr char kHex[] = "0123456789abcdef";
            uri += '%';
            uri += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
            uri += kHex[static_cast<unsigned char>(c) & 0xF];
        } else {
            uri += c;
        }
    }
    return uri + "?immutable=1";
}

std::mutex& problemLock()
{
    static std::mutex lock;
    return lock;
}

std::function<void(const std::string&)>& problemHandler()
{
    static std::function<void(const std::string&)> handler;
    return handler;
}

} // namespace

void TLDB::setProblemHandler(std::function<void(const std::string&)> handler)
{
    const std::lock_guard lock(problemLock());
    problemHandler() = std::move(handler);
}

void TLDB::report(const std::string& problem)
{
    TALLY_LOG_WARN(problem);
    const std::lock_guard lock(problemLock());
    if (problemHandler()) {
        problemHandler()(problem);
    }
}

TLDB::TLDB(const std::string& token)
    : token(reducedToken(token))
{
    open();
}

TLDB::~TLDB() { close(); }

std::optional<fs::path> TLDB::pathToDb() const { return foundation::cachesFolder() / (token + "_" + kDbFileName); }

std::string TLDB::tableNameFor(PersistenceType type) const { return "tally_" + token + "_" + rawValue(type); }

void TLDB::reconnect()
{
    TALLY_LOG_WARN("No database connection found. Calling TLDB.open()");
    open();
}

void TLDB::open()
{
    if (token.empty()) {
        TALLY_LOG_ERROR("Project token must not be empty. Database cannot be opened.");
        return;
    }
    // An open that fails reports through logSqlError, which reconnects without a connection;
    // this guard keeps that from recursing.
    if (opening) {
        return;
    }
    const auto path = pathToDb();
    if (!path) {
        return;
    }
    opening = true;
    std::error_code error;
    fs::create_directories(path->parent_path(), error);
    restrictToOwner(*path);
    const int result = sqlite3_open_v2(path->c_str(), &connection, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (result != SQLITE_OK) {
        openFailed = true;
        if (connection) {
            logSqlError("Error opening or creating database at path: " + path->string());
        } else {
            TALLY_LOG_ERROR("Error opening or creating database at path: " + path->string());
        }
        disconnect();
        opening = false;
        return;
    }
    openFailed = false;
    if (sqlite3_db_readonly(connection, "main") == 1 && !readable()) {
        // A write-ahead-logged file that can be neither written nor given its -shm file can
        // still be read as immutable, so that what it queued is delivered.
        sqlite3_close(connection);
        connection = nullptr;
        sqlite3_open_v2(immutableUri(*path).c_str(), &connection, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    }
    sqlite3_busy_timeout(connection, busyTimeoutMs);
    TALLY_LOG_INFO("Successfully opened connection to database at path: " + path->string());
    {
        Statement statement;
        if (sqlite3_prepare_v2(connection, "PRAGMA journal_mode=WAL;", -1, &statement.handle, nullptr) == SQLITE_OK) {
            if (sqlite3_step(statement.handle) == SQLITE_ROW) {
                const auto* mode = sqlite3_column_text(statement.handle, 0);
                const std::string text = mode ? reinterpret_cast<const char*>(mode) : "";
                TALLY_LOG_INFO("SQLite journal mode set to " + text);
            } else {
                logSqlError("Failed to enable journal_mode=WAL");
            }
        } else {
            logSqlError("PRAGMA journal_mode=WAL statement could not be prepared");
        }
    }
    createTablesAndIndexes();
    // Continue the ids of a discarded file rather than starting again at 1.
    for (const auto& [type, highest] : highestRowId) {
        const std::string sql = "INSERT OR REPLACE INTO sqlite_sequence(name, seq) SELECT '" + tableNameFor(type) +
                                "', " + std::to_string(highest) +
                                " WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence "
                                "WHERE name = '" +
                                tableNameFor(type) + "' AND seq >= " + std::to_string(highest) + ")";
        sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, nullptr);
    }
    opening = false;
}

bool TLDB::readable()
{
    Statement statement;
    return sqlite3_prepare_v2(connection, "SELECT count(*) FROM sqlite_master", -1, &statement.handle, nullptr) ==
               SQLITE_OK &&
           sqlite3_step(statement.handle) == SQLITE_ROW;
}

void TLDB::disconnect()
{
    sqlite3_close(connection);
    connection = nullptr;
    TALLY_LOG_INFO("Connection to database closed.");
}

void TLDB::close()
{
    if (connection && !pending.empty()) {
        replay(); // a last chance for what was held
    }
    disconnect();
    const std::size_t held = heldRecordCount();
    if (held > 0 || droppedHeld > 0) {
        report("Analytics store: " + std::to_string(held + droppedHeld) +
               " records could not be stored and are lost (" + std::to_string(droppedHeld) + " of them beyond the " +
               std::to_string(mostHeldRecords) + " held in memory)");
        std::erase_if(pending, [](const Write& write) { return write.kind == Write::Kind::insert; });
        droppedHeld = 0;
    }
}

std::size_t TLDB::heldRecordCount() const
{
    return static_cast<std::size_t>(
        std::count_if(pending.begin(), pending.end(), [](const Write& w) { return w.kind == Write::Kind::insert; }));
}

void TLDB::recreate()
{
    disconnect();
    undeletable.clear(); // their rows go with the file
    if (const auto path = pathToDb()) {
        // The -wal and -shm files go too: a stale log replayed into the new file would bring back
        // pages of the old one.
        for (const std::string suffix : {"", "-wal", "-shm"}) {
            const fs::path file = path->string() + suffix;
            std::error_code error;
            if (!fs::exists(fs::symlink_status(file, error))) {
                continue;
            }
            if (fs::remove(file, error)) {
                TALLY_LOG_INFO("Deleted database file at path: " + file.string());
            } else {
                TALLY_LOG_ERROR("Unable to remove database file at path: " + file.string() +
                                ", error: " + error.message());
            }
        }
    }
    reconnect();
}

void TLDB::noteRowId(PersistenceType type, std::int64_t id)
{
    auto& highest = highestRowId[type];
    highest = std::max(highest, id);
}

void TLDB::insertRow(PersistenceType type, const std::string& data, bool flag)
{
    Write write{Write::Kind::insert, type};
    write.data = data;
    write.flag = flag;
    write.time = foundation::Date::now().timeIntervalSince1970();
    enqueue(std::move(write));
}

bool TLDB::insertRows(PersistenceType type, const std::vector<std::string>& data, bool flag)
{
    if (!connection) {
        reconnect();
    }
    if (connection) {
        replay();
    }
    for (int attempt = 0; attempt < 2 && connection && pending.empty(); ++attempt) {
        int result = sqlite3_exec(connection, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        for (std::size_t i = 0; result == SQLITE_OK && i < data.size(); ++i) {
            Write write{Write::Kind::insert, type};
            write.data = data[i];
            write.flag = flag;
            write.time = foundation::Date::now().timeIntervalSince1970();
            result = perform(write);
            result = result == SQLITE_DONE ? SQLITE_OK : result;
        }
        if (result == SQLITE_OK) {
            result = sqlite3_exec(connection, "COMMIT", nullptr, nullptr, nullptr);
        }
        if (result == SQLITE_OK) {
            return true;
        }
        logSqlError("Failed to store " + std::to_string(data.size()) + " rows into table " + tableNameFor(type));
        sqlite3_exec(connection, "ROLLBACK", nullptr, nullptr, nullptr);
        const Failure failure = classify(result, type);
        if (failure != Failure::damaged) {
            if (failure == Failure::unwritable) {
                warnUnwritable();
            }
            return false;
        }
        report("Analytics store " + (pathToDb() ? pathToDb()->string() : std::string()) +
               " was damaged; replaced it with a new one");
        recreate();
    }
    return false;
}

void TLDB::updateRowsFlag(PersistenceType type, bool newFlag)
{
    Write write{Write::Kind::updateFlag, type};
    write.flag = newFlag;
    enqueue(std::move(write));
}

void TLDB::deleteRows(PersistenceType type, const std::vector<std::int32_t>& ids, bool isDeleteAll)
{
    // "IN ()" does not compile.
    if (!isDeleteAll && ids.empty()) {
        if (!connection) {
            reconnect();
        }
        return;
    }
    if (isDeleteAll) {
        // Held inserts of the kind were made before the deletion: they go with it.
        std::erase_if(pending, [type](const Write& w) { return w.kind == Write::Kind::insert && w.type == type; });
    }
    Write write{isDeleteAll ? Write::Kind::deleteAll : Write::Kind::deleteIds, type};
    write.ids = ids;
    enqueue(std::move(write));
}

void TLDB::enqueue(Write write)
{
    if (!connection) {
        reconnect();
        // Without a token or a caches folder there never will be a file: nothing to hold for.
        if (!connection && !openFailed) {
            return;
        }
    }
    if (write.kind == Write::Kind::insert && heldRecordCount() >= mostHeldRecords) {
        const auto oldest =
            std::find_if(pending.begin(), pending.end(), [](const Write& w) { return w.kind == Write::Kind::insert; });
        pending.erase(oldest);
        ++droppedHeld;
    }
    pending.push_back(std::move(write));
    if (!connection) {
        warnUnwritable();
        return;
    }
    replay();
}

void TLDB::replay()
{
    bool recreated = false;
    while (!pending.empty()) {
        const Write& write = pending.front();
        const int result = perform(write);
        if (result == SQLITE_DONE) {
            pending.pop_front();
            continue;
        }
        switch (classify(result, write.type)) {
        case Failure::statement:
            TALLY_LOG_ERROR("Dropped a write to table " + tableNameFor(write.type) + " that its statement refused");
            if (write.kind == Write::Kind::deleteIds) {
                undeletable[write.type].insert(write.ids.begin(), write.ids.end());
            }
            pending.pop_front();
            break;
        case Failure::damaged:
            if (recreated) {
                return; // the new file fails too; keep what is held for the next write
            }
            recreated = true;
            report("Analytics store " + (pathToDb() ? pathToDb()->string() : std::string()) +
                   " was damaged; replaced it with a new one");
            recreate();
            if (!connection) {
                warnUnwritable();
                return;
            }
            break;
        case Failure::unwritable:
            warnUnwritable();
            return;
        case Failure::held:
            return;
        }
    }
}

int TLDB::perform(const Write& write)
{
    const std::string table = tableNameFor(write.type);
    switch (write.kind) {
    case Write::Kind::insert: {
        const std::string sql = "INSERT INTO " + table + " (data, flag, time) VALUES(?, ?, ?);";
        Statement statement;
        int result = sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement.handle, nullptr);
        if (result != SQLITE_OK) {
            logSqlError("INSERT statement for table " + table + " could not be prepared");
            return result;
        }
        result = sqlite3_bind_blob(statement.handle, 1, write.data.data(), static_cast<int>(write.data.size()),
                                   SQLITE_TRANSIENT);
        if (result == SQLITE_OK) {
            result = sqlite3_bind_int(statement.handle, 2, write.flag ? 1 : 0);
        }
        if (result == SQLITE_OK) {
            result = sqlite3_bind_double(statement.handle, 3, write.time);
        }
        if (result != SQLITE_OK) {
            logSqlError("Failed to bind a row for table " + table);
            return SQLITE_MISMATCH; // a value the statement cannot take
        }
        result = sqlite3_step(statement.handle);
        if (result == SQLITE_DONE) {
            noteRowId(write.type, sqlite3_last_insert_rowid(connection));
            TALLY_LOG_INFO("Successfully inserted row into table " + table);
            return result;
        }
        logSqlError("Failed to insert row into table " + table);
        return result;
    }
    case Write::Kind::updateFlag:
        return runWrite("UPDATE " + table + " SET flag = " + (write.flag ? "true" : "false") +
                            " where flag = " + (write.flag ? "false" : "true"),
                        table, "Failed to update rows from table ", "UPDATE statement for table ",
                        "Successfully updated rows from table ");
    case Write::Kind::deleteIds:
    case Write::Kind::deleteAll:
        return runWrite("DELETE FROM " + table +
                            (write.kind == Write::Kind::deleteAll ? "" : " WHERE id IN " + idsSqlString(write.ids)),
                        table, "Failed to delete rows from table ", "DELETE statement for table ",
                        "Successfully deleted rows from table ");
    }
    return SQLITE_MISUSE;
}

int TLDB::runWrite(const std::string& sql, const std::string& table, const char* failed, const char* unprepared,
                   const char* done)
{
    Statement statement;
    int result = sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement.handle, nullptr);
    if (result != SQLITE_OK) {
        logSqlError(std::string(unprepared) + table + " could not be prepared");
        return result;
    }
    result = sqlite3_step(statement.handle);
    if (result != SQLITE_DONE) {
        logSqlError(std::string(failed) + table);
        return result;
    }
    TALLY_LOG_INFO(std::string(done) + table);
    return result;
}

TLDB::Failure TLDB::classify(int code, PersistenceType type)
{
    switch (code & 0xFF) {
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_FULL:
    case SQLITE_IOERR:
        return Failure::unwritable;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return Failure::damaged;
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
    case SQLITE_TOOBIG:
    case SQLITE_RANGE:
        return Failure::statement;
    case SQLITE_ERROR:
        return schemaIntact(type) ? Failure::statement : Failure::damaged;
    default: // a lock, or something passing (out of memory, interrupted): try again later
        return Failure::held;
    }
}

void TLDB::warnUnwritable()
{
    if (warnedUnwritable) {
        return;
    }
    warnedUnwritable = true;
    const std::string why = connection ? std::string(sqlite3_errmsg(connection)) : std::string("cannot be opened");
    report("Analytics store " + (pathToDb() ? pathToDb()->string() : std::string()) + " cannot be written (" + why +
           "); keeping up to " + std::to_string(mostHeldRecords) + " records in memory until it can");
}

EntityBatch TLDB::readRows(PersistenceType type, std::int64_t numRows, bool flag)
{
    EntityBatch rows;
    if (!connection) {
        reconnect();
        return rows;
    }
    // Rows whose deletion is held were delivered already: they must not go out again.
    const auto& refused = undeletable[type];
    std::vector<std::int32_t> delivered(refused.begin(), refused.end());
    for (const auto& write : pending) {
        if (write.type != type) {
            continue;
        }
        if (write.kind == Write::Kind::deleteAll) {
            return rows;
        }
        if (write.kind == Write::Kind::deleteIds) {
            delivered.insert(delivered.end(), write.ids.begin(), write.ids.end());
        }
    }
    const std::string table = tableNameFor(type);
    std::string sql = "SELECT id, data FROM " + table + " WHERE flag = " + (flag ? "1" : "0");
    if (!delivered.empty()) {
        sql += " AND id NOT IN " + idsSqlString(delivered);
    }
    sql += " ORDER BY time";
    if (numRows != std::numeric_limits<std::int64_t>::max()) {
        sql += " LIMIT " + std::to_string(numRows);
    }
    Statement statement;
    if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement.handle, nullptr) != SQLITE_OK) {
        logSqlError("SELECT statement for table " + table + " could not be prepared");
        return rows;
    }
    int count = 0;
    while (sqlite3_step(statement.handle) == SQLITE_ROW) {
        const void* blob = sqlite3_column_blob(statement.handle, 1);
        if (!blob) {
            logSqlError("No blob found in data column for row in " + table);
            continue;
        }
        const std::string data(static_cast<const char*>(blob),
                               static_cast<std::size_t>(sqlite3_column_bytes(statement.handle, 1)));
        const std::int32_t id = sqlite3_column_int(statement.handle, 0);
        noteRowId(type, id);
        ++count;
        auto value = JSONHandler::deserializeData(data);
        if (!value) {
            continue;
        }
        if (const auto* record = value->get<Properties>()) {
            EntityRecord row = *record;
            row["id"] = TallyType(static_cast<std::int64_t>(id));
            rows.push_back(std::move(row));
        }
    }
    if (count > 0) {
        TALLY_LOG_INFO("Successfully read " + std::to_string(count) + " from table " + table);
    }
    return rows;
}

std::string TLDB::idsSqlString(const std::vector<std::int32_t>& ids)
{
    std::string text = "(";
    for (const auto id : ids) {
        text += std::to_string(id) + ",";
    }
    if (!ids.empty()) {
        text.pop_back();
    }
    return text + ")";
}

void TLDB::logSqlError(const std::optional<std::string>& message)
{
    if (!connection) {
        reconnect();
        return;
    }
    if (message) {
        TALLY_LOG_ERROR(*message);
    }
    TALLY_LOG_ERROR(std::string(sqlite3_errmsg(connection)));
}

} // namespace tally
