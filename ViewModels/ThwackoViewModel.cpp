#include "ViewModels/ThwackoViewModel.h"
#include "ViewModels/PublishedWrites.h"

#include "Services/Analytics.h"
#include "platform/foundation/MainQueue.h"

#include <QLoggingCategory>

#include <algorithm>
#include <stdexcept>

Q_LOGGING_CATEGORY(lcSlaps, "thwacko.slaps", QtInfoMsg)
// What the status card shows, for a user in a terminal.
Q_LOGGING_CATEGORY(lcStatus, "thwacko.status", QtInfoMsg)
Q_LOGGING_CATEGORY(lcAudio, "thwacko.audio", QtInfoMsg)

namespace {

const std::string kAudioErrorPrefix = "Audio playback error: ";
const std::string kSelectFolderFirst = "Select a custom audio directory first";

/// What a custom folder that cannot be read is said with, before the reason.
std::string cannotReadPrefix(const std::filesystem::path& folder) { return "Cannot read " + folder.string() + ": "; }

std::string noClipsMessage(SoundPackType mode)
{
    return "No audio files found for " + std::string(label(mode)) + " mode";
}

/// The dependency `name`, which the view model cannot do without.
template <typename T> T required(T given, const char* name)
{
    if (!given) {
        throw std::invalid_argument(std::string("ThwackoViewModel needs its dependency ") + name);
    }
    return given;
}

struct LiveViewModel {
    std::uint64_t serial;
    ThwackoViewModel* viewModel;
};

// The view models alive now (one in the application). Main thread only.
std::vector<LiveViewModel>& liveViewModels()
{
    static std::vector<LiveViewModel> live;
    return live;
}

std::uint64_t lastSerial = 0;

} // namespace

ThwackoViewModel* ThwackoViewModel::alive(std::uint64_t serial)
{
    for (const LiveViewModel& live : liveViewModels()) {
        if (live.serial == serial) {
            return live.viewModel;
        }
    }
    return nullptr;
}

ThwackoViewModel::ThwackoViewModel(Dependencies deps, QObject* parent)
    : QObject(parent)
    , serial(++lastSerial)
    , clock(*required(deps.clock, "clock"))
    , userDefaults(*required(deps.userDefaults, "userDefaults"))
    , bundle(*required(deps.bundle, "bundle"))
    , notificationCenter(*required(deps.notificationCenter, "notificationCenter"))
    , folderChooser(required(std::move(deps.folderChooser), "folderChooser"))
    , accelerometer_(required(std::move(deps.accelerometer), "accelerometer"))
    , usbVolumeMonitor(required(std::move(deps.usbVolumeMonitor), "usbVolumeMonitor"))
    , powerSourceMonitor(required(std::move(deps.powerSourceMonitor), "powerSourceMonitor"))
    , lidClamshellMonitor(required(std::move(deps.lidClamshellMonitor), "lidClamshellMonitor"))
    , audioPlayer(required(std::move(deps.audioPlayer), "audioPlayer"))
    , detector(std::make_unique<VibrationDetector>())
{
    // The sensor delivers about 125 samples a second; the buffer never holds more than 400, and
    // keeping the capacity means the sample path never allocates.
    sampleBuffer.reserve(2 * maxSampleBatch + 1);
    batch.reserve(2 * maxSampleBatch + 1);

    // Written back at once through the ordinary write, so the key exists after every launch.
    setHasCompletedOnboarding(userDefaults.boolForKey(udHasCompletedOnboarding));

    usbVolumeMonitor->onEvent = [this](const VolumeMountEvent& event) {
        postToMain([event](ThwackoViewModel& self) { self.appendUSBVolumeEvent(event); });
    };
    if (state.usbVolumeMonitoring) {
        usbVolumeMonitor->start();
    }
    powerSourceMonitor->onEvents = [this](const std::vector<PowerSourceEvent>& events) {
        postToMain([events](ThwackoViewModel& self) { self.appendPowerSourceEvents(events); });
    };
    if (state.powerMonitoring) {
        powerSourceMonitor->start();
    }
    lidClamshellMonitor->onTransition = [this](LidClamshellMonitor::LidTransition transition) {
        postToMain([transition](ThwackoViewModel& self) { self.handleLidTransition(transition); });
    };
    if (state.lidCreakMonitoring) {
        lidClamshellMonitor->start();
    }

    QPointer<ThwackoViewModel> weakSelf(this);
    audioPlayer->setOutcomeHandler([weakSelf](const std::optional<std::string>& failure) {
        foundation::mainQueue().async([weakSelf, failure] {
            if (weakSelf) {
                weakSelf->handleClipOutcome(failure);
            }
        });
    });
    if (auto missing = missingResources()) {
        setErrorMessage(std::move(missing));
    }
    terminationObserver = notificationCenter.addObserver(foundation::kApplicationWillTerminate,
                                                         [weakSelf](const foundation::Notification&) {
        if (weakSelf) {
            weakSelf->stop();
        }
    });
    liveViewModels().push_back({serial, this});
}

ThwackoViewModel::~ThwackoViewModel()
{
    std::erase_if(liveViewModels(), [this](const LiveViewModel& live) { return live.viewModel == this; });
    if (terminationObserver) {
        notificationCenter.removeObserver(*terminationObserver);
    }
    // The monitors' callbacks capture this object; clear them before the monitors go, so a report
    // delivered during their teardown finds nobody.
    usbVolumeMonitor->onEvent = nullptr;
    powerSourceMonitor->onEvents = nullptr;
    lidClamshellMonitor->onTransition = nullptr;
    accelerometer_->disableCallbacks();
    audioPlayer->setOutcomeHandler(nullptr);
}

void ThwackoViewModel::postToMain(std::function<void(ThwackoViewModel&)> job)
{
    QPointer<ThwackoViewModel> weakSelf(this);
    foundation::mainQueue().async([weakSelf, job = std::move(job)] {
        if (weakSelf) {
            job(*weakSelf);
        }
    });
}

void ThwackoViewModel::scheduleChanged()
{
    if (changedPending) {
        return;
    }
    changedPending = true;
    // Queued on this object, so a burst of stores within one turn of the event loop becomes one
    // signal, and a view model destroyed in between emits nothing.
    QMetaObject::invokeMethod(
        this,
        [this] {
        changedPending = false;
        emit changed();
        },
        Qt::QueuedConnection);
}

void ThwackoViewModel::setIsRunning(bool value) { publish(state.isRunning, value); }
void ThwackoViewModel::setIsPaused(bool value) { publish(state.isPaused, value); }
void ThwackoViewModel::setSelectedMode(SoundPackType value) { publish(state.selectedMode, value); }
void ThwackoViewModel::setTotalSlaps(std::int64_t value) { publish(state.totalSlaps, value); }
void ThwackoViewModel::setLastAmplitude(double value) { publish(state.lastAmplitude, value); }
void ThwackoViewModel::setStatusMessage(std::string value)
{
    if (value != state.statusMessage) {
        qCInfo(lcStatus, "%s", value.c_str());
    }
    publish(state.statusMessage, std::move(value));
}

void ThwackoViewModel::setErrorMessage(std::optional<std::string> value)
{
    // Every start() clears the message first, so a refusal repeated by the next attempt is told
    // again; the clearing itself is not news (the status that follows says what happens).
    if (value && value != state.errorMessage) {
        qCWarning(lcStatus, "error: %s", value->c_str());
    }
    publish(state.errorMessage, std::move(value));
}
void ThwackoViewModel::setMinAmplitude(double value) { publish(state.minAmplitude, value); }
void ThwackoViewModel::setCooldownMs(int value) { publish(state.cooldownMs, value); }
void ThwackoViewModel::setVolumeScaling(bool value) { publish(state.volumeScaling, value); }
void ThwackoViewModel::setSpeedRatio(double value) { publish(state.speedRatio, value); }
void ThwackoViewModel::setFastMode(bool value) { publish(state.fastMode, value); }
void ThwackoViewModel::setPowerEventSounds(bool value) { publish(state.powerEventSounds, value); }
void ThwackoViewModel::setLidCreakSounds(bool value) { publish(state.lidCreakSounds, value); }

void ThwackoViewModel::setCustomDirectory(std::optional<std::filesystem::path> value)
{
    const std::optional<std::filesystem::path> previous = state.customDirectory;
    publish(state.customDirectory, std::move(value));
    if (!state.customDirectory || !state.errorMessage) {
        return;
    }
    // A message that asked for a folder, or told what was wrong with the one chosen before, no
    // longer holds once a folder, or another one, is chosen.
    const std::string& message = *state.errorMessage;
    const bool anotherFolder = state.customDirectory != previous;
    const bool aboutThePrevious = previous && (message.starts_with(cannotReadPrefix(*previous)) ||
                                               message == noClipsMessage(SoundPackType::custom));
    if (message == kSelectFolderFirst || (anotherFolder && aboutThePrevious)) {
        setErrorMessage(std::nullopt);
    }
}

void ThwackoViewModel::setHasCompletedOnboarding(bool value)
{
    publish(state.hasCompletedOnboarding, value);
    userDefaults.setBool(udHasCompletedOnboarding, state.hasCompletedOnboarding);
}

void ThwackoViewModel::setUsbVolumeMonitoring(bool value)
{
    publish(state.usbVolumeMonitoring, value);
    state.usbVolumeMonitoring ? usbVolumeMonitor->start() : usbVolumeMonitor->stop();
}

void ThwackoViewModel::setPowerMonitoring(bool value)
{
    publish(state.powerMonitoring, value);
    state.powerMonitoring ? powerSourceMonitor->start() : powerSourceMonitor->stop();
}

void ThwackoViewModel::setLidCreakMonitoring(bool value)
{
    publish(state.lidCreakMonitoring, value);
    state.lidCreakMonitoring ? lidClamshellMonitor->start() : lidClamshellMonitor->stop();
}

// Derived settings.

double ThwackoViewModel::effectiveCooldown() const
{
    const double cooldown = state.cooldownMs / 1000.0;
    return state.fastMode ? std::max(cooldown, 0.35) : cooldown;
}

double ThwackoViewModel::effectiveMinAmplitude() const
{
    return state.fastMode && state.minAmplitude > 0.18 ? 0.18 : state.minAmplitude;
}

double ThwackoViewModel::effectivePollInterval() const { return state.fastMode ? 0.004 : 0.01; }

std::optional<std::chrono::milliseconds> ThwackoViewModel::processingTimerInterval() const
{
    if (!processingTimer) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(processingTimer->interval());
}

// Listening.

std::optional<SoundPack> ThwackoViewModel::loadPackForCurrentMode(std::optional<std::string>* problem) const
{
    SoundPack pack(state.selectedMode);
    std::optional<std::string> failure;
    if (state.selectedMode == SoundPackType::custom) {
        if (!state.customDirectory) {
            return std::nullopt;
        }
        if (auto reason = pack.loadCustomFiles(*state.customDirectory)) {
            failure = cannotReadPrefix(*state.customDirectory) + *reason;
        }
    } else if (!(failure = missingResources())) {
        pack.loadBundledFiles(bundle);
    }
    if (problem) {
        *problem = std::move(failure);
    }
    return pack;
}

std::optional<std::string> ThwackoViewModel::missingResources() const
{
    // Where the bundle looked for them when it found none.
    const std::filesystem::path folder =
        bundle.resourcePath().value_or(std::filesystem::path(bundle.bundlePath()) / "resources");
    std::error_code error;
    if (std::filesystem::is_directory(folder, error)) {
        return std::nullopt;
    }
    return "Cannot find the application's resources in " + folder.string();
}

std::optional<SoundPack> ThwackoViewModel::makeLoadedPackForCurrentMode() const
{
    auto pack = loadPackForCurrentMode();
    if (!pack || pack->files().empty()) {
        return std::nullopt;
    }
    return pack;
}

void ThwackoViewModel::installSensorHandlers()
{
    QPointer<ThwackoViewModel> weakSelf(this);
    accelerometer_->setOnSample([weakSelf](double x, double y, double z) {
        if (weakSelf) {
            weakSelf->handleSample(x, y, z);
        }
    });
    accelerometer_->setOnError([this](const AccelerometerError& error) {
        postToMain([description = error.errorDescription()](ThwackoViewModel& self) {
            self.stop();
            self.setErrorMessage(description);
            self.setStatusMessage("Error");
        });
    });
    accelerometer_->setOnReady([this] {
        postToMain([](ThwackoViewModel& self) {
            // Listening may have been stopped or paused before this job ran; its status stands then.
            if (self.state.isRunning && !self.state.isPaused) {
                self.setStatusMessage("Listening for slaps...");
            }
        });
    });
}

void ThwackoViewModel::start()
{
    if (state.isRunning) {
        return;
    }
    setErrorMessage(std::nullopt);

    std::optional<std::string> problem;
    const auto pack = loadPackForCurrentMode(&problem);
    if (!pack) {
        setErrorMessage(kSelectFolderFirst);
        return;
    }
    if (problem) {
        setErrorMessage(std::move(problem));
        return;
    }
    if (pack->files().empty()) {
        setErrorMessage(noClipsMessage(state.selectedMode));
        return;
    }

    soundPack = pack;
    tracker = std::make_unique<SlapTracker>(*pack, effectiveCooldown());
    detector = std::make_unique<VibrationDetector>();

    change(state.slapEvents, [](auto& events) { events.clear(); });
    setTotalSlaps(0);
    setLastAmplitude(0);
    lastEventTime.reset();
    lastYellTime.reset();
    sessionStartWall = clock.now().timeIntervalSince1970();
    sessionStartMonotonic = clock.monotonicNow();
    sampleBuffer.clear(); // no sample handler is installed yet

    audioPlayer->setVolumeScaling(state.volumeScaling);
    audioPlayer->setSpeedRatio(state.speedRatio);

    installSensorHandlers();
    accelerometer_->start();

    setIsRunning(true);
    setIsPaused(false);
    setStatusMessage("Starting sensor...");

    processingTimer = new QTimer(this);
    processingTimer->setTimerType(Qt::PreciseTimer);
    processingTimer->setInterval(static_cast<int>(std::lround(effectivePollInterval() * 1000)));
    // Posted as one small job, held without an allocation: this runs at every tick.
    connect(processingTimer, &QTimer::timeout, this, [serial = serial] {
        foundation::mainQueue().async([serial] {
            if (ThwackoViewModel* const self = alive(serial)) {
                self->processSamples();
            }
        });
    });
    processingTimer->start();
}

void ThwackoViewModel::handleSample(double x, double y, double z)
{
    std::lock_guard lock(sampleLock);
    sampleBuffer.push_back({x, y, z});
    if (sampleBuffer.size() > 2 * maxSampleBatch) {
        sampleBuffer.erase(sampleBuffer.begin(), sampleBuffer.end() - maxSampleBatch);
    }
}

std::size_t ThwackoViewModel::bufferedSampleCount()
{
    std::lock_guard lock(sampleLock);
    return sampleBuffer.size();
}

void ThwackoViewModel::processSamples()
{
    if (!state.isRunning || state.isPaused) {
        return;
    }
    {
        std::lock_guard lock(sampleLock);
        batch.swap(sampleBuffer);
        sampleBuffer.clear();
    }
    if (batch.size() > maxSampleBatch) {
        batch.erase(batch.begin(), batch.end() - maxSampleBatch);
    }
    if (batch.empty()) {
        return;
    }

    const foundation::MonotonicTime monotonicNow = clock.monotonicNow();
    // The detector spaces its events by these stamps, so they follow the monotonic clock from the
    // wall time at start(): a wall clock set back would otherwise silence it until time caught up.
    const double t0 = sessionStartWall + foundation::secondsBetween(sessionStartMonotonic, monotonicNow);
    const double fs = static_cast<double>(VibrationDetector::fs);
    const std::size_t n = batch.size();
    for (std::size_t i = 0; i < n; ++i) {
        const auto& [x, y, z] = batch[i];
        detector->process(x, y, z, t0 - static_cast<double>(n - 1 - i) / fs);
    }
    batch.clear();

    const auto events = detector->events();
    if (events.empty()) {
        return;
    }
    const VibrationEvent& ev = events.back();
    if (lastEventTime && *lastEventTime == ev.time()) {
        return;
    }
    lastEventTime = ev.time();

    if (lastYellTime && foundation::secondsBetween(*lastYellTime, monotonicNow) <= effectiveCooldown()) {
        return;
    }
    if (ev.amplitude() < effectiveMinAmplitude()) {
        return;
    }
    lastYellTime = monotonicNow;
    if (!tracker || !soundPack) {
        return;
    }
    // The wall time only dates an accepted slap; the quiet ticks do not read it.
    const foundation::Date now = clock.now();

    const SlapTracker::Record record = tracker->record(now);
    const auto url = tracker->getFile(record.score);
    if (!url) {
        return;
    }
    const double amplitude = ev.amplitude();
    const std::string severity = ev.severity();

    setTotalSlaps(record.number);
    setLastAmplitude(amplitude);
    insertAtHead(state.slapEvents, SlapEvent(now, record.number, amplitude, severity, url->filename().string()));

    playClip(*url, amplitude);
    qCInfo(lcSlaps, "slap %d: %s %.4fg -> %s", record.number, severity.c_str(), amplitude,
           url->filename().string().c_str());

    Analytics::track("slap", {{"slap_number", std::int64_t{record.number}},
                              {"amplitude", amplitude},
                              {"severity", severity},
                              {"sound_mode", std::string(rawValue(state.selectedMode))}});
}

void ThwackoViewModel::stop()
{
    if (processingTimer) {
        processingTimer->stop();
        delete processingTimer;
        processingTimer = nullptr;
    }
    accelerometer_->disableCallbacks();
    accelerometer_->stop();
    {
        std::lock_guard lock(sampleLock);
        sampleBuffer.clear();
    }
    audioPlayer->stopAll();
    setIsRunning(false);
    setIsPaused(false);
    setStatusMessage("Stopped");
}

void ThwackoViewModel::togglePause()
{
    change(state.isPaused, [](bool& paused) { paused = !paused; });
    setStatusMessage(state.isPaused ? "Paused" : "Listening for slaps...");
}

void ThwackoViewModel::selectCustomDirectory()
{
    FolderChoice choice = folderChooser("Select a directory containing MP3 files");
    if (choice.accepted) {
        setCustomDirectory(std::move(choice.folder));
    }
}

void ThwackoViewModel::playClip(const std::filesystem::path& url, double amplitude)
{
    audioPlayer->setVolumeScaling(state.volumeScaling);
    audioPlayer->setSpeedRatio(state.speedRatio);
    audioPlayer->play(url, amplitude);
}

void ThwackoViewModel::handleClipOutcome(const std::optional<std::string>& failure)
{
    const bool showsSoundError = state.errorMessage && state.errorMessage->starts_with(kAudioErrorPrefix);
    if (!failure) {
        if (showsSoundError) {
            setErrorMessage(std::nullopt);
        }
        return;
    }
    std::string message = kAudioErrorPrefix + *failure;
    qCWarning(lcAudio, "%s", message.c_str());
    // Any other message (the sensor's above all) says more about why nothing happens; it stays.
    if (!state.errorMessage || showsSoundError) {
        setErrorMessage(std::move(message));
    }
}
