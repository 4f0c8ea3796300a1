#pragma once

#include <cstdint>

namespace hid {

/// How many reports carry each sample of a sensor that keeps its own rate, so that the
/// accelerometer service, which decodes one report in eight, hands the detector every sample of
/// a sensor at up to 125 samples per second, and about 125 per second of a faster one (as it
/// does with 1000 reports per second). A sample is carried by as many reports as report
/// intervals fit in the time since the previous sample, at most eight; fractions carry over.
class RateMatcher {
public:
    static constexpr int kMaxCopies = 8;

    explicit RateMatcher(std::int64_t reportIntervalUs = 1000);

    /// The number of reports for a sample `intervalUs` after the previous one (0 or less: the
    /// first sample, or no time known, which takes kMaxCopies).
    int copiesAfter(double intervalUs);
    /// Forgets the carried fraction.
    void reset() { carry = 0; }

private:
    double reportIntervalUs;
    double carry = 0;
};

} // namespace hid
