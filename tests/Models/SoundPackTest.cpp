#include "Models/SoundPack.h"

#include "support/NoFileOverride.h"
#include "support/TempDir.h"

#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;

std::vector<std::string> names(const std::vector<fs::path>& files)
{
    std::vector<std::string> result;
    for (const fs::path& file : files) {
        result.push_back(file.filename().string());
    }
    return result;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

struct InitRow {
    SoundPackType type;
    PlayMode mode;
    bool isCustom;
};
void PrintTo(const InitRow& row, std::ostream* os) { *os << rawValue(row.type); }

class SoundPackInit : public ::testing::TestWithParam<InitRow> {};

TEST_P(SoundPackInit, TakesModeAndCustomFromTheType)
{
    const SoundPack pack(GetParam().type);
    EXPECT_EQ(pack.type(), GetParam().type);
    EXPECT_EQ(pack.mode(), GetParam().mode);
    EXPECT_EQ(pack.isCustom(), GetParam().isCustom);
    EXPECT_TRUE(pack.files().empty());
}

INSTANTIATE_TEST_SUITE_P(All, SoundPackInit,
                         ::testing::Values(InitRow{SoundPackType::pain, PlayMode::random, false},
                                           InitRow{SoundPackType::sexy, PlayMode::escalation, false},
                                           InitRow{SoundPackType::halo, PlayMode::random, false},
                                           InitRow{SoundPackType::lizard, PlayMode::escalation, false},
                                           InitRow{SoundPackType::custom, PlayMode::random, true}),
                         [](const auto& info) { return std::string(rawValue(info.param.type)); });

// Both loaders apply the same clip rule to a folder's entries.
enum class Loader { bundled, custom };

void PrintTo(Loader loader, std::ostream* os) { *os << (loader == Loader::bundled ? "bundled" : "custom"); }

class SoundPackClipRule : public ::testing::TestWithParam<Loader> {};

TEST_P(SoundPackClipRule, KeepsMp3EntriesInCodePointOrder)
{
    TempDir dir;
    const fs::path folder = dir.mkdir("res/Audio/pain");
    for (const char* name : {"Clip.MP3", "clip.Mp3", "clip.mp3.bak", "mp3", ".hidden.mp3", "Z.mp3", "a.mp3", "10.mp3",
                             "9.mp3", "notes.txt", "f.mp3",
                             "\xC3\xA9"
                             "a.mp3",
                             "e\xCC\x81z.mp3"}) {
        dir.write(folder / name, "x");
    }
    dir.write(folder / "more.mp3" / "inner.mp3", "x"); // a folder is not a clip, nor is what it holds
    fs::create_directory_symlink(folder / "sub", folder / "linked.mp3");
    dir.write(folder / "sub" / "deep.mp3", "x");

    SoundPack pack(GetParam() == Loader::bundled ? SoundPackType::pain : SoundPackType::custom);
    testing::internal::CaptureStdout();
    if (GetParam() == Loader::bundled) {
        pack.loadBundledFiles(foundation::Bundle(dir.path() / "res", "/some/app"));
    } else {
        pack.loadCustomFiles(folder);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // Byte order after canonical composition: the decomposed "e + U+0301" sorts as U+00E9, after "f".
    EXPECT_EQ(names(pack.files()),
              (std::vector<std::string>{"10.mp3", "9.mp3", "Clip.MP3", "Z.mp3", "a.mp3", "clip.Mp3", "f.mp3",
                                        "\xC3\xA9"
                                        "a.mp3",
                                        "e\xCC\x81z.mp3"}));
    for (const fs::path& file : pack.files()) {
        EXPECT_EQ(file.parent_path(), folder);
    }
}

INSTANTIATE_TEST_SUITE_P(All, SoundPackClipRule, ::testing::Values(Loader::bundled, Loader::custom),
                         [](const auto& info) { return info.param == Loader::bundled ? "Bundled" : "Custom"; });

struct BundledCase {
    const char* name;
    bool hasResources;
    std::function<void(const TempDir&)> prepare; // resources are at <dir>/res
    const char* line;                            // {res} stands for the resource folder
};
void PrintTo(const BundledCase& c, std::ostream* os) { *os << c.name; }

class SoundPackBundledFailure : public ::testing::TestWithParam<BundledCase> {};

TEST_P(SoundPackBundledFailure, WritesOneLineAndLeavesNoFiles)
{
    const BundledCase& c = GetParam();
    TempDir dir;
    dir.mkdir("res");
    c.prepare(dir);
    const foundation::Bundle bundle(c.hasResources ? std::optional<fs::path>(dir.path() / "res") : std::nullopt,
                                    "/some/app");
    SoundPack pack(SoundPackType::pain);
    testing::internal::CaptureStdout();
    pack.loadBundledFiles(bundle);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), replaceAll(c.line, "{res}", (dir.path() / "res").string()));
    EXPECT_TRUE(pack.files().empty());
}

const BundledCase bundledCases[] =
    {
        {"NoResourceFolder", false, [](const TempDir&) {}, "Bundled audio: could not locate Audio/pain in /some/app\n"},
        {"FolderMissing", true, [](const TempDir& d) { d.mkdir("res/Audio/halo"); },
         "Bundled audio: not a directory: {res}/Audio/pain\n"},
        {"FolderIsAFile", true, [](const TempDir& d) { d.write("res/Audio/pain", "x"); },
         "Bundled audio: not a directory: {res}/Audio/pain\n"},
        {"FolderEmpty", true, [](const TempDir& d) { d.mkdir("res/Audio/pain"); },
         "Bundled audio: no .mp3 files in {res}/Audio/pain\n"},
        {"FolderWithoutClips", true,
         [](const TempDir& d) {
    d.write("res/Audio/pain/a.wav", "x");
    d.write("res/Audio/pain/.b.mp3", "x");
         },
         "Bundled audio: no .mp3 files in {res}/Audio/pain\n"},
};

INSTANTIATE_TEST_SUITE_P(All, SoundPackBundledFailure, ::testing::ValuesIn(bundledCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SoundPack, BundledLoaderIgnoresTheCustomPack)
{
    TempDir dir;
    dir.write("res/Audio/custom/a.mp3", "x");
    SoundPack pack(SoundPackType::custom);
    testing::internal::CaptureStdout();
    pack.loadBundledFiles(foundation::Bundle(dir.path() / "res", "/some/app"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(pack.files().empty());
}

TEST(SoundPack, CustomFolderWithoutClipsIsEmptyAndSilent)
{
    TempDir dir;
    dir.write("clips/readme.txt", "x");
    SoundPack pack(SoundPackType::custom, {"/old/a.mp3"});
    testing::internal::CaptureStdout();
    pack.loadCustomFiles(dir.path() / "clips");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(pack.files().empty());
}

TEST(SoundPack, ACustomFolderThatCannotBeReadWritesOneLineKeepsTheFilesAndTellsWhy)
{
    struct Case {
        const char* name;
        void (*spoil)(const fs::path& folder);
        const char* reason;
    };
    const Case cases[] = {
        {"deleted", [](const fs::path& folder) { fs::remove_all(folder); }, "No such file or directory"},
        {"not readable", [](const fs::path& folder) { fs::permissions(folder, fs::perms::owner_write); },
         "Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path folder = dir.write("clips/a.mp3", "x").parent_path();
        c.spoil(folder);
        SoundPack pack(SoundPackType::custom, {"/old/a.mp3"});
        testing::internal::CaptureStdout();
        std::optional<std::string> reason;
        {
            const testsupport::NoFileOverride asUser; // root would read the folder anyway
            reason = pack.loadCustomFiles(folder);
        }
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(reason, std::optional<std::string>(c.reason));
        EXPECT_EQ(out, "Failed to load custom audio files: " + std::string(c.reason) + ": " + folder.string() + "\n");
        EXPECT_EQ(pack.files(), (std::vector<fs::path>{"/old/a.mp3"}));
        std::error_code ignored; // a deleted folder has none to give back
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ignored);
    }
}

struct LidCase {
    const char* name;
    bool opened;
    bool fileExists;
    const char* expected; // below the resource folder
};
void PrintTo(const LidCase& c, std::ostream* os) { *os << c.name; }

class LidCreakUrl : public ::testing::TestWithParam<LidCase> {};

TEST_P(LidCreakUrl, PointsBelowAudioLidWhetherOrNotTheFileExists)
{
    const LidCase& c = GetParam();
    TempDir dir;
    dir.mkdir("res");
    if (c.fileExists) {
        dir.write(fs::path("res") / c.expected, "x");
    }
    const foundation::Bundle bundle(dir.path() / "res", "/some/app");
    EXPECT_EQ(LidCreakBundledSounds::url(c.opened, bundle), dir.path() / "res" / c.expected);
}

INSTANTIATE_TEST_SUITE_P(All, LidCreakUrl,
                         ::testing::Values(LidCase{"OpenPresent", true, true, "Audio/lid/open.mp3"},
                                           LidCase{"OpenMissing", true, false, "Audio/lid/open.mp3"},
                                           LidCase{"ClosePresent", false, true, "Audio/lid/close.mp3"},
                                           LidCase{"CloseMissing", false, false, "Audio/lid/close.mp3"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LidCreakBundledSounds, NoResourceFolderGivesNoUrl)
{
    const foundation::Bundle bundle(std::nullopt, "/some/app");
    EXPECT_EQ(LidCreakBundledSounds::url(true, bundle), std::nullopt);
    EXPECT_EQ(LidCreakBundledSounds::url(false, bundle), std::nullopt);
}

} // namespace
