#include "Services/SlapTracker.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <utility>

namespace {

// scale = (S_max - 1) / ln(N + 1), where S_max = 1 / (1 - d) is the score's limit for slaps one
// cooldown apart and d the decay over one cooldown. Without a spread to spend (no cooldown) or
// without files, the scale is infinite, so escalation stays on the first clip.
double escalationScale(std::size_t fileCount, double cooldown)
{
    const double d = std::pow(0.5, cooldown / SlapTracker::decayHalfLife);
    if (fileCount == 0 || !(d < 1.0)) {
        return std::numeric_limits<double>::infinity();
    }
    const double sMax = 1.0 / (1.0 - d);
    return (sMax - 1.0) / std::log(static_cast<double>(fileCount) + 1.0);
}

} // namespace

SlapTracker::SlapTracker(SoundPack pack, double cooldown)
    : scale_(escalationScale(pack.files().size(), cooldown))
    , pack_(std::move(pack))
{
}

SlapTracker::Record SlapTracker::record(foundation::Date now)
{
    std::lock_guard guard(lock);
    if (lastTime) {
        score *= std::pow(0.5, now.timeIntervalSince(*lastTime) / halfLife_);
    }
    score += 1.0;
    lastTime = now;
    ++total;
    return {total, score};
}

std::optional<std::filesystem::path> SlapTracker::getFile(double score) const
{
    const auto& files = pack_.files();
    if (files.empty()) {
        return std::nullopt;
    }
    const std::size_t n = files.size();
    if (pack_.mode() == PlayMode::random) {
        thread_local std::mt19937_64 engine{std::random_device{}()};
        std::uniform_int_distribution<std::size_t> pick(0, n - 1);
        return files[pick(engine)];
    }
    const double x = static_cast<double>(n) * (1.0 - std::exp(-(score - 1.0) / scale_));
    // Clamp before converting: a score below 1, a NaN or a negative scale must still give an index in range.
    std::size_t index = 0;
    if (x >= static_cast<double>(n)) {
        index = n - 1;
    } else if (x > 0.0) {
        index = std::min(static_cast<std::size_t>(x), n - 1);
    }
    return files[index];
}
