#include "Models/SoundPack.h"

#include <QList>
#include <QString>
#include <algorithm>
#include <cstdio>
#include <string>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

struct Listing {
    std::vector<fs::path> files;
    std::optional<std::string> error;  // the reason and the folder
    std::optional<std::string> reason; // the reason alone
};

bool hasMp3Extension(const fs::path& entry)
{
    std::string ext = entry.extension().string();
    if (ext.size() != 4) {
        return false;
    }
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return ext == ".mp3";
}

// Names compare by code point after canonical composition, so that a decomposed and a
// precomposed spelling of the same name sort alike; raw bytes only break ties.
std::u32string sortKey(const std::string& name)
{
    const QList<uint> ucs4 = QString::fromStdString(name).normalized(QString::NormalizationForm_C).toUcs4();
    return std::u32string(ucs4.begin(), ucs4.end());
}

// The clip rule: entries directly inside `folder`, hidden ones skipped, whose extension is "mp3"
// in any case, ordered by file name. A folder so named is not a clip.
Listing listClips(const fs::path& folder)
{
    Listing listing;
    std::error_code error;
    fs::directory_iterator it(folder, error);
    struct Keyed {
        std::u32string key;
        std::string name;
        fs::path path;
    };
    std::vector<Keyed> kept;
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const fs::path& entry = it->path();
        std::string name = entry.filename().string();
        if (name.empty() || name.front() == '.' || !hasMp3Extension(entry)) {
            continue;
        }
        if (std::error_code kind; it->is_directory(kind)) {
            continue;
        }
        kept.push_back({sortKey(name), std::move(name), entry});
    }
    if (error) {
        listing.reason = error.message();
        listing.error = error.message() + ": " + folder.string();
        return listing;
    }
    std::sort(kept.begin(), kept.end(),
              [](const Keyed& a, const Keyed& b) { return a.key != b.key ? a.key < b.key : a.name < b.name; });
    listing.files.reserve(kept.size());
    for (Keyed& entry : kept) {
        listing.files.push_back(std::move(entry.path));
    }
    return listing;
}

void writeLine(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

SoundPack::SoundPack(SoundPackType type, std::vector<fs::path> files)
    : type_(type)
    , mode_(playMode(type))
    , files_(std::move(files))
    , isCustom_(type == SoundPackType::custom)
{
}

void SoundPack::loadBundledFiles(const foundation::Bundle& bundle)
{
    if (isCustom_) {
        return;
    }
    const std::string name(rawValue(type_));
    fs::path folder;
    if (auto found = bundle.urlForResource(name, "", "Audio")) {
        folder = std::move(*found);
    } else if (const auto& resources = bundle.resourcePath()) {
        folder = *resources / "Audio" / name;
    } else {
        writeLine("Bundled audio: could not locate Audio/" + name + " in " + bundle.bundlePath());
        return;
    }
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        writeLine("Bundled audio: not a directory: " + folder.string());
        return;
    }
    Listing listing = listClips(folder);
    if (listing.error) {
        writeLine("Failed to load audio files from " + name + ": " + *listing.error);
        return;
    }
    files_ = std::move(listing.files);
    if (files_.empty()) {
        writeLine("Bundled audio: no .mp3 files in " + folder.string());
    }
}

std::optional<std::string> SoundPack::loadCustomFiles(const fs::path& folder)
{
    Listing listing = listClips(folder);
    if (listing.error) {
        writeLine("Failed to load custom audio files: " + *listing.error);
        return listing.reason;
    }
    files_ = std::move(listing.files);
    return std::nullopt;
}

std::optional<fs::path> LidCreakBundledSounds::url(bool opened, const foundation::Bundle& bundle)
{
    const std::string name = opened ? "open" : "close";
    if (auto found = bundle.urlForResource(name, "mp3", "Audio/lid")) {
        return found;
    }
    if (const auto& resources = bundle.resourcePath()) {
        return *resources / "Audio" / "lid" / (name + ".mp3");
    }
    return std::nullopt;
}
