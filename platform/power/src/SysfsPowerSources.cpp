#include "platform/power/SysfsPowerSources.h"

#include "PollingChangeSource.h"
#include "UdevChangeSource.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <sstream>
#include <system_error>

namespace power {

namespace {

namespace fs = std::filesystem;

// The attributes read from each supply, by their sysfs file names.
constexpr const char* kAttributes[] = {"type",     "status",      "online",     "scope",       "present",
                                       "capacity", "energy_full", "energy_now", "charge_full", "charge_now"};

struct Supply {
    std::string name;
    std::map<std::string, std::string> attributes;

    const std::string* attribute(const std::string& key) const
    {
        const auto it = attributes.find(key);
        return it == attributes.end() ? nullptr : &it->second;
    }
};

std::string trimmed(std::string text)
{
    const auto end = text.find_last_not_of(" \t\r\n");
    text.erase(end == std::string::npos ? 0 : end + 1);
    const auto begin = text.find_first_not_of(" \t");
    text.erase(0, begin == std::string::npos ? text.size() : begin);
    return text;
}

std::optional<std::string> readFile(const fs::path& path)
{
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return contents.str();
}

std::optional<std::int64_t> parseInteger(const std::string* text)
{
    if (text == nullptr) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const char* end = text->data() + text->size();
    const auto [ptr, ec] = std::from_chars(text->data(), end, value);
    if (ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

// The uevent file carries every attribute at once ("POWER_SUPPLY_STATUS=Charging"); a driver
// that leaves one out may still offer it as a file of its own.
std::optional<Supply> readSupply(const fs::path& folder)
{
    Supply supply;
    supply.name = folder.filename().string();
    bool readable = false;
    if (const auto uevent = readFile(folder / "uevent")) {
        readable = true;
        std::istringstream lines(*uevent);
        const std::string prefix = "POWER_SUPPLY_";
        for (std::string line; std::getline(lines, line);) {
            const auto equals = line.find('=');
            if (equals == std::string::npos || line.compare(0, prefix.size(), prefix) != 0) {
                continue;
            }
            std::string key = line.substr(prefix.size(), equals - prefix.size());
            std::transform(key.begin(), key.end(), key.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            supply.attributes[key] = trimmed(line.substr(equals + 1));
        }
    }
    for (const char* key : kAttributes) {
        if (supply.attributes.count(key) == 0) {
            if (const auto value = readFile(folder / key)) {
                readable = true;
                supply.attributes[key] = trimmed(*value);
            }
        }
    }
    if (!readable) {
        return std::nullopt;
    }
    return supply;
}

bool isAdapter(const std::string& type) { return type == "Mains" || type.rfind("USB", 0) == 0 || type == "Wireless"; }

void addCapacities(const Supply& battery, Description& description)
{
    std::optional<std::int64_t> max;
    std::optional<std::int64_t> current;
    if (const auto percent = parseInteger(battery.attribute("capacity"))) {
        max = 100;
        current = percent;
    } else if (const auto full = parseInteger(battery.attribute("energy_full"))) {
        max = full;
        current = parseInteger(battery.attribute("energy_now"));
    } else if (const auto full = parseInteger(battery.attribute("charge_full"))) {
        max = full;
        current = parseInteger(battery.attribute("charge_now"));
    }
    if (max) {
        description["Max Capacity"] = *max;
    }
    if (current) {
        description["Current Capacity"] = *current;
    }
}

} // namespace

SysfsPowerSources::SysfsPowerSources(std::filesystem::path root, std::chrono::milliseconds pollInterval)
    : root(std::move(root))
    , pollInterval(pollInterval)
{
}

std::optional<Snapshot> SysfsPowerSources::copyPowerSources()
{
    std::error_code error;
    std::vector<fs::path> folders;
    for (fs::directory_iterator it(root / "sys/class/power_supply", error), end; !error && it != end;
         it.increment(error)) {
        folders.push_back(it->path());
    }
    if (error) {
        return std::nullopt;
    }
    std::sort(folders.begin(), folders.end());

    std::vector<std::optional<Supply>> supplies;
    bool adapterListed = false;
    bool adapterOnline = false;
    for (const auto& folder : folders) {
        auto supply = readSupply(folder);
        if (supply) {
            const std::string* type = supply->attribute("type");
            if (type != nullptr && isAdapter(*type)) {
                adapterListed = true;
                adapterOnline = adapterOnline || parseInteger(supply->attribute("online")).value_or(0) != 0;
            }
        }
        supplies.push_back(std::move(supply));
    }

    Snapshot snapshot;
    for (const auto& supply : supplies) {
        if (!supply) {
            snapshot.emplace_back(std::nullopt);
            continue;
        }
        Description description{{"Name", supply->name}};
        const std::string* type = supply->attribute("type");
        if (type == nullptr) {
            snapshot.emplace_back(std::move(description));
            continue;
        }
        if (*type != "Battery") {
            description["Type"] = *type;
            if (isAdapter(*type)) {
                description["ExternalConnected"] = parseInteger(supply->attribute("online")).value_or(0) != 0;
            }
            snapshot.emplace_back(std::move(description));
            continue;
        }
        if (const std::string* present = supply->attribute("present"); present != nullptr && *present == "0") {
            continue;
        }
        if (const std::string* scope = supply->attribute("scope"); scope != nullptr && *scope == "Device") {
            description["Type"] = std::string("Accessory Source");
            snapshot.emplace_back(std::move(description));
            continue;
        }
        const std::string* statusText = supply->attribute("status");
        const std::string status = statusText ? *statusText : std::string();
        const bool external =
            adapterListed ? adapterOnline : (status == "Charging" || status == "Full" || status == "Not charging");
        description["Type"] = std::string("InternalBattery");
        description["ExternalConnected"] = external;
        description["Is Charging"] = status == "Charging";
        description["Power Source State"] = std::string(external ? "AC Power" : "Battery Power");
        addCapacities(*supply, description);
        snapshot.emplace_back(std::move(description));
    }
    return snapshot;
}

std::unique_ptr<ChangeSource> SysfsPowerSources::createChangeSource(std::function<void()> onChange)
{
    std::error_code error;
    if (!fs::is_directory(root / "sys/class/power_supply", error)) {
        return nullptr;
    }
    if (fs::exists(root / "run/udev/control", error)) {
        if (auto source = makeUdevChangeSource(onChange)) {
            return source;
        }
    }
    return std::make_unique<PollingChangeSource>([this] { return copyPowerSources(); }, pollInterval,
                                                 std::move(onChange));
}

} // namespace power
