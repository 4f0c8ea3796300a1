#pragma once

// moc cannot parse the C++20 library headers these pull in; it needs none of them.
#ifndef Q_MOC_RUN
#include "Models/Events.h"
#include "Models/SoundPack.h"
#include "Models/SoundPackType.h"
#include "Services/AccelerometerService.h"
#include "Services/ClipPlayer.h"
#include "Services/LidClamshellMonitor.h"
#include "Services/PowerSourceMonitor.h"
#include "Services/SlapTracker.h"
#include "Services/USBVolumeMonitor.h"
#include "Services/VibrationDetector.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#endif

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

/// The application's one observable object: it owns the sensor, the audio player and the three
/// system-event monitors, runs the slap pipeline and holds every published state and setting.
///
/// Lives on the main thread and is used only there. Every write of a published property first
/// emits objectWillChange(), then stores the value (equal values signal too), then runs the
/// property's observer if it has one; changed() follows once per turn of the event loop, and
/// views redraw on it from the getters. Views read every state but write only the settings: the
/// listening state, counters, messages and logs change through the operations alone. Only the
/// onboarding flag persists (user defaults key "Bonkly.hasCompletedOnboarding").
class ThwackoViewModel final : public QObject {
    Q_OBJECT

public:
    /// The answer of the folder chooser.
    struct FolderChoice {
        bool accepted = false;                       ///< the user confirmed
        std::optional<std::filesystem::path> folder; ///< the chosen folder, if any
    };
    /// Runs a modal chooser for single folders that shows `message`.
    using FolderChooser = std::function<FolderChoice(const std::string& message)>;

    /// What the view model is built from; every member is required. The application builds the
    /// real ones in one place (app/RealServices.h); tests and views hand in fakes the same way.
    struct Dependencies {
        std::unique_ptr<AccelerometerService> accelerometer;
        std::unique_ptr<USBVolumeMonitor> usbVolumeMonitor;
        std::unique_ptr<PowerSourceMonitor> powerSourceMonitor;
        std::unique_ptr<LidClamshellMonitor> lidClamshellMonitor;
        std::unique_ptr<ClipPlayer> audioPlayer;
        const foundation::Clock* clock = nullptr;
        foundation::UserDefaults* userDefaults = nullptr;
        const foundation::Bundle* bundle = nullptr;
        foundation::NotificationCenter* notificationCenter = nullptr;
        FolderChooser folderChooser;
    };

    /// A sample from the sensor: x, y, z in g.
    using Sample = std::array<double, 3>;

    static constexpr std::size_t maxSampleBatch = 200;
    static constexpr std::size_t logLimit = 100;

    /// Takes ownership of the services and starts the monitors whose switches are on. Throws
    /// std::invalid_argument naming the members of `dependencies` that are missing.
    explicit ThwackoViewModel(Dependencies dependencies, QObject* parent = nullptr);
    ~ThwackoViewModel() override;

    // Published state.
    bool isRunning() const { return state.isRunning; }
    bool isPaused() const { return state.isPaused; }
    SoundPackType selectedMode() const { return state.selectedMode; }
    const std::vector<SlapEvent>& slapEvents() const { return state.slapEvents; }
    std::int64_t totalSlaps() const { return state.totalSlaps; }
    double lastAmplitude() const { return state.lastAmplitude; }
    const std::string& statusMessage() const { return state.statusMessage; }
    const std::optional<std::string>& errorMessage() const { return state.errorMessage; }
    bool hasCompletedOnboarding() const { return state.hasCompletedOnboarding; }
    double minAmplitude() const { return state.minAmplitude; }
    int cooldownMs() const { return state.cooldownMs; }
    bool volumeScaling() const { return state.volumeScaling; }
    double speedRatio() const { return state.speedRatio; }
    bool fastMode() const { return state.fastMode; }
    const std::optional<std::filesystem::path>& customDirectory() const { return state.customDirectory; }
    bool usbVolumeMonitoring() const { return state.usbVolumeMonitoring; }
    const std::vector<VolumeMountEvent>& usbVolumeEvents() const { return state.usbVolumeEvents; }
    bool powerMonitoring() const { return state.powerMonitoring; }
    const std::vector<PowerSourceEvent>& powerSourceEvents() const { return state.powerSourceEvents; }
    bool powerEventSounds() const { return state.powerEventSounds; }
    bool lidCreakMonitoring() const { return state.lidCreakMonitoring; }
    bool lidCreakSounds() const { return state.lidCreakSounds; }
    const std::vector<LidCreakEvent>& lidCreakEvents() const { return state.lidCreakEvents; }

    // Settings; the listening state, counters, messages and logs change only through the
    // operations below.
    void setSelectedMode(SoundPackType value);
    /// Persists the flag after storing it.
    void setHasCompletedOnboarding(bool value);
    void setMinAmplitude(double value);
    void setCooldownMs(int value);
    void setVolumeScaling(bool value);
    void setSpeedRatio(double value);
    void setFastMode(bool value);
    void setCustomDirectory(std::optional<std::filesystem::path> value);
    /// Starts or stops the USB volume monitor after storing.
    void setUsbVolumeMonitoring(bool value);
    /// Starts or stops the power source monitor after storing.
    void setPowerMonitoring(bool value);
    void setPowerEventSounds(bool value);
    /// Starts or stops the lid monitor after storing.
    void setLidCreakMonitoring(bool value);
    void setLidCreakSounds(bool value);

    /// The motion sensor, to read only (the onboarding asks it isAvailable()); listening starts
    /// and stops through start() and stop().
    const AccelerometerService& accelerometer() const { return *accelerometer_; }

    // Settings as the pipeline applies them.
    double effectiveCooldown() const;
    double effectiveMinAmplitude() const;
    double effectivePollInterval() const;

    /// Begins listening, or explains in errorMessage why it cannot. A no-op while listening.
    void start();
    /// Ends listening; safe in any state.
    void stop();
    /// Flips isPaused; the sensor and the timer keep running.
    void togglePause();
    /// Runs the folder chooser and stores an accepted choice in customDirectory.
    void selectCustomDirectory();
    void clearLog();
    void clearUSBVolumeLog();
    void clearPowerSourceLog();
    void clearLidCreakLog();

    /// One tick of the slap pipeline; the processing timer posts one per firing.
    void processSamples();
    /// A fresh pack of the selected mode with its clips loaded, or nullopt when there are none.
    std::optional<SoundPack> makeLoadedPackForCurrentMode() const;
    /// The processing timer's interval while listening.
    std::optional<std::chrono::milliseconds> processingTimerInterval() const;
    /// Samples waiting for the next tick.
    std::size_t bufferedSampleCount();
    /// The detector of the current (or last) listening session.
    const VibrationDetector& currentDetector() const { return *detector; }
    /// Whether a power-event title is answered with a sound.
    static bool shouldPlaySoundForPowerEvent(const std::string& title);

signals:
    /// Emitted before each change of any published property.
    void objectWillChange();
    /// Emitted after published properties changed, once per turn of the event loop however many
    /// stores it held; views redraw from the getters on it.
    void changed();

private:
    struct PublishedState {
        bool isRunning = false;
        bool isPaused = false;
        SoundPackType selectedMode = SoundPackType::pain;
        std::vector<SlapEvent> slapEvents;
        std::int64_t totalSlaps = 0;
        double lastAmplitude = 0.0;
        std::string statusMessage = "Ready";
        std::optional<std::string> errorMessage;
        bool hasCompletedOnboarding = false;
        double minAmplitude = 0.05;
        int cooldownMs = 750;
        bool volumeScaling = false;
        double speedRatio = 1.0;
        bool fastMode = false;
        std::optional<std::filesystem::path> customDirectory;
        bool usbVolumeMonitoring = true;
        std::vector<VolumeMountEvent> usbVolumeEvents;
        bool powerMonitoring = true;
        std::vector<PowerSourceEvent> powerSourceEvents;
        bool powerEventSounds = true;
        bool lidCreakMonitoring = true;
        bool lidCreakSounds = true;
        std::vector<LidCreakEvent> lidCreakEvents;
    };

    void setIsRunning(bool value);
    void setIsPaused(bool value);
    void setTotalSlaps(std::int64_t value);
    void setLastAmplitude(double value);
    void setStatusMessage(std::string value);
    void setErrorMessage(std::optional<std::string> value);

    template <typename T, typename V> void publish(T& field, V&& value);
    template <typename T, typename F> void change(T& field, F&& mutation);
    template <typename Event> void insertAtHead(std::vector<Event>& log, Event event);
    void scheduleChanged();

    /// A pack of the selected mode with its clips loaded (maybe none); nullopt in the custom mode
    /// without a folder. `problem`, when given, receives the message for a folder that cannot be
    /// read or missing resources.
    std::optional<SoundPack> loadPackForCurrentMode(std::optional<std::string>* problem = nullptr) const;
    /// The message for an application whose resource folder is missing.
    std::optional<std::string> missingResources() const;
    /// Shows a clip's failure in errorMessage, or takes its message back once a clip plays.
    void handleClipOutcome(const std::optional<std::string>& failure);
    void handleSample(double x, double y, double z);
    void installSensorHandlers();
    void appendUSBVolumeEvent(const VolumeMountEvent& event);
    void appendPowerSourceEvents(const std::vector<PowerSourceEvent>& events);
    void handleLidTransition(LidClamshellMonitor::LidTransition transition);
    void playPowerEventSoundIfEnabled();
    void playLidCreakSound(bool opened);
    void playClip(const std::filesystem::path& url, double amplitude);
    /// Posts `job` to the main queue; it runs only if this view model still exists then.
    void postToMain(std::function<void(ThwackoViewModel&)> job);
    /// The view model alive now with `serial`, if any. Main thread only.
    static ThwackoViewModel* alive(std::uint64_t serial);

    static inline const std::string udHasCompletedOnboarding = "Bonkly.hasCompletedOnboarding";

    PublishedState state;
    bool changedPending = false;
    // Names this view model to the jobs of its ticks: unlike a QPointer, it fits in a
    // std::function without an allocation at every tick.
    const std::uint64_t serial;

    const foundation::Clock& clock;
    foundation::UserDefaults& userDefaults;
    const foundation::Bundle& bundle;
    foundation::NotificationCenter& notificationCenter;
    FolderChooser folderChooser;

    std::unique_ptr<AccelerometerService> accelerometer_;
    std::unique_ptr<USBVolumeMonitor> usbVolumeMonitor;
    std::unique_ptr<PowerSourceMonitor> powerSourceMonitor;
    std::unique_ptr<LidClamshellMonitor> lidClamshellMonitor;
    std::unique_ptr<ClipPlayer> audioPlayer;
    std::unique_ptr<VibrationDetector> detector;
    std::unique_ptr<SlapTracker> tracker;
    std::optional<SoundPack> soundPack;
    std::optional<foundation::Date> lastEventTime;
    // Cooldown and sound spacings run on the monotonic clock, so a wall clock set back cannot
    // silence the application.
    std::optional<foundation::MonotonicTime> lastYellTime;
    double sessionStartWall = 0;                       // seconds since 1970 at start()
    foundation::MonotonicTime sessionStartMonotonic{}; // the same instant on the monotonic clock
    std::vector<Sample> sampleBuffer;                  // guarded by sampleLock
    std::vector<Sample> batch;                         // the tick's working copy; keeps its capacity between ticks
    std::mutex sampleLock;
    QTimer* processingTimer = nullptr;
    std::optional<foundation::NotificationCenter::Token> terminationObserver;
    std::optional<foundation::MonotonicTime> lastPowerSoundAt;
    std::optional<foundation::MonotonicTime> lastLidCreakSoundAt;
};
