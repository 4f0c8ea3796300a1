#pragma once

#include <AL/al.h>
#include <cstddef>
#include <cstdint>
#include <mpg123.h>
#include <optional>
#include <string>
#include <vector>

namespace audio::detail {

inline std::size_t framesOf(double seconds, long rate) { return static_cast<std::size_t>(seconds * double(rate)); }

// An open MP3 file with its decoder, set to 16-bit samples in the file's first format.
struct Decoder {
    int fd = -1;
    mpg123_handle* handle = nullptr;
    long rate = 0;
    int channels = 0;
    std::string name;

    Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    ~Decoder();

    std::string failed(int result) const;
    ALenum format() const { return channels == 1 ? AL_FORMAT_MONO16 : AL_FORMAT_STEREO16; }
    bool open(const std::string& path, std::string& error);
    /// The decoder's estimate of the clip's length in seconds, or nullopt when it has none.
    std::optional<double> estimatedSeconds() const;
    /// Appends up to `frames` frames to `samples`; `ended` is set at the end of the data.
    bool read(std::vector<std::int16_t>& samples, std::size_t frames, bool& ended, std::string& error);
    /// Appends up to `frames` frames to `samples` as read() does, in pieces the size of the
    /// decoder's estimate: a short clip never takes a buffer sized for the longest. Large
    /// short-lived buffers would otherwise stay behind in the decoding thread's malloc arena.
    bool readUpTo(std::vector<std::int16_t>& samples, std::size_t frames, bool& ended, std::string& error);
    bool rewind(std::string& error);
};

} // namespace audio::detail
