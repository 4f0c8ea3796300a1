#include "Services/VibrationDetector.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

namespace {

constexpr std::array<std::string_view, 4> sourceNames{"STA/LTA", "CUSUM", "KURTOSIS", "PEAK"};

// Whole seconds of `t` fit a signed 64-bit integer exactly when -2^63 <= t < 2^63 (false for NaN).
bool hasEventTime(double t) { return t >= -0x1p63 && t < 0x1p63; }

} // namespace

VibrationDetector::VibrationDetector()
{
    // The lazy trimming in classify() lets the store reach twice the cap just before it drops the
    // prefix; with that room reserved, appending an event never reallocates the store.
    eventStore.reserve(2 * maxEvents);
}

double VibrationDetector::process(double ax, double ay, double az, double tNow)
{
    // The high-pass filter feeds each output back into the next: one NaN or infinity would stay
    // in it, and in every average after it, for good.
    if (!std::isfinite(ax) || !std::isfinite(ay) || !std::isfinite(az)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    ++sampleCount_;
    const std::array<double, 3> raw{ax, ay, az};
    if (!hpReady) {
        hpPrevRaw = raw;
        hpReady = true;
        return 0.0;
    }

    std::array<double, 3> out;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        out[axis] = hpAlpha * ((hpPrevOut[axis] + raw[axis]) - hpPrevRaw[axis]);
    }
    hpPrevRaw = raw;
    hpPrevOut = out;

    const double mag = std::sqrt((out[0] * out[0] + out[1] * out[1]) + out[2] * out[2]);
    const double e = mag * mag;

    unsigned detections = 0;

    for (std::size_t band = 0; band < 3; ++band) {
        sta_[band] = sta_[band] + (e - sta_[band]) / staN[band];
        lta_[band] = lta_[band] + (e - lta_[band]) / ltaN[band];
        const double ratio = sta_[band] / (lta_[band] + 1e-30);
        if (ratio > staLTAOn[band] && !staLTAActive_[band]) {
            staLTAActive_[band] = true;
            detections |= staLta;
        } else if (ratio < staLTAOff[band]) {
            staLTAActive_[band] = false;
        }
    }

    cusumMu_ = cusumMu_ + (mag - cusumMu_) * 0.0001;
    cusumPos_ = std::max(0.0, ((cusumPos_ + mag) - cusumMu_) - cusumK);
    cusumNeg_ = std::max(0.0, ((cusumNeg_ - mag) + cusumMu_) - cusumK);
    if (cusumPos_ > cusumH) {
        detections |= cusum;
        cusumPos_ = 0.0;
    }
    if (cusumNeg_ > cusumH) {
        detections |= cusum;
        cusumNeg_ = 0.0;
    }

    kurtBuf_.push(mag);
    ++kurtDec_;
    if (kurtDec_ >= 10 && kurtBuf_.count() >= 50) {
        kurtDec_ = 0;
        const std::span<const double> window(kurtScratch.data(), kurtBuf_.copyTo(kurtScratch));
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
            const double d2 = d * d;
            m2 += d2;
            m4 += d2 * d2;
        }
        m2 /= n;
        m4 /= n;
        kurtosis_ = m4 / (m2 * m2 + 1e-30);
        if (kurtosis_ > 6.0) {
            detections |= kurt;
        }
    }

    peakWindow_.push(mag);
    if (peakWindow_.count() >= 50 && sampleCount_ % 10 == 0 && peakFires(mag)) {
        detections |= peak;
    }

    // A sample without an event time keeps lastEvtT: an infinite reference would block every later event.
    if (detections != 0 && hasEventTime(tNow) && tNow - lastEvtT_ > 0.01) {
        lastEvtT_ = tNow;
        classify(detections, tNow, mag);
    }
    return mag;
}

bool VibrationDetector::peakFires(double mag)
{
    const MedianWindow::Spread spread = peakWindow_.spread();
    const double sigma = spread.deviation * 1.4826 + 1e-30;
    return std::abs(mag - spread.median) / sigma > 2.0;
}

VibrationDetector::Classification VibrationDetector::severityForMask(unsigned sources, double amplitude)
{
    const int n = std::popcount(sources);
    if (n >= 4 && amplitude > 0.05) {
        return {"CHOC_MAJEUR", "\u2605", "MAJOR"};
    }
    if (n >= 3 && amplitude > 0.02) {
        return {"CHOC_MOYEN", "\u25B2", "shock"};
    }
    if ((sources & peak) != 0 && amplitude > 0.005) {
        return {"MICRO_CHOC", "\u25B3", "micro-choc"};
    }
    if ((sources & (staLta | cusum)) != 0 && amplitude > 0.003) {
        return {"VIBRATION", "\u25CF", "vibration"};
    }
    if (amplitude > 0.001) {
        return {"VIB_LEGERE", "\u25CB", "light-vib"};
    }
    return {"MICRO_VIB", "\u00B7", "micro-vib"};
}

VibrationDetector::Classification VibrationDetector::severityFor(std::span<const std::string_view> detections,
                                                                 double amplitude)
{
    unsigned mask = 0;
    for (std::string_view name : detections) {
        for (std::size_t bit = 0; bit < sourceNames.size(); ++bit) {
            if (name == sourceNames[bit]) {
                mask |= 1u << bit;
            }
        }
    }
    return severityForMask(mask, amplitude);
}

void VibrationDetector::classify(unsigned detections, double t, double amp)
{
    const Classification row = severityForMask(detections, amp);

    // Cut to whole nanoseconds, as the event time is built from whole seconds and nanoseconds.
    const auto whole = static_cast<std::int64_t>(t);
    const auto nanos = static_cast<std::int64_t>((t - static_cast<double>(whole)) * 1e9);
    const foundation::Date time(static_cast<double>(whole) + static_cast<double>(nanos) / 1e9);

    std::vector<std::string> sources;
    sources.reserve(static_cast<std::size_t>(std::popcount(detections)));
    for (std::size_t bit = 0; bit < sourceNames.size(); ++bit) {
        if ((detections & (1u << bit)) != 0) {
            sources.emplace_back(sourceNames[bit]);
        }
    }

    eventStore.emplace_back(time, std::string(row.severity), std::string(row.symbol), std::string(row.label), amp,
                            std::move(sources));
    if (eventStore.size() - eventStart > maxEvents) {
        ++eventStart;
        if (eventStart >= maxEvents) {
            eventStore.erase(eventStore.begin(), eventStore.begin() + static_cast<std::ptrdiff_t>(eventStart));
            eventStart = 0;
        }
    }
}

void VibrationDetector::clearEvents()
{
    std::vector<VibrationEvent>().swap(eventStore);
    eventStart = 0;
}
