#include "analytics/TLDB.h"
#include "AnalyticsTestSupport.h"
#include "StoreRows.h"
#include "analytics/JSONHandler.h"
#include "analytics/TallyPersistence.h"
#include "platform/foundation/Paths.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tally;
using analyticstest::LogCapture;
using analyticstest::numbers;
using analyticstest::record;
using analyticstest::uniqueToken;
namespace fs = std::filesystem;

namespace {

// A second connection to the store's file, to look at and tamper with it from outside.
class RawDb {
public:
    explicit RawDb(const fs::path& path) { sqlite3_open(path.c_str(), &db); }
    ~RawDb() { sqlite3_close(db); }
    void exec(const std::string& sql)
    {
        char* error = nullptr;
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    }
    std::int64_t count(const std::string& table)
    {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, ("SELECT count(*) FROM " + table).c_str(), -1, &statement, nullptr);
        std::int64_t n = -1;
        if (sqlite3_step(statement) == SQLITE_ROW) {
            n = sqlite3_column_int64(statement, 0);
        }
        sqlite3_finalize(statement);
        return n;
    }

private:
    sqlite3* db = nullptr;
};

TEST(TLDB, NamesTheFileAndTablesAfterTheTokensLettersMarksAndDigits)
{
    EXPECT_EQ(TLDB::reducedToken("ab-c d!_9"), "abcd9");
    EXPECT_EQ(TLDB::reducedToken("ключ-1é"), "ключ1é");
    EXPECT_EQ(TLDB::reducedToken("a\xff"
                                 "b"),
              "ab");
    TLDB first("tok-en " + uniqueToken("names"));
    TLDB second("tok.en" + uniqueToken("names"));
    EXPECT_EQ(first.pathToDb(), second.pathToDb());
    EXPECT_EQ(first.pathToDb()->filename(), first.apiToken() + "_TLDB.sqlite");
    EXPECT_EQ(first.pathToDb()->parent_path(), foundation::cachesFolder());
    EXPECT_EQ(first.tableNameFor(PersistenceType::people), "tally_" + first.apiToken() + "_people");
}

TEST(TLDB, AFreshStoreCreatesTablesAndIndexesInOrder)
{
    LogCapture log;
    TLDB db(uniqueToken("fresh"));
    std::vector<std::string> created;
    for (const auto& message : log.messages()) {
        if (message.text.ends_with(" created")) {
            created.push_back(message.text);
        }
    }
    const std::string t = "tally_" + db.apiToken() + "_";
    EXPECT_EQ(created, (std::vector<std::string>{t + "events table created", "idx_events_time index created",
                                                 t + "people table created", "idx_people_time index created",
                                                 t + "groups table created", "idx_groups_time index created"}));
}

TEST(TLDB, ATokenWithoutLettersNeverOpens)
{
    LogCapture log;
    TLDB db("-- !!");
    EXPECT_FALSE(db.isOpen());
    EXPECT_TRUE(db.readRows(PersistenceType::events, 10).empty());
    EXPECT_TRUE(log.contains(TallyLogLevel::warning, "No database connection found. Calling TLDB.open()"));
    EXPECT_TRUE(log.contains(TallyLogLevel::error, "Project token must not be empty. Database cannot be opened."));
}

TEST(TLDB, RowsComeBackInStoredTimeOrderWithTheirIds)
{
    TLDB db(uniqueToken("order"));
    for (int n = 1; n <= 3; ++n) {
        db.insertRow(PersistenceType::events, record(n));
    }
    // A wall clock set back: the last row was stored "earliest".
    RawDb raw(*db.pathToDb());
    raw.exec("UPDATE " + db.tableNameFor(PersistenceType::events) + " SET time = 0 WHERE id = 3");
    const auto rows = db.readRows(PersistenceType::events, TallyPersistence::unlimitedBatch);
    EXPECT_EQ(numbers(rows), (std::vector<std::int64_t>{3, 1, 2}));
    EXPECT_TRUE(rows[0].at("id").equals(3));
    EXPECT_EQ(numbers(db.readRows(PersistenceType::events, 2)), (std::vector<std::int64_t>{3, 1}));
    EXPECT_TRUE(db.readRows(PersistenceType::events, 10, true).empty());
}

TEST(TLDB, AStoredIdKeyIsReplacedByTheRowId)
{
    TLDB db(uniqueToken("idkey"));
    db.insertRow(PersistenceType::groups, *JSONHandler::serializeJSONObject(Properties{{"id", "mine"}}));
    const auto rows = db.readRows(PersistenceType::groups, 10);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].at("id").equals(1));
}

TEST(TLDB, AnUndecodableRowIsSkippedCountedAndKept)
{
    LogCapture log;
    TLDB db(uniqueToken("undecodable"));
    db.insertRow(PersistenceType::events, record(1));
    const std::string table = db.tableNameFor(PersistenceType::events);
    RawDb raw(*db.pathToDb());
    raw.exec("INSERT INTO " + table + " (data, flag, time) VALUES(x'7b6e6f', 0, 1e12)");
    raw.exec("INSERT INTO " + table + " (data, flag, time) VALUES(x'5b315d', 0, 2e12)"); // [1]: not a dictionary
    log.clear();
    EXPECT_EQ(numbers(db.readRows(PersistenceType::events, 10)), (std::vector<std::int64_t>{1}));
    EXPECT_TRUE(log.contains(TallyLogLevel::info, "Successfully read 3 from table " + table));
    EXPECT_EQ(raw.count(table), 3);
}

TEST(TLDB, DeletingAnEmptyIdListDeletesNothingAndKeepsTheFile)
{
    TLDB db(uniqueToken("emptyids"));
    db.insertRow(PersistenceType::events, record(1));
    db.insertRow(PersistenceType::events, record(2));
    db.deleteRows(PersistenceType::events, {});
    EXPECT_EQ(db.readRows(PersistenceType::events, 10).size(), 2u);
    db.deleteRows(PersistenceType::events, {1});
    EXPECT_EQ(numbers(db.readRows(PersistenceType::events, 10)), (std::vector<std::int64_t>{2}));
    db.deleteRows(PersistenceType::events, {}, true);
    EXPECT_TRUE(db.readRows(PersistenceType::events, 10).empty());
}

struct FailedWriteCase {
    const char* name;
    const char* sabotage; // %T: the events table
    std::function<void(TLDB&)> write;
    bool recreates;                   // a damaged file is replaced; otherwise it is kept as it is
    std::vector<std::int64_t> events; // what reads back once record 3 follows the failed write
    std::vector<std::int64_t> people;
};

class FailedWrite : public testing::TestWithParam<FailedWriteCase> {};

TEST_P(FailedWrite, IsHandledByItsCause)
{
    LogCapture log;
    TLDB db(uniqueToken("failed"));
    db.insertRow(PersistenceType::events, record(1));
    db.insertRow(PersistenceType::people, record(2));
    // A second connection keeps the write-ahead log alive, as a crash would: a stale log left
    // beside a new file would be replayed into it.
    RawDb raw(*db.pathToDb());
    std::string sql = GetParam().sabotage;
    sql.replace(sql.find("%T"), 2, db.tableNameFor(PersistenceType::events));
    raw.exec(sql);
    GetParam().write(db);
    const std::string deleted = "Deleted database file at path: " + db.pathToDb()->string();
    EXPECT_EQ(log.contains(TallyLogLevel::info, deleted + "-wal"), GetParam().recreates);
    EXPECT_EQ(log.contains(TallyLogLevel::info, deleted + "-shm"), GetParam().recreates);
    EXPECT_TRUE(db.isOpen());
    db.insertRow(PersistenceType::events, record(3));
    const auto rows = db.readRows(PersistenceType::events, 10);
    EXPECT_EQ(numbers(rows), GetParam().events);
    EXPECT_EQ(numbers(db.readRows(PersistenceType::people, 10)), GetParam().people);
    EXPECT_EQ(db.heldRecordCount(), 0u);
    // Ids continue after the discarded file's, so a delivery in flight cannot delete a new row.
    EXPECT_GT(*rows.back().at("id").get<std::int64_t>(), 1);
}

// A trigger's RAISE(ABORT) is a constraint failure: an error of the statement, not of the file.
INSTANTIATE_TEST_SUITE_P(
    Writes, FailedWrite,
    testing::Values(FailedWriteCase{"InsertMeetsAMissingTable",
                                    "DROP TABLE %T",
                                    [](TLDB& db) { db.insertRow(PersistenceType::events, record(9)); },
                                    true,
                                    {9, 3},
                                    {}},
                    FailedWriteCase{"UpdateMeetsAMissingTable",
                                    "DROP TABLE %T",
                                    [](TLDB& db) { db.updateRowsFlag(PersistenceType::events, false); },
                                    true,
                                    {3},
                                    {}},
                    FailedWriteCase{"DeleteMeetsAMissingIndex",
                                    "DROP INDEX idx_events_time; DROP TABLE %T",
                                    [](TLDB& db) { db.deleteRows(PersistenceType::events, {1}); },
                                    true,
                                    {3},
                                    {}},
                    FailedWriteCase{"InsertRefusedByTheStatement",
                                    "CREATE TRIGGER no_nine BEFORE INSERT ON %T WHEN instr(CAST(NEW.data AS TEXT), "
                                    "'9') > 0 BEGIN SELECT RAISE(ABORT, 'no'); END",
                                    [](TLDB& db) { db.insertRow(PersistenceType::events, record(9)); },
                                    false,
                                    {1, 3},
                                    {2}},
                    // The delivered row stays in the file but never reads back in this run.
                    FailedWriteCase{"DeleteRefusedByTheStatement",
                                    "CREATE TRIGGER no_delete BEFORE DELETE ON %T BEGIN SELECT RAISE(ABORT, 'no'); END",
                                    [](TLDB& db) { db.deleteRows(PersistenceType::events, {1}); },
                                    false,
                                    {3},
                                    {2}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TLDB, FilesAreOwnerOnlyWhateverTheUmask)
{
    const mode_t previous = ::umask(0);
    {
        TLDB db(uniqueToken("mode"));
        db.insertRow(PersistenceType::events, record(1));
        for (const char* suffix : {"", "-wal", "-shm"}) {
            struct stat info {};
            const std::string file = db.pathToDb()->string() + suffix;
            ASSERT_EQ(::stat(file.c_str(), &info), 0) << file;
            EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
        }
    }
    ::umask(previous);
}

TEST(TallyPersistence, AProcessKilledAfterStoringLosesNothing)
{
    const std::string name = uniqueToken("killed");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TallyPersistence persistence(name);
        for (int n = 0; n < 25; ++n) {
            persistence.saveEntity(Properties{{"n", n}}, PersistenceType::events);
        }
        ::kill(::getpid(), SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    TallyPersistence persistence(name);
    EXPECT_EQ(persistence.loadEntitiesInBatch(PersistenceType::events).size(), 25u);
}

} // namespace
