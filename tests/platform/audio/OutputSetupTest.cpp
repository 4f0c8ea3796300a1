// The configuration that gives OpenAL Soft its update size: where it is written, what it holds,
// and when the environment is left alone. No device is opened here.
#include "platform/audio/OutputSetup.h"

#include "../foundation/ScopedEnvironment.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kPeriodFrames = 128; // the mixer's update, in frames

std::string contents(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// The lines OpenAL reads as settings: all but empty lines and comments.
std::vector<std::string> settings(const fs::path& file)
{
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.front() != '#') {
            lines.push_back(line);
        }
    }
    return lines;
}

std::optional<std::string> variable(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

class OutputSetupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        env.set("XDG_CACHE_HOME", (dir.path() / "cache").string());
        env.set("ALSOFT_CONF", std::nullopt);
        env.set("PULSE_PROP", std::nullopt);
    }

    fs::path ours() const { return dir.path() / "cache" / "ThwackoApp" / "openal.conf"; }

    testsupport::TempDir dir;
    ScopedEnvironment env;
};

struct SetupCase {
    const char* name;
    std::optional<std::string> alsoftConf;   // the variable before the call; nullopt: unset
    std::optional<std::string> existingFile; // what our file held before, if it existed
};

const SetupCase kSetupCases[] = {
    {"Unset", std::nullopt, std::nullopt},
    {"EmptyMeansUnset", "", std::nullopt},
    {"StaleFileIsReplaced", std::nullopt, "[general]\nperiod_size = 4096\nperiods = 4\n"},
    {"EmptyFileIsReplaced", std::nullopt, ""},
};

class OutputSetupWrites : public OutputSetupTest, public ::testing::WithParamInterface<SetupCase> {};

TEST_P(OutputSetupWrites, TheUpdateSizeAndPointsOpenAlAtIt)
{
    if (GetParam().alsoftConf) {
        env.set("ALSOFT_CONF", GetParam().alsoftConf);
    }
    if (GetParam().existingFile) {
        dir.write(ours().lexically_relative(dir.path()), *GetParam().existingFile);
    }
    testsupport::LogCapture log("thwacko.audio");

    const audio::OutputSetup setup = audio::prepareOutput();

    EXPECT_EQ(setup.configuration, ours());
    EXPECT_EQ(audio::outputConfigurationPath(), ours());
    EXPECT_FALSE(setup.usersOwn);
    EXPECT_EQ(setup.warning, "");
    EXPECT_EQ(variable("ALSOFT_CONF"), ours().string());
    // Only the update size: every other setting stays the system's or the user's.
    EXPECT_EQ(settings(ours()),
              (std::vector<std::string>{"[general]", "period_size = " + std::to_string(kPeriodFrames), "periods = 2"}));
    EXPECT_TRUE(log.lines().empty());
    // Nothing of the atomic replacement is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(ours().parent_path()), fs::directory_iterator()), 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, OutputSetupWrites, ::testing::ValuesIn(kSetupCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OutputSetupTest, TheUsersOwnConfigurationWinsAndNothingIsWritten)
{
    const std::string theirs = (dir.path() / "mine.conf").string();
    env.set("ALSOFT_CONF", theirs);

    const audio::OutputSetup setup = audio::prepareOutput();

    EXPECT_EQ(setup.configuration, theirs);
    EXPECT_TRUE(setup.usersOwn);
    EXPECT_EQ(setup.warning, "");
    EXPECT_EQ(variable("ALSOFT_CONF"), theirs);
    EXPECT_FALSE(fs::exists(ours().parent_path()));
}

TEST_F(OutputSetupTest, AFileThatIsRightIsNotRewrittenAndALaterCallChangesNothing)
{
    audio::prepareOutput();
    struct stat before {};
    ASSERT_EQ(::stat(ours().c_str(), &before), 0);

    const audio::OutputSetup again = audio::prepareOutput(); // ALSOFT_CONF already ours
    EXPECT_EQ(again.configuration, ours());
    EXPECT_FALSE(again.usersOwn);
    env.set("ALSOFT_CONF", std::nullopt); // as at the next start
    EXPECT_EQ(audio::prepareOutput().configuration, ours());

    struct stat after {};
    ASSERT_EQ(::stat(ours().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "replaced though it was right";
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
}

TEST_F(OutputSetupTest, AFolderThatCannotBeWrittenGivesOneWarningAndLeavesOpenAlItsDefaults)
{
    // A file where the caches folder should be: no folder can be made below it, even by root.
    const fs::path blocked = dir.write("cache", "not a folder");
    testsupport::LogCapture log("thwacko.audio");

    const audio::OutputSetup setup = audio::prepareOutput();

    EXPECT_EQ(setup.configuration, fs::path());
    EXPECT_FALSE(setup.usersOwn);
    EXPECT_NE(setup.warning.find(blocked.string()), std::string::npos) << setup.warning;
    EXPECT_EQ(variable("ALSOFT_CONF"), std::nullopt);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines().front(), "thwacko.audio: " + setup.warning);
    EXPECT_EQ(contents(blocked), "not a folder");
}

struct ServerCase {
    const char* name;
    std::optional<std::string> before; // PULSE_PROP before the call; nullopt: unset
    std::string after;
    bool asked;
};

const std::string kRequest = "pulse.min.req=" + std::to_string(kPeriodFrames) +
                             "/48000 pulse.min.quantum=" + std::to_string(kPeriodFrames) + "/48000";

const ServerCase kServerCases[] = {
    {"Unset", std::nullopt, kRequest, true},
    {"Empty", "", kRequest, true},
    {"OtherPropertiesAreKept", "media.role=event", "media.role=event " + kRequest, true},
    {"TheUsersOwnMinimumWins", "pulse.min.req=512/48000", "pulse.min.req=512/48000", false},
};

class OutputSetupAsksTheServer : public OutputSetupTest, public ::testing::WithParamInterface<ServerCase> {};

TEST_P(OutputSetupAsksTheServer, ForABufferAsSmallAsTheUpdateUnlessTheUserSaidOtherwise)
{
    env.set("PULSE_PROP", GetParam().before);

    EXPECT_EQ(audio::prepareOutput().serverAsked, GetParam().asked);
    EXPECT_EQ(variable("PULSE_PROP"), GetParam().after);
    // A later call adds nothing.
    EXPECT_FALSE(audio::prepareOutput().serverAsked);
    EXPECT_EQ(variable("PULSE_PROP"), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(Cases, OutputSetupAsksTheServer, ::testing::ValuesIn(kServerCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
