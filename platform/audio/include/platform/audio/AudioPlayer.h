#pragma once

#include <filesystem>
#include <memory>
#include <string>

/// Sound output for the audio service: one clip per player, played through one process-wide
/// OpenAL Soft device and context, opened on the first use and shared by every player. Players
/// overlap freely; OpenAL mixes them.
///
/// A short clip is decoded (libmpg123) once and kept while memory allows: later players of the
/// same file share the decoded sound as long as the file's path, size and modification time stay
/// the same. A clip longer than a few seconds is not decoded whole but streamed from its file,
/// a second ahead of what is heard. The device is paused soon after nothing plays any more (a
/// little later while clips come in quick succession) and resumed by the next play(). The mixer's
/// update size is what prepareOutput() (OutputSetup.h) configured at start-up.
namespace audio {

class AudioPlayer;

/// What `AudioPlayer::create` gives back: a player, or no player and a description of the fault.
struct CreateResult {
    std::shared_ptr<AudioPlayer> player;
    std::string error;
};

/// One loaded clip with its own OpenAL source, released on destruction.
/// Every member may be called from any thread (stop() from one while another polls isPlaying()).
class AudioPlayer {
public:
    /// Loads the file (mono or stereo MP3) and gives it a source on the shared device. Fails with
    /// a description when the file cannot be read or decoded, or when there is no sound device.
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

    /// Why the last prepareToPlay() or play() returned false, as "cannot play <file>: <reason>".
    std::string failure() const;

    struct Sound;
    struct Stream;

private:
    AudioPlayer() = default;
    void applyPitch();

    std::string name;
    unsigned source = 0;
    std::shared_ptr<Sound> sound;   // a decoded clip, shared with the cache and other players
    std::shared_ptr<Stream> stream; // or a clip streamed from its file
    bool fresh = true;              // nothing played yet: a stream's queue holds its beginning
    float rate = 1.0f;
    bool rateEnabled = false;
    std::string lastFailure;
};

} // namespace audio
