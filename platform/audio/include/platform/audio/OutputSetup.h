#pragma once

#include <filesystem>
#include <string>

namespace audio {

/// What prepareOutput() found or did.
struct OutputSetup {
    /// The configuration file OpenAL Soft reads last: ours, or the one the user's ALSOFT_CONF
    /// names; empty when there is none.
    std::filesystem::path configuration;
    /// True when `configuration` is the user's own, left as it was.
    bool usersOwn = false;
    /// Why the small update could not be configured; empty otherwise.
    std::string warning;
    /// True when PULSE_PROP was given the request for a small server buffer; false when the
    /// user's PULSE_PROP already sets those properties.
    bool serverAsked = false;
};

/// Makes OpenAL Soft mix in small updates (128 frames, two periods), so that a started clip
/// reaches the device within a few milliseconds. OpenAL Soft 1.19 takes the update size only from
/// its configuration, read once at its first call, the file ALSOFT_CONF names last. So this writes
/// such a file (outputConfigurationPath(), replaced atomically, and only when its contents differ)
/// and points ALSOFT_CONF at it, unless ALSOFT_CONF already names a file: the user's own then wins
/// and nothing is changed. The system's and the user's usual configuration files still apply;
/// ours sets nothing but the update size.
///
/// A sound server behind OpenAL Soft's PulseAudio backend gets a request of the same size: PipeWire's
/// PulseAudio server keeps at least three of its smallest requests (pulse.min.req, 256 frames by
/// default) in a stream's buffer and lets no client run its graph faster than pulse.min.quantum,
/// whatever the client asks, so these two properties are added to PULSE_PROP, which libpulse
/// sends as the client's own. A PULSE_PROP of the user's that sets any pulse.min. property is left
/// alone; PulseAudio itself ignores them.
///
/// It sets environment variables, which is safe only while no other thread runs: call it at
/// start-up before any thread starts, before the first AudioPlayer. Nothing else in the audio
/// library touches the environment. A later call changes nothing. A file that cannot be written
/// is logged as one warning (category "thwacko.audio"), and OpenAL plays with its own update
/// size.
OutputSetup prepareOutput();

/// Where prepareOutput() keeps its file: ThwackoApp/openal.conf in the caches folder
/// (foundation::cachesFolder()).
std::filesystem::path outputConfigurationPath();

} // namespace audio
