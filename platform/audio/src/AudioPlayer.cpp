#include "platform/audio/AudioPlayer.h"

#include "Mp3Decoder.h"

#define AL_ALEXT_PROTOTYPES
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <mpg123.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace audio {

namespace {

using detail::Decoder;
using detail::framesOf;

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Clips longer than this are streamed rather than decoded whole.
constexpr double kStreamAboveSeconds = 5.0;
// A stream keeps this many buffers of kChunkSeconds queued: a second ahead of the mixer.
constexpr int kStreamBuffers = 4;
constexpr double kChunkSeconds = 0.25;
constexpr auto kRefillInterval = 100ms;
// The mixer costs as much mixing silence as sound, so the device is paused once the last clip has
// been mixed to its end and has left the device (its reported latency, plus a margin for the
// update in flight); but a resumed device takes one more update to start, so while clips come in
// quick succession (slapping) it is kept running a little longer, and only the first clip of a
// run pays for that. Streaming clips, whose end is not known ahead, are looked at this often.
constexpr auto kIdleCheckInterval = 50ms;
constexpr auto kDrainMargin = 10ms;
constexpr auto kShortestCheck = 5ms;
constexpr auto kPauseAfterIdleInRun = 1s;
constexpr auto kRunGap = 1s; // clips started closer than this make a run
// Decoded clips kept for later plays (in OpenAL's buffers), least recently used dropped first.
constexpr std::size_t kCacheBytes = 8u << 20;

// The one device and context of the process. Every AL call of every player runs under `mutex`:
// OpenAL's error state is per context, so unserialised calls could read each other's errors.
// Lock order: a stream's mutex, or the cache's, before this one.
struct Output {
    std::mutex mutex;
    ALCdevice* device = nullptr;
    ALCcontext* context = nullptr;
    int players = 0;
    bool closed = false;
    bool canPause = false;
    bool paused = false;
    SteadyClock::time_point lastPlay{}; // the last two play() calls
    SteadyClock::time_point previousPlay{};
    std::vector<ALuint> sources;                               // of every player
    std::vector<std::shared_ptr<AudioPlayer::Stream>> streams; // of every streaming player
    // The worker refills streams and pauses the device when nothing has played for a while.
    std::thread worker;
    std::condition_variable wake;
    bool kick = false;
    bool stopping = false;
};

// Never destroyed: players may still be released by other threads while statics are torn down.
Output& output()
{
    static Output* shared = new Output;
    return *shared;
}

void workerLoop();

// Stops the worker, then closes the device when no player holds a source any more, so a
// capturing backend finishes its file; with players left, their sources stay valid to the end
// of the process.
void closeAtExit()
{
    Output& out = output();
    {
        std::lock_guard guard(out.mutex);
        out.stopping = true;
    }
    out.wake.notify_all();
    if (out.worker.joinable()) {
        out.worker.join();
    }
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
    // The update size comes from the configuration prepareOutput() gave at start-up.
    ALCdevice* device = alcOpenDevice(nullptr);
    if (device == nullptr) {
        error = "cannot open the sound device";
        return false;
    }
    // OpenAL Soft's output limiter runs a log and an exp per sample for every update the device
    // mixes, sound or silence, and is most of the mixer's cost; it only acts where overlapping
    // clips sum past full scale, which the sound server's own mixing then clips as any player's would.
    const ALCint attributes[] = {ALC_OUTPUT_LIMITER_SOFT, ALC_FALSE, 0};
    ALCcontext* context = alcCreateContext(device, attributes);
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
    // OpenAL Soft's wave writer resumes writing over its file's header instead of at its end,
    // and a file costs nothing to keep writing: it is never paused. OpenAL Soft 1.19 names every
    // opened device "OpenAL Soft"; the default device (the one opened) carries its backend's name.
    const ALCchar* opened = alcGetString(nullptr, ALC_DEFAULT_ALL_DEVICES_SPECIFIER);
    out.canPause = alcIsExtensionPresent(device, "ALC_SOFT_pause_device") == ALC_TRUE &&
                   !(opened != nullptr && std::strcmp(opened, "Wave File Writer") == 0);
    if (!out.worker.joinable() && !out.stopping) {
        out.worker = std::thread(workerLoop);
    }
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(closeAtExit); });
    return true;
}

// Caller holds the mutex: the device runs again before a source starts.
void resume(Output& out)
{
    if (out.paused) {
        alcDeviceResumeSOFT(out.device);
        out.paused = false;
    }
    out.kick = true;
    out.wake.notify_all();
}

std::string alErrorText(ALenum code)
{
    const ALchar* text = alGetString(code);
    return text != nullptr ? text : "error " + std::to_string(code);
}

} // namespace

// ---- decoded clips and their cache ----

/// A whole decoded clip in an OpenAL buffer; deleted when the cache and the last player let go.
struct AudioPlayer::Sound {
    ALuint buffer = 0;
    std::size_t bytes = 0;
    ~Sound()
    {
        Output& out = output();
        std::lock_guard guard(out.mutex);
        if (out.context != nullptr && buffer != 0) {
            alDeleteBuffers(1, &buffer);
            alGetError();
        }
    }
};

namespace {

struct FileKey {
    std::string path;
    off_t size = 0;
    std::int64_t modified = 0; // ns

    bool operator==(const FileKey&) const = default;
};

class SoundCache {
public:
    std::shared_ptr<AudioPlayer::Sound> find(const FileKey& key)
    {
        std::lock_guard guard(mutex);
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->key == key) {
                entries.splice(entries.begin(), entries, it);
                return it->sound;
            }
        }
        return nullptr;
    }

    void insert(const FileKey& key, std::shared_ptr<AudioPlayer::Sound> sound)
    {
        std::list<Entry> dropped; // released after the lock: a sound's release takes the output's lock
        {
            std::lock_guard guard(mutex);
            for (auto it = entries.begin(); it != entries.end();) {
                if (it->key.path == key.path) { // an older version of the file
                    bytes -= it->sound->bytes;
                    auto next = std::next(it);
                    dropped.splice(dropped.end(), entries, it);
                    it = next;
                } else {
                    ++it;
                }
            }
            bytes += sound->bytes;
            entries.push_front({key, std::move(sound)});
            while (bytes > kCacheBytes && entries.size() > 1) {
                bytes -= entries.back().sound->bytes;
                dropped.splice(dropped.end(), entries, std::prev(entries.end()));
            }
        }
    }

private:
    struct Entry {
        FileKey key;
        std::shared_ptr<AudioPlayer::Sound> sound;
    };
    std::mutex mutex;
    std::list<Entry> entries; // most recently used first
    std::size_t bytes = 0;
};

SoundCache& cache()
{
    static SoundCache* shared = new SoundCache;
    return *shared;
}

} // namespace

// ---- streams ----

/// A clip decoded a chunk at a time into buffers queued on the player's source. The worker
/// keeps the queue full; play() starts it over. Lock `mutex` before the output's.
struct AudioPlayer::Stream {
    std::mutex mutex;
    std::unique_ptr<Decoder> decoder;
    std::array<ALuint, kStreamBuffers> buffers{};
    std::vector<ALuint> free; // buffers not queued
    std::vector<std::int16_t> scratch;
    bool decoderEnded = false;
    // Guarded by the output's mutex:
    ALuint source = 0;   // 0 once the player is gone
    bool wanted = false; // play() called and no stop() since
    bool fedAll = false; // the whole clip has been queued
};

namespace {

using Stream = AudioPlayer::Stream;

// Caller holds the stream's mutex, not the output's. Decodes into every free buffer and queues
// it; restarts a source that ran dry while it should play. False once the player is gone.
bool feed(Stream& s)
{
    Output& out = output();
    {
        std::lock_guard guard(out.mutex);
        if (s.source == 0 || out.context == nullptr) {
            return false;
        }
        ALint processed = 0;
        alGetSourcei(s.source, AL_BUFFERS_PROCESSED, &processed);
        for (; processed > 0; --processed) {
            ALuint done = 0;
            alSourceUnqueueBuffers(s.source, 1, &done);
            s.free.push_back(done);
        }
        alGetError();
    }
    while (!s.free.empty() && !s.decoderEnded) {
        s.scratch.clear();
        std::string error;
        bool ended = false;
        const bool ok = s.decoder->read(s.scratch, framesOf(kChunkSeconds, s.decoder->rate), ended, error);
        s.decoderEnded = ended || !ok; // a fault midway ends the clip there
        if (s.scratch.empty()) {
            break;
        }
        std::lock_guard guard(out.mutex);
        if (s.source == 0 || out.context == nullptr) {
            return false;
        }
        const ALuint buffer = s.free.back();
        alBufferData(buffer, s.decoder->format(), s.scratch.data(),
                     static_cast<ALsizei>(s.scratch.size() * sizeof(std::int16_t)),
                     static_cast<ALsizei>(s.decoder->rate));
        alSourceQueueBuffers(s.source, 1, &buffer);
        if (alGetError() == AL_NO_ERROR) {
            s.free.pop_back();
        }
    }
    std::lock_guard guard(out.mutex);
    if (s.source == 0 || out.context == nullptr) {
        return false;
    }
    if (s.wanted) {
        ALint state = AL_STOPPED;
        ALint queued = 0;
        alGetSourcei(s.source, AL_SOURCE_STATE, &state);
        alGetSourcei(s.source, AL_BUFFERS_QUEUED, &queued);
        if (state != AL_PLAYING && queued > 0) {
            resume(out);
            alSourcePlay(s.source); // it ran dry; the rest has been queued since
        }
        alGetError();
    }
    s.fedAll = s.decoderEnded;
    return true;
}

// Caller holds the output's mutex. How long until every playing clip has been mixed to its end:
// zero when none plays; for a streaming clip, only how long until it is looked at again.
SteadyClock::duration untilMixedToEnd(const Output& out)
{
    using Seconds = std::chrono::duration<double>;
    SteadyClock::duration longest{};
    for (const ALuint source : out.sources) {
        ALint state = AL_STOPPED;
        alGetSourcei(source, AL_SOURCE_STATE, &state);
        if (state != AL_PLAYING) {
            continue;
        }
        ALint type = AL_UNDETERMINED;
        ALint buffer = 0;
        ALint offset = 0;
        ALint bytes = 0;
        ALint channels = 0;
        ALint bits = 0;
        ALint rate = 0;
        ALfloat pitch = 1.0f;
        alGetSourcei(source, AL_SOURCE_TYPE, &type);
        alGetSourcei(source, AL_BUFFER, &buffer);
        alGetSourcei(source, AL_SAMPLE_OFFSET, &offset);
        alGetSourcef(source, AL_PITCH, &pitch);
        alGetBufferi(static_cast<ALuint>(buffer), AL_SIZE, &bytes);
        alGetBufferi(static_cast<ALuint>(buffer), AL_CHANNELS, &channels);
        alGetBufferi(static_cast<ALuint>(buffer), AL_BITS, &bits);
        alGetBufferi(static_cast<ALuint>(buffer), AL_FREQUENCY, &rate);
        SteadyClock::duration left = kIdleCheckInterval;
        if (type == AL_STATIC && channels > 0 && bits >= 8 && rate > 0 && pitch > 0.0f) {
            const double frames = double(bytes) / (channels * (bits / 8));
            left = std::chrono::duration_cast<SteadyClock::duration>(
                Seconds(std::max(0.0, frames - offset) / (double(rate) * pitch)));
        }
        longest = std::max(longest, std::max(left, SteadyClock::duration(kShortestCheck)));
    }
    alGetError();
    for (const auto& stream : out.streams) {
        if (stream->wanted && !stream->fedAll) {
            longest = std::max(longest, SteadyClock::duration(kIdleCheckInterval));
        }
    }
    return longest;
}

// Caller holds the output's mutex. How long the device holds what it has mixed before it is heard.
SteadyClock::duration deviceLatency(const Output& out)
{
    ALCint64SOFT latency = 0;
    if (alcIsExtensionPresent(out.device, "ALC_SOFT_device_clock") == ALC_TRUE) {
        alcGetInteger64vSOFT(out.device, ALC_DEVICE_LATENCY_SOFT, 1, &latency);
    }
    return std::chrono::nanoseconds(std::max<ALCint64SOFT>(latency, 0));
}

void workerLoop()
{
    Output& out = output();
    std::unique_lock lock(out.mutex);
    bool idle = false; // since idleSince
    SteadyClock::time_point idleSince;
    while (!out.stopping) {
        std::vector<std::shared_ptr<Stream>> streams;
        for (const auto& stream : out.streams) {
            if (stream->wanted && !stream->fedAll) {
                streams.push_back(stream);
            }
        }
        if (!streams.empty()) {
            lock.unlock();
            for (const auto& stream : streams) {
                std::lock_guard streamGuard(stream->mutex);
                feed(*stream);
            }
            streams.clear();
            lock.lock();
        }
        // Without a pause to make, the worker sleeps until a clip starts or stops, or a stream needs more.
        std::optional<SteadyClock::duration> sleep;
        if (out.context != nullptr && !out.paused && out.canPause) {
            const SteadyClock::time_point now = SteadyClock::now();
            if (const SteadyClock::duration left = untilMixedToEnd(out); left > SteadyClock::duration::zero()) {
                idle = false;
                sleep = left;
            } else {
                if (!idle) {
                    idle = true;
                    idleSince = now;
                }
                const SteadyClock::duration hold = out.lastPlay - out.previousPlay < kRunGap
                                                       ? SteadyClock::duration(kPauseAfterIdleInRun)
                                                       : deviceLatency(out) + kDrainMargin;
                if (now - idleSince >= hold) {
                    alcDevicePauseSOFT(out.device);
                    out.paused = true;
                    idle = false;
                } else {
                    sleep = hold - (now - idleSince);
                }
            }
        }
        const bool feeding =
            std::any_of(out.streams.begin(), out.streams.end(), [](const auto& s) { return s->wanted && !s->fedAll; });
        if (feeding) {
            sleep = std::min(sleep.value_or(kRefillInterval), SteadyClock::duration(kRefillInterval));
        }
        if (sleep) {
            out.wake.wait_for(lock, *sleep, [&] { return out.stopping || out.kick; });
        } else {
            out.wake.wait(lock, [&] { return out.stopping || out.kick; });
        }
        out.kick = false;
    }
}

} // namespace

CreateResult AudioPlayer::create(const std::filesystem::path& file)
{
    CreateResult result;
    const std::string name = file.string();

    struct stat info {};
    if (::stat(name.c_str(), &info) != 0) {
        result.error = "cannot open " + name + ": " + std::strerror(errno);
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.error = "cannot open " + name + ": " + std::strerror(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
        return result;
    }
    const FileKey key{name, info.st_size,
                      std::int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + std::int64_t(info.st_mtim.tv_nsec)};

    // Made before the lock is taken: a player given up below is released after the lock is let go.
    std::shared_ptr<AudioPlayer> player(new AudioPlayer);
    player->name = name;
    std::shared_ptr<Sound> sound = cache().find(key);
    std::shared_ptr<Stream> stream;
    std::vector<std::int16_t> samples;
    auto decoderOwner = std::make_unique<Decoder>();
    Decoder& decoder = *decoderOwner;
    if (!sound) {
        if (!decoder.open(name, result.error)) {
            return result;
        }
        // Decode whole what is (or turns out, when the estimate is missing or wrong) short.
        const std::size_t limit = framesOf(kStreamAboveSeconds, decoder.rate);
        bool streaming = decoder.estimatedSeconds().value_or(0.0) > kStreamAboveSeconds;
        bool ended = false;
        if (!streaming) {
            if (!decoder.readUpTo(samples, limit + 1, ended, result.error)) {
                return result;
            }
            if (!ended && samples.size() / static_cast<std::size_t>(decoder.channels) > limit) {
                streaming = true;
                samples.clear();
                if (!decoder.rewind(result.error)) {
                    return result;
                }
            }
        }
        if (streaming) {
            stream = std::make_shared<Stream>();
            // The beginning is read now: it tells a clip from a file without sound, and the
            // source starts on it while the worker decodes the rest.
            if (!decoder.read(stream->scratch, framesOf(kChunkSeconds, decoder.rate), ended, result.error)) {
                return result;
            }
            stream->decoderEnded = ended;
            samples.swap(stream->scratch);
        }
        if (samples.empty()) {
            result.error = "cannot decode " + name + ": no audio data";
            return result;
        }
    }

    Output& out = output();
    std::unique_lock lock(out.mutex);
    if (!ensureOpen(out, result.error)) {
        return result;
    }
    alGetError();
    if (!sound && !stream) {
        auto fresh = std::make_shared<Sound>();
        alGenBuffers(1, &fresh->buffer);
        if (ALenum code = alGetError(); code != AL_NO_ERROR) {
            fresh->buffer = 0;
            result.error = "cannot load " + name + ": " + alErrorText(code);
            lock.unlock(); // the sound's release takes the lock
            return result;
        }
        fresh->bytes = samples.size() * sizeof(std::int16_t);
        alBufferData(fresh->buffer, decoder.format(), samples.data(), static_cast<ALsizei>(fresh->bytes),
                     static_cast<ALsizei>(decoder.rate));
        if (ALenum code = alGetError(); code != AL_NO_ERROR) {
            result.error = "cannot load " + name + ": " + alErrorText(code);
            lock.unlock();
            return result;
        }
        sound = std::move(fresh);
        lock.unlock();
        cache().insert(key, sound);
        samples = {};
        lock.lock();
        if (!ensureOpen(out, result.error)) {
            lock.unlock();
            return result;
        }
    }
    if (stream) {
        stream->decoder = std::move(decoderOwner);
        alGenBuffers(kStreamBuffers, stream->buffers.data());
        if (ALenum code = alGetError(); code != AL_NO_ERROR) {
            stream->buffers.fill(0);
            result.error = "cannot load " + name + ": " + alErrorText(code);
            return result;
        }
    }
    ++out.players; // from here on the destructor releases what exists
    player->sound = sound;
    player->stream = stream;
    alGenSources(1, &player->source);
    if (ALenum code = alGetError(); code != AL_NO_ERROR) {
        player->source = 0;
        result.error = "cannot play " + name + ": " + alErrorText(code);
        lock.unlock();
        return result;
    }
    out.sources.push_back(player->source);
    alSourcei(player->source, AL_SOURCE_RELATIVE, AL_TRUE);
    alSource3f(player->source, AL_POSITION, 0.0f, 0.0f, 0.0f);
    if (sound) {
        alSourcei(player->source, AL_BUFFER, static_cast<ALint>(sound->buffer));
    } else {
        stream->source = player->source;
        stream->free.assign(stream->buffers.begin(), stream->buffers.end() - 1);
        const ALuint first = stream->buffers.back();
        alBufferData(first, decoder.format(), samples.data(),
                     static_cast<ALsizei>(samples.size() * sizeof(std::int16_t)), static_cast<ALsizei>(decoder.rate));
        alSourceQueueBuffers(player->source, 1, &first);
        stream->fedAll = stream->decoderEnded;
        out.streams.push_back(stream);
    }
    if (ALenum code = alGetError(); code != AL_NO_ERROR) {
        result.error = "cannot play " + name + ": " + alErrorText(code);
        lock.unlock();
        return result;
    }
    lock.unlock();
    result.player = std::move(player);
    return result;
}

AudioPlayer::~AudioPlayer()
{
    Output& out = output();
    std::unique_lock<std::mutex> streamGuard;
    if (stream) {
        streamGuard = std::unique_lock(stream->mutex); // waits for the worker to be done with it
    }
    {
        std::lock_guard guard(out.mutex);
        if (sound || stream) {
            --out.players;
        }
        if (stream) {
            stream->source = 0;
            std::erase(out.streams, stream);
        }
        std::erase(out.sources, source);
        if (out.context != nullptr) { // without it, the device is gone and its sources with it
            if (source != 0) {
                alSourceStop(source);
                alSourcei(source, AL_BUFFER, 0);
                alDeleteSources(1, &source);
            }
            if (stream) {
                for (ALuint buffer : stream->buffers) {
                    if (buffer != 0) {
                        alDeleteBuffers(1, &buffer);
                    }
                }
            }
            alGetError();
        }
        out.kick = true; // the worker may be waiting for this clip's end
        out.wake.notify_all();
    }
    // The sound is let go here, after the lock: the last holder deletes its buffer under it.
}

bool AudioPlayer::prepareToPlay()
{
    Output& out = output();
    std::lock_guard guard(out.mutex);
    if (out.context == nullptr) {
        lastFailure = "cannot play " + name + ": the sound device is closed";
        return false;
    }
    return true;
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
    if (stream && !fresh) {
        // Start over: drop the queue and decode the beginning again.
        std::lock_guard streamGuard(stream->mutex);
        {
            std::lock_guard guard(out.mutex);
            if (out.context == nullptr) {
                lastFailure = "cannot play " + name + ": the sound device is closed";
                return false;
            }
            stream->wanted = false;
            stream->fedAll = false;
            alSourceStop(source);
            alSourcei(source, AL_BUFFER, 0);
            alGetError();
            stream->free.assign(stream->buffers.begin(), stream->buffers.end());
        }
        std::string error;
        if (!stream->decoder->rewind(error)) {
            lastFailure = "cannot play " + name + ": " + error.substr(error.find(": ") + 2);
            return false;
        }
        stream->decoderEnded = false;
        feed(*stream);
    }
    fresh = false;
    std::lock_guard guard(out.mutex);
    if (out.context == nullptr) {
        lastFailure = "cannot play " + name + ": the sound device is closed";
        return false;
    }
    ALCint connected = ALC_TRUE;
    alcGetIntegerv(out.device, ALC_CONNECTED, 1, &connected);
    if (connected != ALC_TRUE) {
        lastFailure = "cannot play " + name + ": the sound device is disconnected";
        return false;
    }
    resume(out);
    out.previousPlay = std::exchange(out.lastPlay, SteadyClock::now());
    alGetError();
    alSourcePlay(source);
    if (ALenum code = alGetError(); code != AL_NO_ERROR) {
        lastFailure = "cannot play " + name + ": " + alErrorText(code);
        return false;
    }
    if (stream) {
        stream->wanted = true;
    }
    return true;
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
    // A stream that ran dry plays on once the worker has queued more.
    return state == AL_PLAYING || (stream && stream->wanted && !stream->fedAll);
}

void AudioPlayer::stop()
{
    Output& out = output();
    std::lock_guard guard(out.mutex);
    if (stream) {
        stream->wanted = false;
    }
    if (out.context != nullptr) {
        alSourceStop(source);
    }
    // The worker may be waiting for this clip's end to pause the device.
    out.kick = true;
    out.wake.notify_all();
}

std::string AudioPlayer::failure() const { return lastFailure; }

} // namespace audio
