#pragma once

#include <filesystem>
#include <memory>
#include <string>

/// Sound output for the audio service: one clip per player, decoded whole from an MP3 file
/// (libmpg123) and played through one process-wide OpenAL Soft device and context, opened on the
/// first use and shared by every player. Players overlap freely; OpenAL mixes them.
namespace audio {

class AudioPlayer;

/// What `AudioPlayer::create` gives back: a player, or no player and a description of the fault.
struct CreateResult {
    std::shared_ptr<AudioPlayer> player;
    std::string error;
};

/// One loaded clip with its own OpenAL source and buffer, released on destruction.
/// Every member may be called from any thread (stop() from one while another polls isPlaying()).
class AudioPlayer {
public:
    /// Loads and decodes the whole file (mono or stereo MP3) and gives it a source on the shared
    /// device. Fails with a description when the file cannot be read or decoded, or when there
    /// is no sound device.
    static CreateResult create(const std::filesystem::path& file);

    ~AudioPlayer();
    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    /// Readies playback (the clip is already loaded); true when the player can play.
    bool prepareToPlay();
    /// Loudness of this player only, 0 to 1 (values outside are clamped, NaN is ignored); default 1.
    void setVolume(float volume);
    /// Playback rate factor, used only while rate changes are enabled; values not above 0 are ignored.
    void setRate(float rate);
    /// Switches rate changes on or off (off by default: the clip plays at its own rate).
    void setEnableRate(bool enable);
    /// Starts playback from the beginning and returns at once; false when the device refused.
    bool play();
    /// True from `play()` until the clip has ended or the player was stopped.
    bool isPlaying() const;
    /// Ends playback; `isPlaying()` is false once it returns.
    void stop();

private:
    AudioPlayer() = default;
    void applyPitch();

    unsigned source = 0;
    unsigned buffer = 0;
    float rate = 1.0f;
    bool rateEnabled = false;
};

} // namespace audio
