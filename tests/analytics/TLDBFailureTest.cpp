// The record store meeting a lock, a second writer, a damaged file and a file it cannot write.
#include "AnalyticsTestSupport.h"
#include "InstanceFixture.h"
#include "LoopbackServer.h"
#include "StoreRows.h"
#include "analytics/TLDB.h"
#include "analytics/TallyPersistence.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <numeric>
#include <sstream>
#include <thread>

using namespace tally;
using analyticstest::numbers;
using analyticstest::record;
using analyticstest::uniqueToken;
namespace fs = std::filesystem;

namespace {

std::string fileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

/// Collects what the store reports for the user while it lives.
class Problems {
public:
    Problems()
    {
        TLDB::setProblemHandler([this](const std::string& text) {
            const std::lock_guard lock(mutex);
            seen.push_back(text);
        });
    }
    ~Problems() { TLDB::setProblemHandler(nullptr); }
    std::vector<std::string> all() const
    {
        const std::lock_guard lock(mutex);
        return seen;
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> seen;
};

/// A second connection that takes the file's write lock and keeps it until released.
class WriteLock {
public:
    explicit WriteLock(const fs::path& path)
    {
        sqlite3_open(path.c_str(), &db);
        EXPECT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ~WriteLock() { sqlite3_close(db); }
    void release() { EXPECT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK); }

private:
    sqlite3* db = nullptr;
};

TEST(TLDBLock, ALockReleasedWithinTheTimeOutIsWaitedFor)
{
    TLDB db(uniqueToken("wait"));
    auto lock = std::make_unique<WriteLock>(*db.pathToDb());
    std::thread releaser([&] {
        // Well inside the 5 s time-out, however slow the machine.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        lock->release();
    });
    db.insertRow(PersistenceType::events, record(1));
    releaser.join();
    EXPECT_EQ(db.heldRecordCount(), 0u);
    EXPECT_EQ(numbers(db.readRows(PersistenceType::events, 10)), (std::vector<std::int64_t>{1}));
}

TEST(TLDBLock, ALockHeldPastTheTimeOutKeepsTheFileAndHoldsTheRecordForTheNextWrite)
{
    Problems problems;
    TLDB db(uniqueToken("busy"));
    db.insertRow(PersistenceType::events, record(1));
    {
        WriteLock lock(*db.pathToDb());
        db.insertRow(PersistenceType::events, record(2)); // waits out the time-out
        EXPECT_EQ(db.heldRecordCount(), 1u);
        lock.release();
    }
    db.insertRow(PersistenceType::events, record(3));
    EXPECT_EQ(db.heldRecordCount(), 0u);
    EXPECT_EQ(numbers(db.readRows(PersistenceType::events, 10)), (std::vector<std::int64_t>{1, 2, 3}));
    EXPECT_TRUE(problems.all().empty()); // a passing lock is no news for the user
}

TEST(TLDBLock, TwoProcessesWritingOneFileAtOnceLoseNothing)
{
    const std::string name = uniqueToken("two");
    constexpr int kEach = 300;
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (int writer = 0; writer < 2; ++writer) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(go[1]);
            TallyPersistence persistence(name);
            char start = 0;
            if (::read(go[0], &start, 1) != 0) { // both start when the pipe closes
                ::_exit(3);
            }
            for (int n = 0; n < kEach; ++n) {
                persistence.saveEntity(Properties{{"n", writer * kEach + n}}, PersistenceType::events);
            }
            ::_exit(persistence.tldb().heldRecordCount() == 0 ? 0 : 4);
        }
        children.push_back(child);
    }
    ::close(go[0]);
    ::close(go[1]);
    for (const pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    TallyPersistence persistence(name);
    auto got = numbers(persistence.loadEntitiesInBatch(PersistenceType::events));
    std::sort(got.begin(), got.end());
    std::vector<std::int64_t> expected(2 * kEach);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(got, expected);
}

struct DamagedCase {
    const char* name;
    std::function<void(const fs::path&)> damage;
};

class DamagedAtStart : public testing::TestWithParam<DamagedCase> {};

TEST_P(DamagedAtStart, IsReplacedAndTheFirstRecordKeptWithOneWarning)
{
    const std::string token = uniqueToken("damaged");
    {
        TLDB db(token);
        for (int n = 0; n < 200; ++n) {
            db.insertRow(PersistenceType::events, record(n));
        }
    }
    const fs::path path = *TLDB(token).pathToDb();
    GetParam().damage(path);
    Problems problems;
    TLDB db(token);
    db.insertRow(PersistenceType::events, record(1000)); // the launch event
    db.insertRow(PersistenceType::events, record(1001));
    const auto rows = numbers(db.readRows(PersistenceType::events, TallyPersistence::unlimitedBatch));
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(std::vector<std::int64_t>(rows.end() - 2, rows.end()), (std::vector<std::int64_t>{1000, 1001}));
    ASSERT_EQ(problems.all().size(), 1u);
    EXPECT_NE(problems.all()[0].find("was damaged"), std::string::npos) << problems.all()[0];
}

INSTANTIATE_TEST_SUITE_P(Files, DamagedAtStart,
                         testing::Values(DamagedCase{"Garbage",
                                                     [](const fs::path& path) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(8192, 'x');
                                                     }},
                                         DamagedCase{"Truncated",
                                                     [](const fs::path& path) {
    // The header promises more pages than are left, and the tables' pages are cut.
    fs::resize_file(path, 100 + 4096 + 1000);
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(4096 + 100);
    file << std::string(1000, '\xee');
                                                     }}),
    [](const auto& info) { return std::string(info.param.name); });

enum class ReadOnlyRun { passed, failed, unavailable };

// Runs the current test again in a child process that sees `cache` read-only: as root no file
// mode stops a write, so the child gets a private mount namespace with a read-only bind mount
// (unshare -m); otherwise the folder and `file` lose their write permission. The child finds
// the folder in TLDB_READONLY_CACHE and the parent's suffix in TLDB_READONLY_SUFFIX.
ReadOnlyRun runReadOnly(const fs::path& cache, const fs::path& file, const std::string& suffix, std::string& output)
{
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    const std::string self = fs::read_symlink("/proc/self/exe");
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    const std::string environment = "TLDB_READONLY_CACHE='" + cache.string() + "' TLDB_READONLY_SUFFIX=" + suffix;
    std::string command;
    if (::geteuid() == 0) {
        // Exit status 77 when no private mount namespace can be had.
        command = "unshare -m --propagation private sh -c 'mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro "
                  "\"$0\" || exit 77; " +
                  environment + " exec \"$1\" \"$2\"' '" + cache.string() + "' '" + self + "' '" + filter + "' 2>&1";
    } else {
        fs::permissions(file, fs::perms::owner_read);
        fs::permissions(cache, fs::perms::owner_read | fs::perms::owner_exec);
        command = environment + " '" + self + "' '" + filter + "' 2>&1";
    }
    FILE* child = ::popen(command.c_str(), "r");
    if (!child) {
        return ReadOnlyRun::failed;
    }
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, child)) {
        output.append(buffer, n);
    }
    const int status = ::pclose(child);
    fs::permissions(cache, fs::perms::owner_all);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        return ReadOnlyRun::unavailable;
    }
    const bool passed =
        WIFEXITED(status) && WEXITSTATUS(status) == 0 && output.find("[  PASSED  ] 1 test") != std::string::npos;
    return passed ? ReadOnlyRun::passed : ReadOnlyRun::failed;
}

#define EXPECT_READ_ONLY_RUN_PASSES(cache, file, suffix)                                                               \
    do {                                                                                                               \
        std::string output;                                                                                            \
        const auto run = runReadOnly(cache, file, suffix, output);                                                     \
        if (run == ReadOnlyRun::unavailable) {                                                                         \
            GTEST_SKIP() << "no private mount namespace here (unshare -m needs CAP_SYS_ADMIN), and as root no file "   \
                            "mode makes the store read-only:\n"                                                        \
                         << output;                                                                                    \
        }                                                                                                              \
        EXPECT_EQ(run, ReadOnlyRun::passed) << output;                                                                 \
    } while (false)

TEST(TLDBReadOnly, AReadOnlyStoreIsKeptUntouchedAndWarnsOnce)
{
    if (const char* readOnlyCache = std::getenv("TLDB_READONLY_CACHE")) {
        ::setenv("XDG_CACHE_HOME", readOnlyCache, 1);
        Problems problems;
        {
            TLDB db(std::string("readonly") + std::getenv("TLDB_READONLY_SUFFIX"));
            EXPECT_EQ(numbers(db.readRows(PersistenceType::events, 10)), (std::vector<std::int64_t>{1, 2, 3}));
            for (int n = 0; n < static_cast<int>(TLDB::mostHeldRecords) + 5; ++n) {
                db.insertRow(PersistenceType::events, record(100 + n));
            }
            EXPECT_EQ(db.heldRecordCount(), TLDB::mostHeldRecords);
            // Delivered rows whose deletion cannot be written are not read (and sent) again.
            db.deleteRows(PersistenceType::events, {1, 2});
            EXPECT_EQ(numbers(db.readRows(PersistenceType::events, 10)), (std::vector<std::int64_t>{3}));
            ASSERT_EQ(problems.all().size(), 1u);
            EXPECT_NE(problems.all()[0].find("cannot be written"), std::string::npos) << problems.all()[0];
        }
        ASSERT_EQ(problems.all().size(), 2u);
        EXPECT_NE(problems.all()[1].find(std::to_string(TLDB::mostHeldRecords + 5) + " records could not be stored"),
                  std::string::npos)
            << problems.all()[1];
        return;
    }
    analyticstest::ScratchDir dir;
    const std::string suffix = std::to_string(::getpid());
    const fs::path cache = dir.path() / "cache";
    ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    fs::path path;
    {
        TLDB db("readonly" + suffix);
        for (int n = 1; n <= 3; ++n) {
            db.insertRow(PersistenceType::events, record(n));
        }
        path = *db.pathToDb();
    }
    const std::string before = fileBytes(path);
    EXPECT_READ_ONLY_RUN_PASSES(cache, path, suffix);
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_FALSE(fs::exists(path.string() + "-wal"));
    EXPECT_FALSE(fs::exists(path.string() + "-shm"));
}

class TLDBReadOnlyDelivery : public analyticstest::InstanceFixture {};

// Without leaving them out of reads, the undeletable first batch would fill every later load
// and the rest would never go.
TEST_F(TLDBReadOnlyDelivery, RowsDeliveredFromAReadOnlyStoreGoOnceAndTheRestFollows)
{
    if (const char* readOnlyCache = std::getenv("TLDB_READONLY_CACHE")) {
        ::setenv("XDG_CACHE_HOME", readOnlyCache, 1);
        analyticstest::LoopbackServer server;
        auto o = options(std::string("ro") + std::getenv("TLDB_READONLY_SUFFIX"));
        o.serverURL = server.baseURL();
        auto instance = make(o);
        instance->track("launch"); // held: the file cannot take it
        for (int flush = 0; flush < 3; ++flush) {
            bool completed = false;
            instance->flush(false, [&] { completed = true; });
            ASSERT_TRUE(mainQueue.runUntil([&] { return completed; }));
            instance->waitUntilIdle();
        }
        std::vector<std::int64_t> sent;
        for (const auto& request : server.requests()) {
            for (const auto& row : nlohmann::json::parse(request.body)) {
                sent.push_back(row["properties"]["n"].get<std::int64_t>());
            }
        }
        std::vector<std::int64_t> expected(60);
        std::iota(expected.begin(), expected.end(), 0);
        EXPECT_EQ(sent, expected);
        EXPECT_EQ(server.requestCount(), 2u);
        return;
    }
    const std::string suffix = std::to_string(::getpid());
    const fs::path cache = home.path() / "cache";
    fs::path path;
    {
        TallyPersistence persistence("ro" + suffix);
        for (int n = 0; n < 60; ++n) {
            persistence.saveEntity(Properties{{"event", "old"}, {"properties", Properties{{"n", n}}}},
                                   PersistenceType::events);
        }
        path = *persistence.tldb().pathToDb();
    }
    EXPECT_READ_ONLY_RUN_PASSES(cache, path, suffix);
}

} // namespace
