#pragma once

#include <QString>

#include <functional>
#include <vector>

class ThwackoViewModel;

/// A slider of the settings sheet. Its value is always a whole number of steps from the low end,
/// computed as an integer count of units divided by `unitsPerValue`, so 1.0 is exactly 1.0 and no
/// rounding error builds up while the thumb moves.
struct SliderSetting {
    QString title;       ///< the row title
    QString sliderLabel; ///< the slider's own label and accessible name
    QString lowHint;
    QString highHint;
    int lowUnits = 0;
    int highUnits = 0;
    int stepUnits = 1;
    double unitsPerValue = 1;
    std::function<double(const ThwackoViewModel&)> read;
    std::function<void(ThwackoViewModel&, double)> write;
    std::function<QString(double)> valueText;

    double minimum() const { return lowUnits / unitsPerValue; }
    double maximum() const { return highUnits / unitsPerValue; }
    double step() const { return stepUnits / unitsPerValue; }
    /// How many places the thumb can take, both ends included.
    int positions() const { return (highUnits - lowUnits) / stepUnits + 1; }
    /// The value at thumb position `position` (0 is the low end).
    double valueAt(int position) const;
    /// The position nearest to `value`, within the range.
    int positionOf(double value) const;
};

/// A switch of the settings sheet.
struct ToggleSetting {
    QString title;
    QString detail;
    std::function<bool(const ThwackoViewModel&)> read;
    std::function<void(ThwackoViewModel&, bool)> write;
};

/// One label and value row of the About card.
struct InfoRow {
    QString label;
    QString value;
};

/// "Sensitivity", "Cooldown" (both on the Detection card) and "Playback Speed" (Audio card).
const std::vector<SliderSetting>& sliderSettings();
/// The slider titled `title`; it must exist.
const SliderSetting& sliderSetting(const QString& title);
/// Every switch, in the sheet's order: "Volume Scaling", "Fast Mode", then the five monitoring
/// switches.
const std::vector<ToggleSetting>& toggleSettings();
/// The switch titled `title`; it must exist.
const ToggleSetting& toggleSetting(const QString& title);
