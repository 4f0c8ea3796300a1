#include "Services/AudioPlayerService.h"

#include "platform/audio/AudioPlayer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

using PlayerList = std::vector<std::shared_ptr<audio::AudioPlayer>>;

struct AudioPlayerService::State {
    struct Entry {
        std::shared_ptr<audio::AudioPlayer> player;
        bool started = false; // its play() has returned true
    };
    mutable std::mutex lock;
    std::deque<Entry> activePlayers; // guarded by lock; oldest first
    // Bumped by stopAll() (guarded by lock). A work item carries the value of its play() call and
    // does not start once it has changed, so a clip queued before stopAll() cannot sound after it.
    std::uint64_t generation = 0;
    std::shared_ptr<const OutcomeHandler> outcome; // guarded by lock
    std::atomic<bool> volumeScaling{false};
    std::atomic<double> speedRatio{1.0};

    void report(const std::optional<std::string>& failure)
    {
        std::shared_ptr<const OutcomeHandler> handler;
        {
            std::lock_guard guard(lock);
            handler = outcome;
        }
        if (handler && *handler) {
            (*handler)(failure);
        } else if (failure) {
            // One write, so lines of clips failing at the same time do not interleave.
            const std::string line = "Audio playback error: " + *failure + "\n";
            std::fputs(line.c_str(), stderr);
        }
    }

    /// Caller holds the lock. Moves into `released` the players that have ended, then as many of
    /// the oldest as make room for one more (one not started yet is stopped by its own work item).
    void makeRoom(PlayerList& released)
    {
        std::erase_if(activePlayers, [&](const Entry& entry) {
            if (!entry.started || entry.player->isPlaying()) {
                return false;
            }
            released.push_back(entry.player);
            return true;
        });
        while (activePlayers.size() >= maxClips) {
            released.push_back(std::move(activePlayers.front().player));
            activePlayers.pop_front();
        }
    }

    /// Caller holds the lock.
    std::deque<Entry>::iterator find(const std::shared_ptr<audio::AudioPlayer>& player)
    {
        return std::find_if(activePlayers.begin(), activePlayers.end(),
                            [&](const Entry& entry) { return entry.player == player; });
    }

    void stopAll()
    {
        PlayerList players;
        {
            std::lock_guard guard(lock);
            for (const Entry& entry : activePlayers) {
                players.push_back(entry.player);
            }
            ++generation;
        }
        for (const auto& player : players) {
            player->stop();
        }
        std::lock_guard guard(lock);
        activePlayers.clear();
    }
};

AudioPlayerService::AudioPlayerService()
    : state(std::make_shared<State>())
    , queue("audio.player", foundation::DispatchQueue::Kind::Concurrent)
{
}

AudioPlayerService::~AudioPlayerService()
{
    // Let go of the state so that items still waiting find the service gone, and silence what plays:
    // nothing could stop it any more.
    state->stopAll();
    state.reset();
}

void AudioPlayerService::play(const std::filesystem::path& fileURL, double amplitude)
{
    std::uint64_t generation;
    {
        std::lock_guard guard(state->lock);
        generation = state->generation;
    }
    queue.async([weak = std::weak_ptr<State>(state), fileURL, amplitude, generation] {
        const std::shared_ptr<State> self = weak.lock();
        if (!self) {
            return;
        }
        auto created = audio::AudioPlayer::create(fileURL);
        if (!created.player) {
            self->report(created.error);
            return;
        }
        const std::shared_ptr<audio::AudioPlayer> player = std::move(created.player);
        player->prepareToPlay(); // play() below says whether it sounds
        if (self->volumeScaling.load()) {
            player->setVolume(static_cast<float>(amplitudeToVolume(amplitude)));
        }
        if (const double speed = self->speedRatio.load(); speed != 1.0 && speed > 0.0) {
            player->setRate(static_cast<float>(speed));
            player->setEnableRate(true);
        }
        PlayerList released; // stopped and let go outside the lock
        {
            std::lock_guard guard(self->lock);
            if (self->generation != generation) {
                return;
            }
            self->makeRoom(released);
            self->activePlayers.push_back({player});
        }
        for (const auto& old : released) {
            old->stop();
        }
        released.clear();
        const bool started = player->play();
        {
            // stopAll() or a later clip's need for room may have stopped the player between
            // registration and play(), which would have started it again.
            std::lock_guard guard(self->lock);
            const auto entry = self->find(player);
            if (self->generation != generation || entry == self->activePlayers.end()) {
                player->stop();
            } else if (started) {
                entry->started = true;
            } else {
                self->activePlayers.erase(entry);
            }
        }
        self->report(started ? std::nullopt : std::optional<std::string>(player->failure()));
    });
}

void AudioPlayerService::stopAll() { state->stopAll(); }

void AudioPlayerService::setOutcomeHandler(OutcomeHandler handler)
{
    auto shared = std::make_shared<const OutcomeHandler>(std::move(handler));
    std::lock_guard guard(state->lock);
    state->outcome = std::move(shared);
}

double AudioPlayerService::amplitudeToVolume(double amplitude)
{
    if (amplitude <= 0.05) {
        return 0.125;
    }
    if (amplitude >= 0.8) {
        return 1.0;
    }
    return 0.125 + 0.875 * std::log(1.0 + 99.0 * (amplitude - 0.05) / 0.75) / std::log(100.0);
}

void AudioPlayerService::setVolumeScaling(bool on) { state->volumeScaling.store(on); }

bool AudioPlayerService::volumeScaling() const { return state->volumeScaling.load(); }

void AudioPlayerService::setSpeedRatio(double ratio) { state->speedRatio.store(ratio); }

double AudioPlayerService::speedRatio() const { return state->speedRatio.load(); }

std::size_t AudioPlayerService::activePlayerCount() const
{
    std::lock_guard guard(state->lock);
    std::size_t playing = 0;
    for (const auto& entry : state->activePlayers) {
        playing += entry.player->isPlaying() ? 1 : 0;
    }
    return playing;
}
