#include "analytics/TLDB.h"

#include "SqliteStatement.h"
#include "analytics/TallyLogger.h"

#include <algorithm>
#include <iterator>

namespace tally {

namespace {

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

bool TLDB::schemaIntact(PersistenceType type)
{
    Statement statement;
    const char* sql = "SELECT count(*) FROM sqlite_master WHERE (type = 'table' AND name = ?) OR "
                      "(type = 'index' AND name = ?)";
    if (sqlite3_prepare_v2(connection, sql, -1, &statement.handle, nullptr) != SQLITE_OK) {
        return false;
    }
    const std::string table = tableNameFor(type);
    const std::string index = indexNameFor(type);
    sqlite3_bind_text(statement.handle, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement.handle, 2, index.c_str(), -1, SQLITE_TRANSIENT);
    return sqlite3_step(statement.handle) == SQLITE_ROW && sqlite3_column_int(statement.handle, 0) == 2;
}

} // namespace tally
