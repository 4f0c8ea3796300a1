#include "Services/AudioPlayerService.h"

#include "platform/audio/AudioPlayer.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// One write, so lines of clips failing at the same time do not interleave.
void printError(const std::string& description)
{
    std::cout << ("Audio playback error: " + description + "\n") << std::flush;
}

} // namespace

struct AudioPlayerService::State {
    std::mutex lock;
    std::vector<std::shared_ptr<audio::AudioPlayer>> activePlayers; // guarded by lock
    // Bumped by stopAll() (guarded by lock). A work item carries the value of its play() call and
    // does not start once it has changed, so a clip queued before stopAll() cannot sound after it.
    std::uint64_t generation = 0;
    std::atomic<bool> volumeScaling{false};
    std::atomic<double> speedRatio{1.0};

    void stopAll()
    {
        std::vector<std::shared_ptr<audio::AudioPlayer>> players;
        {
            std::lock_guard guard(lock);
            players = activePlayers;
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
    // The queue's destructor waits for every work item. Left playing, a clip would hold the owner's
    // thread until its end, and nothing could stop it any more; so stop the clips, and let go of the
    // state so that items still waiting find the service gone.
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
            printError(created.error);
            return;
        }
        const std::shared_ptr<audio::AudioPlayer> player = std::move(created.player);
        if (!player->prepareToPlay()) {
            printError(player->failure()); // and go on: play() decides whether it sounds
        }
        if (self->volumeScaling.load()) {
            player->setVolume(static_cast<float>(amplitudeToVolume(amplitude)));
        }
        if (const double speed = self->speedRatio.load(); speed != 1.0 && speed > 0.0) {
            player->setRate(static_cast<float>(speed));
            player->setEnableRate(true);
        }
        {
            std::lock_guard guard(self->lock);
            if (self->generation != generation) {
                return;
            }
            self->activePlayers.push_back(player);
        }
        if (!player->play()) {
            printError(player->failure()); // it reports not playing, so it leaves the list below
        }
        {
            // stopAll() may have taken its copy and stopped the player between registration and
            // play(), which would have started it again.
            std::lock_guard guard(self->lock);
            if (self->generation != generation) {
                player->stop();
            }
        }
        while (player->isPlaying()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::lock_guard guard(self->lock);
        std::erase_if(self->activePlayers, [&](const auto& entry) { return entry.get() == player.get(); });
    });
}

void AudioPlayerService::stopAll() { state->stopAll(); }

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
    return state->activePlayers.size();
}
