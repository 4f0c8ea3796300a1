#include "Services/PowerSourceMonitor.h"

#include "platform/foundation/MainQueue.h"

#include <algorithm>
#include <cstdint>
#include <variant>

namespace {

std::optional<std::int64_t> integerValue(const power::Description& description, const char* key)
{
    const auto it = description.find(key);
    if (it == description.end()) {
        return std::nullopt;
    }
    if (const auto* value = std::get_if<std::int64_t>(&it->second)) {
        return *value;
    }
    return std::nullopt;
}

} // namespace

PowerSourceMonitor::PowerSourceMonitor(std::shared_ptr<power::PowerSources> powerSources)
    : powerSources(std::move(powerSources))
{
}

PowerSourceMonitor::~PowerSourceMonitor() { stop(); }

std::optional<std::string> PowerSourceMonitor::BatteryPowerState::percentLabel() const
{
    if (!percent) {
        return std::nullopt;
    }
    return std::to_string(*percent) + "%";
}

void PowerSourceMonitor::start()
{
    if (isStarted) {
        return;
    }
    isStarted = true;
    lastState = readBatteryState();
    scheduleRunLoopSource();
}

void PowerSourceMonitor::stop()
{
    if (!isStarted) {
        return;
    }
    isStarted = false;
    lastState.reset();
    runLoopSource.reset();
}

void PowerSourceMonitor::scheduleRunLoopSource()
{
    // A source that cannot be made leaves the monitor started and silent.
    runLoopSource = powerSources->createChangeSource([weak = std::weak_ptr(self)] {
        if (const auto monitor = weak.lock()) {
            (*monitor)->handlePowerSourceChange();
        }
    });
}

void PowerSourceMonitor::handlePowerSourceChange()
{
    if (!isStarted) {
        return;
    }
    // The read waits for a later turn of the main queue; a stop() in between drops it.
    foundation::mainQueue().async([weak = std::weak_ptr(self)] {
        const auto monitor = weak.lock();
        if (monitor && (*monitor)->isStarted) {
            (*monitor)->processUpdate();
        }
    });
}

void PowerSourceMonitor::processUpdate()
{
    const std::optional<BatteryPowerState> current = readBatteryState();
    if (!current) {
        return;
    }
    const std::optional<BatteryPowerState> previous = lastState;
    lastState = current;
    if (!previous) {
        return;
    }

    const char* title = nullptr;
    if (current->externalPower != previous->externalPower) {
        if (current->externalPower) {
            title = current->charging ? "Adapter connected \u00b7 charging" : "Adapter connected";
        } else {
            title = "On battery power";
        }
    } else if (current->charging != previous->charging) {
        if (current->charging) {
            title = "Charging";
        } else {
            title = current->externalPower ? "Not charging (on AC)" : "Not charging";
        }
    }
    if (title == nullptr) {
        return;
    }
    const std::vector<PowerSourceEvent> events{
        PowerSourceEvent(foundation::Date::now(), title, current->percentLabel())};
    // Last: the owner may stop or even destroy the monitor from inside the callback.
    if (onEvents) {
        onEvents(events);
    }
}

std::optional<PowerSourceMonitor::BatteryPowerState> PowerSourceMonitor::readBatteryState() const
{
    const std::optional<power::Snapshot> snapshot = powerSources->copyPowerSources();
    if (!snapshot) {
        return std::nullopt;
    }
    const power::Description* battery = nullptr;
    for (const auto& description : *snapshot) {
        if (!description) {
            continue;
        }
        const auto type = description->find(PowerKeys::type);
        if (type == description->end()) {
            continue;
        }
        const auto* typeName = std::get_if<std::string>(&type->second);
        if (typeName != nullptr && (*typeName == "InternalBattery" || *typeName == "Battery")) {
            battery = &*description;
            break;
        }
    }
    if (battery == nullptr) {
        return std::nullopt;
    }

    const bool externalConnected = boolFromPowerDictionary(*battery, PowerKeys::externalConnected);
    const bool charging = boolFromPowerDictionary(*battery, PowerKeys::isCharging);
    bool onAcPower = false;
    if (const auto state = battery->find(PowerKeys::powerSourceState); state != battery->end()) {
        const auto* text = std::get_if<std::string>(&state->second);
        onAcPower = text != nullptr && *text == PowerKeys::acPower;
    }

    std::optional<int> percent;
    const auto max = integerValue(*battery, PowerKeys::maxCapacity);
    const auto current = integerValue(*battery, PowerKeys::currentCapacity);
    if (max && *max >= 1 && current) {
        // 128 bits so that current × 100 cannot overflow for absurd values; division truncates toward zero.
        const __int128 ratio = static_cast<__int128>(*current) * 100 / *max;
        percent = static_cast<int>(std::clamp<__int128>(ratio, 0, 100));
    }
    return BatteryPowerState{onAcPower || externalConnected, charging, percent};
}

bool PowerSourceMonitor::boolFromPowerDictionary(const power::Description& description, const std::string& key)
{
    const auto it = description.find(key);
    if (it == description.end()) {
        return false;
    }
    if (const auto* value = std::get_if<bool>(&it->second)) {
        return *value;
    }
    if (const auto* value = std::get_if<std::int64_t>(&it->second)) {
        return *value != 0;
    }
    if (const auto* value = std::get_if<double>(&it->second)) {
        return *value != 0.0;
    }
    return false;
}
