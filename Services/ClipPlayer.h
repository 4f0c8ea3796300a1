#pragma once

#include <filesystem>

/// What the view model needs of sound output: play a clip with an amplitude, silence everything,
/// and the two playback settings copied in before each clip. AudioPlayerService is the real one.
class ClipPlayer {
public:
    virtual ~ClipPlayer() = default;

    /// Queues the clip and returns at once.
    virtual void play(const std::filesystem::path& fileURL, double amplitude) = 0;
    /// Stops every clip playing or queued.
    virtual void stopAll() = 0;
    virtual void setVolumeScaling(bool on) = 0;
    virtual void setSpeedRatio(double ratio) = 0;
};
