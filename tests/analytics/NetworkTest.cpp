#include "analytics/Network.h"
#include "LoopbackServer.h"

#include <gtest/gtest.h>

#include "platform/foundation/DispatchQueue.h"

using namespace tally;
using analyticstest::Answer;
using analyticstest::LoopbackServer;

namespace {

struct URLCase {
    const char* name;
    const char* base;
    const char* path;
    std::optional<std::vector<URLQueryItem>> items;
    std::optional<std::string> url;
};

class BuildURL : public testing::TestWithParam<URLCase> {};

TEST_P(BuildURL, AppendsThePathAndEncodesTheQuery)
{
    EXPECT_EQ(BasePath::buildURL(GetParam().base, GetParam().path, GetParam().items), GetParam().url);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildURL,
    testing::Values(URLCase{"BaseWithoutPath", "https://api.example.com", "/engage/", std::nullopt,
                            "https://api.example.com/engage/"},
                    URLCase{"BaseEndingInSlashDoublesIt", "https://api.example.com/", "/track/", std::nullopt,
                            "https://api.example.com//track/"},
                    URLCase{"BaseWithPath", "https://h.example/proxy", "/track/", std::nullopt,
                            "https://h.example/proxy/track/"},
                    URLCase{"PlusIsSentEncoded", "https://h", "/track/",
                            std::vector<URLQueryItem>{{"ip", "1"}, {"k", "a+b"}}, "https://h/track/?ip=1&k=a%2Bb"},
                    URLCase{"SpaceAndAmpersandAreEncoded", "https://h", "/t/",
                            std::vector<URLQueryItem>{{"a b", "c&d=e"}}, "https://h/t/?a%20b=c%26d%3De"},
                    URLCase{"ItemWithoutValue", "https://h", "/t/",
                            std::vector<URLQueryItem>{{"flag", std::nullopt}, {"x", "1"}}, "https://h/t/?flag&x=1"},
                    URLCase{"NotAURL", "not a url", "/track/", std::nullopt, std::nullopt},
                    URLCase{"RelativeAddress", "/just/a/path", "/track/", std::nullopt, std::nullopt},
                    URLCase{"OtherScheme", "ftp://h", "/track/", std::nullopt, std::nullopt},
                    URLCase{"Empty", "", "/track/", std::nullopt, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BasePath, TheDefaultIsAnHTTPSAddressWithoutPath)
{
    const auto& base = BasePath::DefaultTallyAPI();
    EXPECT_EQ(base.rfind("https://", 0), 0u);
    EXPECT_EQ(base.find('/', 8), std::string::npos);
}

struct Outcome {
    std::optional<Reason> reason;
    std::optional<std::int64_t> value;
    std::optional<std::string> body;
    std::optional<HTTPResponse> response;
};

Outcome send(const std::string& base, std::function<std::optional<std::int64_t>(const std::string&)> parse,
             std::chrono::milliseconds timeout = std::chrono::seconds(60))
{
    Outcome outcome;
    foundation::Semaphore done;
    const auto resource =
        Network::buildResource<std::int64_t>("/track/", RequestMethod::post, std::string("[]"),
                                             std::vector<URLQueryItem>{{"ip", "1"}}, {{"X-A", "1"}}, std::move(parse));
    const bool started = Network::apiRequest<std::int64_t>(
        base, resource,
        [&](const Reason& reason, const std::optional<std::string>& body, const std::optional<HTTPResponse>& response) {
        outcome.reason = reason;
        outcome.body = body;
        outcome.response = response;
        done.signal();
        },
        [&](const std::int64_t& value, const std::optional<HTTPResponse>& response) {
        outcome.value = value;
        outcome.response = response;
        done.signal();
    },
               timeout);
    if (started) {
        done.wait();
    }
    return outcome;
}

std::optional<std::int64_t> acceptAll(const std::string&) { return 1; }

struct StatusCase {
    const char* name;
    int status;
    std::string body;
    bool parses;
    std::optional<Reason::Kind> failure;
};

class AnswerClassification : public testing::TestWithParam<StatusCase> {};

TEST_P(AnswerClassification, SortsTheAnswer)
{
    LoopbackServer server([&](const auto&, int) { return Answer{GetParam().status, GetParam().body, {}}; });
    std::string seenBody = "unset";
    const auto outcome = send(server.baseURL(), [&](const std::string& body) -> std::optional<std::int64_t> {
        seenBody = body;
        return GetParam().parses ? std::optional<std::int64_t>(1) : std::nullopt;
    });
    if (GetParam().failure) {
        ASSERT_TRUE(outcome.reason);
        EXPECT_EQ(outcome.reason->kind, *GetParam().failure);
        ASSERT_TRUE(outcome.response);
        EXPECT_EQ(outcome.response->statusCode, GetParam().status);
    } else {
        EXPECT_EQ(outcome.value, std::optional<std::int64_t>(1));
        EXPECT_EQ(seenBody, GetParam().body);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerClassification,
    testing::Values(StatusCase{"OkIsSuccess", 200, "1", true, std::nullopt},
                    StatusCase{"EmptyBodyIsPassedToParse", 200, "", true, std::nullopt},
                    StatusCase{"NoContentIsAFailure", 204, "", true, Reason::Kind::notOKStatusCode},
                    StatusCase{"ServerErrorIsAFailure", 503, "x", true, Reason::Kind::notOKStatusCode},
                    StatusCase{"RejectedBodyIsAParseError", 200, "?", false, Reason::Kind::parseError}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Network, SendsMethodHeadersQueryAndBody)
{
    LoopbackServer server;
    send(server.baseURL(), acceptAll);
    ASSERT_EQ(server.requestCount(), 1u);
    const auto request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/track/?ip=1");
    EXPECT_EQ(request.header("X-A"), "1");
    EXPECT_EQ(request.body, "[]");
}

TEST(Network, NoServerIsAFailureOfTheHTTPLayer)
{
    std::string base;
    {
        LoopbackServer gone;
        base = gone.baseURL();
    }
    const auto outcome = send(base, acceptAll);
    ASSERT_TRUE(outcome.reason);
    EXPECT_EQ(outcome.reason->kind, Reason::Kind::other);
    EXPECT_FALSE(outcome.response);
}

TEST(Network, AServerSlowerThanTheTimeOutIsAFailure)
{
    LoopbackServer server([](const auto&, int) { return Answer{200, "1", {}, std::chrono::seconds(30)}; });
    const auto outcome = send(server.baseURL(), acceptAll, std::chrono::milliseconds(200));
    ASSERT_TRUE(outcome.reason);
    EXPECT_EQ(outcome.reason->kind, Reason::Kind::other);
}

TEST(Network, AnUnparsableBaseMakesNoRequestAndNoCallback)
{
    bool called = false;
    const auto resource =
        Network::buildResource<std::int64_t>("/track/", RequestMethod::post, std::nullopt, std::nullopt, {}, acceptAll);
    EXPECT_FALSE(Network::apiRequest<std::int64_t>(
        "::nope::", resource, [&](const auto&, const auto&, const auto&) { called = true; },
        [&](const auto&, const auto&) { called = true; }));
    EXPECT_FALSE(called);
}

TEST(Reason, ReadsAsItsCaseName)
{
    EXPECT_EQ((Reason{Reason::Kind::notOKStatusCode, 503, {}}).description(), "notOKStatusCode(statusCode: 503)");
    EXPECT_EQ((Reason{Reason::Kind::other, 0, "boom"}).description(), "other(boom)");
    EXPECT_EQ(Reason{}.description(), "noData");
    EXPECT_EQ(requestMethod("post"), RequestMethod::post);
    EXPECT_EQ(requestMethod("POST"), std::nullopt);
}

} // namespace
