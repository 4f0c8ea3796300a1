#include "AnalyticsTestSupport.h"
#include "analytics/KeyedArchive.h"
#include "analytics/TallyPersistence.h"
#include "platform/foundation/Paths.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tally;
using analyticstest::LogCapture;
namespace fs = std::filesystem;

namespace {

class LegacyMigration : public testing::Test {
protected:
    std::string name =
        "legacy" + std::to_string(::getpid()) + testing::UnitTest::GetInstance()->current_test_info()->name();

    fs::path legacyFile(const char* kind) const { return foundation::cachesFolder() / ("tally-" + name + "-" + kind); }
    void writeLegacy(const char* kind, const TallyType& root) const { writeBytes(kind, *KeyedArchive::archive(root)); }
    void writeBytes(const char* kind, const std::string& bytes) const
    {
        fs::create_directories(foundation::cachesFolder());
        std::ofstream(legacyFile(kind), std::ios::binary) << bytes;
    }
    std::vector<std::string> names(TallyPersistence& persistence, PersistenceType type, bool flag = false) const
    {
        std::vector<std::string> out;
        for (const auto& record : persistence.loadEntitiesInBatch(type, TallyPersistence::unlimitedBatch, flag)) {
            out.push_back(*record.at("name").get<std::string>());
        }
        return out;
    }
};

TEST_F(LegacyMigration, WithoutLegacyFilesNothingHappens)
{
    TallyPersistence::saveIdentity(TallyIdentity{"kept", {}, {}, {}, "alias", true}, name);
    LogCapture log;
    TallyPersistence persistence(name);
    log.clear();
    persistence.migrate();
    EXPECT_TRUE(log.messages().empty());
    EXPECT_EQ(TallyPersistence::loadIdentity(name).distinctID, "kept");
}

TEST_F(LegacyMigration, AnEventsFileAloneIsQueuedInOrderAndTheSettingsAreReset)
{
    TallyPersistence::saveIdentity(TallyIdentity{"old", {}, {}, {}, "alias", true}, name);
    TallyPersistence::saveOptOutStatusFlag(true, name);
    writeLegacy("events", TallyArray{Properties{{"name", "a"}}, Properties{{"name", "b"}}, Properties{{"name", "c"}}});
    LogCapture log;
    TallyPersistence persistence(name);
    persistence.migrate();
    EXPECT_EQ(names(persistence, PersistenceType::events), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_FALSE(fs::exists(legacyFile("events")));
    EXPECT_EQ(TallyPersistence::loadIdentity(name), (TallyIdentity{"", {}, {}, {}, {}, false}));
    EXPECT_EQ(TallyPersistence::loadOptOutStatusFlag(name), std::optional<bool>(true));
    EXPECT_TRUE(log.contains(TallyLogLevel::info, "Unable to read file at path: " + legacyFile("people").string()));
    EXPECT_TRUE(log.contains(TallyLogLevel::info, "can't unarchive file"));
    // A second start finds nothing to import.
    persistence.migrate();
    EXPECT_EQ(persistence.loadEntitiesInBatch(PersistenceType::events).size(), 3u);
}

TEST_F(LegacyMigration, PropertiesAndQueuesLandInTheirStores)
{
    writeLegacy("people", TallyArray{Properties{{"name", "identified"}}});
    writeLegacy("groups", TallyArray{Properties{{"name", "g"}}});
    writeLegacy("optOutStatus", NSNumber(false));
    writeLegacy("properties", Properties{{"superProperties", Properties{{"plan", "pro"}}},
                                         {"timedEvents", Properties{{"load", 12.5}}},
                                         {"distinctId", 42}, // not a text: ignored
                                         {"anonymousId", "anon"},
                                         {"userId", "user"},
                                         {"hadPersistedDistinctId", true},
                                         {"peopleDistinctId", "pd"},
                                         {"peopleUnidentifiedQueue",
                                          TallyArray{Properties{{"name", "early1"}}, Properties{{"name", "early2"}}}}});
    TallyPersistence persistence(name);
    persistence.migrate();
    EXPECT_EQ(names(persistence, PersistenceType::people, true), (std::vector<std::string>{"early1", "early2"}));
    EXPECT_EQ(names(persistence, PersistenceType::people, false), (std::vector<std::string>{"identified"}));
    EXPECT_EQ(names(persistence, PersistenceType::groups), (std::vector<std::string>{"g"}));
    EXPECT_EQ(TallyPersistence::loadIdentity(name), (TallyIdentity{"", "pd", "anon", "user", {}, true}));
    EXPECT_EQ(TallyPersistence::loadOptOutStatusFlag(name), std::optional<bool>(false));
    EXPECT_TRUE(TallyPersistence::loadSuperProperties(name).at("plan").equals("pro"));
    EXPECT_TRUE(TallyPersistence::loadTimedEvents(name).at("load").equals(12.5));
    for (const char* kind : {"people", "groups", "optOutStatus", "properties"}) {
        EXPECT_FALSE(fs::exists(legacyFile(kind))) << kind;
    }
}

TEST_F(LegacyMigration, AHostileFileIsDeletedAndTheOthersStillImport)
{
    writeBytes("groups", "not a keyed archive");
    writeLegacy("events", TallyArray{Properties{{"name", "a"}}});
    TallyPersistence persistence(name);
    persistence.migrate();
    EXPECT_FALSE(fs::exists(legacyFile("groups")));
    EXPECT_EQ(names(persistence, PersistenceType::events), (std::vector<std::string>{"a"}));
}

// Makes a file undeletable for the test's duration: immutable for root, a read-only folder otherwise.
class Undeletable {
public:
    explicit Undeletable(const fs::path& file)
        : file(file)
    {
        if (::geteuid() == 0) {
            fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
            int flags = 0;
            works = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                    (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        } else {
            works = ::chmod(file.parent_path().c_str(), 0500) == 0;
        }
    }
    ~Undeletable()
    {
        if (fd >= 0) {
            int flags = 0;
            ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
            ::close(fd);
        } else {
            ::chmod(file.parent_path().c_str(), 0700);
        }
    }
    bool works = false;

private:
    fs::path file;
    int fd = -1;
};

TEST_F(LegacyMigration, AFileThatCannotBeDeletedIsNotImportedTwice)
{
    writeLegacy("events", TallyArray{Properties{{"name", "once"}}});
    {
        TallyPersistence persistence(name); // the store is created before the folder turns read-only
    }
    {
        Undeletable guard(legacyFile("events"));
        if (!guard.works) {
            GTEST_SKIP() << "cannot make a file undeletable here";
        }
        TallyPersistence persistence(name);
        persistence.migrate();
        EXPECT_TRUE(fs::exists(legacyFile("events")));
        TallyPersistence restarted(name);
        EXPECT_FALSE(restarted.needMigration());
        restarted.migrate();
    }
    TallyPersistence persistence(name);
    EXPECT_EQ(names(persistence, PersistenceType::events), (std::vector<std::string>{"once"}));
}

TEST_F(LegacyMigration, AFileWhoseRecordsCannotAllBeStoredStaysForALaterStart)
{
    writeLegacy("events", TallyArray{Properties{{"name", "a"}}, Properties{{"name", "b"}}, Properties{{"name", "c"}}});
    writeLegacy("groups", TallyArray{Properties{{"name", "g"}}});
    {
        TallyPersistence persistence(name);
        // The store refuses the second event: none of the file's three may be kept alone.
        sqlite3* raw = nullptr;
        sqlite3_open(persistence.tldb().pathToDb()->c_str(), &raw);
        const std::string trigger =
            "CREATE TRIGGER no_b BEFORE INSERT ON " + persistence.tldb().tableNameFor(PersistenceType::events) +
            " WHEN instr(CAST(NEW.data AS TEXT), '\"b\"') > 0 BEGIN SELECT RAISE(ABORT, 'no'); END";
        ASSERT_EQ(sqlite3_exec(raw, trigger.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        persistence.migrate();
        EXPECT_TRUE(persistence.loadEntitiesInBatch(PersistenceType::events).empty());
        EXPECT_EQ(names(persistence, PersistenceType::groups), (std::vector<std::string>{"g"}));
        EXPECT_TRUE(fs::exists(legacyFile("events")));
        EXPECT_FALSE(fs::exists(legacyFile("groups")));
        ASSERT_EQ(sqlite3_exec(raw, "DROP TRIGGER no_b", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(raw);
    }
    TallyPersistence restarted(name);
    EXPECT_TRUE(restarted.needMigration());
    restarted.migrate();
    EXPECT_EQ(names(restarted, PersistenceType::events), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(names(restarted, PersistenceType::groups), (std::vector<std::string>{"g"}));
    EXPECT_FALSE(fs::exists(legacyFile("events")));
}

TEST_F(LegacyMigration, EachInstanceImportsOnlyItsOwnFiles)
{
    writeLegacy("events", TallyArray{Properties{{"name", "mine"}}});
    const std::string other = name + "other";
    TallyPersistence persistence(other);
    persistence.migrate();
    EXPECT_TRUE(persistence.loadEntitiesInBatch(PersistenceType::events).empty());
    EXPECT_TRUE(fs::exists(legacyFile("events")));
}

} // namespace
