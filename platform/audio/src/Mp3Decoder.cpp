#include "Mp3Decoder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace audio::detail {

namespace {

// Decoding reads a little past the decoder's estimate of a clip's length.
constexpr double kEstimateMarginSeconds = 0.1;

} // namespace

Decoder::~Decoder()
{
    if (handle != nullptr) {
        mpg123_close(handle);
        mpg123_delete(handle);
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

std::string Decoder::failed(int result) const
{
    return "cannot decode " + name + ": " +
           (result == MPG123_ERR ? std::string(mpg123_strerror(handle)) : mpg123_plain_strerror(result));
}

bool Decoder::open(const std::string& path, std::string& error)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { mpg123_init(); });
    name = path;
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + name + ": " + std::strerror(errno);
        return false;
    }
    int code = MPG123_OK;
    handle = mpg123_new(nullptr, &code);
    if (handle == nullptr) {
        error = "cannot decode " + name + ": " + mpg123_plain_strerror(code);
        return false;
    }
    // Warnings about junk in the stream would go to standard error; the result says enough.
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
    mpg123_format_none(handle);
    const long* rates = nullptr;
    std::size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (std::size_t i = 0; i < rateCount; ++i) {
        mpg123_format(handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    }
    if (int result = mpg123_open_fd(handle, fd); result != MPG123_OK) {
        error = failed(result);
        return false;
    }
    int encoding = 0;
    if (int result = mpg123_getformat(handle, &rate, &channels, &encoding); result != MPG123_OK) {
        error = result == MPG123_DONE ? "cannot decode " + name + ": no audio data" : failed(result);
        return false;
    }
    // Hold the format: a stream that changes it midway is not one clip we can play.
    mpg123_format_none(handle);
    mpg123_format(handle, rate, channels, encoding);
    return true;
}

std::optional<double> Decoder::estimatedSeconds() const
{
    const off_t frames = mpg123_length(handle);
    if (frames < 0 || rate <= 0) {
        return std::nullopt;
    }
    return double(frames) / double(rate);
}

bool Decoder::read(std::vector<std::int16_t>& samples, std::size_t frames, bool& ended, std::string& error)
{
    const std::size_t frameSamples = static_cast<std::size_t>(channels);
    const std::size_t start = samples.size();
    samples.resize(start + frames * frameSamples);
    auto* bytes = reinterpret_cast<unsigned char*>(samples.data() + start);
    const std::size_t wanted = frames * frameSamples * sizeof(std::int16_t);
    std::size_t have = 0;
    ended = false;
    bool ok = true;
    while (have < wanted) {
        std::size_t done = 0;
        const int result = mpg123_read(handle, bytes + have, wanted - have, &done);
        have += done;
        if (result == MPG123_DONE) {
            ended = true;
            break;
        }
        if (result != MPG123_OK && result != MPG123_NEW_FORMAT) {
            error = failed(result);
            ok = false;
            break;
        }
    }
    samples.resize(start + have / (frameSamples * sizeof(std::int16_t)) * frameSamples);
    return ok;
}

bool Decoder::readUpTo(std::vector<std::int16_t>& samples, std::size_t frames, bool& ended, std::string& error)
{
    const std::size_t frameSamples = static_cast<std::size_t>(channels);
    const std::size_t start = samples.size();
    std::size_t piece = frames;
    if (const auto seconds = estimatedSeconds()) {
        // A little over the estimate, so an exact one ends in one read.
        piece = std::clamp<std::size_t>(framesOf(*seconds + kEstimateMarginSeconds, rate), 1, frames);
    }
    ended = false;
    while (!ended && (samples.size() - start) / frameSamples < frames) {
        const std::size_t have = (samples.size() - start) / frameSamples;
        if (!read(samples, std::min(piece, frames - have), ended, error)) {
            return false;
        }
    }
    return true;
}

bool Decoder::rewind(std::string& error)
{
    if (const off_t at = mpg123_seek(handle, 0, SEEK_SET); at < 0) {
        error = failed(static_cast<int>(at));
        return false;
    }
    return true;
}

} // namespace audio::detail
