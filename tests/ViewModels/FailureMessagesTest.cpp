// Failures the user sees in the status card's red row: clips that cannot play, a custom folder
// that cannot be read, missing resources. The sound card is faked where the rule is the view
// model's; the real audio service plays real broken files where it is the whole path.
#include "ViewModels/ThwackoViewModel.h"

#include "Services/AudioPlayerService.h"
#include "WaveCapture.h"
#include "platform/qt/QtMainQueue.h"
#include "support/EventLoop.h"
#include "support/FakeServices.h"
#include "support/LogCapture.h"
#include "support/NoFileOverride.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

const std::string kListening = "Listening for slaps...";

class FailureMessagesTest : public ::testing::Test {
protected:
    TempDir dir;
    QObject mainContext;
    platform::ScopedQtMainQueue mainQueue{&mainContext};
    foundation::Bundle bundle{bundleWithClips(), "/opt/thwacko"};
    testsupport::FakeServices services{dir.path() / "defaults.plist", bundle};
    std::unique_ptr<ThwackoViewModel> vm;

    fs::path bundleWithClips() const
    {
        dir.write("res/Audio/pain/a.mp3", "");
        return dir.path() / "res";
    }

    ThwackoViewModel& make(std::unique_ptr<ClipPlayer> player = nullptr)
    {
        ThwackoViewModel::Dependencies deps = services.dependencies();
        if (player) {
            deps.audioPlayer = std::move(player);
        }
        vm = std::make_unique<ThwackoViewModel>(std::move(deps));
        return *vm;
    }

    void startListening()
    {
        vm->start();
        testsupport::drainPosted();
        ASSERT_EQ(vm->statusMessage(), kListening);
    }

    /// One knock after 1.5 s of rest, taken in by one tick of the pipeline.
    void slap()
    {
        ASSERT_TRUE(services.feedKnock(1.5));
        services.clock.advance(2);
        vm->processSamples();
    }

    /// What the player tells of a clip, arriving through the main queue as from its threads.
    void clipOutcome(const std::optional<std::string>& failure)
    {
        services.audio->report(failure);
        testsupport::drainPosted();
    }
};

TEST_F(FailureMessagesTest, AClipThatFailsIsShownWhileListeningGoesOnAndTheNextClipThatPlaysTakesItBack)
{
    make();
    startListening();
    testsupport::LogCapture log("thwacko.audio");
    testing::internal::CaptureStdout();

    slap();
    clipOutcome("cannot decode /clips/a.mp3: no audio data");
    EXPECT_EQ(vm->errorMessage(), "Audio playback error: cannot decode /clips/a.mp3: no audio data");
    EXPECT_EQ(vm->statusMessage(), kListening);
    EXPECT_EQ(vm->totalSlaps(), 1);
    EXPECT_TRUE(vm->isRunning());

    // A later failure replaces it; a clip that plays takes it back.
    clipOutcome("cannot open the sound device");
    EXPECT_EQ(vm->errorMessage(), "Audio playback error: cannot open the sound device");
    clipOutcome(std::nullopt);
    EXPECT_EQ(vm->errorMessage(), std::nullopt);
    EXPECT_EQ(vm->statusMessage(), kListening);

    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "thwacko.audio: Audio playback error: cannot decode /clips/a.mp3: no audio data",
                               "thwacko.audio: Audio playback error: cannot open the sound device"}));
}

TEST_F(FailureMessagesTest, ASoundNeverReplacesNorClearsAnotherMessage)
{
    // The sensor's message above all; the custom-folder request stands for the others.
    services.sensor->services.clear();
    make();
    vm->start();
    testsupport::drainPosted();
    const auto sensorError = vm->errorMessage();
    ASSERT_TRUE(sensorError);
    clipOutcome("cannot open the sound device");
    EXPECT_EQ(vm->errorMessage(), sensorError);
    clipOutcome(std::nullopt);
    EXPECT_EQ(vm->errorMessage(), sensorError);

    vm->setSelectedMode(SoundPackType::custom);
    vm->start();
    ASSERT_EQ(vm->errorMessage(), "Select a custom audio directory first");
    clipOutcome("cannot open the sound device");
    clipOutcome(std::nullopt);
    EXPECT_EQ(vm->errorMessage(), "Select a custom audio directory first");
}

TEST_F(FailureMessagesTest, ChoosingAFolderClearsTheRequestForOne)
{
    make();
    vm->setSelectedMode(SoundPackType::custom);
    vm->start();
    ASSERT_EQ(vm->errorMessage(), "Select a custom audio directory first");

    services.choice = {false, std::nullopt}; // cancelled: the request stands
    vm->selectCustomDirectory();
    EXPECT_EQ(vm->errorMessage(), "Select a custom audio directory first");

    services.choice = {true, dir.mkdir("clips")};
    vm->selectCustomDirectory();
    EXPECT_EQ(vm->errorMessage(), std::nullopt);
}

// What the last Start said about the custom folder goes once another folder is chosen; other
// messages, and those about a folder chosen again, stay.
TEST_F(FailureMessagesTest, ChoosingAnotherFolderClearsWhatWasSaidOfThePreviousOne)
{
    struct Case {
        const char* name;
        void (*spoil)(const fs::path& folder); // before Start, in the first folder
        bool sameFolderAgain;
        bool cleared;
    };
    const Case cases[] = {
        {"unreadable", [](const fs::path& folder) { fs::remove_all(folder); }, false, true},
        {"unreadable, chosen again", [](const fs::path& folder) { fs::remove_all(folder); }, true, false},
        {"no clips", [](const fs::path& folder) { fs::remove(folder / "a.mp3"); }, false, true},
        {"sensor missing", [](const fs::path&) {}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool sensorMissing = std::string(c.name) == "sensor missing";
        if (sensorMissing) {
            services.sensor->services.clear();
        }
        make();
        vm->setSelectedMode(SoundPackType::custom);
        const fs::path first = dir.write(std::string(c.name) + "/first/a.mp3", "").parent_path();
        vm->setCustomDirectory(first);
        c.spoil(first);
        testing::internal::CaptureStdout();
        vm->start();
        testing::internal::GetCapturedStdout();
        testsupport::drainPosted();
        ASSERT_TRUE(vm->errorMessage());
        vm->stop();

        const fs::path next = c.sameFolderAgain ? first : dir.mkdir(std::string(c.name) + "/next");
        services.choice = {true, next};
        vm->selectCustomDirectory();
        EXPECT_EQ(vm->errorMessage() == std::nullopt, c.cleared) << vm->errorMessage().value_or("");
    }
}

TEST_F(FailureMessagesTest, ACustomFolderThatCannotBeReadSaysWhy)
{
    struct Case {
        const char* name;
        void (*spoil)(const fs::path& folder);
        const char* reason;
    };
    const Case cases[] = {
        {"not readable", [](const fs::path& folder) { fs::permissions(folder, fs::perms::owner_write); },
         "Permission denied"},
        {"gone", [](const fs::path& folder) { fs::remove_all(folder); }, "No such file or directory"},
    };
    make();
    vm->setSelectedMode(SoundPackType::custom);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = dir.write(std::string(c.name) + "/a.mp3", "").parent_path();
        vm->setCustomDirectory(folder);
        c.spoil(folder);
        testing::internal::CaptureStdout();
        {
            const testsupport::NoFileOverride asUser; // root would read it anyway
            vm->start();
        }
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(vm->errorMessage(), "Cannot read " + folder.string() + ": " + c.reason);
        EXPECT_FALSE(vm->isRunning());
        std::error_code ignored;
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ignored);
    }

    // A folder named like a clip is no clip.
    const fs::path folder = dir.mkdir("folders");
    dir.mkdir("folders/not-a-clip.mp3");
    vm->setCustomDirectory(folder);
    vm->start();
    EXPECT_EQ(vm->errorMessage(), "No audio files found for Custom mode");
}

TEST_F(FailureMessagesTest, MissingResourcesAreShownAtLaunchAndOnStart)
{
    struct Case {
        const char* name;
        std::optional<fs::path> resources;
        std::string folder; // as the message names it
    };
    const Case cases[] = {
        {"none beside the application", std::nullopt, "/opt/nowhere/resources"},
        {"the folder named is gone", dir.path() / "gone", (dir.path() / "gone").string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const foundation::Bundle missing(c.resources, "/opt/nowhere");
        testsupport::FakeServices elsewhere(dir.path() / "defaults.plist", missing);
        ThwackoViewModel model(elsewhere.dependencies());
        const std::string message = "Cannot find the application's resources in " + c.folder;
        EXPECT_EQ(model.errorMessage(), message);
        model.start();
        EXPECT_EQ(model.errorMessage(), message);
        EXPECT_FALSE(model.isRunning());
        // A custom folder needs no resources.
        model.setSelectedMode(SoundPackType::custom);
        model.setCustomDirectory(dir.write("custom/a.mp3", "").parent_path());
        model.start();
        EXPECT_TRUE(model.isRunning());
        model.stop();
    }
}

/// The whole path with the real audio service: broken files in a custom folder.
TEST_F(FailureMessagesTest, BrokenFilesOfTheRealPlayerAreShownAndAGoodClipClearsThem)
{
    audiotest::WaveCapture::instance(); // a sound device that records
    std::string clip;
    {
        std::ifstream in(audiotest::fixture("tone440-mono.mp3"), std::ios::binary);
        clip.assign(std::istreambuf_iterator<char>(in), {});
    }
    struct Case {
        const char* name;
        std::string contents;
        const char* reason;
    };
    const Case cases[] = {
        {"empty", "", "no audio data"},
        {"cut off", clip.substr(0, 300), "no audio data"},
        {"not MP3", "RIFF....WAVEfmt ", "no audio data"},
    };
    make(std::make_unique<AudioPlayerService>());
    vm->setSelectedMode(SoundPackType::custom);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir.write(std::string("broken-") + c.name + "/x.mp3", c.contents);
        vm->setCustomDirectory(file.parent_path());
        startListening();
        slap();
        ASSERT_TRUE(testsupport::pumpUntil([&] { return vm->errorMessage().has_value(); }));
        EXPECT_EQ(vm->errorMessage(), "Audio playback error: cannot decode " + file.string() + ": " + c.reason);
        EXPECT_EQ(vm->statusMessage(), kListening);
        EXPECT_EQ(vm->totalSlaps(), 1);
        vm->stop();
    }

    // Swapping the folder's file for a good clip while listening: its play takes the message back.
    const fs::path folder = dir.path() / "broken-empty";
    vm->setCustomDirectory(folder);
    startListening();
    slap();
    ASSERT_TRUE(testsupport::pumpUntil([&] { return vm->errorMessage().has_value(); }));
    dir.write("broken-empty/x.mp3", clip);
    slap();
    EXPECT_TRUE(testsupport::pumpUntil([&] { return !vm->errorMessage().has_value(); }));
    EXPECT_EQ(vm->totalSlaps(), 2);
}

} // namespace
