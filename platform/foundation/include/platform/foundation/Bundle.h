#pragma once

#include "platform/foundation/PlistValue.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace foundation {

/// The application's bundle: where its resources and its Info.plist live.
///
/// The resource folder is `$THWACKO_RESOURCES` when that is set, else the folder
/// `resources` next to the running executable when it exists. The information
/// dictionary is `Info.plist` inside the resource folder.
class Bundle {
public:
    /// A bundle rooted at an explicit resource folder (nullopt: none); `bundlePath` is shown in messages.
    Bundle(std::optional<std::filesystem::path> resourceFolder, std::string bundlePath);

    /// The process's bundle, found as described above on first use.
    static const Bundle& main();

    /// The resource folder, or nullopt when the application has none.
    const std::optional<std::filesystem::path>& resourcePath() const { return resources; }
    /// The application's own location (the executable's folder).
    const std::string& bundlePath() const { return path; }

    /// The resource `name` (+ "." + `extension` when not empty) inside `subdirectory` of the resource
    /// folder, when it exists (a file or a folder); nullopt otherwise.
    std::optional<std::filesystem::path> urlForResource(const std::string& name, const std::string& extension,
                                                        const std::string& subdirectory) const;

    /// The Info.plist entry for `key`, or nullopt when the key or the file is missing.
    std::optional<PlistValue> objectForInfoDictionaryKey(const std::string& key) const;
    /// The whole information dictionary; nullopt when Info.plist is missing or unreadable. Read once,
    /// on the first call from any thread; the reference stays valid as long as the bundle (or a copy).
    const std::optional<PlistDictionary>& infoDictionary() const;

private:
    std::optional<std::filesystem::path> resources;
    std::string path;
    struct InfoCache {
        std::once_flag loaded;
        std::optional<PlistDictionary> dictionary;
    };
    // Filled on first use from whichever thread asks (the analytics client reads it from its own
    // queues); copies of the bundle share it.
    std::shared_ptr<InfoCache> info = std::make_shared<InfoCache>();
};

/// The folder of the running executable.
std::filesystem::path executableDirectory();

} // namespace foundation
