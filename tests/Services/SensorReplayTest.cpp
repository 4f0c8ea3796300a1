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
// The knocks of resources/sensor/knocks.replay (see platform/hid/replay/FORMAT.md).
constexpr Knock kKnocks[] = {{1.5, 0.03}, {3.5, 0.12}, {5.5, 0.20}, {7.5, 0.30}, {9.5, 0.50}, {11.5, 0.80}};
constexpr double kPass = 13.5;

} // namespace

TEST(SensorReplay, KnocksBecomeDetectorEventsAtTheirTimes)
{
    auto backend = std::make_shared<hid::ReplayBackend>(testsupport::sourceDir() / "resources/sensor/knocks.replay");
    AccelerometerService service(backend);
    VibrationDetector detector;
    QElapsedTimer clock;
    int samples = 0;
    // Stamp samples by their arrival, as seconds since playback started.
    service.setOnSample([&](double x, double y, double z) {
        ++samples;
        detector.process(x, y, z, 1000.0 + clock.nsecsElapsed() / 1e9);
    });
    std::string error;
    service.setOnError([&](const AccelerometerError& e) { error = e.errorDescription(); });
    clock.start();
    service.start();
    ASSERT_TRUE(service.isStarted()) << error;

    ASSERT_TRUE(testsupport::pumpUntil([&] { return clock.elapsed() > (kKnocks[5].start + 0.6) * 1000; },
                                       std::chrono::seconds(30)));
    service.stop();

    // 125 samples a second: one report in eight of 1000 a second.
    const double elapsed = clock.elapsed() / 1000.0;
    EXPECT_NEAR(samples / elapsed, 125.0, 10.0);

    std::vector<double> strongest(std::size(kKnocks), 0.0);
    for (const VibrationEvent& event : detector.events()) {
        const double t = event.time().timeIntervalSince1970() - 1000.0;
        bool inKnock = false;
        for (std::size_t k = 0; k < std::size(kKnocks); ++k) {
            // Allow for event-loop jitter around the recorded pace.
            if (t >= kKnocks[k].start - 0.05 && t <= kKnocks[k].start + 0.45) {
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
