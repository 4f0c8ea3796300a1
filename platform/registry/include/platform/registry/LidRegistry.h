#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace registry {

/// A registry property value, typed as far as its readers tell types apart: a Boolean, an
/// integer, another number, or something else (kept as text).
using PropertyValue = std::variant<bool, std::int64_t, double, std::string>;

/// The power-management root's lid (clamshell) property.
class LidRegistry {
public:
    virtual ~LidRegistry() = default;
    /// The clamshell state, true meaning closed; nullopt when the machine has no lid or the
    /// property cannot be read. Called on the main thread.
    virtual std::optional<PropertyValue> clamshellState() = 0;
};

/// The lid as ACPI shows it in `<root>/proc/acpi/button/lid/*/state` (the first lid by name):
/// "state:      closed" gives true, "open" gives false, any other word comes back as that word
/// (a string), and no lid or an unreadable file gives nullopt.
class AcpiLidRegistry final : public LidRegistry {
public:
    explicit AcpiLidRegistry(std::filesystem::path root = "/");
    std::optional<PropertyValue> clamshellState() override;

private:
    std::filesystem::path root;
};

} // namespace registry
