#include "platform/foundation/UserDefaults.h"

#include "Environment.h"
#include "platform/foundation/Paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
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

// Writes the file so that it survives a crash or power cut: a temporary file readable by the owner
// only (whatever the umask) is written and synced, renamed over the file, and then the folder is
// synced so that the rename itself is on disk.
bool saveDurably(const fs::path& file, const PlistDictionary& values, std::string& why)
{
    const std::string bytes = plistToBinary(PlistValue(values));
    if (bytes.empty()) {
        why = "cannot serialise the settings";
        return false;
    }
    std::error_code error;
    const fs::path folder = file.parent_path();
    fs::create_directories(folder, error);
    static std::atomic<unsigned long> serial{0};
    const fs::path temporary = file.string() + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(++serial);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = "cannot write " + temporary.string() + ": " + std::strerror(errno);
        return false;
    }
    int failure = ::fchmod(fd, 0600) == 0 ? 0 : errno;
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (!failure && left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            failure = written < 0 ? errno : EIO;
            break;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    if (!failure && ::fsync(fd) != 0) {
        failure = errno;
    }
    if (::close(fd) != 0 && !failure) {
        failure = errno;
    }
    if (!failure && ::rename(temporary.c_str(), file.c_str()) != 0) {
        failure = errno;
    }
    if (failure) {
        ::unlink(temporary.c_str());
        why = "cannot replace " + file.string() + ": " + std::strerror(failure);
        return false;
    }
    const int folderFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return true;
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
        std::error_code error;
        fs::rename(file, fs::path(file.string() + ".corrupt"), error);
        if (error) {
            report(file, "unreadable, and it cannot be moved aside (" + error.message() + "); not saved");
            return;
        }
        report(file, "unreadable; moved aside to " + file.filename().string() + ".corrupt");
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
    modify(file, [&](PlistDictionary& values) {
        values[key] = std::move(value);
        return true;
    });
}

void UserDefaults::removeObject(const std::string& key)
{
    modify(file, [&](PlistDictionary& values) { return values.erase(key) > 0; });
}

} // namespace foundation
