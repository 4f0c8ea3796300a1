#pragma once
// The sensor feed the latency programs share: a script of 1 ms report slots (rest, a few reports
// of another length that shift the next knock's phase, and single-sample knocks), delivered by a
// 1 ms precise timer through the in-memory sensor, and a view model wired to it over fakes.
#include "Services/AccelerometerService.h"
#include "Services/ClipPlayer.h"
#include "Services/LidClamshellMonitor.h"
#include "Services/PowerSourceMonitor.h"
#include "Services/USBVolumeMonitor.h"
#include "ViewModels/ThwackoViewModel.h"
#include "support/FakeHid.h"
#include "support/FakeSystemMonitors.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace knockfeed {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

struct Mode {
    const char* name;
    bool fast;
    int knockSpacingSamples;           // decoded samples between knocks (8 reports each), before the phase shift
    int secondKnockSpacingSamples = 0; // before the second knock instead, when set
};

/// What is in each millisecond slot of the feed.
enum class Slot : std::uint8_t { quiet, other, knock };

constexpr int kWarmUpSamples = 375;   // 3 s of rest before the first knock
constexpr int kMaxPhaseShift = 9;     // other reports before a knock: 0..9 ms
constexpr double kKnockG = 0.3;       // a single-sample knock along z
constexpr double kMinAmplitude = 0.1; // the knock's filtered magnitude is about 0.28 g
constexpr int kCooldownMs = 100;      // fast mode raises it to 350 ms
constexpr auto kAnswerWindow = std::chrono::milliseconds(100);

/// `tailReports` of rest follow the last knock, so that it can still be answered.
inline std::vector<Slot> makeScript(const Mode& mode, int knocks, int tailReports, std::mt19937& random)
{
    std::uniform_int_distribution<int> shift(0, kMaxPhaseShift);
    std::vector<Slot> script(static_cast<std::size_t>(kWarmUpSamples * AccelerometerService::imuDecimation),
                             Slot::quiet);
    for (int k = 0; k < knocks; ++k) {
        script.insert(script.end(), static_cast<std::size_t>(shift(random)), Slot::other);
        const int spacing =
            k == 1 && mode.secondKnockSpacingSamples > 0 ? mode.secondKnockSpacingSamples : mode.knockSpacingSamples;
        // The knock is the last of the interval's 8·G counted reports, so it is one the service decodes.
        script.insert(script.end(), static_cast<std::size_t>(spacing * AccelerometerService::imuDecimation - 1),
                      Slot::quiet);
        script.push_back(Slot::knock);
    }
    script.insert(script.end(), static_cast<std::size_t>(tailReports), Slot::quiet);
    return script;
}

/// Plays a script into the in-memory sensor on the Qt event loop.
class Feed {
public:
    Feed(std::vector<Slot> script, std::mt19937& random)
        : script_(std::move(script))
    {
        // Quiet reports: a laptop at rest, slightly tilted, with sensor noise.
        std::normal_distribution<double> noise(0.0, 0.001);
        for (int i = 0; i < 4096; ++i) {
            quiet_.push_back(
                testsupport::sensorReportG(0.021 + noise(random), -0.034 + noise(random), 0.9992 + noise(random)));
        }
        sensor->services = {testsupport::FakeHidService::sensor(1)};
    }

    std::shared_ptr<testsupport::FakeHidBackend> sensor = std::make_shared<testsupport::FakeHidBackend>();
    std::vector<TimePoint> knocks; // when each knock's report was handed to the sensor
    std::size_t maxBurst = 0;      // the most reports one wake-up delivered
    double seconds = 0;            // how long the feed ran

    std::size_t size() const { return script_.size(); }

    /// Runs the feed to its end; `beforeEach` runs at each wake-up before the due reports go out.
    void run(const std::function<void()>& beforeEach = {})
    {
        knocks.reserve(static_cast<std::size_t>(std::count(script_.begin(), script_.end(), Slot::knock)));
        // Let the ready job run before the first report, as the device would be ready by then.
        QCoreApplication::processEvents();
        QEventLoop loop;
        QTimer feed;
        feed.setTimerType(Qt::PreciseTimer);
        feed.setInterval(1);
        std::size_t delivered = 0;
        std::size_t quietIndex = 0;
        const TimePoint start = SteadyClock::now();
        QObject::connect(&feed, &QTimer::timeout, [&] {
            if (beforeEach) {
                beforeEach();
            }
            const TimePoint now = SteadyClock::now();
            // Every report whose millisecond has begun is due; a late wake-up catches up.
            const auto due = std::min(
                script_.size(),
                static_cast<std::size_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count()) +
                    1);
            if (due > delivered) {
                maxBurst = std::max(maxBurst, due - delivered);
            }
            for (; delivered < due; ++delivered) {
                switch (script_[delivered]) {
                case Slot::quiet:
                    sensor->deliver(quiet_[quietIndex++ % quiet_.size()]);
                    break;
                case Slot::other:
                    sensor->deliver(other_);
                    break;
                case Slot::knock:
                    knocks.push_back(SteadyClock::now());
                    sensor->deliver(knock_);
                    break;
                }
            }
            if (delivered == script_.size()) {
                feed.stop();
                loop.quit();
            }
        });
        feed.start();
        loop.exec();
        seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    }

private:
    std::vector<Slot> script_;
    std::vector<std::array<std::uint8_t, 22>> quiet_;
    std::array<std::uint8_t, 22> knock_ = testsupport::sensorReportG(0.021, -0.034, 0.9992 + kKnockG);
    std::array<std::uint8_t, 10> other_{0x02};
};

/// A view model's dependencies over the feed's sensor and fake system monitors, on the real clock,
/// with a folder chooser that chooses nothing.
inline ThwackoViewModel::Dependencies dependencies(Feed& feed, std::unique_ptr<ClipPlayer> player,
                                                   foundation::UserDefaults& defaults, const foundation::Bundle& bundle,
                                                   foundation::NotificationCenter& center)
{
    ThwackoViewModel::Dependencies deps;
    deps.accelerometer = std::make_unique<AccelerometerService>(feed.sensor);
    deps.usbVolumeMonitor = std::make_unique<USBVolumeMonitor>(std::make_shared<testsupport::FakeWorkspace>());
    deps.powerSourceMonitor = std::make_unique<PowerSourceMonitor>(std::make_shared<testsupport::FakePowerSources>());
    deps.lidClamshellMonitor = std::make_unique<LidClamshellMonitor>(std::make_shared<testsupport::FakeLidRegistry>());
    deps.audioPlayer = std::move(player);
    deps.clock = &foundation::SystemClock::shared();
    deps.userDefaults = &defaults;
    deps.bundle = &bundle;
    deps.notificationCenter = &center;
    deps.folderChooser = [](const std::string&) { return ThwackoViewModel::FolderChoice{}; };
    return deps;
}

/// One mode's run: its feed (seeded by the mode, so every run of a mode is the same), settings in
/// `home` and a private notification center, for a view model built from dependencies().
struct Rig {
    Rig(const Mode& mode, int knocks, int tailReports, const std::filesystem::path& home)
        : random(mode.fast ? 11 : 7)
        , feed(makeScript(mode, knocks, tailReports, random), random)
        , defaults(home / (std::string(mode.name) + "-defaults.plist"))
    {
    }

    std::mt19937 random;
    Feed feed;
    foundation::UserDefaults defaults;
    foundation::NotificationCenter center;
};

/// Sets the knock thresholds and the mode and starts listening; exits when listening does not start.
inline void startListening(ThwackoViewModel& vm, const Mode& mode, const char* program)
{
    vm.setCooldownMs(kCooldownMs);
    vm.setMinAmplitude(kMinAmplitude);
    vm.setFastMode(mode.fast);
    vm.start();
    if (!vm.isRunning()) {
        std::fprintf(stderr, "%s: listening did not start: %s\n", program, vm.errorMessage().value_or("?").c_str());
        std::exit(1);
    }
}

inline double ms(SteadyClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

/// Nearest-rank percentile.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

} // namespace knockfeed
