// The shipped sensor recording, played by the replay backend on the Qt event loop, through the
// real accelerometer service into a vibration detector: the knocks come out as detector events
// at their recorded times, stronger knocks as stronger events.
#include "Services/AccelerometerService.h"
#include "Services/VibrationDetector.h"
#include "platform/hid/ReplayBackend.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

namespace {

struct Knock {
    double start; // seconds from the start of the recording
    double peak;  // g
};
// The knocks of resources/sensor/knocks.replay (see platform/hid/replay/FORMAT.md), one report a
// millisecond.
constexpr Knock kKnocks[] = {{1.5, 0.03}, {3.5, 0.12}, {5.5, 0.20}, {7.5, 0.30}, {9.5, 0.50}, {11.5, 0.80}};
constexpr double kPass = 13.5;

/// The recorded time of sample `i`: the service decodes every eighth report, and the recording
/// holds one report a millisecond, so sample i is report 8i + 7.
double recordedSeconds(std::size_t i)
{
    return static_cast<double>(i * AccelerometerService::imuDecimation + AccelerometerService::imuDecimation - 1) /
           1000.0;
}

} // namespace

TEST(SensorReplay, KnocksBecomeDetectorEventsAtTheirTimes)
{
    auto backend = std::make_shared<hid::ReplayBackend>(testsupport::sourceDir() / "resources/sensor/knocks.replay");
    AccelerometerService service(backend);
    VibrationDetector detector;
    QElapsedTimer clock;
    std::vector<double> arrivals; // seconds since playback started
    // Stamped by their place in the recording, so that a slow or loaded machine, which can only
    // delay the playback, moves no sample in recorded time.
    service.setOnSample([&](double x, double y, double z) {
        detector.process(x, y, z, 1000.0 + recordedSeconds(arrivals.size()));
        arrivals.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e9);
    });
    std::string error;
    service.setOnError([&](const AccelerometerError& e) { error = e.errorDescription(); });
    clock.start();
    service.start();
    ASSERT_TRUE(service.isStarted()) << error;
    EXPECT_TRUE(arrivals.empty()) << "delivered outside the event loop";

    const std::size_t wanted = static_cast<std::size_t>((kKnocks[5].start + 0.6) * 125);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return arrivals.size() >= wanted; }, std::chrono::seconds(120)))
        << arrivals.size() << " samples";
    service.stop();

    // Paced, not burst: no sample comes before its recorded time (it may come late).
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        ASSERT_GE(arrivals[i], recordedSeconds(i)) << "sample " << i;
    }

    std::vector<double> strongest(std::size(kKnocks), 0.0);
    for (const VibrationEvent& event : detector.events()) {
        const double t = event.time().timeIntervalSince1970() - 1000.0;
        bool inKnock = false;
        for (std::size_t k = 0; k < std::size(kKnocks); ++k) {
            // A knock rings for 0.4 s; the detector may report it a little into the ringing.
            if (t >= kKnocks[k].start && t <= kKnocks[k].start + 0.45) {
                strongest[k] = std::max(strongest[k], event.amplitude());
                inKnock = true;
            }
        }
        if (!inKnock) {
            // Between knocks only sensor noise (1 mg) remains.
            EXPECT_LT(event.amplitude(), 0.01) << "event at " << t << " s";
        }
    }
    for (std::size_t k = 0; k < std::size(kKnocks); ++k) {
        EXPECT_GT(strongest[k], kKnocks[k].peak * 0.3) << "knock " << k + 1;
        EXPECT_LT(strongest[k], kKnocks[k].peak * 2.0) << "knock " << k + 1;
        if (k > 0) {
            EXPECT_GT(strongest[k], strongest[k - 1]) << "knock " << k + 1;
        }
    }
    static_assert(kKnocks[5].start + 0.6 < kPass, "the test watches one pass only");
}
