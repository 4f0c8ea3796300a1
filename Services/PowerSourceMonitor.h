#pragma once

#include "Models/Events.h"
#include "platform/power/PowerSources.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/// Watches the laptop's power supply: on every power-source change it reads the first battery's
/// state, compares it with the previous reading and reports a change of the external-power or
/// charging state as one titled event.
///
/// Main thread only: start(), stop() and destruction are called there, the change source calls
/// back from the main event loop, and the reading runs in a later main-queue job
/// (foundation::mainQueue(), which must be bound while the monitor is started).
class PowerSourceMonitor final {
public:
    using EventsCallback = std::function<void(const std::vector<PowerSourceEvent>& events)>;

    /// A stopped monitor over `powerSources`; reads and registers nothing.
    explicit PowerSourceMonitor(std::shared_ptr<power::PowerSources> powerSources);
    /// Stops first, so the change source never outlives the monitor.
    ~PowerSourceMonitor();
    PowerSourceMonitor(const PowerSourceMonitor&) = delete;
    PowerSourceMonitor& operator=(const PowerSourceMonitor&) = delete;

    /// Takes the current battery state as the baseline (no event) and registers for changes.
    /// Does nothing while started.
    void start();
    /// Unregisters and forgets the baseline. Does nothing while stopped.
    void stop();

    /// The owner's receiver, called on the main thread with a list of exactly one event.
    EventsCallback onEvents;

private:
    struct BatteryPowerState {
        bool externalPower = false;
        bool charging = false;
        std::optional<int> percent; ///< 0 to 100; nullopt when the capacities cannot be read

        /// "80%" for 80; nullopt when the percentage is unknown.
        std::optional<std::string> percentLabel() const;
        bool operator==(const BatteryPowerState&) const = default;
    };

    struct PowerKeys {
        PowerKeys() = delete;
        static constexpr const char* type = "Type";
        static constexpr const char* externalConnected = "ExternalConnected";
        static constexpr const char* isCharging = "Is Charging";
        static constexpr const char* powerSourceState = "Power Source State";
        static constexpr const char* acPower = "AC Power";
        static constexpr const char* maxCapacity = "Max Capacity";
        static constexpr const char* currentCapacity = "Current Capacity";
    };

    void scheduleRunLoopSource();
    void handlePowerSourceChange();
    void processUpdate();
    std::optional<BatteryPowerState> readBatteryState() const;
    static bool boolFromPowerDictionary(const power::Description& description, const std::string& key);

    std::shared_ptr<power::PowerSources> powerSources;
    std::unique_ptr<power::ChangeSource> runLoopSource;
    bool isStarted = false;
    std::optional<BatteryPowerState> lastState;
    // Posted jobs and the change callback hold this weakly: expired once the monitor is gone.
    std::shared_ptr<PowerSourceMonitor*> self = std::make_shared<PowerSourceMonitor*>(this);
};
