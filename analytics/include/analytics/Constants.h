#pragma once

#include <cstdint>

namespace tally {

/// Batching and retry limits of delivery.
struct APIConstants {
    static constexpr std::int64_t maxBatchSize = 50;
    static constexpr double minRetryBackoff = 60.0;  // seconds
    static constexpr double maxRetryBackoff = 600.0; // seconds
    static constexpr std::int64_t failuresTillBackoff = 2;
};

struct GzipSettings {
    /// Added to the window size 15 so that deflate writes a gzip header and trailer.
    static constexpr std::int32_t gzipHeaderOffset = 16;
};

/// The reverse-domain prefix of the client's queue and lock labels and notification names.
inline constexpr const char* tallyLabelPrefix = "app.thwacko.tally";

} // namespace tally
