// Checks the bundled resources in the source tree: every clip decodes to short, audible mono
// audio, the escalation packs get louder down their name order, and Info.plist carries the
// bundle's identity with analytics switched off.
#include "platform/foundation/PlistValue.h"
#include "support/TempDir.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <mpg123.h>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Clip {
    long rate = 0;
    int channels = 0;
    std::vector<std::int16_t> samples; // interleaved

    double seconds() const { return rate > 0 ? double(samples.size()) / channels / rate : 0; }
    double peak() const
    {
        int m = 0;
        for (auto s : samples) {
            m = std::max(m, std::abs(int(s)));
        }
        return m / 32768.0;
    }
    double rms() const
    {
        double sum = 0;
        for (auto s : samples) {
            sum += double(s) * s;
        }
        return samples.empty() ? 0 : std::sqrt(sum / double(samples.size())) / 32768.0;
    }
};

struct HandleDeleter {
    void operator()(mpg123_handle* h) const
    {
        mpg123_close(h);
        mpg123_delete(h);
    }
};

// Decodes a whole file to 16-bit samples at its own rate and channel count; an empty clip
// (rate 0) and a message in `error` when the file cannot be decoded.
Clip decode(const fs::path& file, std::string& error)
{
    int rc = MPG123_OK;
    std::unique_ptr<mpg123_handle, HandleDeleter> h(mpg123_new(nullptr, &rc));
    if (!h) {
        error = mpg123_plain_strerror(rc);
        return {};
    }
    mpg123_format_none(h.get());
    mpg123_format2(h.get(), 0, MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    if (mpg123_open(h.get(), file.c_str()) != MPG123_OK) {
        error = mpg123_strerror(h.get());
        return {};
    }
    Clip clip;
    int encoding = 0;
    if (mpg123_getformat(h.get(), &clip.rate, &clip.channels, &encoding) != MPG123_OK) {
        error = mpg123_strerror(h.get());
        return {};
    }
    std::vector<unsigned char> buffer(mpg123_outblock(h.get()));
    for (;;) {
        size_t done = 0;
        rc = mpg123_read(h.get(), buffer.data(), buffer.size(), &done);
        const auto* pcm = reinterpret_cast<const std::int16_t*>(buffer.data());
        clip.samples.insert(clip.samples.end(), pcm, pcm + done / sizeof(std::int16_t));
        if (rc == MPG123_DONE) {
            break;
        }
        if (rc != MPG123_OK && rc != MPG123_NEW_FORMAT) {
            error = mpg123_strerror(h.get());
            return {};
        }
    }
    return clip;
}

fs::path audioDir() { return testsupport::sourceDir() / "resources" / "Audio"; }

// The ".mp3" entries of a folder in the order the packs use: by name, byte for byte.
std::vector<fs::path> clipsIn(const fs::path& folder)
{
    std::vector<fs::path> clips;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".mp3") {
            clips.push_back(entry.path());
        }
    }
    std::sort(clips.begin(), clips.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });
    return clips;
}

void expectPlayable(const fs::path& file, const Clip& clip, const std::string& error)
{
    SCOPED_TRACE(file.string());
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_EQ(clip.channels, 1);
    EXPECT_GE(clip.seconds(), 0.2);
    EXPECT_LE(clip.seconds(), 2.0);
    EXPECT_GT(clip.peak(), 0.1);  // clearly audible...
    EXPECT_LT(clip.peak(), 0.99); // ...and not clipped
    EXPECT_GT(clip.rms(), 0.005);
}

struct ModeRow {
    const char* name;
    bool escalates;
};

void PrintTo(const ModeRow& row, std::ostream* os) { *os << row.name; }

class BundledMode : public testing::TestWithParam<ModeRow> {};

} // namespace

TEST_P(BundledMode, HoldsPlayableClipsThatEscalateByName)
{
    const auto clips = clipsIn(audioDir() / GetParam().name);
    ASSERT_GE(clips.size(), 3u);

    std::vector<double> levels;
    for (const auto& file : clips) {
        std::string error;
        const Clip clip = decode(file, error);
        expectPlayable(file, clip, error);
        levels.push_back(clip.rms());
    }
    if (GetParam().escalates) {
        EXPECT_GT(levels.back(), levels.front()) << "the last clip by name must be the most intense";
    }
}

INSTANTIATE_TEST_SUITE_P(Resources, BundledMode,
                         testing::Values(ModeRow{"pain", false}, ModeRow{"sexy", true}, ModeRow{"halo", false},
                                         ModeRow{"lizard", true}),
                         [](const testing::TestParamInfo<ModeRow>& info) { return std::string(info.param.name); });

TEST(Resources, LidClipsArePlayable)
{
    for (const char* name : {"open.mp3", "close.mp3"}) {
        const auto file = audioDir() / "lid" / name;
        std::string error;
        const Clip clip = decode(file, error);
        expectPlayable(file, clip, error);
    }
}

TEST(Resources, InfoPlistNamesTheBundleAndLeavesAnalyticsOff)
{
    const auto read = foundation::readPlistFile(testsupport::sourceDir() / "resources" / "Info.plist");
    ASSERT_TRUE(read.value) << read.error;
    const auto* dict = read.value->get<foundation::PlistDictionary>();
    ASSERT_NE(dict, nullptr);

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"CFBundleName", "ThwackoApp"}, {"CFBundleDisplayName", "Bonkly"}, {"CFBundleShortVersionString", "1.0.0"},
        {"CFBundleVersion", "1"},       {"BonklyTallyToken", ""},
    };
    for (const auto& [key, value] : expected) {
        const auto it = dict->find(key);
        ASSERT_NE(it, dict->end()) << key;
        EXPECT_EQ(it->second, foundation::PlistValue(value)) << key;
    }
    const auto id = dict->find("CFBundleIdentifier");
    ASSERT_NE(id, dict->end());
    ASSERT_NE(id->second.get<std::string>(), nullptr);
    EXPECT_FALSE(id->second.get<std::string>()->empty());
}
