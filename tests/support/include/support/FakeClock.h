#pragma once

#include "platform/foundation/Date.h"

#include <chrono>

namespace testsupport {

/// Both clocks standing still until the test moves them. Header-only.
class FakeClock final : public foundation::Clock {
public:
    foundation::Date wall{1.7e9};
    foundation::MonotonicTime monotonic{std::chrono::seconds(1000)};

    foundation::Date now() const override { return wall; }
    foundation::MonotonicTime monotonicNow() const override { return monotonic; }

    /// Moves both clocks.
    void advance(double seconds)
    {
        wall = wall.addingTimeInterval(seconds);
        advanceMonotonic(seconds);
    }
    void advanceMonotonic(double seconds)
    {
        monotonic +=
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    }
};

} // namespace testsupport
