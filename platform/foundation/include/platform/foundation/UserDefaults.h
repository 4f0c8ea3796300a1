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
/// `$XDG_CONFIG_HOME/ThwackoApp/<domain>.plist` (else `~/.config/ThwackoApp/`). Every instance of
/// the process shares one lock; each write saves the file at once (atomic rename), so the value
/// survives a crash. A missing or unreadable file reads as empty.
class UserDefaults {
public:
    /// The application's own domain.
    static UserDefaults& standard();
    /// A suite (a domain shared by name); nullopt when `suiteName` is empty or not a file-safe name.
    static std::optional<UserDefaults> suite(const std::string& suiteName);
    /// A domain stored at an explicit file (tests).
    explicit UserDefaults(std::filesystem::path file);

    const std::filesystem::path& filePath() const { return file; }

    std::optional<PlistValue> object(const std::string& key) const;
    /// false when absent or not a Boolean or number.
    bool boolForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;

    void set(const std::string& key, PlistValue value);
    void setBool(const std::string& key, bool value) { set(key, PlistValue(value)); }
    void removeObject(const std::string& key);

    /// The folder that holds every domain's file.
    static std::filesystem::path configFolder();

private:
    std::filesystem::path file;
};

} // namespace foundation
