#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

/// What the view model needs of sound output: play a clip with an amplitude, silence everything,
/// and the two playback settings copied in before each clip. AudioPlayerService is the real one.
class ClipPlayer {
public:
    /// What became of one play(): nullopt once the clip started, else why it could not.
    using OutcomeHandler = std::function<void(const std::optional<std::string>& failure)>;

    virtual ~ClipPlayer() = default;

    /// Queues the clip and returns at once.
    virtual void play(const std::filesystem::path& fileURL, double amplitude) = 0;
    /// Stops every clip playing or queued.
    virtual void stopAll() = 0;
    virtual void setVolumeScaling(bool on) = 0;
    virtual void setSpeedRatio(double ratio) = 0;
    /// Told of each clip's outcome, on any thread; empty to be told nothing. A player that cannot
    /// fail may ignore it.
    virtual void setOutcomeHandler(OutcomeHandler handler) { (void)handler; }
};
