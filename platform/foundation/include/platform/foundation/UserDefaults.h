#pragma once

#include "platform/foundation/PlistValue.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace foundation {

/// Persistent key-value settings, one property-list file per domain.
///
/// The standard domain is "ThwackoApp"; a suite names a domain of its own. Files live in
/// `$XDG_CONFIG_HOME/ThwackoApp/<domain>.plist` (else `~/.config/ThwackoApp/`), as binary property
/// lists. Every instance of the process shares one lock; every read reads the file, and each write
/// saves the file at once (an owner-only temporary file, synced, renamed over the file, then the folder synced), so
/// instances of one domain see each other's writes at once and the value survives a crash. A missing or unreadable file
/// reads as empty. The first write over an unreadable file moves it aside to `<domain>.plist.corrupt` (replacing an
/// older one) instead of overwriting what could not be read. A failed save is reported on stderr; the file keeps its
/// previous contents. Callable from any thread.
class UserDefaults {
public:
    /// The application's own domain.
    static UserDefaults& standard();
    /// A suite (a domain shared by name); nullopt when `suiteName` is empty or not a file-safe name
    /// (letters, digits, '.', '_' and '-', not starting with '.', at most 128 characters).
    static std::optional<UserDefaults> suite(const std::string& suiteName);
    /// A domain stored at an explicit file (tests).
    explicit UserDefaults(std::filesystem::path file);

    const std::filesystem::path& filePath() const { return file; }

    std::optional<PlistValue> object(const std::string& key) const;
    /// false when absent or not a Boolean or number; a number is true when it is not zero.
    bool boolForKey(const std::string& key) const;
    /// A string as it is; a number as its decimal text (a Boolean as "1" or "0"); nullopt otherwise.
    std::optional<std::string> stringForKey(const std::string& key) const;

    /// Stores `value` under `key` and saves; the file is not written when it holds that value already.
    void set(const std::string& key, PlistValue value);
    void setBool(const std::string& key, bool value) { set(key, PlistValue(value)); }
    /// Removes `key` and saves; nothing happens when it is absent.
    void removeObject(const std::string& key);

    /// The folder that holds every domain's file.
    static std::filesystem::path configFolder();

private:
    std::filesystem::path file;
};

} // namespace foundation
