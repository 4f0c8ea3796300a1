#include "platform/audio/AudioPlayer.h"

#include <AL/al.h>
#include <AL/alc.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mpg123.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace audio {

namespace {

// The one device and context of the process. Every AL call of every player runs under `mutex`:
// OpenAL's error state is per context, so unserialised calls could read each other's errors.
struct Output {
    std::mutex mutex;
    ALCdevice* device = nullptr;
    ALCcontext* context = nullptr;
    int players = 0;
    bool closed = false;
};

// Never destroyed: players may still be released by other threads while statics are torn down.
Output& output()
{
    static Output* shared = new Output;
    return *shared;
}

// Closes the device at exit when no player holds a source any more, so a capturing backend
// finishes its file; with players left, their sources stay valid to the end of the process.
void closeAtExit()
{
    Output& out = output();
    std::lock_guard guard(out.mutex);
    if (out.context == nullptr || out.players > 0) {
        return;
    }
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(out.context);
    alcCloseDevice(out.device);
    out.context = nullptr;
    out.device = nullptr;
    out.closed = true;
}

// Caller holds the mutex. Retries on every call until a device opens, so a sound card that
// appears later is used.
bool ensureOpen(Output& out, std::string& error)
{
    if (out.context != nullptr) {
        return true;
    }
    if (out.closed) {
        error = "the sound device is closed";
        return false;
    }
    ALCdevice* device = alcOpenDevice(nullptr);
    if (device == nullptr) {
        error = "cannot open the sound device";
        return false;
    }
    ALCcontext* context = alcCreateContext(device, nullptr);
    if (context == nullptr || alcMakeContextCurrent(context) != ALC_TRUE) {
        if (context != nullptr) {
            alcDestroyContext(context);
        }
        alcCloseDevice(device);
        error = "cannot create a sound context";
        return false;
    }
    // Clips play as they are, at the listener: no distance attenuation.
    alDistanceModel(AL_NONE);
    out.device = device;
    out.context = context;
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(closeAtExit); });
    return true;
}

std::string alErrorText(ALenum code)
{
    const ALchar* text = alGetString(code);
    return text != nullptr ? text : "error " + std::to_string(code);
}

struct Clip {
    std::vector<std::int16_t> samples; // interleaved
    long rate = 0;
    int channels = 0;
};

struct DecoderHandle {
    mpg123_handle* handle = nullptr;
    ~DecoderHandle()
    {
        if (handle != nullptr) {
            mpg123_close(handle);
            mpg123_delete(handle);
        }
    }
};

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

bool decode(const std::filesystem::path& file, Clip& clip, std::string& error)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { mpg123_init(); });

    const std::string name = file.string();
    FileDescriptor in{::open(name.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) {
        error = "cannot open " + name + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(in.fd, &info) != 0) {
        error = "cannot open " + name + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "cannot open " + name + ": " + std::strerror(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
        return false;
    }

    int code = MPG123_OK;
    DecoderHandle decoder{mpg123_new(nullptr, &code)};
    if (decoder.handle == nullptr) {
        error = "cannot decode " + name + ": " + mpg123_plain_strerror(code);
        return false;
    }
    mpg123_handle* mh = decoder.handle;
    // Warnings about junk in the stream would go to standard error; the result says enough.
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
    mpg123_format_none(mh);
    const long* rates = nullptr;
    std::size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (std::size_t i = 0; i < rateCount; ++i) {
        mpg123_format(mh, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    }

    auto failed = [&](int result) {
        error = "cannot decode " + name + ": " +
                (result == MPG123_ERR ? std::string(mpg123_strerror(mh)) : mpg123_plain_strerror(result));
        return false;
    };
    if (int result = mpg123_open_fd(mh, in.fd); result != MPG123_OK) {
        return failed(result);
    }
    int channels = 0;
    int encoding = 0;
    if (int result = mpg123_getformat(mh, &clip.rate, &channels, &encoding); result != MPG123_OK) {
        if (result == MPG123_DONE) {
            error = "cannot decode " + name + ": no audio data";
            return false;
        }
        return failed(result);
    }
    // Hold the format: a stream that changes it midway is not one clip we can play.
    mpg123_format_none(mh);
    mpg123_format(mh, clip.rate, channels, encoding);
    clip.channels = channels;

    std::vector<unsigned char> chunk(64 * 1024);
    std::vector<unsigned char> bytes;
    for (;;) {
        std::size_t done = 0;
        const int result = mpg123_read(mh, chunk.data(), chunk.size(), &done);
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(done));
        if (result == MPG123_DONE) {
            break;
        }
        if (result != MPG123_OK && result != MPG123_NEW_FORMAT) {
            return failed(result);
        }
    }
    const std::size_t frameBytes = sizeof(std::int16_t) * static_cast<std::size_t>(channels);
    const std::size_t frames = bytes.size() / frameBytes;
    if (frames == 0) {
        error = "cannot decode " + name + ": no audio data";
        return false;
    }
    if (frames * frameBytes > static_cast<std::size_t>(INT_MAX)) {
        error = "cannot play " + name + ": the clip is too long";
        return false;
    }
    clip.samples.resize(frames * static_cast<std::size_t>(channels));
    std::memcpy(clip.samples.data(), bytes.data(), frames * frameBytes);
    return true;
}

} // namespace

CreateResult AudioPlayer::create(const std::filesystem::path& file)
{
    CreateResult result;
    Clip clip;
    if (!decode(file, clip, result.error)) {
        return result;
    }

    // Made before the lock is taken: a player given up below is released after the lock is let go.
    std::shared_ptr<AudioPlayer> player(new AudioPlayer);
    Output& out = output();
    std::lock_guard guard(out.mutex);
    if (!ensureOpen(out, result.error)) {
        return result;
    }
    alGetError();
    alGenBuffers(1, &player->buffer);
    if (ALenum code = alGetError(); code != AL_NO_ERROR) {
        player->buffer = 0;
        result.error = "cannot load " + file.string() + ": " + alErrorText(code);
        return result;
    }
    ++out.players; // from here on the destructor releases what exists
    alBufferData(player->buffer, clip.channels == 1 ? AL_FORMAT_MONO16 : AL_FORMAT_STEREO16, clip.samples.data(),
                 static_cast<ALsizei>(clip.samples.size() * sizeof(std::int16_t)), static_cast<ALsizei>(clip.rate));
    if (ALenum code = alGetError(); code != AL_NO_ERROR) {
        result.error = "cannot load " + file.string() + ": " + alErrorText(code);
        return result;
    }
    alGenSources(1, &player->source);
    if (ALenum code = alGetError(); code != AL_NO_ERROR) {
        player->source = 0;
        result.error = "cannot play " + file.string() + ": " + alErrorText(code);
        return result;
    }
    alSourcei(player->source, AL_SOURCE_RELATIVE, AL_TRUE);
    alSource3f(player->source, AL_POSITION, 0.0f, 0.0f, 0.0f);
    alSourcei(player->source, AL_BUFFER, static_cast<ALint>(player->buffer));
    if (ALenum code = alGetError(); code != AL_NO_ERROR) {
        result.error = "cannot play " + file.string() + ": " + alErrorText(code);
        return result;
    }
    result.player = std::move(player);
    return result;
}

AudioPlayer::~AudioPlayer()
{
    if (buffer == 0) {
        return;
    }
    Output& out = output();
    std::lock_guard guard(out.mutex);
    --out.players;
    if (out.context == nullptr) {
        return; // the device is gone, and its sources with it
    }
    if (source != 0) {
        alSourceStop(source);
        alSourcei(source, AL_BUFFER, 0);
        alDeleteSources(1, &source);
    }
    alDeleteBuffers(1, &buffer);
    alGetError();
}

bool AudioPlayer::prepareToPlay()
{
    Output& out = output();
    std::lock_guard guard(out.mutex);
    return out.context != nullptr;
}

void AudioPlayer::setVolume(float volume)
{
    if (std::isnan(volume)) {
        return;
    }
    Output& out = output();
    std::lock_guard guard(out.mutex);
    if (out.context != nullptr) {
        alSourcef(source, AL_GAIN, std::clamp(volume, 0.0f, 1.0f));
    }
}

void AudioPlayer::setRate(float factor)
{
    if (!(factor > 0.0f) || !std::isfinite(factor)) {
        return;
    }
    Output& out = output();
    std::lock_guard guard(out.mutex);
    rate = factor;
    applyPitch();
}

void AudioPlayer::setEnableRate(bool enable)
{
    Output& out = output();
    std::lock_guard guard(out.mutex);
    rateEnabled = enable;
    applyPitch();
}

// Caller holds the output mutex.
void AudioPlayer::applyPitch()
{
    if (output().context != nullptr) {
        alSourcef(source, AL_PITCH, rateEnabled ? rate : 1.0f);
    }
}

bool AudioPlayer::play()
{
    Output& out = output();
    std::lock_guard guard(out.mutex);
    if (out.context == nullptr) {
        return false;
    }
    alGetError();
    alSourcePlay(source);
    return alGetError() == AL_NO_ERROR;
}

bool AudioPlayer::isPlaying() const
{
    Output& out = output();
    std::lock_guard guard(out.mutex);
    if (out.context == nullptr) {
        return false;
    }
    ALint state = AL_STOPPED;
    alGetSourcei(source, AL_SOURCE_STATE, &state);
    return state == AL_PLAYING;
}

void AudioPlayer::stop()
{
    Output& out = output();
    std::lock_guard guard(out.mutex);
    if (out.context != nullptr) {
        alSourceStop(source);
    }
}

} // namespace audio
