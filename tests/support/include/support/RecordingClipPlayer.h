#pragma once

#include "Services/ClipPlayer.h"

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

/// A clip player that plays nothing and remembers each clip with the settings copied in before it;
/// the test says through report() what became of a clip.
/// Header-only.
class RecordingClipPlayer final : public ClipPlayer {
public:
    struct Play {
        std::filesystem::path url;
        double amplitude;
        bool volumeScaling;
        double speedRatio;
    };

    std::vector<Play> plays;
    int stopAlls = 0;
    bool scaling = false;
    double speed = 1.0;

    void play(const std::filesystem::path& url, double amplitude) override
    {
        plays.push_back({url, amplitude, scaling, speed});
    }
    void stopAll() override { ++stopAlls; }
    void setVolumeScaling(bool on) override { scaling = on; }
    void setSpeedRatio(double ratio) override { speed = ratio; }
    void setOutcomeHandler(OutcomeHandler handler) override { outcome = std::move(handler); }

    /// Tells the view model what became of a clip, as the real player does from its threads.
    void report(const std::optional<std::string>& failure) const
    {
        if (outcome) {
            outcome(failure);
        }
    }

private:
    OutcomeHandler outcome;
};

} // namespace testsupport
