#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace power {

/// A value of a power-source description: a Boolean, an integer, another number or a string.
using Value = std::variant<bool, std::int64_t, double, std::string>;
/// One power source's description, keyed like the platform's ("Type", "ExternalConnected", ...).
using Description = std::map<std::string, Value>;
/// All sources in list order; an entry is nullopt when that source's description cannot be read.
using Snapshot = std::vector<std::optional<Description>>;

/// A registered change notification. Destroying it stops the notifications; no call of its
/// callback starts after the destructor has returned. It must not outlive the PowerSources that
/// made it.
class ChangeSource {
public:
    virtual ~ChangeSource() = default;
};

/// The machine's power sources.
class PowerSources {
public:
    virtual ~PowerSources() = default;

    /// A fresh snapshot of every source; nullopt when none can be taken.
    virtual std::optional<Snapshot> copyPowerSources() = 0;
    /// Calls `onChange` on the main thread, from the main event loop, once per change of the
    /// sources. Returns nullptr when changes cannot be watched. Call on the main thread.
    virtual std::unique_ptr<ChangeSource> createChangeSource(std::function<void()> onChange) = 0;
};

} // namespace power
