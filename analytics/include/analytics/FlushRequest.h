#pragma once

#include "analytics/Network.h"
#include "platform/foundation/Date.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tally {

/// The record kinds as request paths: "/track/", "/engage/", "/groups/".
enum class FlushType { events, people, groups };
std::string rawValue(FlushType type);
std::optional<FlushType> flushType(const std::string& raw);

/// Sends one batch and keeps the back-off state: consecutive failures and the time before which
/// no request may start ("Retry-After", and from the second failure in a row 60 × 2^(n−1)
/// seconds plus 0–29 random seconds, kept between 60 and 600).
class FlushRequest : public Network {
public:
    explicit FlushRequest(std::string serverURL);

    /// POSTs `requestData` (a JSON array) to the kind's path, gzip'd for events when asked, and
    /// waits for the answer up to the response wait. True when the server took it (200 with a
    /// text body). A base address that does not parse fails at once.
    bool sendRequest(const std::string& requestData, FlushType type, bool useIP,
                     const std::map<std::string, std::string>& headers,
                     const std::vector<URLQueryItem>& queryItems = {}, bool useGzipCompression = false);

    /// True while the current time is before `networkRequestsAllowedAfterTime()`.
    bool requestNotAllowed() const;
    double networkRequestsAllowedAfterTime() const;
    std::int64_t networkConsecutiveFailures() const;

    /// The back-off for `failures` in a row with the random part `randomSeconds` (0–29).
    static double retryBackOffTime(std::int64_t failures, std::uint32_t randomSeconds);

    /// Test seams: how long `sendRequest` waits (120 s), the request time-out (60 s), the clock
    /// and the random draw (a whole number below the bound).
    void setResponseWait(std::chrono::milliseconds wait) { responseWait = wait; }
    void setRequestTimeout(std::chrono::milliseconds timeout) { requestTimeout = timeout; }
    void setClock(const foundation::Clock* clock);
    void setRandom(std::function<std::uint32_t(std::uint32_t bound)> random);

private:
    // Shared with completions, which may arrive after the object is gone.
    struct State;

    std::shared_ptr<State> state;
    std::atomic<std::chrono::milliseconds> responseWait{std::chrono::seconds(120)};
    std::atomic<std::chrono::milliseconds> requestTimeout{std::chrono::seconds(60)};
};

} // namespace tally
