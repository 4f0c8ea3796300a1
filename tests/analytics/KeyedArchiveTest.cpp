#include "analytics/KeyedArchive.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

using namespace tally;
namespace fs = std::filesystem;

namespace {

fs::path corpusDir() { return fs::path(std::getenv("THWACKO_SOURCE_DIR")) / "tests/analytics/fuzz/corpus"; }

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(KeyedArchive, RoundTripsEveryPropertyKind)
{
    const Properties value{{"text", "t"},
                           {"platform text", NSString{"p"}},
                           {"int", std::int64_t{-9000000000}},
                           {"double", 0.25},
                           {"float", 1.5f},
                           {"bool", false},
                           {"date", foundation::Date(-1.25)},
                           {"url", URL{"https://example.com/x"}},
                           {"null", NSNull{}},
                           {"absent", TallyOptional()},
                           {"list", TallyArray{TallyArray{}, Properties{}}},
                           {"platform list", NSArray{{1}}}};
    const auto archived = KeyedArchive::archive(value);
    ASSERT_TRUE(archived);
    const auto decoded = KeyedArchive::unarchive(*archived);
    ASSERT_FALSE(decoded.failed);
    ASSERT_TRUE(decoded.root && decoded.root->is<Properties>());
    const auto& out = *decoded.root->get<Properties>();
    EXPECT_TRUE(out.at("absent").is<NSNull>()); // a dictionary holds no nil
    Properties expected = value;
    expected["absent"] = NSNull{};
    EXPECT_TRUE(TallyType(out).equals(TallyType(expected))) << TallyType(out).description();
}

struct ValueCase {
    const char* name;
    TallyType value;
};

class ValuesLibplistAloneWouldChange : public testing::TestWithParam<ValueCase> {};

// As the root, inside a list, and as a dictionary's value and key.
TEST_P(ValuesLibplistAloneWouldChange, RoundTripExactly)
{
    const TallyType& value = GetParam().value;
    std::vector<TallyType> shapes{value, TallyArray{value, value, 1}, Properties{{"k", value}, {"other", -1}}};
    if (const auto* text = value.get<std::string>()) {
        shapes.push_back(Properties{{*text, 1}, {"k", *text}});
    }
    for (const auto& shape : shapes) {
        const auto archived = KeyedArchive::archive(shape);
        ASSERT_TRUE(archived);
        const auto decoded = KeyedArchive::unarchive(*archived);
        ASSERT_FALSE(decoded.failed) << shape.description();
        ASSERT_TRUE(decoded.root);
        EXPECT_TRUE(decoded.root->equals(shape)) << decoded.root->description() << " vs " << shape.description();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, ValuesLibplistAloneWouldChange,
    testing::Values(ValueCase{"UnsignedAboveInt64Max", std::uint64_t{9223372036854775808ULL}},
                    ValueCase{"LargestUnsigned", std::numeric_limits<std::uint64_t>::max()},
                    ValueCase{"LargestUnsignedNumber", NSNumber(std::numeric_limits<std::uint64_t>::max())},
                    ValueCase{"SmallestSigned", std::numeric_limits<std::int64_t>::min()},
                    ValueCase{"MinusOne", std::int64_t{-1}}, ValueCase{"AsciiWithNul", std::string("a\0b\0", 4)},
                    ValueCase{"LongAsciiWithNul", std::string(40, 'x') + std::string(1, '\0') + "y"},
                    ValueCase{"UnicodeWithNul", std::string("\xc3\xa9\0\xf0\x9f\x91\x8b", 7)},
                    ValueCase{"OnlyNul", std::string(1, '\0')},
                    ValueCase{"PlatformStringWithNul", NSString{std::string("p\0q", 3)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KeyedArchive, ANilRootDecodesToNothing)
{
    const auto decoded = KeyedArchive::unarchive(*KeyedArchive::archive(TallyOptional()));
    EXPECT_FALSE(decoded.failed);
    EXPECT_FALSE(decoded.root);
}

struct CorpusCase {
    const char* file;
    bool decodes;
};

class Corpus : public testing::TestWithParam<CorpusCase> {};

// The kept fuzzing corpus: well-formed archives decode, hostile ones are refused, none crashes.
TEST_P(Corpus, DecodesOrIsRefused)
{
    const std::string bytes = readFile(corpusDir() / GetParam().file);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(!KeyedArchive::unarchive(bytes).failed, GetParam().decodes);
}

INSTANTIATE_TEST_SUITE_P(Files, Corpus,
                         testing::Values(CorpusCase{"dictionary", true}, CorpusCase{"date-url-null", true},
                                         CorpusCase{"set", true}, CorpusCase{"string-root", true},
                                         CorpusCase{"cycle", false}, CorpusCase{"uid-out-of-range", false},
                                         CorpusCase{"forbidden-class", false}, CorpusCase{"root-out-of-range", false},
                                         CorpusCase{"mismatched-keys", false}, CorpusCase{"expansion", false},
                                         CorpusCase{"not-a-plist", false}, CorpusCase{"libplist-expansion", false},
                                         CorpusCase{"unsigned-above-int64", true},
                                         CorpusCase{"integer-beyond-64-bits", false},
                                         CorpusCase{"strings-with-nul", true}),
                         [](const auto& info) {
    std::string name = info.param.file;
    std::erase(name, '-');
    return name;
});

TEST(KeyedArchive, EveryCorpusFileAndEveryTruncationIsHandled)
{
    for (const auto& entry : fs::directory_iterator(corpusDir())) {
        const std::string bytes = readFile(entry.path());
        for (std::size_t length = 0; length <= bytes.size(); ++length) {
            (void)KeyedArchive::unarchive(bytes.substr(0, length));
        }
        std::string flipped = bytes;
        for (std::size_t i = 0; i < flipped.size(); ++i) {
            flipped[i] = static_cast<char>(flipped[i] ^ 0xFF);
            (void)KeyedArchive::unarchive(flipped);
            flipped[i] = bytes[i];
        }
    }
}

TEST(KeyedArchive, DecodesTheDatesAndURLsOfAForeignArchive)
{
    const auto decoded = KeyedArchive::unarchive(readFile(corpusDir() / "date-url-null"));
    ASSERT_TRUE(decoded.root && decoded.root->is<Properties>());
    const auto& out = *decoded.root->get<Properties>();
    EXPECT_TRUE(out.at("d").equals(foundation::Date(978307200.0 + 1.5)));
    EXPECT_TRUE(out.at("u").equals(URL{"https://e.com"}));
    EXPECT_TRUE(out.at("n").is<NSNull>());
}

TEST(KeyedArchive, DecodesTheWideUnsignedNumbersAndNulsOfTheCorpus)
{
    const auto numbers = KeyedArchive::unarchive(readFile(corpusDir() / "unsigned-above-int64"));
    ASSERT_TRUE(numbers.root && numbers.root->is<Properties>());
    EXPECT_TRUE(numbers.root->equals(Properties{{"u", std::numeric_limits<std::uint64_t>::max()},
                                                {"big", std::uint64_t{9223372036854775808ULL}},
                                                {"neg", std::int64_t{-1}}}))
        << numbers.root->description();
    const auto strings = KeyedArchive::unarchive(readFile(corpusDir() / "strings-with-nul"));
    ASSERT_TRUE(strings.root && strings.root->is<Properties>());
    EXPECT_TRUE(strings.root->equals(Properties{
        {std::string("k\0ey", 4), std::string("a\0b", 3)}, {"u", std::string("\xc3\xa9\0x", 4)}, {"plain", "ok"}}))
        << strings.root->description();
}

} // namespace
