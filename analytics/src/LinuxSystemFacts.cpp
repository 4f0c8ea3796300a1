#include "analytics/LinuxSystemFacts.h"

#include <fstream>
#include <sstream>
#include <sys/utsname.h>

namespace tally {

namespace fs = std::filesystem;

namespace {

std::string readSmallFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::string text(4096, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

std::string trimmed(std::string text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

struct Uname {
    std::string sysname;
    std::string release;
    std::string machine;
};

Uname readUname()
{
    struct utsname names {};
    if (::uname(&names) != 0) {
        return {};
    }
    return {names.sysname, names.release, names.machine};
}

} // namespace

LinuxSystemFacts::LinuxSystemFacts(const foundation::Bundle& bundle, fs::path root)
    : bundle(bundle)
    , root(std::move(root))
{
}

void LinuxSystemFacts::setMainScreenSize(std::optional<ScreenSize> size)
{
    const std::lock_guard guard(lock);
    screen = size;
}

std::optional<SystemFacts::ScreenSize> LinuxSystemFacts::mainScreenSize() const
{
    const std::lock_guard guard(lock);
    return screen;
}

std::optional<std::string> LinuxSystemFacts::osReleaseValue(const std::string& osRelease, const std::string& key)
{
    std::istringstream lines(osRelease);
    std::string line;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#' || line.compare(0, key.size(), key) != 0 || line.size() <= key.size() ||
            line[key.size()] != '=') {
            continue;
        }
        std::string raw = line.substr(key.size() + 1);
        if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front()) {
            const char quote = raw.front();
            raw = raw.substr(1, raw.size() - 2);
            if (quote == '"') {
                std::string value;
                for (std::size_t i = 0; i < raw.size(); ++i) {
                    if (raw[i] == '\\' && i + 1 < raw.size()) {
                        ++i;
                    }
                    value += raw[i];
                }
                raw = std::move(value);
            }
        }
        return raw;
    }
    return std::nullopt;
}

std::string LinuxSystemFacts::osRelease() const
{
    std::string text = readSmallFile(root / "etc/os-release");
    if (text.empty()) {
        text = readSmallFile(root / "usr/lib/os-release");
    }
    return text;
}

std::optional<std::string> LinuxSystemFacts::dmiValue(const char* name) const
{
    // Several of these files are readable by root only; then the fact is unknown.
    std::string value = trimmed(readSmallFile(root / "sys/class/dmi/id" / name));
    if (value.empty()) {
        return std::nullopt;
    }
    return value;
}

std::string LinuxSystemFacts::operatingSystemName() const
{
    if (auto name = osReleaseValue(osRelease(), "NAME"); name && !name->empty()) {
        return *name;
    }
    const std::string sysname = readUname().sysname;
    return sysname.empty() ? "Linux" : sysname;
}

std::string LinuxSystemFacts::operatingSystemVersion() const
{
    const std::string text = osRelease();
    std::optional<std::string> version = osReleaseValue(text, "VERSION_ID");
    if (!version || version->empty()) {
        version = osReleaseValue(text, "VERSION");
    }
    const Uname names = readUname();
    const std::string kernel = (names.sysname.empty() ? "Linux" : names.sysname) + " " + names.release;
    if (!version || version->empty()) {
        return kernel;
    }
    return *version + " (" + kernel + ")";
}

std::string LinuxSystemFacts::deviceModel() const { return readUname().machine; }

std::string LinuxSystemFacts::manufacturer() const { return dmiValue("sys_vendor").value_or("Unknown"); }

std::optional<std::string> LinuxSystemFacts::serialNumber() const { return dmiValue("product_serial"); }

std::optional<foundation::PlistDictionary> LinuxSystemFacts::infoDictionary() const { return bundle.infoDictionary(); }

std::string LinuxSystemFacts::bundlePath() const { return bundle.bundlePath(); }

} // namespace tally
