#pragma once

#include "Services/ClipPlayer.h"
#include "platform/foundation/DispatchQueue.h"

#include <cstddef>
#include <filesystem>
#include <memory>

/// Plays sound clips, each from start to end and independently of the others, so several may
/// sound at once (at most maxClips: the oldest still sounding is stopped for a new one). The
/// volume can follow the amplitude of what caused the clip, and the playback rate can be changed;
/// stopAll() silences everything.
///
/// Called on the main thread. Each clip is loaded and started by one short work item on the
/// concurrent queue "audio.player"; no thread waits for a clip to end. The list of playing
/// players is guarded by a lock that is never held while loading, playing or stopping.
class AudioPlayerService final : public ClipPlayer {
public:
    /// Clips sounding at once; OpenAL Soft runs out of sources not far above 256.
    static constexpr std::size_t maxClips = 16;

    AudioPlayerService();
    /// Stops the clips still playing and waits for the work items still running; items that have
    /// not started yet do nothing.
    ~AudioPlayerService() override;
    AudioPlayerService(const AudioPlayerService&) = delete;
    AudioPlayerService& operator=(const AudioPlayerService&) = delete;

    /// Queues the clip at `fileURL` and returns at once. A clip that cannot be loaded, readied or
    /// started is reported to the outcome handler (without one, "Audio playback error: " and the
    /// reason go to standard error); so is every clip that starts.
    void play(const std::filesystem::path& fileURL, double amplitude) override;
    /// Stops every clip playing and every clip queued before this call that has not started yet.
    void stopAll() override;
    void setOutcomeHandler(OutcomeHandler handler) override;

    /// The volume (0.125 to 1) for an amplitude in g: logarithmic from 0.05 g to 0.8 g.
    static double amplitudeToVolume(double amplitude);

    /// When on, a clip's volume follows its amplitude; otherwise the player's own volume is kept.
    /// Read when a clip's work item starts it, not when play() is called.
    void setVolumeScaling(bool on) override;
    bool volumeScaling() const;
    /// Playback rate factor; 1 and values not above 0 leave the rate alone. Read like volumeScaling.
    void setSpeedRatio(double ratio) override;
    double speedRatio() const;

    /// The number of clips started and not yet finished or stopped.
    std::size_t activePlayerCount() const;

private:
    struct State;
    std::shared_ptr<State> state;    // work items hold it weakly
    foundation::DispatchQueue queue; // destroyed first: its destructor waits for the work items
};
