#pragma once

#include "Models/Events.h"
#include "Services/MedianWindow.h"
#include "Services/RingFloat.h"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

/// Turns three-axis acceleration samples (g) into classified impacts.
///
/// Each sample is high-pass filtered per axis; the magnitude of the filtered vector runs through
/// four triggers: "STA/LTA" (three bands of short- over long-term energy), "CUSUM" (two-sided,
/// against a slowly tracking mean), "KURTOSIS" (of the last 100 magnitudes, every tenth sample)
/// and "PEAK" (against the median and MAD of the last 200 magnitudes, every tenth sample). A
/// sample on which any fired and whose time is more than 0.01 s after the last event's becomes
/// a VibrationEvent.
///
/// Not synchronised: used on one thread. Never reset in place; a fresh state is a fresh detector.
class VibrationDetector final {
public:
    /// Nominal sample rate (samples per second) the owner stamps samples with; never measured.
    static constexpr std::int64_t fs = 100;
    /// Most events kept; the oldest go first.
    static constexpr std::size_t maxEvents = 500;

    /// The severity row chosen for a sample.
    struct Classification {
        std::string_view severity;
        std::string_view symbol;
        std::string_view label;
    };

    VibrationDetector();
    VibrationDetector(const VibrationDetector&) = delete;
    VibrationDetector& operator=(const VibrationDetector&) = delete;

    /// Feeds one sample (g) stamped `tNow` (seconds since 1970); returns its filtered magnitude in g,
    /// 0.0 for the detector's first (priming) sample. Appends at most one event. Allocates only for the
    /// sources list of an event it makes (and, after clearEvents(), while the event storage regrows).
    /// A `tNow` that is not finite or whose whole seconds do not fit a signed 64-bit integer has no
    /// event time: such a sample still updates every trigger but makes no event and leaves the
    /// spacing reference unchanged. A sample with a non-finite axis is dropped before the filter
    /// (NaN is returned, nothing changes, it is not counted).
    double process(double ax, double ay, double az, double tNow);

    /// The events, oldest first, at most maxEvents. The view is invalidated by the next process() or clearEvents().
    std::span<const VibrationEvent> events() const
    {
        return std::span<const VibrationEvent>(eventStore).subspan(eventStart);
    }
    /// Drops every event and releases their storage; the triggers keep their state.
    void clearEvents();

    /// The severity for a detection list (names may repeat; each counts once) and an amplitude in g.
    static Classification severityFor(std::span<const std::string_view> detections, double amplitude);

    // Read-only views of the trigger state.
    /// Samples fed so far, the priming sample included and dropped ones not.
    std::int64_t sampleCount() const { return sampleCount_; }
    /// Short-term energy average per band, g².
    const std::array<double, 3>& sta() const { return sta_; }
    /// Long-term energy average per band, g².
    const std::array<double, 3>& lta() const { return lta_; }
    /// Whether each band is switched on.
    const std::array<bool, 3>& staLTAActive() const { return staLTAActive_; }
    double cusumPos() const { return cusumPos_; }
    double cusumNeg() const { return cusumNeg_; }
    double cusumMu() const { return cusumMu_; }
    /// The kurtosis last evaluated (3.0 before the first evaluation).
    double kurtosis() const { return kurtosis_; }
    /// Samples since the last kurtosis evaluation.
    std::int64_t kurtDec() const { return kurtDec_; }
    const RingFloat& kurtBuf() const { return kurtBuf_; }
    const RingFloat& peakBuf() const { return peakWindow_.values(); }
    /// `tNow` of the last event; 0 before the first.
    double lastEvtT() const { return lastEvtT_; }

private:
    // Detection sources as bits: a sample's list only matters as the set of names it holds.
    enum Source : unsigned { staLta = 1u, cusum = 2u, kurt = 4u, peak = 8u };

    static Classification severityForMask(unsigned sources, double amplitude);
    /// Builds and appends the event for a sample whose detections are the bits of `detections`.
    void classify(unsigned detections, double t, double amp);
    bool peakFires(double mag);

    std::int64_t sampleCount_ = 0;
    static constexpr double hpAlpha = 0.95;
    std::array<double, 3> hpPrevRaw{0.0, 0.0, 0.0};
    std::array<double, 3> hpPrevOut{0.0, 0.0, 0.0};
    bool hpReady = false;
    std::array<double, 3> sta_{0.0, 0.0, 0.0};
    std::array<double, 3> lta_{1e-10, 1e-10, 1e-10};
    static constexpr std::array<double, 3> staN{3.0, 15.0, 50.0};
    static constexpr std::array<double, 3> ltaN{100.0, 500.0, 2000.0};
    static constexpr std::array<double, 3> staLTAOn{3.0, 2.5, 2.0};
    static constexpr std::array<double, 3> staLTAOff{1.5, 1.3, 1.2};
    std::array<bool, 3> staLTAActive_{false, false, false};
    double cusumPos_ = 0.0;
    double cusumNeg_ = 0.0;
    double cusumMu_ = 0.0;
    static constexpr double cusumK = 0.0005;
    static constexpr double cusumH = 0.01;
    static constexpr std::size_t kurtWindow = 100;
    static constexpr std::size_t peakWindow = 200;
    RingFloat kurtBuf_{kurtWindow};
    double kurtosis_ = 3.0;
    MedianWindow peakWindow_{peakWindow};
    // Fixed room for the window statistics, so that evaluating them never allocates.
    std::array<double, kurtWindow> kurtScratch{};
    // The live events are eventStore[eventStart...]; the dropped prefix is erased in one go once it
    // reaches maxEvents, so keeping the cap costs one element move per event.
    std::vector<VibrationEvent> eventStore;
    std::size_t eventStart = 0;
    double lastEvtT_ = 0.0;
    std::int64_t kurtDec_ = 0;
};
