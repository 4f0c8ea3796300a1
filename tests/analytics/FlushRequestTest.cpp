#include "analytics/FlushRequest.h"
#include "AnalyticsTestSupport.h"
#include "LoopbackServer.h"
#include "platform/foundation/DispatchQueue.h"

#include <gtest/gtest.h>

using namespace tally;
using analyticstest::Answer;
using analyticstest::LogCapture;
using analyticstest::LoopbackServer;

namespace {

class FixedClock final : public foundation::Clock {
public:
    foundation::Date now() const override { return foundation::Date(1000000); }
    foundation::MonotonicTime monotonicNow() const override { return {}; }
};

const FixedClock fixedClock;

struct BackoffCase {
    const char* name;
    std::int64_t failures;
    std::uint32_t random;
    double seconds;
};

class Backoff : public testing::TestWithParam<BackoffCase> {};

TEST_P(Backoff, DoublesFromSixtyAndStaysWithinTheBounds)
{
    EXPECT_EQ(FlushRequest::retryBackOffTime(GetParam().failures, GetParam().random), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(Failures, Backoff,
                         testing::Values(BackoffCase{"OneAtLeastTheMinimum", 1, 0, 60},
                                         BackoffCase{"TwoLowest", 2, 0, 120}, BackoffCase{"TwoHighest", 2, 29, 149},
                                         BackoffCase{"Three", 3, 0, 240}, BackoffCase{"FourHighest", 4, 29, 509},
                                         BackoffCase{"FiveCapped", 5, 0, 600}, BackoffCase{"SixCapped", 6, 29, 600}),
                         [](const auto& info) { return std::string(info.param.name); });

std::unique_ptr<FlushRequest> pinnedRequest(const std::string& base, std::uint32_t random = 7)
{
    auto request = std::make_unique<FlushRequest>(base);
    request->setClock(&fixedClock);
    request->setRandom([random](std::uint32_t) { return random; });
    return request;
}

struct RetryAfterCase {
    const char* name;
    int status;
    const char* value;
    double wait;
};

class RetryAfter : public testing::TestWithParam<RetryAfterCase> {};

TEST_P(RetryAfter, IsObeyedWhenItIsAFiniteNonNegativeNumber)
{
    LoopbackServer server([](const auto&, int) {
        return Answer{GetParam().status, "1", {{"Retry-After", GetParam().value}}};
    });
    auto request = pinnedRequest(server.baseURL());
    request->sendRequest("[]", FlushType::events, true, {});
    EXPECT_EQ(request->networkRequestsAllowedAfterTime(), 1000000 + GetParam().wait);
    EXPECT_EQ(request->requestNotAllowed(), GetParam().wait > 0);
}

INSTANTIATE_TEST_SUITE_P(Values, RetryAfter,
                         testing::Values(RetryAfterCase{"SecondsAfterSuccess", 200, "30", 30},
                                         RetryAfterCase{"FractionAfterSuccess", 200, "1.5", 1.5},
                                         RetryAfterCase{"TooManyRequests", 429, "45", 45},
                                         RetryAfterCase{"ServerError", 500, "12", 12},
                                         RetryAfterCase{"HTTPDateIsIgnored", 503, "Wed, 21 Oct 2015 07:28:00 GMT", 0},
                                         RetryAfterCase{"NegativeIsIgnored", 503, "-30", 0},
                                         RetryAfterCase{"NaNIsIgnored", 503, "nan", 0},
                                         RetryAfterCase{"InfinityIsIgnored", 503, "inf", 0},
                                         RetryAfterCase{"HugeOverflowIsIgnored", 503, "1e999", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FlushRequest, BacksOffFromTheSecondFailureInARowAndASuccessLiftsIt)
{
    int served = 0;
    LoopbackServer server([&](const auto&, int index) {
        served = index;
        return index < 2 ? Answer{503, "", {}} : Answer{200, "1", {}};
    });
    auto request = pinnedRequest(server.baseURL(), 7);
    EXPECT_FALSE(request->sendRequest("[]", FlushType::events, true, {}));
    EXPECT_EQ(request->networkConsecutiveFailures(), 1);
    EXPECT_FALSE(request->requestNotAllowed());
    EXPECT_FALSE(request->sendRequest("[]", FlushType::events, true, {}));
    EXPECT_EQ(request->networkConsecutiveFailures(), 2);
    EXPECT_EQ(request->networkRequestsAllowedAfterTime(), 1000000 + 127);
    EXPECT_TRUE(request->requestNotAllowed());
    EXPECT_TRUE(request->sendRequest("[]", FlushType::events, true, {}));
    EXPECT_EQ(request->networkConsecutiveFailures(), 0);
    EXPECT_EQ(request->networkRequestsAllowedAfterTime(), 1000000);
}

TEST(FlushRequest, ARetryAfterLongerThanTheCapWins)
{
    LoopbackServer server([](const auto&, int index) {
        return Answer{500, "",
                      index == 4 ? std::map<std::string, std::string>{{"Retry-After", "900"}}
                                 : std::map<std::string, std::string>{}};
    });
    auto request = pinnedRequest(server.baseURL());
    for (int i = 0; i < 5; ++i) {
        request->sendRequest("[]", FlushType::events, true, {});
    }
    EXPECT_EQ(request->networkRequestsAllowedAfterTime(), 1000000 + 900);
}

struct BodyCase {
    const char* name;
    std::string body;
    bool delivered;
    bool rejectionLogged;
};

class AnswerBody : public testing::TestWithParam<BodyCase> {};

TEST_P(AnswerBody, DecidesDeliveryAndTheRejectionLine)
{
    LogCapture log;
    LoopbackServer server([](const auto&, int) { return Answer{200, GetParam().body, {}}; });
    FlushRequest request(server.baseURL());
    EXPECT_EQ(request.sendRequest("[]", FlushType::people, true, {}), GetParam().delivered);
    EXPECT_EQ(log.contains(TallyLogLevel::info, server.baseURL() + " api rejected some items"),
              GetParam().rejectionLogged);
    if (!GetParam().delivered) {
        EXPECT_TRUE(log.contains(TallyLogLevel::warning, "API request to /engage/ has failed with reason parseError"));
    }
}

INSTANTIATE_TEST_SUITE_P(Bodies, AnswerBody,
                         testing::Values(BodyCase{"One", "1", true, false}, BodyCase{"Zero", "0", true, true},
                                         BodyCase{"Empty", "", true, true}, BodyCase{"Text", "ok", true, true},
                                         BodyCase{"LineBreak", "1\n", true, true},
                                         BodyCase{"NotUTF8", "\xff\xfe", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FlushRequest, GzipsEventBatchesOnlyAndTheyInflateToTheSameJSON)
{
    LoopbackServer server;
    FlushRequest request(server.baseURL());
    const std::string json = R"([{"event":"a","properties":{"x":1}}])";
    ASSERT_TRUE(request.sendRequest(json, FlushType::events, true, {{"Content-Encoding", "identity"}}, {}, true));
    ASSERT_TRUE(request.sendRequest(json, FlushType::people, true, {{"Content-Encoding", "identity"}}, {}, true));
    const auto received = server.requests();
    // The server inflates a gzip'd body itself, and would refuse one that is not.
    EXPECT_EQ(received[0].header("Content-Encoding"), "gzip");
    EXPECT_EQ(received[0].body, json);
    EXPECT_EQ(received[1].header("Content-Encoding"), "identity");
    EXPECT_EQ(received[1].body, json);
}

TEST(FlushRequest, BuildsThePathQueryAndHeadersOfTheWire)
{
    LoopbackServer server;
    FlushRequest request(server.baseURL());
    ASSERT_TRUE(request.sendRequest("[]", FlushType::groups, false, {{"Content-Type", "text/x"}, {"X-Proxy", "p"}},
                                    {{"token", "a+b c"}}));
    const auto received = server.requests()[0];
    EXPECT_EQ(received.method, "POST");
    EXPECT_EQ(received.target, "/groups/?ip=0&token=a%2Bb%20c");
    EXPECT_EQ(received.header("Content-Type"), "text/x");
    EXPECT_EQ(received.header("X-Proxy"), "p");
    EXPECT_EQ(received.header("Content-Encoding"), "");
}

TEST(FlushRequest, AnUnparsableBaseAddressFailsAtOnce)
{
    LogCapture log;
    FlushRequest request("not a url");
    EXPECT_FALSE(request.sendRequest("[]", FlushType::events, true, {})); // the 120 s wait would time the test out
    EXPECT_EQ(request.networkConsecutiveFailures(), 0);
    EXPECT_TRUE(log.contains(TallyLogLevel::warning, "is not a valid URL"));
}

TEST(FlushRequest, AServerSlowerThanTheTimeOutIsAFailure)
{
    LoopbackServer server([](const auto&, int) { return Answer{200, "1", {}, std::chrono::seconds(30)}; });
    FlushRequest request(server.baseURL());
    request.setRequestTimeout(std::chrono::milliseconds(200));
    EXPECT_FALSE(request.sendRequest("[]", FlushType::events, true, {}));
    EXPECT_EQ(request.networkConsecutiveFailures(), 1);
}

TEST(FlushRequest, GivingUpTheWaitReturnsFalseAndALateAnswerIsStillCounted)
{
    foundation::Semaphore release;
    LoopbackServer server([&](const auto&, int) {
        release.wait();
        return Answer{500, "", {}};
    });
    auto request = std::make_unique<FlushRequest>(server.baseURL());
    request->setResponseWait(std::chrono::milliseconds(100));
    EXPECT_FALSE(request->sendRequest("[]", FlushType::events, true, {}));
    EXPECT_EQ(request->networkConsecutiveFailures(), 0);
    request.reset(); // the answer arrives after the request object is gone
    release.signal();
    ASSERT_TRUE(server.waitForRequests(1));
}

TEST(FlushType, RawValuesArePaths)
{
    EXPECT_EQ(rawValue(FlushType::events), "/track/");
    EXPECT_EQ(flushType("/engage/"), FlushType::people);
    EXPECT_EQ(flushType("/engage"), std::nullopt);
}

} // namespace
