#include "analytics/TLDB.h"

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

namespace tally {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDbFileName = "TLDB.sqlite";

struct CodePointRange {
    char32_t first;
    char32_t last;
};

constexpr CodePointRange kAlphanumerics[] = {
#include "UnicodeAlphanumerics.inc"
};

bool isAlphanumeric(char32_t c)
{
    const auto* end = std::end(kAlphanumerics);
    const auto* it = std::upper_bound(std::begin(kAlphanumerics), end, c,
                                      [](char32_t value, const CodePointRange& r) { return value < r.first; });
    return it != std::begin(kAlphanumerics) && c <= (it - 1)->last;
}

// Decodes one UTF-8 sequence at `i`; invalid bytes come back as U+FFFD and advance by one.
char32_t nextCodePoint(const std::string& s, std::size_t& i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    int length = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > s.size()) {
        ++i;
        return 0xFFFD;
    }
    char32_t c = length == 1 ? b0 : b0 & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    i += length;
    return c;
}

// SQLite gives its -wal and -shm files the mode of the database file, so making that one 0600
// before SQLite opens it covers all three, whatever the umask.
void restrictToOwner(const fs::path& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        const std::string companion = path.string() + suffix;
        ::chmod(companion.c_str(), 0600);
    }
}

struct Statement {
    sqlite3_stmt* handle = nullptr;
    ~Statement() { sqlite3_finalize(handle); }
    void release()
    {
        sqlite3_finalize(handle);
        handle = nullptr;
    }
};

std::string indexNameFor(PersistenceType type) { return "idx_" + rawValue(type) + "_time"; }

} // namespace

std::string rawValue(PersistenceType type)
{
    switch (type) {
    case PersistenceType::events:
        return "events";
    case PersistenceType::people:
        return "people";
    case PersistenceType::groups:
        return "groups";
    }
    return "events";
}

std::optional<PersistenceType> persistenceType(const std::string& raw)
{
    for (auto type : allPersistenceTypes) {
        if (rawValue(type) == raw) {
            return type;
        }
    }
    return std::nullopt;
}

std::string TLDB::reducedToken(const std::string& token)
{
    std::string out;
    std::size_t i = 0;
    while (i < token.size()) {
        const std::size_t start = i;
        const char32_t c = nextCodePoint(token, i);
        if (c != 0xFFFD && isAlphanumeric(c)) {
            out.append(token, start, i - start);
        }
    }
    return out;
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
        if (connection) {
            logSqlError("Error opening or creating database at path: " + path->string());
        } else {
            TALLY_LOG_ERROR("Error opening or creating database at path: " + path->string());
        }
        close();
        opening = false;
        return;
    }
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
        const std::string sql = "INSERT OR REPLACE INTO sqlite_sequence(name, seq) VALUES('" + tableNameFor(type) +
                                "', " + std::to_string(highest) + ")";
        sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, nullptr);
    }
    opening = false;
}

void TLDB::close()
{
    sqlite3_close(connection);
    connection = nullptr;
    TALLY_LOG_INFO("Connection to database closed.");
}

void TLDB::recreate()
{
    close();
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

void TLDB::createTableFor(PersistenceType type)
{
    if (!connection) {
        reconnect();
        return;
    }
    const std::string table = tableNameFor(type);
    const std::string sql = "CREATE TABLE IF NOT EXISTS " + table +
                            "(id integer primary key autoincrement,data blob,time real,flag integer);";
    Statement statement;
    if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement.handle, nullptr) == SQLITE_OK) {
        if (sqlite3_step(statement.handle) == SQLITE_DONE) {
            TALLY_LOG_INFO(table + " table created");
        } else {
            logSqlError(table + " table create failed");
        }
    } else {
        logSqlError("CREATE statement for table " + table + " could not be prepared");
    }
}

void TLDB::createIndexFor(PersistenceType type)
{
    if (!connection) {
        reconnect();
        return;
    }
    const std::string index = indexNameFor(type);
    const std::string sql = "CREATE INDEX IF NOT EXISTS " + index + " ON " + tableNameFor(type) + " (time);";
    Statement statement;
    if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement.handle, nullptr) == SQLITE_OK) {
        if (sqlite3_step(statement.handle) == SQLITE_DONE) {
            TALLY_LOG_INFO(index + " index created");
        } else {
            logSqlError(index + " index creation failed");
        }
    } else {
        logSqlError("CREATE statement for index " + index + " could not be prepared");
    }
}

void TLDB::createTablesAndIndexes()
{
    for (auto type : allPersistenceTypes) {
        createTableFor(type);
        createIndexFor(type);
    }
}

void TLDB::noteRowId(PersistenceType type, std::int64_t id)
{
    auto& highest = highestRowId[type];
    highest = std::max(highest, id);
}

void TLDB::insertRow(PersistenceType type, const std::string& data, bool flag)
{
    if (!connection) {
        reconnect();
        return;
    }
    const std::string table = tableNameFor(type);
    const std::string sql = "INSERT INTO " + table + " (data, flag, time) VALUES(?, ?, ?);";
    Statement statement;
    if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement.handle, nullptr) != SQLITE_OK) {
        logSqlError("INSERT statement for table " + table + " could not be prepared");
        statement.release();
        recreate();
        return;
    }
    sqlite3_bind_blob(statement.handle, 1, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(statement.handle, 2, flag ? 1 : 0);
    sqlite3_bind_double(statement.handle, 3, foundation::Date::now().timeIntervalSince1970());
    if (sqlite3_step(statement.handle) == SQLITE_DONE) {
        noteRowId(type, sqlite3_last_insert_rowid(connection));
        TALLY_LOG_INFO("Successfully inserted row into table " + table);
        return;
    }
    logSqlError("Failed to insert row into table " + table);
    statement.release();
    recreate();
}

EntityBatch TLDB::readRows(PersistenceType type, std::int64_t numRows, bool flag)
{
    EntityBatch rows;
    if (!connection) {
        reconnect();
        return rows;
    }
    const std::string table = tableNameFor(type);
    std::string sql = "SELECT id, data FROM " + table + " WHERE flag = " + (flag ? "1" : "0") + " ORDER BY time";
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

bool TLDB::runWrite(const std::string& sql, const std::string& table, const char* failed, const char* unprepared,
                    const char* done)
{
    Statement statement;
    if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement.handle, nullptr) != SQLITE_OK) {
        logSqlError(std::string(unprepared) + table + " could not be prepared");
        statement.release();
        recreate();
        return false;
    }
    if (sqlite3_step(statement.handle) != SQLITE_DONE) {
        logSqlError(std::string(failed) + table);
        statement.release();
        recreate();
        return false;
    }
    TALLY_LOG_INFO(std::string(done) + table);
    return true;
}

void TLDB::updateRowsFlag(PersistenceType type, bool newFlag)
{
    if (!connection) {
        reconnect();
        return;
    }
    const std::string table = tableNameFor(type);
    const std::string sql = "UPDATE " + table + " SET flag = " + (newFlag ? "true" : "false") +
                            " where flag = " + (newFlag ? "false" : "true");
    runWrite(sql, table, "Failed to update rows from table ", "UPDATE statement for table ",
             "Successfully updated rows from table ");
}

void TLDB::deleteRows(PersistenceType type, const std::vector<std::int32_t>& ids, bool isDeleteAll)
{
    if (!connection) {
        reconnect();
        return;
    }
    // "IN ()" does not compile, and a failed delete would discard the whole queue.
    if (!isDeleteAll && ids.empty()) {
        return;
    }
    const std::string table = tableNameFor(type);
    std::string sql = "DELETE FROM " + table;
    if (!isDeleteAll) {
        sql += " WHERE id IN " + idsSqlString(ids);
    }
    runWrite(sql, table, "Failed to delete rows from table ", "DELETE statement for table ",
             "Successfully deleted rows from table ");
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
