#include "platform/registry/LidRegistry.h"

#include <algorithm>
#include <fstream>
#include <system_error>
#include <vector>

namespace registry {

AcpiLidRegistry::AcpiLidRegistry(std::filesystem::path root)
    : root(std::move(root))
{
}

std::optional<PropertyValue> AcpiLidRegistry::clamshellState()
{
    std::error_code error;
    std::vector<std::filesystem::path> lids;
    for (std::filesystem::directory_iterator it(root / "proc/acpi/button/lid", error), end; !error && it != end;
         it.increment(error)) {
        lids.push_back(it->path());
    }
    if (error || lids.empty()) {
        return std::nullopt;
    }
    std::sort(lids.begin(), lids.end());

    std::ifstream in(lids.front() / "state");
    std::string label;
    std::string word;
    if (!(in >> label >> word) || label != "state:") {
        return std::nullopt;
    }
    if (word == "closed") {
        return PropertyValue(true);
    }
    if (word == "open") {
        return PropertyValue(false);
    }
    return PropertyValue(word);
}

} // namespace registry
