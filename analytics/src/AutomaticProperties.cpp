#include "analytics/AutomaticProperties.h"

#include <cmath>
#include <mutex>

namespace tally {

namespace {

struct Cache {
    std::mutex computing; // only ever taken inside the lock's read side, never the other way round
    std::optional<Properties> properties;
    std::optional<Properties> peopleProperties;
};

Cache& cache()
{
    static Cache* shared = new Cache; // read by the instances' queues until the process ends
    return *shared;
}

const Properties& computeOnce(std::optional<Properties>& slot, Properties (*compute)(const SystemFacts&))
{
    Cache& c = cache();
    const std::lock_guard guard(c.computing);
    if (!slot) {
        slot = compute(*SystemFacts::current());
    }
    return *slot;
}

std::optional<std::string> stringEntry(const std::optional<foundation::PlistDictionary>& info, const char* key)
{
    if (!info) {
        return std::nullopt;
    }
    const auto it = info->find(key);
    if (it == info->end()) {
        return std::nullopt;
    }
    if (const auto* text = it->second.get<std::string>()) {
        return *text;
    }
    return std::nullopt;
}

} // namespace

TallyType tallyValue(const foundation::PlistValue& value)
{
    return std::visit(
        [](const auto& v) -> TallyType {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, foundation::PlistData>) {
                return TallyType();
            } else if constexpr (std::is_same_v<T, foundation::PlistArray>) {
                TallyArray list;
                for (const auto& element : v) {
                    list.push_back(tallyValue(element));
                }
                return list;
            } else if constexpr (std::is_same_v<T, foundation::PlistDictionary>) {
                Properties dictionary;
                for (const auto& [key, element] : v) {
                    dictionary.emplace(key, tallyValue(element));
                }
                return dictionary;
            } else {
                return TallyType(v);
            }
        },
        value.value);
}

ReadWriteLock& AutomaticProperties::automaticPropertiesLock()
{
    static ReadWriteLock* lock = new ReadWriteLock("automaticPropertiesLock");
    return *lock;
}

const Properties& AutomaticProperties::properties() { return computeOnce(cache().properties, &computeProperties); }

const Properties& AutomaticProperties::peopleProperties()
{
    return computeOnce(cache().peopleProperties, &computePeopleProperties);
}

void AutomaticProperties::setProperties(std::optional<Properties> properties)
{
    automaticPropertiesLock().write([&] {
        const std::lock_guard guard(cache().computing);
        cache().properties = std::move(properties);
    });
}

void AutomaticProperties::setPeopleProperties(std::optional<Properties> properties)
{
    automaticPropertiesLock().write([&] {
        const std::lock_guard guard(cache().computing);
        cache().peopleProperties = std::move(properties);
    });
}

std::string AutomaticProperties::libVersion() { return "1.0.0"; }

Properties AutomaticProperties::computeProperties(const SystemFacts& facts)
{
    Properties result;
    if (const auto screen = facts.mainScreenSize()) {
        result["$screen_height"] = static_cast<std::int64_t>(std::trunc(screen->height));
        result["$screen_width"] = static_cast<std::int64_t>(std::trunc(screen->width));
    }
    result["$os"] = facts.operatingSystemName();
    result["$os_version"] = facts.operatingSystemVersion();
    const auto info = facts.infoDictionary();
    result["$app_build_number"] = stringEntry(info, "CFBundleVersion").value_or("Unknown");
    result["$app_version_string"] = stringEntry(info, "CFBundleShortVersionString").value_or("Unknown");
    result["tl_lib"] = "cpp";
    result["$lib_version"] = libVersion();
    result["$manufacturer"] = facts.manufacturer();
    result["$model"] = facts.deviceModel();
    return result;
}

Properties AutomaticProperties::computePeopleProperties(const SystemFacts& facts)
{
    Properties result;
    if (const auto info = facts.infoDictionary()) {
        if (const auto it = info->find("CFBundleVersion"); it != info->end()) {
            result["$ios_app_version"] = tallyValue(it->second);
        }
        if (const auto it = info->find("CFBundleShortVersionString"); it != info->end()) {
            result["$ios_app_release"] = tallyValue(it->second);
        }
    }
    result["$ios_device_model"] = facts.deviceModel();
    result["$ios_version"] = facts.operatingSystemVersion();
    result["$ios_lib_version"] = libVersion();
    result["$cpp_lib_version"] = libVersion();
    return result;
}

} // namespace tally
