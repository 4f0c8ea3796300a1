#include "analytics/JSONHandler.h"
#include "AnalyticsTestSupport.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <limits>

using namespace tally;
using analyticstest::LogCapture;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct ConversionCase {
    const char* name;
    TallyType value;
    const char* json; // the record {"v": value}
};

class Conversion : public testing::TestWithParam<ConversionCase> {};

TEST_P(Conversion, WritesTheRecordsJSON)
{
    LogCapture log;
    const auto bytes = JSONHandler::serializeJSONObject(Properties{{"v", GetParam().value}});
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, GetParam().json);
    EXPECT_TRUE(log.messages().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Values, Conversion,
    testing::Values(
        ConversionCase{"BooleanStaysBoolean", true, R"({"v":true})"},
        ConversionCase{"IntegerOneStaysNumber", 1, R"({"v":1})"},
        ConversionCase{"NaNBecomesText", kNaN, R"({"v":"nan"})"},
        ConversionCase{"InfinityBecomesText", kInf, R"({"v":"inf"})"},
        ConversionCase{"MinusInfinityBecomesText", -kInf, R"({"v":"-inf"})"},
        ConversionCase{"NumberObjectNaN", NSNumber(kNaN), R"({"v":"nan"})"},
        ConversionCase{"FloatKeepsItsShortestForm", 0.1f, R"({"v":0.1})"},
        ConversionCase{"AbsentInListIsDropped", TallyArray{1, TallyOptional(), 2}, R"({"v":[1,2]})"},
        ConversionCase{"AbsentInDictionaryIsNull", Properties{{"a", TallyOptional()}}, R"({"v":{"a":null}})"},
        ConversionCase{"NestedAbsentInOptional", TallyOptional(TallyArray{TallyOptional()}), R"({"v":[]})"},
        ConversionCase{"AbsentValueIsNull", TallyOptional(), R"({"v":null})"},
        ConversionCase{"NullStaysNull", NSNull{}, R"({"v":null})"},
        ConversionCase{"DateInUTCWithMilliseconds", foundation::Date(1700000000.1239),
                       R"({"v":"2023-11-14T22:13:20.123Z"})"},
        ConversionCase{"DateMillisecondIsCutNotRounded", foundation::Date(0.9999),
                       R"({"v":"1970-01-01T00:00:00.999Z"})"},
        ConversionCase{"DateBefore1970", foundation::Date(-0.5), R"({"v":"1969-12-31T23:59:59.500Z"})"},
        ConversionCase{"URLBecomesText", URL{"https://example.com/a?b=1"}, R"({"v":"https://example.com/a?b=1"})"},
        ConversionCase{"PlatformTextAndList", NSArray{{NSString{"x"}}}, R"({"v":["x"]})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JSONHandler, BooleanSurvivesTheStoreRoundTrip)
{
    const auto stored = JSONHandler::serializeJSONObject(Properties{{"flag", true}, {"one", 1}});
    ASSERT_TRUE(stored);
    const auto read = JSONHandler::deserializeData(*stored);
    ASSERT_TRUE(read && read->is<Properties>());
    const auto sent = JSONHandler::encodeAPIData(EntityBatch{*read->get<Properties>()});
    EXPECT_EQ(sent, std::optional<std::string>(R"([{"flag":true,"one":1}])"));
}

TEST(JSONHandler, BareValuesAreNotValidTopLevelJSON)
{
    LogCapture log;
    EXPECT_FALSE(JSONHandler::serializeJSONObject("text"));
    EXPECT_TRUE(log.contains(TallyLogLevel::warning, "object isn't valid and can't be serialzed to JSON"));
    log.clear();
    EXPECT_FALSE(JSONHandler::encodeAPIData(TallyType(5)));
    EXPECT_TRUE(log.contains(TallyLogLevel::warning, "object isn't valid and can't be serialzed to JSON"));
    EXPECT_TRUE(log.contains(TallyLogLevel::warning, "couldn't serialize object"));
}

TEST(JSONHandler, ListElementsThatAreNotContainersAreDropped)
{
    EXPECT_EQ(JSONHandler::serializeJSONObject(TallyArray{"a", "b"}), std::optional<std::string>("[]"));
    EXPECT_EQ(JSONHandler::encodeAPIData(EntityBatch{}), std::optional<std::string>("[]"));
    EXPECT_EQ(JSONHandler::encodeAPIData(EntityBatch{{{"a", 1}}, {{"b", 2}}}),
              std::optional<std::string>(R"([{"a":1},{"b":2}])"));
}

struct DecodeFailure {
    const char* name;
    const char* bytes;
};

class UndecodableData : public testing::TestWithParam<DecodeFailure> {};

TEST_P(UndecodableData, GivesNothingWithAWarning)
{
    LogCapture log;
    EXPECT_FALSE(JSONHandler::deserializeData(GetParam().bytes));
    EXPECT_TRUE(log.contains(TallyLogLevel::warning, "exception decoding object data"));
}

INSTANTIATE_TEST_SUITE_P(Inputs, UndecodableData,
                         testing::Values(DecodeFailure{"NotJSON", "{nope"}, DecodeFailure{"BareNumber", "12"},
                                         DecodeFailure{"BareString", "\"x\""}, DecodeFailure{"Empty", ""},
                                         DecodeFailure{"Truncated", "[{\"a\":1}"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JSONHandler, DeepDocumentsAreRefusedNotOverflowed)
{
    LogCapture log;
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_FALSE(JSONHandler::deserializeData(deep));
}

TEST(JSONHandler, DecodesNumbersTextsAndNull)
{
    const auto value = JSONHandler::deserializeData(R"({"i":-3,"d":2.5,"b":false,"s":"t","n":null,"l":[1]})");
    ASSERT_TRUE(value && value->is<Properties>());
    const auto& record = *value->get<Properties>();
    EXPECT_TRUE(record.at("i").equals(NSNumber(-3)));
    EXPECT_TRUE(record.at("d").equals(2.5));
    EXPECT_TRUE(record.at("b").get<NSNumber>()->isBoolean());
    EXPECT_TRUE(record.at("s").equals("t"));
    EXPECT_TRUE(record.at("n").is<NSNull>());
    EXPECT_TRUE(record.at("l").equals(TallyArray{1}));
}

// A locale whose decimal separator is a comma, built into a private folder; skipped where the
// machine has no locale sources.
TEST(JSONHandler, OutputDoesNotDependOnTheProcessLocale)
{
    analyticstest::ScratchDir dir;
    const std::string command =
        "localedef -i de_DE -f UTF-8 " + (dir.path() / "de_DE.UTF-8").string() + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        GTEST_SKIP() << "cannot build a German locale here";
    }
    ::setenv("LOCPATH", dir.path().c_str(), 1);
    const char* previous = std::setlocale(LC_ALL, "de_DE.UTF-8");
    ASSERT_NE(previous, nullptr);
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    const auto bytes = JSONHandler::serializeJSONObject(Properties{{"d", 1.5}, {"t", foundation::Date(1700000000.25)}});
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
    EXPECT_EQ(bytes, std::optional<std::string>(R"({"d":1.5,"t":"2023-11-14T22:13:20.250Z"})"));
}

} // namespace
