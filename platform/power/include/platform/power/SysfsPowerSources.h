#pragma once

#include "platform/power/PowerSources.h"

#include <chrono>
#include <filesystem>

namespace power {

/// The power supplies under `<root>/sys/class/power_supply`, described with the platform's keys.
///
/// Each supply, in name order, becomes one description. A battery of the system (scope other
/// than "Device") has "Type" "InternalBattery" and the keys "ExternalConnected",
/// "Is Charging", "Power Source State" and, when known, "Max Capacity" and "Current Capacity".
/// A battery of a peripheral has "Type" "Accessory Source"; an adapter keeps the kernel's type
/// ("Mains", "USB", ...) with "ExternalConnected" telling whether it is online. A battery slot
/// reporting present = 0 is left out.
///
/// A battery is on external power when any adapter supply is online; when the machine lists no
/// adapter, its status stands in: "Charging", "Full" and "Not charging" all mean a charger is
/// attached. The capacities are the kernel's percentage ("capacity") over 100, which is what the
/// firmware reports and the desktop shows; without it, energy_now over energy_full, else
/// charge_now over charge_full.
///
/// Changes come from a udev monitor on the subsystem "power_supply" when udev runs
/// (`<root>/run/udev/control` exists and the build has libudev); otherwise the snapshot is
/// compared every `pollInterval`.
class SysfsPowerSources final : public PowerSources {
public:
    explicit SysfsPowerSources(std::filesystem::path root = "/",
                               std::chrono::milliseconds pollInterval = std::chrono::seconds(2));

    /// nullopt when `<root>/sys/class/power_supply` cannot be listed.
    std::optional<Snapshot> copyPowerSources() override;
    /// nullptr when `<root>/sys/class/power_supply` does not exist.
    std::unique_ptr<ChangeSource> createChangeSource(std::function<void()> onChange) override;

private:
    std::filesystem::path root;
    std::chrono::milliseconds pollInterval;
};

} // namespace power
