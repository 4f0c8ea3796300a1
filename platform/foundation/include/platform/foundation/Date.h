#pragma once

#include <chrono>
#include <compare>

namespace foundation {

/// A point in wall-clock time, held as seconds since 1970-01-01 00:00:00 UTC.
/// Wall time can jump; intervals that must not (cooldowns, spacings) use MonotonicTime.
class Date {
public:
    constexpr Date() = default;
    constexpr explicit Date(double secondsSince1970)
        : seconds(secondsSince1970)
    {
    }

    static Date now();
    static constexpr Date fromTimeIntervalSince1970(double s) { return Date(s); }

    constexpr double timeIntervalSince1970() const { return seconds; }
    /// Seconds from `other` to this date; negative when `other` is later.
    constexpr double timeIntervalSince(Date other) const { return seconds - other.seconds; }
    constexpr Date addingTimeInterval(double s) const { return Date(seconds + s); }

    constexpr auto operator<=>(const Date&) const = default;

private:
    double seconds = 0.0;
};

using MonotonicTime = std::chrono::steady_clock::time_point;

/// The two clocks as one seam, so that tests can drive time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;
    virtual MonotonicTime monotonicNow() const = 0;
};

/// The real clocks.
class SystemClock final : public Clock {
public:
    Date now() const override { return Date::now(); }
    MonotonicTime monotonicNow() const override { return std::chrono::steady_clock::now(); }
    static const SystemClock& shared();
};

/// Seconds between two monotonic readings.
inline double secondsBetween(MonotonicTime from, MonotonicTime to)
{
    return std::chrono::duration<double>(to - from).count();
}

} // namespace foundation
