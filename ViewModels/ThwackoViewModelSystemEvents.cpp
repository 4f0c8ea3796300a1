// The view model's answers to the system-event monitors: their logs and their sounds.
#include "ViewModels/PublishedWrites.h"
#include "ViewModels/ThwackoViewModel.h"

#include "Services/Analytics.h"

#include <QLoggingCategory>

#include <random>

// The system events as they are logged, for a user in a terminal.
Q_LOGGING_CATEGORY(lcEvents, "thwacko.events", QtInfoMsg)

namespace {

constexpr double kPowerSoundSpacing = 1.25;
constexpr double kPowerSoundAmplitude = 0.28;
constexpr double kLidCreakSpacing = 0.35;
constexpr double kLidCreakAmplitude = 0.32;

} // namespace

// System events.

void ThwackoViewModel::appendUSBVolumeEvent(const VolumeMountEvent& event)
{
    if (!state.usbVolumeMonitoring) {
        return;
    }
    insertAtHead(state.usbVolumeEvents, event);
    qCInfo(lcEvents, "volume %s: %s at %s (%s, %s)", event.mounted() ? "mounted" : "unmounted",
           event.volumeName().c_str(), event.path().c_str(), event.isRemovable() ? "removable" : "not removable",
           event.isEjectable() ? "ejectable" : "not ejectable");
    Analytics::track(
        "usb_volume_event",
        {{"mounted", event.mounted()}, {"removable", event.isRemovable()}, {"ejectable", event.isEjectable()}});
}

void ThwackoViewModel::appendPowerSourceEvents(const std::vector<PowerSourceEvent>& events)
{
    if (!state.powerMonitoring) {
        return;
    }
    bool shouldPlay = false;
    for (const auto& event : events) {
        change(state.powerSourceEvents, [&](auto& log) { log.insert(log.begin(), event); });
        if (event.detail()) {
            qCInfo(lcEvents, "power: %s (%s)", event.title().c_str(), event.detail()->c_str());
        } else {
            qCInfo(lcEvents, "power: %s", event.title().c_str());
        }
        if (!shouldPlay) {
            shouldPlay = shouldPlaySoundForPowerEvent(event.title());
        }
    }
    if (state.powerSourceEvents.size() > logLimit) {
        change(state.powerSourceEvents, [](auto& log) { log.erase(log.begin() + logLimit, log.end()); });
    }
    if (shouldPlay) {
        playPowerEventSoundIfEnabled();
    }
    for (const auto& event : events) {
        Analytics::track("power_source_event", {{"title", event.title()}, {"has_detail", event.detail().has_value()}});
    }
}

bool ThwackoViewModel::shouldPlaySoundForPowerEvent(const std::string& title)
{
    return title.starts_with("Adapter connected") || title == "Charging" || title == "On battery power";
}

void ThwackoViewModel::playPowerEventSoundIfEnabled()
{
    if (!state.powerEventSounds) {
        return;
    }
    const foundation::MonotonicTime now = clock.monotonicNow();
    if (lastPowerSoundAt && foundation::secondsBetween(*lastPowerSoundAt, now) < kPowerSoundSpacing) {
        return;
    }
    lastPowerSoundAt = now;
    const auto pack = makeLoadedPackForCurrentMode(); // never an empty one
    if (!pack) {
        return;
    }
    static thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, pack->files().size() - 1);
    playClip(pack->files()[pick(random)], kPowerSoundAmplitude);
}

void ThwackoViewModel::handleLidTransition(LidClamshellMonitor::LidTransition transition)
{
    if (!state.lidCreakMonitoring) {
        return;
    }
    const bool opened = transition == LidClamshellMonitor::LidTransition::opened;
    insertAtHead(state.lidCreakEvents, LidCreakEvent(clock.now(), opened));
    qCInfo(lcEvents, "lid %s", opened ? "opened" : "closed");
    if (state.lidCreakSounds) {
        playLidCreakSound(opened);
    }
    Analytics::track("lid_creak_event", {{"opened", opened}});
}

void ThwackoViewModel::playLidCreakSound(bool opened)
{
    const foundation::MonotonicTime now = clock.monotonicNow();
    if (lastLidCreakSoundAt && foundation::secondsBetween(*lastLidCreakSoundAt, now) < kLidCreakSpacing) {
        return;
    }
    lastLidCreakSoundAt = now;
    const auto url = LidCreakBundledSounds::url(opened, bundle);
    if (!url) {
        return;
    }
    playClip(*url, kLidCreakAmplitude);
}

void ThwackoViewModel::clearLog()
{
    change(state.slapEvents, [](auto& log) { log.clear(); });
}

void ThwackoViewModel::clearUSBVolumeLog()
{
    change(state.usbVolumeEvents, [](auto& log) { log.clear(); });
}

void ThwackoViewModel::clearPowerSourceLog()
{
    change(state.powerSourceEvents, [](auto& log) { log.clear(); });
}

void ThwackoViewModel::clearLidCreakLog()
{
    change(state.lidCreakEvents, [](auto& log) { log.clear(); });
}
