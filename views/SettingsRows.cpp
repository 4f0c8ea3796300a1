#include "views/SettingsRows.h"

#include "ViewModels/ThwackoViewModel.h"
#include "views/Theme.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

double SliderSetting::valueAt(int position) const
{
    const int clamped = std::clamp(position, 0, positions() - 1);
    return (lowUnits + clamped * stepUnits) / unitsPerValue;
}

int SliderSetting::positionOf(double value) const
{
    if (!std::isfinite(value)) {
        return value > 0 ? positions() - 1 : 0;
    }
    const double steps = (value * unitsPerValue - lowUnits) / stepUnits;
    return static_cast<int>(std::clamp(std::lround(steps), 0L, static_cast<long>(positions() - 1)));
}

const std::vector<SliderSetting>& sliderSettings()
{
    static const std::vector<SliderSetting> sliders = [] {
        std::vector<SliderSetting> rows;
        rows.push_back({QStringLiteral("Sensitivity"), QStringLiteral("Min Amplitude"),
                        QStringLiteral("More sensitive"), QStringLiteral("Less sensitive"), 10, 500, 5, 1000.0,
                        [](const ThwackoViewModel& vm) { return vm.minAmplitude(); },
                        [](ThwackoViewModel& vm, double value) { vm.setMinAmplitude(value); },
                        [](double value) { return theme::fixed(value, 3); }});
        rows.push_back(
            {QStringLiteral("Cooldown"), QStringLiteral("Cooldown"), QStringLiteral("Rapid fire"),
             QStringLiteral("Slow response"), 100, 3000, 50, 1.0,
             [](const ThwackoViewModel& vm) { return static_cast<double>(vm.cooldownMs()); },
             // The slider's value becomes whole milliseconds by truncation toward zero.
             [](ThwackoViewModel& vm, double value) { vm.setCooldownMs(static_cast<int>(std::trunc(value))); },
             [](double value) {
            return theme::count(static_cast<std::int64_t>(std::trunc(value))) + QStringLiteral("ms");
             }});
        rows.push_back({QStringLiteral("Playback Speed"), QStringLiteral("Speed"), QStringLiteral("0.5x"),
                        QStringLiteral("2.0x"), 5, 20, 1, 10.0,
                        [](const ThwackoViewModel& vm) { return vm.speedRatio(); },
                        [](ThwackoViewModel& vm, double value) { vm.setSpeedRatio(value); },
                        [](double value) { return theme::ratio(value); }});
        return rows;
    }();
    return sliders;
}

const std::vector<ToggleSetting>& toggleSettings()
{
    static const std::vector<ToggleSetting> toggles = {
        {QStringLiteral("Volume Scaling"), QStringLiteral("Scale playback volume by slap intensity"),
         [](const ThwackoViewModel& vm) { return vm.volumeScaling(); },
         [](ThwackoViewModel& vm, bool on) { vm.setVolumeScaling(on); }},
        {QStringLiteral("Fast Mode"), QStringLiteral("Shorter cooldown, higher sensitivity, faster polling"),
         [](const ThwackoViewModel& vm) { return vm.fastMode(); },
         [](ThwackoViewModel& vm, bool on) { vm.setFastMode(on); }},
        {QStringLiteral("Log mounts & unmounts"),
         QStringLiteral("Record removable and ejectable volumes (USB sticks, SD cards, disk images)"),
         [](const ThwackoViewModel& vm) { return vm.usbVolumeMonitoring(); },
         [](ThwackoViewModel& vm, bool on) { vm.setUsbVolumeMonitoring(on); }},
        {QStringLiteral("Log AC & charging"),
         QStringLiteral("Adapter connect/disconnect and charging state (laptops with a battery)"),
         [](const ThwackoViewModel& vm) { return vm.powerMonitoring(); },
         [](ThwackoViewModel& vm, bool on) { vm.setPowerMonitoring(on); }},
        {QStringLiteral("Play sound on charger & battery"),
         QStringLiteral("Uses a random clip from the current sound mode when you plug in, start charging, or go on "
                        "battery"),
         [](const ThwackoViewModel& vm) { return vm.powerEventSounds(); },
         [](ThwackoViewModel& vm, bool on) { vm.setPowerEventSounds(on); }},
        {QStringLiteral("Detect lid open & close"),
         QStringLiteral("Laptops only \u2014 reads the ACPI lid switch. Logs events and can play creaks."),
         [](const ThwackoViewModel& vm) { return vm.lidCreakMonitoring(); },
         [](ThwackoViewModel& vm, bool on) { vm.setLidCreakMonitoring(on); }},
        {QStringLiteral("Play wooden-door creak"),
         QStringLiteral("open.mp3 when the lid lifts, close.mp3 when it shuts (bundled under Audio/lid)"),
         [](const ThwackoViewModel& vm) { return vm.lidCreakSounds(); },
         [](ThwackoViewModel& vm, bool on) { vm.setLidCreakSounds(on); }},
    };
    return toggles;
}

const SliderSetting& sliderSetting(const QString& title)
{
    for (const SliderSetting& slider : sliderSettings()) {
        if (slider.title == title) {
            return slider;
        }
    }
    throw std::out_of_range("no slider titled " + title.toStdString());
}

const ToggleSetting& toggleSetting(const QString& title)
{
    for (const ToggleSetting& toggle : toggleSettings()) {
        if (toggle.title == title) {
            return toggle;
        }
    }
    throw std::out_of_range("no switch titled " + title.toStdString());
}
