#include "analytics/FlushRequest.h"

#include "analytics/Constants.h"
#include "analytics/Gzip.h"
#include "analytics/TallyLogger.h"
#include "platform/foundation/DispatchQueue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <random>

namespace tally {

namespace {

bool isValidUtf8(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        int length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        std::uint32_t code = length == 1 ? c : c & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

// The answer's body: nullopt unless UTF-8; its whole decimal integer, else 0.
std::optional<std::int64_t> parseAnswer(const std::string& body)
{
    if (!isValidUtf8(body)) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const char* begin = body.data();
    const char* end = begin + body.size();
    if (!body.empty() && *begin == '+') {
        ++begin;
    }
    const auto [rest, error] = std::from_chars(begin, end, value);
    if (body.empty() || error != std::errc() || rest != end) {
        return 0;
    }
    return value;
}

// "Retry-After" as seconds; anything that is not a finite, non-negative number counts as 0.
double retryAfterSeconds(const std::optional<HTTPResponse>& response)
{
    if (!response) {
        return 0;
    }
    const auto text = response->header("Retry-After");
    if (!text || text->empty()) {
        return 0;
    }
    double value = 0;
    const auto [rest, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || rest != text->data() + text->size() || !std::isfinite(value) || value < 0) {
        return 0;
    }
    return value;
}

} // namespace

std::string rawValue(FlushType type)
{
    switch (type) {
    case FlushType::events:
        return "/track/";
    case FlushType::people:
        return "/engage/";
    case FlushType::groups:
        return "/groups/";
    }
    return "/track/";
}

std::optional<FlushType> flushType(const std::string& raw)
{
    for (auto type : {FlushType::events, FlushType::people, FlushType::groups}) {
        if (rawValue(type) == raw) {
            return type;
        }
    }
    return std::nullopt;
}

struct FlushRequest::State {
    mutable std::mutex lock;
    double allowedAfter = 0;
    std::int64_t consecutiveFailures = 0;
    std::function<std::uint32_t(std::uint32_t)> random;
    const foundation::Clock* clock = &foundation::SystemClock::shared();

    double now() const
    {
        const foundation::Clock* current = nullptr;
        {
            const std::lock_guard guard(lock);
            current = clock;
        }
        return current->now().timeIntervalSince1970();
    }

    double retryBackOffTimeWithConsecutiveFailures(std::int64_t failures)
    {
        std::function<std::uint32_t(std::uint32_t)> draw;
        {
            const std::lock_guard guard(lock);
            draw = random;
        }
        return FlushRequest::retryBackOffTime(failures, draw(30) % 30);
    }

    // Runs after every answer, once the failure count includes it.
    void updateRetryDelay(const std::optional<HTTPResponse>& response, bool failed)
    {
        std::int64_t failures = 0;
        {
            const std::lock_guard guard(lock);
            consecutiveFailures = failed ? consecutiveFailures + 1 : 0;
            failures = consecutiveFailures;
        }
        double retry = retryAfterSeconds(response);
        if (failures >= APIConstants::failuresTillBackoff) {
            retry = std::max(retry, retryBackOffTimeWithConsecutiveFailures(failures));
        }
        const double allowed = now() + retry;
        const std::lock_guard guard(lock);
        allowedAfter = allowed;
    }
};

FlushRequest::FlushRequest(std::string serverURL)
    : Network(std::move(serverURL))
    , state(std::make_shared<State>())
{
    setRandom({});
}

void FlushRequest::setRandom(std::function<std::uint32_t(std::uint32_t)> draw)
{
    if (!draw) {
        draw = [](std::uint32_t bound) {
            static thread_local std::mt19937 generator{std::random_device{}()};
            return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(generator);
        };
    }
    const std::lock_guard lock(state->lock);
    state->random = std::move(draw);
}

void FlushRequest::setClock(const foundation::Clock* clock)
{
    const std::lock_guard lock(state->lock);
    state->clock = clock ? clock : &foundation::SystemClock::shared();
}

bool FlushRequest::requestNotAllowed() const
{
    const double current = state->now();
    const std::lock_guard lock(state->lock);
    return current < state->allowedAfter;
}

double FlushRequest::networkRequestsAllowedAfterTime() const
{
    const std::lock_guard lock(state->lock);
    return state->allowedAfter;
}

std::int64_t FlushRequest::networkConsecutiveFailures() const
{
    const std::lock_guard lock(state->lock);
    return state->consecutiveFailures;
}

double FlushRequest::retryBackOffTime(std::int64_t failures, std::uint32_t randomSeconds)
{
    const double t = std::pow(2.0, static_cast<double>(failures - 1)) * 60 + randomSeconds;
    return std::min(APIConstants::maxRetryBackoff, std::max(APIConstants::minRetryBackoff, t));
}

bool FlushRequest::sendRequest(const std::string& requestData, FlushType type, bool useIP,
                               const std::map<std::string, std::string>& headers,
                               const std::vector<URLQueryItem>& queryItems, bool useGzipCompression)
{
    std::map<std::string, std::string> requestHeaders{{"Content-Type", "application/json"}};
    for (const auto& [name, value] : headers) {
        requestHeaders[name] = value;
    }
    std::optional<std::string> compressed;
    if (useGzipCompression && type == FlushType::events) {
        try {
            compressed = gzipCompressed(requestData);
            requestHeaders["Content-Encoding"] = "gzip";
        } catch (const GzipError& error) {
            TALLY_LOG_ERROR("Failed to compress data with gzip: " + std::string(error.what()));
        }
    }
    std::vector<URLQueryItem> items{{"ip", std::string(useIP ? "1" : "0")}};
    items.insert(items.end(), queryItems.begin(), queryItems.end());
    const auto resource = buildResource<std::int64_t>(rawValue(type), RequestMethod::post,
                                                      compressed ? std::move(compressed) : requestData,
                                                      std::move(items), std::move(requestHeaders), parseAnswer);

    // Shared with the completion, which may run after this call gave up waiting.
    struct Outcome {
        std::atomic<bool> delivered{false};
        foundation::Semaphore done;
    };
    auto outcome = std::make_shared<Outcome>();
    const std::string base = serverURL();
    const std::string path = resource.path;
    const bool started = apiRequest<std::int64_t>(
        base, resource,
        [shared = state, outcome, path](const Reason& reason, const std::optional<std::string>&,
                                        const std::optional<HTTPResponse>& response) {
        shared->updateRetryDelay(response, true);
        TALLY_LOG_WARN("API request to " + path + " has failed with reason " + reason.description());
        outcome->delivered = false;
        outcome->done.signal();
        },
        [shared = state, outcome, base](const std::int64_t& result, const std::optional<HTTPResponse>& response) {
        shared->updateRetryDelay(response, false);
        if (result == 0) {
            TALLY_LOG_INFO(base + " api rejected some items");
        }
        outcome->delivered = true;
        outcome->done.signal();
    },
               requestTimeout.load());
    if (!started) {
        // Waiting could not bring an answer: no request was made.
        TALLY_LOG_WARN("API request to " + path + " was not sent: the base address " + base + " is not a valid URL");
        return false;
    }
    if (!outcome->done.wait(responseWait.load())) {
        return false;
    }
    return outcome->delivered;
}

} // namespace tally
