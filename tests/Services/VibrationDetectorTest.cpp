#include "Services/VibrationDetector.h"

#include "Services/RingFloat.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <map>
#include <numbers>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using ::testing::TestWithParam;

// Drives a detector with chosen filtered magnitudes: the raw x value of each sample is picked so
// that the high-pass output on x equals the wanted magnitude (to rounding). Sample s (counted as
// the detector counts, the priming sample being 1) is stamped 1000 + s seconds, so any detection
// makes an event and the event time names the sample.
class MagnitudeFeeder {
public:
    explicit MagnitudeFeeder(VibrationDetector& detector)
        : detector(detector)
    {
        detector.process(0.0, 0.0, 0.0, timeOf(1));
    }

    double feed(double magnitude)
    {
        const double raw = prevRaw + magnitude / 0.95 - prevOut;
        const double out = detector.process(raw, 0.0, 0.0, timeOf(detector.sampleCount() + 1));
        prevRaw = raw;
        prevOut = out;
        return out;
    }

    static double timeOf(std::int64_t sample) { return 1000.0 + static_cast<double>(sample); }

private:
    VibrationDetector& detector;
    double prevRaw = 0.0;
    double prevOut = 0.0;
};

// Small positive magnitudes around 2 mg that never repeat in a short run.
double baseline(int k) { return 0.002 + 0.0001 * static_cast<double>((k * 37) % 11); }

const VibrationEvent* eventAt(const VibrationDetector& detector, std::int64_t sample)
{
    const foundation::Date when(MagnitudeFeeder::timeOf(sample));
    for (const VibrationEvent& event : detector.events()) {
        if (event.time() == when) {
            return &event;
        }
    }
    return nullptr;
}

bool firedAt(const VibrationDetector& detector, std::int64_t sample, const std::string& source)
{
    const VibrationEvent* event = eventAt(detector, sample);
    return event && std::count(event->sources().begin(), event->sources().end(), source) == 1;
}

TEST(VibrationDetector, FirstSampleOnlyPrimesTheFilter)
{
    VibrationDetector detector;
    EXPECT_EQ(detector.process(0.3, -0.2, 1.0, 10.0), 0.0);
    EXPECT_EQ(detector.sampleCount(), 1);
    EXPECT_TRUE(detector.events().empty());
    EXPECT_EQ(detector.sta(), (std::array<double, 3>{0.0, 0.0, 0.0}));
    EXPECT_EQ(detector.lta(), (std::array<double, 3>{1e-10, 1e-10, 1e-10}));
    EXPECT_EQ(detector.cusumPos(), 0.0);
    EXPECT_EQ(detector.cusumNeg(), 0.0);
    EXPECT_EQ(detector.cusumMu(), 0.0);
    EXPECT_EQ(detector.kurtBuf().count(), 0);
    EXPECT_EQ(detector.peakBuf().count(), 0);
    EXPECT_EQ(VibrationDetector::fs, 100);
}

TEST(VibrationDetector, WorkedExample)
{
    VibrationDetector detector;
    EXPECT_EQ(detector.process(0.0, 0.0, 1.0, 10.00), 0.0);

    EXPECT_DOUBLE_EQ(detector.process(0.01, 0.0, 1.0, 10.01), 0.0095);
    EXPECT_EQ(detector.staLTAActive(), (std::array<bool, 3>{true, true, true}));
    EXPECT_NEAR(detector.cusumPos(), 0.00899905, 1e-15);
    EXPECT_EQ(detector.cusumNeg(), 0.0);
    ASSERT_EQ(detector.events().size(), 1u);
    const VibrationEvent& event = detector.events().back();
    EXPECT_EQ(event.severity(), "VIBRATION");
    EXPECT_EQ(event.symbol(), "\u25CF");
    EXPECT_EQ(event.label(), "vibration");
    EXPECT_DOUBLE_EQ(event.amplitude(), 0.0095);
    EXPECT_EQ(event.sources(), std::vector<std::string>{"STA/LTA"});
    EXPECT_DOUBLE_EQ(event.time().timeIntervalSince1970(), 10.009999999);
    EXPECT_EQ(detector.lastEvtT(), 10.01);

    // The upper CUSUM fires and resets, but 10.02 - 10.01 is not above 0.01 s: the detection is lost.
    EXPECT_DOUBLE_EQ(detector.process(0.01, 0.0, 1.0, 10.02), 0.009025);
    EXPECT_EQ(detector.cusumPos(), 0.0);
    EXPECT_EQ(detector.events().size(), 1u);
    EXPECT_EQ(detector.lastEvtT(), 10.01);
}

TEST(VibrationDetector, ConstantInputNeverMakesAnEvent)
{
    VibrationDetector detector;
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(detector.process(0.1, -0.2, 0.97, 1000.0 + i), 0.0);
    }
    EXPECT_TRUE(detector.events().empty());
    EXPECT_EQ(detector.kurtosis(), 0.0); // evaluated over a silent window
    EXPECT_EQ(detector.cusumPos(), 0.0);
    EXPECT_EQ(detector.cusumNeg(), 0.0);
}

TEST(VibrationDetector, KurtosisRunsFirstAtSample51ThenEveryTenth)
{
    VibrationDetector detector;
    MagnitudeFeeder feeder(detector);
    for (std::int64_t sample = 2; sample <= 100; ++sample) {
        feeder.feed(baseline(static_cast<int>(sample)));
        const std::int64_t expectedDec = sample < 51 ? sample - 1 : (sample - 51) % 10;
        ASSERT_EQ(detector.kurtDec(), expectedDec) << "after sample " << sample;
        if (sample < 51) {
            ASSERT_EQ(detector.kurtosis(), 3.0) << "after sample " << sample;
        }
    }
    EXPECT_NE(detector.kurtosis(), 3.0);
}

TEST(VibrationDetector, KurtosisFiresOnlyOnItsSchedule)
{
    VibrationDetector detector;
    MagnitudeFeeder feeder(detector);
    std::set<std::int64_t> kurtosisSamples;
    for (std::int64_t sample = 2; sample <= 140; ++sample) {
        feeder.feed(sample == 45 ? 0.5 : baseline(static_cast<int>(sample)));
        if (firedAt(detector, sample, "KURTOSIS")) {
            kurtosisSamples.insert(sample);
        }
    }
    // The outlier stays in the 100-value window until sample 145.
    EXPECT_EQ(kurtosisSamples, (std::set<std::int64_t>{51, 61, 71, 81, 91, 101, 111, 121, 131}));
}

TEST(VibrationDetector, KurtosisSeesOnlyPushedValues)
{
    VibrationDetector detector;
    MagnitudeFeeder feeder(detector);
    for (int i = 0; i < 50; ++i) {
        feeder.feed(i % 2 == 0 ? 1.0 : 3.0);
    }
    ASSERT_EQ(detector.kurtBuf().count(), 50);
    // A symmetric two-point sample has kurtosis 1; padded with 50 zeros it would be 2.
    EXPECT_NEAR(detector.kurtosis(), 1.0, 1e-9);
}

struct PeakScheduleCase {
    const char* name;
    std::int64_t spikeAt;
    bool expectPeak;
};
void PrintTo(const PeakScheduleCase& c, std::ostream* os) { *os << c.name; }

class VibrationDetectorPeakSchedule : public TestWithParam<PeakScheduleCase> {};

TEST_P(VibrationDetectorPeakSchedule, TestsOnlyEveryTenthSampleWithFiftyValues)
{
    const PeakScheduleCase& c = GetParam();
    VibrationDetector detector;
    MagnitudeFeeder feeder(detector);
    for (std::int64_t sample = 2; sample <= c.spikeAt; ++sample) {
        feeder.feed(sample == c.spikeAt ? 0.5 : baseline(static_cast<int>(sample)));
    }
    ASSERT_NE(eventAt(detector, c.spikeAt), nullptr); // the spike always fires CUSUM at least
    EXPECT_EQ(firedAt(detector, c.spikeAt, "PEAK"), c.expectPeak);
}

const PeakScheduleCase peakScheduleCases[] = {
    {"Sample50WindowOf49", 50, false}, {"Sample59NotATenth", 59, false}, {"Sample60FirstTest", 60, true},
    {"Sample65NotATenth", 65, false},  {"Sample70", 70, true},           {"Sample300FullWindow", 300, true},
};

INSTANTIATE_TEST_SUITE_P(All, VibrationDetectorPeakSchedule, ::testing::ValuesIn(peakScheduleCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Window contents for the peak test at sample 210, where the window holds 200 values (an even
// count): `low` many times (the current sample among them), `middle` once, `high` 100 times.
// The median is the upper middle value (index 100 of the sorted window), here `high`.
struct PeakMedianCase {
    const char* name;
    double low;
    double middle;
    double high;
    bool expectPeak;
};
void PrintTo(const PeakMedianCase& c, std::ostream* os) { *os << c.name; }

class VibrationDetectorPeakMedian : public TestWithParam<PeakMedianCase> {};

TEST_P(VibrationDetectorPeakMedian, UsesTheUpperMiddleValueOfAnEvenWindow)
{
    const PeakMedianCase& c = GetParam();
    VibrationDetector detector;
    MagnitudeFeeder feeder(detector);
    for (std::int64_t sample = 2; sample <= 10; ++sample) {
        feeder.feed(c.high); // pushed out of the window before sample 210
    }
    std::vector<double> window;
    window.insert(window.end(), 100, c.high);
    window.insert(window.end(), 1, c.middle);
    window.insert(window.end(), 98, c.low);
    for (std::size_t i = 0; i < window.size(); ++i) { // interleave so the order does not help
        std::swap(window[i], window[(i * 73) % window.size()]);
    }
    window.push_back(c.low); // the tested sample
    for (double m : window) {
        feeder.feed(m);
    }
    ASSERT_EQ(detector.sampleCount(), 210);
    ASSERT_EQ(detector.peakBuf().count(), 200);
    EXPECT_EQ(firedAt(detector, 210, "PEAK"), c.expectPeak);
}

const PeakMedianCase peakMedianCases[] = {
    // Upper median 3.5, MAD 1: 2.5 / 1.4826 < 2. The mean of the middle pair (3.0) would fire.
    {"NotTheMeanOfTheMiddlePair", 1.0, 2.5, 3.5, false},
    // Upper median 4.5, MAD 1: 3.5 / 1.4826 > 2. The lower middle value (3.5) would not fire.
    {"NotTheLowerMiddleValue", 1.0, 3.5, 4.5, true},
};

INSTANTIATE_TEST_SUITE_P(All, VibrationDetectorPeakMedian, ::testing::ValuesIn(peakMedianCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VibrationDetector, PeakTestSeesOnlyPushedValues)
{
    VibrationDetector detector;
    MagnitudeFeeder feeder(detector);
    for (int i = 0; i < 58; ++i) {
        feeder.feed(i % 2 == 0 ? 1.0 : 3.0);
    }
    feeder.feed(2.0); // sample 60, the median of the 59 values pushed
    ASSERT_EQ(detector.sampleCount(), 60);
    // Padded with zeros the median would be 0 and the MAD 0, and 2.0 would be a peak.
    EXPECT_FALSE(firedAt(detector, 60, "PEAK"));
}

TEST(VibrationDetector, SpacingBetweenEvents)
{
    // After an event at 10.01 the sample at 10.02 is dropped; a detection at 10.0201 is not.
    VibrationDetector detector;
    detector.process(0.0, 0.0, 1.0, 10.00);
    detector.process(0.01, 0.0, 1.0, 10.01);
    detector.process(0.01, 0.0, 1.0, 10.02);
    ASSERT_EQ(detector.events().size(), 1u);
    detector.process(0.05, 0.0, 1.0, 10.0201);
    ASSERT_EQ(detector.events().size(), 2u);
    EXPECT_EQ(detector.lastEvtT(), 10.0201);
}

TEST(VibrationDetector, KeepsTheNewest500EventsInTimeOrder)
{
    VibrationDetector detector;
    MagnitudeFeeder feeder(detector);
    std::vector<double> made; // time of every event, in the order made
    for (int i = 0; i < 2400; ++i) {
        const std::size_t before = detector.events().size();
        const double lastBefore = before ? detector.events().back().time().timeIntervalSince1970() : 0.0;
        feeder.feed(i % 2 == 0 ? 0.1 : 0.001);
        const auto events = detector.events();
        if (!events.empty() &&
            (events.size() != before || events.back().time().timeIntervalSince1970() != lastBefore)) {
            made.push_back(events.back().time().timeIntervalSince1970());
        }
        ASSERT_EQ(events.size(), std::min<std::size_t>(made.size(), 500));
        if (!events.empty()) {
            ASSERT_EQ(events.front().time().timeIntervalSince1970(), made[made.size() - events.size()]);
        }
    }
    ASSERT_GT(made.size(), 1000u); // enough to wrap the cap more than once
    const auto events = detector.events();
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].time().timeIntervalSince1970(), made[made.size() - 500 + i]);
    }
}

TEST(VibrationDetector, ClearEventsEmptiesOnlyTheList)
{
    VibrationDetector detector;
    detector.process(0.0, 0.0, 1.0, 10.00);
    detector.process(0.01, 0.0, 1.0, 10.01);
    ASSERT_EQ(detector.events().size(), 1u);
    detector.clearEvents();
    EXPECT_TRUE(detector.events().empty());
    EXPECT_EQ(detector.sampleCount(), 2);
    EXPECT_EQ(detector.staLTAActive(), (std::array<bool, 3>{true, true, true}));
    detector.process(0.01, 0.0, 1.0, 11.0);
    EXPECT_EQ(detector.events().size(), 1u);
}

struct UnstampableCase {
    const char* name;
    double tNow;
};
void PrintTo(const UnstampableCase& c, std::ostream* os) { *os << c.name; }

class VibrationDetectorUnstampable : public TestWithParam<UnstampableCase> {};

TEST_P(VibrationDetectorUnstampable, RunsTheTriggersButMakesNoEvent)
{
    VibrationDetector detector;
    detector.process(0.0, 0.0, 1.0, 10.00);
    EXPECT_DOUBLE_EQ(detector.process(0.01, 0.0, 1.0, GetParam().tNow), 0.0095);
    EXPECT_EQ(detector.staLTAActive(), (std::array<bool, 3>{true, true, true}));
    EXPECT_TRUE(detector.events().empty());
    EXPECT_EQ(detector.lastEvtT(), 0.0);
    // The spacing reference is untouched, so the next stamped detection (CUSUM) makes an event.
    detector.process(0.01, 0.0, 1.0, 10.02);
    ASSERT_EQ(detector.events().size(), 1u);
    EXPECT_EQ(detector.events().back().sources(), std::vector<std::string>{"CUSUM"});
}

const UnstampableCase unstampableCases[] = {
    {"NaN", std::numeric_limits<double>::quiet_NaN()},
    {"PlusInfinity", std::numeric_limits<double>::infinity()},
    {"MinusInfinity", -std::numeric_limits<double>::infinity()},
    {"TwoToThe63", 0x1p63},
    {"BeyondInt64", 1e19},
};

INSTANTIATE_TEST_SUITE_P(All, VibrationDetectorUnstampable, ::testing::ValuesIn(unstampableCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VibrationDetector, NonFiniteSampleDoesNotStallTheWindowStatistics)
{
    // Out of the sensor's range, but the order statistics must still terminate; the sample is
    // dropped and counts for nothing.
    VibrationDetector detector;
    detector.process(0.0, 0.0, 1.0, 10.0);
    EXPECT_TRUE(std::isnan(detector.process(std::numeric_limits<double>::quiet_NaN(), 0.0, 1.0, 10.01)));
    for (int i = 0; i < 400; ++i) {
        detector.process(0.01 * (i % 3), 0.0, 1.0, 10.02 + 0.01 * i);
    }
    EXPECT_EQ(detector.sampleCount(), 401);
    EXPECT_EQ(detector.peakBuf().count(), 200);
    const auto window = detector.peakBuf().slice();
    EXPECT_TRUE(std::all_of(window.begin(), window.end(), [](double v) { return std::isfinite(v); }));
}

struct PoisonCase {
    const char* name;
    std::array<double, 3> sample;
    bool first; // as the priming sample
};

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

const PoisonCase poisonCases[] = {
    {"NaNOnX", {kNaN, 0.0, 1.0}, false},
    {"InfinityOnY", {0.0, kInf, 1.0}, false},
    {"MinusInfinityOnZ", {0.0, 0.0, -kInf}, false},
    {"NaNEverywhere", {kNaN, kNaN, kNaN}, false},
    {"NaNAsThePrimingSample", {kNaN, 0.0, 1.0}, true},
};

class VibrationDetectorPoison : public TestWithParam<PoisonCase> {};

TEST_P(VibrationDetectorPoison, ALaterKnockStillMakesAnEvent)
{
    VibrationDetector detector;
    double t = 100.0;
    const auto& [x, y, z] = GetParam().sample;
    if (GetParam().first) {
        EXPECT_TRUE(std::isnan(detector.process(x, y, z, t += 0.01)));
    }
    for (int i = 0; i < 150; ++i) {
        detector.process(0.0, 0.0, 1.0, t += 0.01);
    }
    if (!GetParam().first) {
        EXPECT_TRUE(std::isnan(detector.process(x, y, z, t += 0.01)));
    }
    const auto quietCount = detector.sampleCount();
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(detector.process(0.0, 0.0, 1.0, t += 0.01), 0.0) << "the filter is at rest, not poisoned";
    }
    EXPECT_EQ(detector.sampleCount(), quietCount + 50);
    EXPECT_TRUE(detector.events().empty());

    const double magnitude = detector.process(0.0, 0.0, 1.3, t += 0.01);
    EXPECT_NEAR(magnitude, 0.285, 1e-9);
    ASSERT_FALSE(detector.events().empty());
    EXPECT_DOUBLE_EQ(detector.events().back().amplitude(), magnitude);
}

INSTANTIATE_TEST_SUITE_P(All, VibrationDetectorPoison, ::testing::ValuesIn(poisonCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The detector written out plainly: whole-window copies from slice(), full sorts for the median
// and the MAD, detection lists of names. The detector must agree with it to the bit.
class ReferenceDetector {
public:
    struct Event {
        double time;
        std::string severity;
        double amplitude;
        std::set<std::string> sources;
    };

    double process(double ax, double ay, double az, double tNow)
    {
        ++sampleCount;
        const std::array<double, 3> raw{ax, ay, az};
        if (!hpReady) {
            prevRaw = raw;
            hpReady = true;
            return 0.0;
        }
        std::array<double, 3> out;
        for (std::size_t i = 0; i < 3; ++i) {
            out[i] = 0.95 * ((prevOut[i] + raw[i]) - prevRaw[i]);
        }
        prevRaw = raw;
        prevOut = out;
        const double mag = std::sqrt((out[0] * out[0] + out[1] * out[1]) + out[2] * out[2]);
        const double e = mag * mag;
        std::vector<std::string> detections;

        const std::array<double, 3> staN{3, 15, 50};
        const std::array<double, 3> ltaN{100, 500, 2000};
        const std::array<double, 3> on{3.0, 2.5, 2.0};
        const std::array<double, 3> off{1.5, 1.3, 1.2};
        for (std::size_t i = 0; i < 3; ++i) {
            sta[i] = sta[i] + (e - sta[i]) / staN[i];
            lta[i] = lta[i] + (e - lta[i]) / ltaN[i];
            const double ratio = sta[i] / (lta[i] + 1e-30);
            if (ratio > on[i] && !active[i]) {
                active[i] = true;
                detections.push_back("STA/LTA");
            } else if (ratio < off[i]) {
                active[i] = false;
            }
        }

        mu = mu + (mag - mu) * 0.0001;
        pos = std::max(0.0, ((pos + mag) - mu) - 0.0005);
        neg = std::max(0.0, ((neg - mag) + mu) - 0.0005);
        if (pos > 0.01) {
            detections.push_back("CUSUM");
            pos = 0.0;
        }
        if (neg > 0.01) {
            detections.push_back("CUSUM");
            neg = 0.0;
        }

        kurtBuf.push(mag);
        ++kurtDec;
        if (kurtDec >= 10 && kurtBuf.count() >= 50) {
            kurtDec = 0;
            const std::vector<double> window = kurtBuf.slice();
            const double n = static_cast<double>(window.size());
            double sum = 0.0;
            for (double v : window) {
                sum += v;
            }
            const double mean = sum / n;
            double m2 = 0.0;
            double m4 = 0.0;
            for (double v : window) {
                const double d = v - mean;
                m2 += d * d;
                m4 += (d * d) * (d * d);
            }
            m2 /= n;
            m4 /= n;
            kurtosis = m4 / (m2 * m2 + 1e-30);
            if (kurtosis > 6.0) {
                detections.push_back("KURTOSIS");
            }
        }

        peakBuf.push(mag);
        if (peakBuf.count() >= 50 && sampleCount % 10 == 0) {
            std::vector<double> sorted = peakBuf.slice();
            std::sort(sorted.begin(), sorted.end());
            const std::size_t middle = sorted.size() / 2;
            const double median = sorted[middle];
            std::vector<double> deviations;
            for (double v : peakBuf.slice()) {
                deviations.push_back(std::abs(v - median));
            }
            std::sort(deviations.begin(), deviations.end());
            const double mad = deviations[middle];
            zeroMadTests += mad == 0.0;
            if (std::abs(mag - median) / (mad * 1.4826 + 1e-30) > 2.0) {
                detections.push_back("PEAK");
            }
        }

        if (!detections.empty() && tNow - lastEvtT > 0.01) {
            lastEvtT = tNow;
            classify(detections, tNow, mag);
        }
        return mag;
    }

    std::vector<Event> events; // every event made, none dropped
    double kurtosis = 3.0;
    int zeroMadTests = 0;

private:
    void classify(const std::vector<std::string>& detections, double t, double amp)
    {
        const std::set<std::string> u(detections.begin(), detections.end());
        const std::size_t n = u.size();
        std::string severity = "MICRO_VIB";
        if (n >= 4 && amp > 0.05) {
            severity = "CHOC_MAJEUR";
        } else if (n >= 3 && amp > 0.02) {
            severity = "CHOC_MOYEN";
        } else if (u.count("PEAK") && amp > 0.005) {
            severity = "MICRO_CHOC";
        } else if ((u.count("STA/LTA") || u.count("CUSUM")) && amp > 0.003) {
            severity = "VIBRATION";
        } else if (amp > 0.001) {
            severity = "VIB_LEGERE";
        }
        const auto whole = static_cast<std::int64_t>(t);
        const auto nanos = static_cast<std::int64_t>((t - static_cast<double>(whole)) * 1e9);
        events.push_back({static_cast<double>(whole) + static_cast<double>(nanos) / 1e9, severity, amp, u});
    }

    std::int64_t sampleCount = 0;
    bool hpReady = false;
    std::array<double, 3> prevRaw{0, 0, 0};
    std::array<double, 3> prevOut{0, 0, 0};
    std::array<double, 3> sta{0, 0, 0};
    std::array<double, 3> lta{1e-10, 1e-10, 1e-10};
    std::array<bool, 3> active{false, false, false};
    double mu = 0.0;
    double pos = 0.0;
    double neg = 0.0;
    RingFloat kurtBuf{100};
    RingFloat peakBuf{200};
    std::int64_t kurtDec = 0;
    double lastEvtT = 0.0;
};

::testing::AssertionResult sameEvent(const VibrationEvent& actual, const ReferenceDetector::Event& expected)
{
    const std::set<std::string> sources(actual.sources().begin(), actual.sources().end());
    if (actual.time().timeIntervalSince1970() != expected.time || actual.severity() != expected.severity ||
        actual.amplitude() != expected.amplitude || sources != expected.sources ||
        sources.size() != actual.sources().size()) {
        return ::testing::AssertionFailure()
               << "event at " << actual.time().timeIntervalSince1970() << " (" << actual.severity() << ", "
               << actual.amplitude() << ") differs from the reference event at " << expected.time << " ("
               << expected.severity << ", " << expected.amplitude << ")";
    }
    return ::testing::AssertionSuccess();
}

TEST(VibrationDetector, AgreesBitForBitWithThePlainAlgorithmOnALongStream)
{
    // Gravity with 2 mg of noise and random damped knocks, in stretches of 15 s: plain, quantised
    // to the 1/256 g steps of a coarse sensor, or stuck, the reading changing on 1% of the samples.
    // The first stretch is stuck from the priming sample on, so the first peak windows are mostly
    // exact zeros (ties, zero MAD). Stamps are real Unix times 0.01 s apart.
    std::mt19937_64 random(7031);
    std::normal_distribution<double> noise(0.0, 0.002);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    VibrationDetector detector;
    ReferenceDetector reference;
    std::array<double, 3> sample{0.03, -0.02, -0.999};
    double knockAmp = 0.0;
    int knockAge = 0;
    int stretch = 2; // 0 plain, 1 quantised, 2 stuck
    for (int i = 0; i < 60000; ++i) {
        if (i > 0 && i % 1500 == 0) {
            stretch = static_cast<int>(unit(random) * 3.0);
        }
        if (unit(random) < 1.0 / 300.0) {
            knockAmp = 0.01 + 0.6 * unit(random);
            knockAge = 0;
        }
        const double knock = knockAmp * std::exp(-knockAge / 6.0) * std::sin(2.0 * std::numbers::pi * 0.2 * knockAge);
        ++knockAge;
        if (stretch != 2 || unit(random) < 0.01) {
            sample = {0.03 + noise(random) + 0.3 * knock, -0.02 + noise(random) + 0.2 * knock,
                      -0.999 + noise(random) + knock};
            if (stretch == 1) {
                for (double& axis : sample) {
                    axis = std::round(axis * 256.0) / 256.0;
                }
            }
        }
        const double t = 1.7e9 + i / 100.0;

        const double mag = detector.process(sample[0], sample[1], sample[2], t);
        ASSERT_EQ(mag, reference.process(sample[0], sample[1], sample[2], t)) << "sample " << i;
        ASSERT_EQ(detector.kurtosis(), reference.kurtosis) << "sample " << i;
        const auto events = detector.events();
        ASSERT_EQ(events.size(), std::min<std::size_t>(reference.events.size(), VibrationDetector::maxEvents))
            << "sample " << i;
        if (!events.empty()) {
            ASSERT_TRUE(sameEvent(events.back(), reference.events.back())) << "sample " << i;
        }
    }

    const auto events = detector.events();
    const std::size_t dropped = reference.events.size() - events.size();
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_TRUE(sameEvent(events[i], reference.events[dropped + i])) << "event " << i;
    }

    // The stream must have exercised every trigger, the event cap and degenerate peak windows.
    std::map<std::string, int> bySource;
    std::set<std::string> severities;
    for (const auto& event : reference.events) {
        for (const auto& source : event.sources) {
            ++bySource[source];
        }
        severities.insert(event.severity);
    }
    EXPECT_GT(reference.events.size(), 3 * VibrationDetector::maxEvents);
    for (const char* source : {"STA/LTA", "CUSUM", "KURTOSIS", "PEAK"}) {
        EXPECT_GE(bySource[source], 20) << source;
    }
    EXPECT_GE(severities.size(), 5u);
    EXPECT_GT(reference.zeroMadTests, 0);
}

struct ClassifyCase {
    const char* name;
    std::vector<std::string_view> detections;
    double amplitude;
    const char* severity;
    const char* symbol;
    const char* label;
};
void PrintTo(const ClassifyCase& c, std::ostream* os) { *os << c.name; }

class VibrationDetectorClassify : public TestWithParam<ClassifyCase> {};

TEST_P(VibrationDetectorClassify, PicksTheFirstMatchingRow)
{
    const ClassifyCase& c = GetParam();
    const auto row = VibrationDetector::severityFor(c.detections, c.amplitude);
    EXPECT_EQ(row.severity, c.severity);
    EXPECT_EQ(row.symbol, c.symbol);
    EXPECT_EQ(row.label, c.label);
}

const ClassifyCase classifyCases[] = {
    {"AllFourAbove005", {"STA/LTA", "CUSUM", "KURTOSIS", "PEAK"}, 0.0501, "CHOC_MAJEUR", "\u2605", "MAJOR"},
    {"AllFourAt005", {"STA/LTA", "CUSUM", "KURTOSIS", "PEAK"}, 0.05, "CHOC_MOYEN", "\u25B2", "shock"},
    {"ThreeAbove002", {"STA/LTA", "CUSUM", "KURTOSIS"}, 0.0201, "CHOC_MOYEN", "\u25B2", "shock"},
    {"ThreeAt002", {"STA/LTA", "CUSUM", "KURTOSIS"}, 0.02, "VIBRATION", "\u25CF", "vibration"},
    {"PeakAbove0005", {"PEAK"}, 0.0051, "MICRO_CHOC", "\u25B3", "micro-choc"},
    {"PeakAt0005", {"PEAK"}, 0.005, "VIB_LEGERE", "\u25CB", "light-vib"},
    {"PeakAt0004", {"PEAK"}, 0.004, "VIB_LEGERE", "\u25CB", "light-vib"},
    {"PeakAt0001", {"PEAK"}, 0.001, "MICRO_VIB", "\u00B7", "micro-vib"},
    {"KurtosisAloneHuge", {"KURTOSIS"}, 10.0, "VIB_LEGERE", "\u25CB", "light-vib"},
    {"KurtosisAloneTiny", {"KURTOSIS"}, 0.0005, "MICRO_VIB", "\u00B7", "micro-vib"},
    {"CusumAt0003", {"CUSUM"}, 0.003, "VIB_LEGERE", "\u25CB", "light-vib"},
    {"CusumAbove0003", {"CUSUM"}, 0.0031, "VIBRATION", "\u25CF", "vibration"},
    {"RepeatedStaLtaAndCusum", {"STA/LTA", "STA/LTA", "STA/LTA", "CUSUM"}, 0.004, "VIBRATION", "\u25CF", "vibration"},
    {"RepeatedStaLtaAndCusumWeak",
     {"STA/LTA", "STA/LTA", "STA/LTA", "CUSUM"},
     0.0025,
     "VIB_LEGERE",
     "\u25CB",
     "light-vib"},
    {"RepeatsCountOnce", {"STA/LTA", "STA/LTA", "STA/LTA", "CUSUM", "CUSUM"}, 0.1, "VIBRATION", "\u25CF", "vibration"},
    {"RepeatedPeakIsOneSource", {"PEAK", "PEAK", "PEAK", "PEAK"}, 0.1, "MICRO_CHOC", "\u25B3", "micro-choc"},
};

INSTANTIATE_TEST_SUITE_P(All, VibrationDetectorClassify, ::testing::ValuesIn(classifyCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
