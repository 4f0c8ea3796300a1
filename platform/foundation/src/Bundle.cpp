#include "platform/foundation/Bundle.h"

#include <cstdlib>
#include <system_error>

namespace foundation {

namespace fs = std::filesystem;

fs::path executableDirectory()
{
    std::error_code error;
    const fs::path exe = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return fs::current_path(error);
    }
    return exe.parent_path();
}

Bundle::Bundle(std::optional<fs::path> resourceFolder, std::string bundlePath)
    : resources(std::move(resourceFolder))
    , path(std::move(bundlePath))
{
}

const Bundle& Bundle::main()
{
    static const Bundle bundle = [] {
        const fs::path exeDir = executableDirectory();
        std::optional<fs::path> folder;
        if (const char* overridePath = std::getenv("THWACKO_RESOURCES"); overridePath && *overridePath) {
            folder = fs::path(overridePath);
        } else {
            std::error_code error;
            const fs::path candidate = exeDir / "resources";
            if (fs::is_directory(candidate, error)) {
                folder = candidate;
            }
        }
        return Bundle(std::move(folder), exeDir.string());
    }();
    return bundle;
}

std::optional<fs::path> Bundle::urlForResource(const std::string& name, const std::string& extension,
                                               const std::string& subdirectory) const
{
    if (!resources || name.empty()) {
        return std::nullopt;
    }
    fs::path candidate = *resources;
    if (!subdirectory.empty()) {
        candidate /= subdirectory;
    }
    candidate /= extension.empty() ? name : name + "." + extension;
    std::error_code error;
    if (!fs::exists(candidate, error)) {
        return std::nullopt;
    }
    return candidate;
}

const std::optional<PlistDictionary>& Bundle::infoDictionary() const
{
    std::call_once(info->loaded, [this] {
        if (!resources) {
            return;
        }
        PlistReadResult result = readPlistFile(*resources / "Info.plist");
        if (result.value) {
            if (auto* dict = std::get_if<PlistDictionary>(&result.value->value)) {
                info->dictionary = std::move(*dict);
            }
        }
    });
    return info->dictionary;
}

std::optional<PlistValue> Bundle::objectForInfoDictionaryKey(const std::string& key) const
{
    const auto& dict = infoDictionary();
    if (!dict) {
        return std::nullopt;
    }
    const auto it = dict->find(key);
    if (it == dict->end()) {
        return std::nullopt;
    }
    return it->second;
}

} // namespace foundation
