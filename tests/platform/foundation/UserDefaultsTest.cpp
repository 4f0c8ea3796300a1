#include "platform/foundation/UserDefaults.h"

#include "ScopedEnvironment.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <vector>

using foundation::Date;
using foundation::PlistArray;
using foundation::PlistData;
using foundation::PlistDictionary;
using foundation::PlistValue;
using foundation::UserDefaults;
using testsupport::TempDir;

namespace fs = std::filesystem;

namespace {

std::string contentsOf(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The file as a property list, failing the test when it is not a dictionary.
PlistDictionary fileDictionary(const fs::path& file)
{
    const auto result = foundation::readPlistFile(file);
    EXPECT_TRUE(result.value) << result.error;
    if (result.value && result.value->is<PlistDictionary>()) {
        return *result.value->get<PlistDictionary>();
    }
    ADD_FAILURE() << file << " holds no dictionary";
    return {};
}

class UserDefaultsTest : public ::testing::Test {
protected:
    TempDir dir;
    fs::path file = dir.path() / "ThwackoApp" / "Domain.plist"; // the folder does not exist yet
    UserDefaults defaults{file};
};

struct ValueCase {
    const char* name;
    PlistValue value;
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.name; }

const ValueCase kValues[] = {
    {"True", true},
    {"False", false},
    {"Zero", 0},
    {"NegativeInteger", -42},
    {"SmallestInteger", std::numeric_limits<std::int64_t>::min()},
    {"LargestInteger", std::numeric_limits<std::int64_t>::max()},
    {"Real", 0.1},
    {"NegativeReal", -2.5e-300},
    {"EmptyString", ""},
    {"UnicodeString", "Bonkly \xc3\xa9\xf0\x9f\x91\x8b <&>"},
    {"Data", PlistData{0, 1, 2, 255}},
    {"EmptyData", PlistData{}},
    {"Date", Date(1700000000.25)},
    {"DateBefore2001", Date(978307200.0 - 99.75)},
    {"EmptyArray", PlistArray{}},
    {"EmptyDictionary", PlistDictionary{}},
    {"Nested", PlistDictionary{{"list", PlistArray{1, -2, "three", PlistArray{true}, PlistDictionary{{"k", 4.5}}}},
                               {"when", Date(1.5e9)},
                               {"bytes", PlistData{7}}}},
};

class UserDefaultsValues : public UserDefaultsTest, public ::testing::WithParamInterface<ValueCase> {};

} // namespace

TEST_P(UserDefaultsValues, RoundTripThroughTheFile)
{
    defaults.set("key", GetParam().value);
    EXPECT_EQ(UserDefaults(file).object("key"), GetParam().value);
    EXPECT_EQ(fileDictionary(file).at("key"), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Types, UserDefaultsValues, ::testing::ValuesIn(kValues),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UserDefaultsTest, EveryWriteLeavesAValidFileHoldingAllKeys)
{
    PlistDictionary expected;
    for (int i = 0; i < 20; ++i) {
        const std::string key = "key" + std::to_string(i);
        defaults.set(key, i % 2 ? PlistValue(-i) : PlistValue(std::string(i * 50, 'x')));
        expected[key] = *defaults.object(key);
        if (i % 5 == 4) {
            defaults.removeObject("key" + std::to_string(i - 2));
            expected.erase("key" + std::to_string(i - 2));
        }
        ASSERT_EQ(fileDictionary(file), expected) << "after write " << i;
    }
    // No temporaries or moved-aside files are left next to it.
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1);
}

TEST_F(UserDefaultsTest, InstancesOfOneDomainSeeEachOthersWritesAtOnce)
{
    UserDefaults other(file);
    defaults.setBool("flag", true);
    EXPECT_TRUE(other.boolForKey("flag"));
    other.set("name", "x");
    EXPECT_EQ(defaults.stringForKey("name"), "x");
    EXPECT_TRUE(defaults.boolForKey("flag"));
    defaults.removeObject("flag");
    EXPECT_EQ(other.object("flag"), std::nullopt);
    EXPECT_EQ(other.stringForKey("name"), "x");
}

TEST_F(UserDefaultsTest, ConcurrentWritersThroughSeparateInstancesLoseNothing)
{
    constexpr int kThreads = 6;
    constexpr int kKeys = 15;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            UserDefaults mine(file);
            for (int k = 0; k < kKeys; ++k) {
                mine.set("t" + std::to_string(t) + "k" + std::to_string(k), k);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(fileDictionary(file).size(), static_cast<std::size_t>(kThreads * kKeys));
}

TEST_F(UserDefaultsTest, OnlyAWriteThatChangesTheContentsReplacesTheFile)
{
    defaults.set("n", 1);
    defaults.set("text", "x");
    struct Step {
        const char* what;
        std::function<void()> write;
        bool replaces;
    };
    const Step steps[] = {
        {"the same number", [&] { defaults.set("n", 1); }, false},
        {"the same text", [&] { defaults.set("text", "x"); }, false},
        {"removing an absent key", [&] { defaults.removeObject("absent"); }, false},
        {"a Boolean where a number equal to it was", [&] { defaults.set("n", true); }, true},
        {"another text", [&] { defaults.set("text", "y"); }, true},
        {"a new key", [&] { defaults.set("new", PlistData{1}); }, true},
        {"removing a key", [&] { defaults.removeObject("new"); }, true},
    };
    for (const auto& step : steps) {
        // The save renames a new file over the old one, so a replaced file has another inode.
        struct stat was {};
        ASSERT_EQ(::stat(file.c_str(), &was), 0);
        step.write();
        struct stat now {};
        ASSERT_EQ(::stat(file.c_str(), &now), 0);
        EXPECT_EQ(now.st_ino != was.st_ino, step.replaces) << step.what;
    }
    EXPECT_EQ(fileDictionary(file), (PlistDictionary{{"n", true}, {"text", "y"}}));
}

TEST_F(UserDefaultsTest, AMissingFileReadsAsEmptyAndRemovingCreatesNoFile)
{
    EXPECT_EQ(defaults.object("anything"), std::nullopt);
    EXPECT_FALSE(defaults.boolForKey("anything"));
    EXPECT_EQ(defaults.stringForKey("anything"), std::nullopt);
    defaults.removeObject("anything");
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(UserDefaultsTest, KeepsTheKeysOfAFileWrittenByAnotherTool)
{
    dir.write("ThwackoApp/Domain.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>kept</key><integer>-7</integer><key>old</key><string>x</string></dict></plist>)");
    defaults.set("new", true);
    EXPECT_EQ(fileDictionary(file), (PlistDictionary{{"kept", -7}, {"old", "x"}, {"new", true}}));
}

struct UnreadableCase {
    const char* name;
    std::string contents;
};

void PrintTo(const UnreadableCase& c, std::ostream* os) { *os << c.name; }

class UserDefaultsUnreadable : public UserDefaultsTest, public ::testing::WithParamInterface<UnreadableCase> {};

TEST_P(UserDefaultsUnreadable, ReadsAsEmptyAndIsMovedAsideOnTheNextWrite)
{
    dir.write("ThwackoApp/Domain.plist", GetParam().contents);
    EXPECT_EQ(defaults.object("kept"), std::nullopt);
    EXPECT_FALSE(defaults.boolForKey("kept"));
    EXPECT_EQ(contentsOf(file), GetParam().contents) << "a read must not touch the file";

    defaults.set("new", 1);
    EXPECT_EQ(fileDictionary(file), (PlistDictionary{{"new", 1}}));
    EXPECT_EQ(contentsOf(file.string() + ".corrupt"), GetParam().contents);
}

INSTANTIATE_TEST_SUITE_P(
    Files, UserDefaultsUnreadable,
    ::testing::Values(UnreadableCase{"Garbage", "not a property list \x01\x02"}, UnreadableCase{"Empty", ""},
                      UnreadableCase{"Truncated",
                                     "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>kept</key>"},
                      UnreadableCase{"ArrayRoot", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><integer>1"
                                                  "</integer></array></plist>"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UserDefaultsTest, EachCorruptFileGetsABackupOfItsOwn)
{
    const std::string kinds[] = {"first garbage", "", "<plist><dict><key>third"};
    for (const auto& contents : kinds) {
        dir.write("ThwackoApp/Domain.plist", contents);
        defaults.set("new", 1);
    }
    EXPECT_EQ(contentsOf(file.string() + ".corrupt"), kinds[0]);
    EXPECT_EQ(contentsOf(file.string() + ".2.corrupt"), kinds[1]);
    EXPECT_EQ(contentsOf(file.string() + ".3.corrupt"), kinds[2]);
    EXPECT_EQ(fileDictionary(file), (PlistDictionary{{"new", 1}}));
}

TEST_F(UserDefaultsTest, BoolForKeyReadsBooleansAndNumbersOnly)
{
    const struct {
        const char* key;
        PlistValue value;
        bool expected;
    } cases[] = {
        {"true", true, true},     {"false", false, false},
        {"zero", 0, false},       {"five", 5, true},
        {"minusOne", -1, true},   {"realZero", 0.0, false},
        {"half", 0.5, true},      {"yesText", "YES", false},
        {"oneText", "1", false},  {"data", PlistData{1}, false},
        {"date", Date(1), false}, {"array", PlistArray{true}, false},
    };
    for (const auto& c : cases) {
        defaults.set(c.key, c.value);
    }
    for (const auto& c : cases) {
        EXPECT_EQ(UserDefaults(file).boolForKey(c.key), c.expected) << c.key;
    }
    EXPECT_FALSE(defaults.boolForKey("absent"));
}

TEST_F(UserDefaultsTest, StringForKeyReadsStringsAndNumbersAsText)
{
    const struct {
        const char* key;
        PlistValue value;
        std::optional<std::string> expected;
    } cases[] = {
        {"text", "hello", "hello"},      {"empty", "", ""},
        {"negative", -42, "-42"},        {"real", 0.1, "0.1"},
        {"wholeReal", 3.0, "3"},         {"true", true, "1"},
        {"false", false, "0"},           {"data", PlistData{'a'}, std::nullopt},
        {"date", Date(1), std::nullopt}, {"dictionary", PlistDictionary{{"a", "b"}}, std::nullopt},
    };
    for (const auto& c : cases) {
        defaults.set(c.key, c.value);
    }
    for (const auto& c : cases) {
        EXPECT_EQ(defaults.stringForKey(c.key), c.expected) << c.key;
    }
}

TEST_F(UserDefaultsTest, SuitesLiveBesideTheStandardDomainUnderTheConfigFolder)
{
    ScopedEnvironment environment;
    environment.set("XDG_CONFIG_HOME", dir.path().string());
    EXPECT_EQ(UserDefaults::configFolder(), dir.path() / "ThwackoApp");

    auto tally = UserDefaults::suite("Tally");
    ASSERT_TRUE(tally);
    EXPECT_EQ(tally->filePath(), dir.path() / "ThwackoApp" / "Tally.plist");
    tally->set("tally-x-TLDistinctID", "abc");
    EXPECT_EQ(UserDefaults::suite("Tally")->stringForKey("tally-x-TLDistinctID"), "abc");
    EXPECT_EQ(UserDefaults::suite("Other")->object("tally-x-TLDistinctID"), std::nullopt);
    EXPECT_EQ(fileDictionary(dir.path() / "ThwackoApp" / "Tally.plist").size(), 1u);

    EXPECT_EQ(UserDefaults::standard().filePath().filename(), "ThwackoApp.plist");
}

TEST(UserDefaultsSuite, AcceptsOnlyFileSafeNames)
{
    for (const std::string& name : std::vector<std::string>{"Tally", "com.example.app-2_b", std::string(128, 'a')}) {
        EXPECT_TRUE(UserDefaults::suite(name)) << name;
    }
    for (const std::string& name : std::vector<std::string>{"", ".hidden", "..", "../escape", "a/b", "with space",
                                                            "t\xc3\xa9", "semi;colon", std::string(129, 'a')}) {
        EXPECT_FALSE(UserDefaults::suite(name)) << name;
    }
}

TEST(UserDefaultsConfigFolder, FollowsXdgConfigHomeElseTheHomeFolder)
{
    TempDir dir;
    const std::string home = (dir.path() / "home").string();
    const struct {
        const char* name;
        std::optional<std::string> xdgConfigHome;
        fs::path expected;
    } cases[] = {
        {"absolute", (dir.path() / "xdg").string(), dir.path() / "xdg" / "ThwackoApp"},
        {"unset", std::nullopt, dir.path() / "home" / ".config" / "ThwackoApp"},
        {"empty", "", dir.path() / "home" / ".config" / "ThwackoApp"},
        {"relative", "relative/config", dir.path() / "home" / ".config" / "ThwackoApp"},
    };
    for (const auto& c : cases) {
        ScopedEnvironment environment;
        environment.set("HOME", home);
        environment.set("XDG_CONFIG_HOME", c.xdgConfigHome);
        EXPECT_EQ(UserDefaults::configFolder(), c.expected) << c.name;
    }
}
