#include "platform/foundation/UserDefaults.h"

#include "Environment.h"
#include "platform/foundation/DurableFile.h"
#include "platform/foundation/Paths.h"

#include <fcntl.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <stdio.h>
#include <string>
#include <system_error>

namespace foundation {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStandardDomain = "ThwackoApp";
constexpr std::size_t kLongestSuiteName = 128;

// One lock for every domain of the process: a read-modify-write of a file must not interleave
// with another instance's, whichever domain object it goes through.
std::mutex& defaultsLock()
{
    static std::mutex lock;
    return lock;
}

struct Contents {
    bool unreadable = false; // the file exists but holds no dictionary we can read
    PlistDictionary values;
};

Contents load(const fs::path& file)
{
    std::error_code error;
    if (!fs::exists(fs::symlink_status(file, error))) {
        return {};
    }
    PlistReadResult result = readPlistFile(file);
    if (result.value) {
        if (auto* values = std::get_if<PlistDictionary>(&result.value->value)) {
            return {false, std::move(*values)};
        }
    }
    return {true, {}};
}

void report(const fs::path& file, const std::string& what)
{
    std::fprintf(stderr, "UserDefaults: %s: %s\n", file.c_str(), what.c_str());
}

/// Renames an unreadable `file` to the first free name of "<file>.corrupt", "<file>.2.corrupt",
/// "<file>.3.corrupt", ..., never over an earlier backup (even one another process just made).
std::optional<fs::path> moveAside(const fs::path& file, std::string* why)
{
    constexpr int kMostBackups = 1000;
    for (int n = 1; n <= kMostBackups; ++n) {
        const fs::path backup = file.string() + (n == 1 ? "" : "." + std::to_string(n)) + ".corrupt";
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, backup.c_str(), RENAME_NOREPLACE) == 0) {
            return backup;
        }
        if (errno != EEXIST) {
            *why = std::strerror(errno);
            return std::nullopt;
        }
    }
    *why = "too many earlier backups";
    return std::nullopt;
}

// The settings are the user's own: readable by the owner only, whatever the umask.
bool saveDurably(const fs::path& file, const PlistDictionary& values, std::string& why)
{
    const std::string bytes = plistToBinary(PlistValue(values));
    if (bytes.empty()) {
        why = "cannot serialise the settings";
        return false;
    }
    return writeFileDurably(file, bytes, FileAccess::OwnerOnly, why);
}

// Reads, changes and saves under the process-wide lock. `change` returns false when it changed
// nothing, and then nothing is written.
void modify(const fs::path& file, const std::function<bool(PlistDictionary&)>& change)
{
    const std::lock_guard lock(defaultsLock());
    Contents contents = load(file);
    if (!change(contents.values)) {
        return;
    }
    if (contents.unreadable) {
        std::string why;
        const auto backup = moveAside(file, &why);
        if (!backup) {
            report(file, "unreadable, and it cannot be moved aside (" + why + "); not saved");
            return;
        }
        report(file, "unreadable; moved aside to " + backup->filename().string());
    }
    std::string why;
    if (!saveDurably(file, contents.values, why)) {
        report(file, why);
    }
}

bool isFileSafe(const std::string& name)
{
    if (name.empty() || name.size() > kLongestSuiteName || name.front() == '.') {
        return false;
    }
    for (const char c : name) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '_' || c == '-';
        if (!safe) {
            return false;
        }
    }
    return true;
}

fs::path domainFile(const std::string& domain) { return UserDefaults::configFolder() / (domain + ".plist"); }

} // namespace

UserDefaults::UserDefaults(fs::path file)
    : file(std::move(file))
{
}

UserDefaults& UserDefaults::standard()
{
    static UserDefaults defaults(domainFile(kStandardDomain));
    return defaults;
}

std::optional<UserDefaults> UserDefaults::suite(const std::string& suiteName)
{
    if (!isFileSafe(suiteName)) {
        return std::nullopt;
    }
    return UserDefaults(domainFile(suiteName));
}

fs::path UserDefaults::configFolder()
{
    const fs::path base = absolutePathFromEnvironment("XDG_CONFIG_HOME").value_or(homeFolder() / ".config");
    return base / kStandardDomain;
}

std::optional<PlistValue> UserDefaults::object(const std::string& key) const
{
    const std::lock_guard lock(defaultsLock());
    Contents contents = load(file);
    const auto it = contents.values.find(key);
    if (it == contents.values.end()) {
        return std::nullopt;
    }
    return std::move(it->second);
}

bool UserDefaults::boolForKey(const std::string& key) const
{
    const auto value = object(key);
    if (!value) {
        return false;
    }
    if (const bool* b = value->get<bool>()) {
        return *b;
    }
    if (const std::int64_t* i = value->get<std::int64_t>()) {
        return *i != 0;
    }
    if (const double* d = value->get<double>()) {
        return *d != 0.0;
    }
    return false;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const
{
    const auto value = object(key);
    if (!value) {
        return std::nullopt;
    }
    if (const std::string* s = value->get<std::string>()) {
        return *s;
    }
    if (const bool* b = value->get<bool>()) {
        return std::string(*b ? "1" : "0");
    }
    char text[64];
    std::to_chars_result written{};
    if (const std::int64_t* i = value->get<std::int64_t>()) {
        written = std::to_chars(text, text + sizeof text, *i);
    } else if (const double* d = value->get<double>()) {
        written = std::to_chars(text, text + sizeof text, *d); // shortest text that reads back the same
    } else {
        return std::nullopt;
    }
    return std::string(text, written.ptr);
}

void UserDefaults::set(const std::string& key, PlistValue value)
{
    // An unchanged value is not saved again: each save replaces and syncs the whole file.
    modify(file, [&](PlistDictionary& values) {
        const auto it = values.find(key);
        if (it != values.end() && it->second == value) {
            return false;
        }
        values[key] = std::move(value);
        return true;
    });
}

void UserDefaults::removeObject(const std::string& key)
{
    modify(file, [&](PlistDictionary& values) { return values.erase(key) > 0; });
}

} // namespace foundation
