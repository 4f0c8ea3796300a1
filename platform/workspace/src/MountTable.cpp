#include "platform/workspace/MountTable.h"

#include <charconv>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

namespace workspace {

namespace {

namespace fs = std::filesystem;

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// The kernel writes space, tab, newline and backslash in paths as \040, \011, \012 and \134.
std::string decodeOctalEscapes(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && isOctal(text[i + 1]) && isOctal(text[i + 2]) &&
            isOctal(text[i + 3])) {
            out.push_back(
                static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) | (text[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> readAttribute(const fs::path& path)
{
    std::ifstream in(path);
    std::string value;
    if (!(in >> value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<bool> readFlag(const fs::path& path)
{
    const auto value = readAttribute(path);
    if (value == "1") {
        return true;
    }
    if (value == "0") {
        return false;
    }
    return std::nullopt;
}

std::string deviceName(const fs::path& root, const std::string& source)
{
    const fs::path node = root / fs::path(source).relative_path();
    std::error_code error;
    if (fs::is_symlink(node, error)) {
        const fs::path target = fs::read_symlink(node, error);
        if (!error && !target.filename().empty()) {
            return target.filename().string();
        }
    }
    return fs::path(source).filename().string();
}

std::optional<std::string> labelOf(const fs::path& root, const std::string& device)
{
    std::error_code error;
    for (fs::directory_iterator it(root / "dev/disk/by-label", error), end; !error && it != end; it.increment(error)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(it->path(), linkError);
        if (!linkError && target.filename() == device) {
            return decodeUdevEscapes(it->path().filename().string());
        }
    }
    return std::nullopt;
}

} // namespace

std::vector<MountEntry> parseMountInfo(std::string_view text)
{
    std::vector<MountEntry> entries;
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) {
            words.push_back(word);
        }
        // id parent major:minor root mount-point options [optional fields...] - type source super-options
        std::size_t separator = 6;
        while (separator < words.size() && words[separator] != "-") {
            ++separator;
        }
        if (words.size() < 6 || separator + 2 >= words.size()) {
            continue;
        }
        MountEntry entry;
        const auto [ptr, ec] = std::from_chars(words[0].data(), words[0].data() + words[0].size(), entry.id);
        if (ec != std::errc() || ptr != words[0].data() + words[0].size()) {
            continue;
        }
        entry.device = words[2];
        entry.root = decodeOctalEscapes(words[3]);
        entry.mountPoint = decodeOctalEscapes(words[4]);
        entry.fsType = words[separator + 1];
        entry.source = decodeOctalEscapes(words[separator + 2]);
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool isVolumeMount(const MountEntry& entry) { return entry.source.rfind("/dev/", 0) == 0 && entry.root == "/"; }

MountChanges diffMountTables(const std::vector<MountEntry>& before, const std::vector<MountEntry>& after)
{
    std::set<int> beforeIds;
    for (const auto& entry : before) {
        beforeIds.insert(entry.id);
    }
    std::set<int> afterIds;
    for (const auto& entry : after) {
        afterIds.insert(entry.id);
    }
    MountChanges changes;
    for (const auto& entry : before) {
        if (afterIds.count(entry.id) == 0) {
            changes.unmounted.push_back(entry);
        }
    }
    for (const auto& entry : after) {
        if (beforeIds.count(entry.id) == 0) {
            changes.mounted.push_back(entry);
        }
    }
    return changes;
}

VolumeResourceValues probeVolume(const std::filesystem::path& root, const MountEntry& entry)
{
    VolumeResourceValues values;
    const std::string device = deviceName(root, entry.source);
    values.name = labelOf(root, device);

    const fs::path classEntry = root / "sys/class/block" / device;
    std::error_code error;
    if (device.empty() || !fs::exists(classEntry, error)) {
        return values;
    }
    fs::path devicePath = classEntry;
    if (fs::is_symlink(classEntry, error)) {
        const fs::path target = fs::read_symlink(classEntry, error);
        if (!error) {
            devicePath = (classEntry.parent_path() / target).lexically_normal();
        }
    }
    const fs::path disk = fs::exists(devicePath / "partition", error) ? devicePath.parent_path() : devicePath;
    values.isRemovable = readFlag(disk / "removable");
    const bool viaUsb = devicePath.lexically_relative(root).generic_string().find("/usb") != std::string::npos;
    values.isEjectable = values.isRemovable.value_or(false) || viaUsb;
    return values;
}

std::string decodeUdevEscapes(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && hexDigit(text[i + 2]) >= 0 &&
            hexDigit(text[i + 3]) >= 0) {
            out.push_back(static_cast<char>((hexDigit(text[i + 2]) << 4) | hexDigit(text[i + 3])));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

} // namespace workspace
