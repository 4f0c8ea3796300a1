#include "analytics/TallyType.h"
#include "analytics/TLAssert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace tally;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct ValidityCase {
    const char* name;
    TallyType value;
    bool valid;
};

class Validity : public testing::TestWithParam<ValidityCase> {};

TEST_P(Validity, FollowsTheKindsRule) { EXPECT_EQ(GetParam().value.isValidNestedTypeAndValue(), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, Validity,
    testing::Values(
        ValidityCase{"DoubleNaN", kNaN, false}, ValidityCase{"DoublePlusInfinity", kInf, false},
        ValidityCase{"DoubleMinusInfinity", -kInf, false},
        ValidityCase{"DoubleLargest", std::numeric_limits<double>::max(), true},
        ValidityCase{"FloatNaN", std::numeric_limits<float>::quiet_NaN(), false},
        ValidityCase{"FloatInfinity", std::numeric_limits<float>::infinity(), false},
        ValidityCase{"FloatLargest", std::numeric_limits<float>::max(), true},
        ValidityCase{"NumberNaN", NSNumber(kNaN), false}, ValidityCase{"NumberInfinity", NSNumber(kInf), false},
        ValidityCase{"NumberOne", NSNumber(1), true}, ValidityCase{"ListHoldingNaN", TallyArray{1, kNaN}, true},
        ValidityCase{"EmptyList", TallyArray{}, true}, ValidityCase{"DictionaryWithNaN", Properties{{"a", kNaN}}, true},
        ValidityCase{"EmptyDictionary", Properties{}, true}, ValidityCase{"AbsentOptional", TallyOptional(), true},
        ValidityCase{"OptionalNaN", TallyOptional(kNaN), false},
        ValidityCase{"OptionalListWithNaN", TallyOptional(TallyArray{kNaN}), true}, ValidityCase{"Text", "text", true},
        ValidityCase{"Null", NSNull{}, true}, ValidityCase{"Date", foundation::Date(0), true},
        ValidityCase{"URL", URL{"https://x"}, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct EqualityCase {
    const char* name;
    TallyType lhs;
    TallyType rhs;
    bool equal;
};

class Equality : public testing::TestWithParam<EqualityCase> {};

TEST_P(Equality, FollowsTheKindsRule) { EXPECT_EQ(GetParam().lhs.equals(GetParam().rhs), GetParam().equal); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, Equality,
    testing::Values(EqualityCase{"IntIsNotDouble", 1, 1.0, false},
                    EqualityCase{"NumberOneEqualsNumberOnePointZero", NSNumber(1), NSNumber(1.0), true},
                    EqualityCase{"NaNEqualsNothing", kNaN, kNaN, false},
                    EqualityCase{"AbsentOptionalsDiffer", TallyOptional(), TallyOptional(), false},
                    EqualityCase{"NullsAreEqual", NSNull{}, NSNull{}, true},
                    EqualityCase{"ListsCompareInOrder", TallyArray{1, 2}, TallyArray{2, 1}, false},
                    EqualityCase{"ListsCompareLength", TallyArray{1}, TallyArray{1, 1}, false},
                    EqualityCase{"EqualLists", TallyArray{1, "a"}, TallyArray{1, "a"}, true},
                    EqualityCase{"ListEqualsPlatformList", TallyArray{1}, NSArray{{1}}, true},
                    EqualityCase{"DictionaryWithFewerKeys", Properties{{"a", 1}}, Properties{{"a", 1}, {"b", 2}},
                                 false},
                    EqualityCase{"SeparatelyBuiltDictionaries", Properties{{"a", 1}}, Properties{{"a", 1}}, true},
                    EqualityCase{"TextEqualsPlatformText", "a", NSString{"a"}, true},
                    EqualityCase{"BoolIsNotInt", true, 1, false},
                    EqualityCase{"IntEqualsWholeNumber", 1, NSNumber(1.0), true},
                    EqualityCase{"OptionalTextEqualsText", TallyOptional("a"), "a", true},
                    EqualityCase{"OptionalIntEqualsNumber", TallyOptional(1), NSNumber(1.0), true},
                    EqualityCase{"OptionalListEqualsNothing", TallyOptional(TallyArray{1}), TallyArray{1}, false},
                    EqualityCase{"SameInstant", foundation::Date(5), foundation::Date(5), true},
                    EqualityCase{"SameURL", URL{"https://a"}, URL{"https://a"}, true},
                    EqualityCase{"LargeUnsignedIsNotNegative", NSNumber(std::uint64_t{UINT64_MAX}),
                                 NSNumber(std::int64_t{-1}), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TallyType, TextLiteralIsTextNeverBoolean)
{
    const TallyType literal = "yes";
    EXPECT_EQ(literal.kind(), TallyType::Kind::String);
    const char* pointer = "yes";
    EXPECT_EQ(TallyType(pointer).kind(), TallyType::Kind::String);
    EXPECT_EQ(TallyType(true).kind(), TallyType::Kind::Bool);
    EXPECT_EQ(TallyType(7).kind(), TallyType::Kind::Int);
    EXPECT_EQ(TallyType(7u).kind(), TallyType::Kind::UInt);
    EXPECT_EQ(TallyType(1.5f).kind(), TallyType::Kind::Float);
}

struct AssertionRecorder {
    std::vector<std::pair<bool, std::string>> calls;
    AssertionRecorder()
    {
        Assertions::setAssertClosure([this](bool condition, const std::string& message, const char*, unsigned) {
            calls.emplace_back(condition, message);
        });
    }
    ~AssertionRecorder() { Assertions::setAssertClosure(Assertions::swiftAssertClosure()); }
};

TEST(AssertPropertyTypes, ReportsEveryPropertyAndEachInvalidOne)
{
    AssertionRecorder recorder;
    assertPropertyTypes(std::optional<Properties>{});
    assertPropertyTypes(Properties{});
    EXPECT_TRUE(recorder.calls.empty());

    assertPropertyTypes(Properties{{"a", kNaN}, {"b", "fine"}, {"c", kInf}});
    ASSERT_EQ(recorder.calls.size(), 3u);
    EXPECT_FALSE(recorder.calls[0].first);
    EXPECT_EQ(recorder.calls[0].second,
              "Property values must be of valid type (TallyType) and valid value. Got Double and Value nan");
    EXPECT_TRUE(recorder.calls[1].first);
    EXPECT_FALSE(recorder.calls[2].first);
}

} // namespace
