#pragma once

#include "Models/SoundPack.h"
#include "platform/foundation/Date.h"

#include <filesystem>
#include <mutex>
#include <optional>

/// Numbers the accepted slaps and keeps an escalation score that gains 1 per slap and halves
/// every 30 s; picks the clip that answers a slap from its sound pack.
///
/// record() is serialised by an internal lock; getFile() reads only fields fixed at construction
/// and may run on any thread.
class SlapTracker final {
public:
    /// Half-life of the escalation score, seconds.
    static constexpr double decayHalfLife = 30.0;

    /// The state after recording a slap.
    struct Record {
        int number;   // slaps recorded so far, 1 for the first
        double score; // the escalation score including this slap
    };

    /// A tracker for `pack` whose escalation reaches the last clip when slaps come `cooldown` seconds apart.
    SlapTracker(SoundPack pack, double cooldown);
    SlapTracker(const SlapTracker&) = delete;
    SlapTracker& operator=(const SlapTracker&) = delete;

    /// Decays the score by the time since the last slap, adds 1 and counts the slap at `now`.
    Record record(foundation::Date now);
    /// The clip for a slap with `score`: random in random mode, further along the list the higher the
    /// score in escalation mode. nullopt only when the pack has no files.
    std::optional<std::filesystem::path> getFile(double score) const;

    /// The escalation scale (infinite for a cooldown of 0 or an empty pack).
    double scale() const { return scale_; }
    double halfLife() const { return halfLife_; }
    const SoundPack& pack() const { return pack_; }

private:
    mutable std::mutex lock;
    double score = 0.0;
    std::optional<foundation::Date> lastTime;
    int total = 0;
    const double halfLife_ = decayHalfLife;
    const double scale_;
    const SoundPack pack_;
};
