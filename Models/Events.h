#pragma once

#include "platform/foundation/Date.h"
#include "platform/foundation/Uuid.h"

#include <optional>
#include <string>
#include <vector>

// Immutable records passed between the detector, the monitors, the view model and the views.
// Plain values: copies keep every field, the id included. None defines equality: two records
// built from the same arguments are still distinct, told apart by their random `id`.

/// One accepted and played slap: a row of the slap log.
class SlapEvent {
public:
    /// Takes a new random id.
    SlapEvent(foundation::Date timestamp, int number, double amplitude, std::string severity, std::string fileName);

    const foundation::Uuid& id() const { return id_; }
    /// When the slap was accepted.
    foundation::Date timestamp() const { return timestamp_; }
    /// The slap's ordinal since listening last started, 1 for the first.
    int number() const { return number_; }
    /// The detector event's amplitude in g.
    double amplitude() const { return amplitude_; }
    /// The detector event's severity code.
    const std::string& severity() const { return severity_; }
    /// The last path component of the clip played.
    const std::string& fileName() const { return fileName_; }

private:
    foundation::Uuid id_;
    foundation::Date timestamp_;
    int number_;
    double amplitude_;
    std::string severity_;
    std::string fileName_;
};

/// One mount or unmount of a removable or ejectable volume: a row of the USB log.
class VolumeMountEvent {
public:
    /// Takes a new random id.
    VolumeMountEvent(foundation::Date timestamp, bool mounted, std::string volumeName, std::string path,
                     bool isRemovable, bool isEjectable);

    const foundation::Uuid& id() const { return id_; }
    foundation::Date timestamp() const { return timestamp_; }
    /// True for a mount, false for an unmount.
    bool mounted() const { return mounted_; }
    const std::string& volumeName() const { return volumeName_; }
    /// The volume's file-system path.
    const std::string& path() const { return path_; }
    bool isRemovable() const { return isRemovable_; }
    bool isEjectable() const { return isEjectable_; }

private:
    foundation::Uuid id_;
    foundation::Date timestamp_;
    bool mounted_;
    std::string volumeName_;
    std::string path_;
    bool isRemovable_;
    bool isEjectable_;
};

/// One change of the power adapter or charging state: a row of the power log.
class PowerSourceEvent {
public:
    /// Takes a new random id.
    PowerSourceEvent(foundation::Date timestamp, std::string title, std::optional<std::string> detail);

    const foundation::Uuid& id() const { return id_; }
    foundation::Date timestamp() const { return timestamp_; }
    /// What changed.
    const std::string& title() const { return title_; }
    /// The battery level label; nullopt (not an empty string) when the level is unknown.
    const std::optional<std::string>& detail() const { return detail_; }

private:
    foundation::Uuid id_;
    foundation::Date timestamp_;
    std::string title_;
    std::optional<std::string> detail_;
};

/// One lid opening or closing.
class LidCreakEvent {
public:
    /// Takes a new random id.
    LidCreakEvent(foundation::Date timestamp, bool opened);

    const foundation::Uuid& id() const { return id_; }
    foundation::Date timestamp() const { return timestamp_; }
    /// True when the lid was opened, false when it was closed.
    bool opened() const { return opened_; }

private:
    foundation::Uuid id_;
    foundation::Date timestamp_;
    bool opened_;
};

/// One classified impact, made by the vibration detector. Has no identity.
class VibrationEvent {
public:
    VibrationEvent(foundation::Date time, std::string severity, std::string symbol, std::string label, double amplitude,
                   std::vector<std::string> sources);

    /// The detection time: the sample's time stamp cut to whole nanoseconds.
    foundation::Date time() const { return time_; }
    /// Severity code, "CHOC_MAJEUR" (strongest) to "MICRO_VIB" (weakest).
    const std::string& severity() const { return severity_; }
    /// One-character symbol of the severity.
    const std::string& symbol() const { return symbol_; }
    /// Short word for the severity.
    const std::string& label() const { return label_; }
    /// The impact's amplitude in g.
    double amplitude() const { return amplitude_; }
    /// The tests that fired ("STA/LTA", "CUSUM", "KURTOSIS", "PEAK"), each at most once, in no defined order.
    const std::vector<std::string>& sources() const { return sources_; }

private:
    foundation::Date time_;
    std::string severity_;
    std::string symbol_;
    std::string label_;
    double amplitude_;
    std::vector<std::string> sources_;
};
