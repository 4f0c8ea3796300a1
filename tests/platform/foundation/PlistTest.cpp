#include "platform/foundation/PlistValue.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

using foundation::Date;
using foundation::PlistArray;
using foundation::PlistDictionary;
using foundation::PlistFormat;
using foundation::PlistValue;
using testsupport::TempDir;

namespace {

constexpr double k2001 = 978307200.0;

PlistValue roundTrip(const PlistValue& value, PlistFormat format)
{
    const std::string bytes =
        format == PlistFormat::Binary ? foundation::plistToBinary(value) : foundation::plistToXml(value);
    auto parsed = foundation::parsePlist(bytes);
    EXPECT_TRUE(parsed.value) << parsed.error;
    return parsed.value.value_or(PlistValue());
}

struct RoundTripCase {
    const char* name;
    PlistFormat format;
    PlistValue written;
    PlistValue read;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

const RoundTripCase kRoundTrips[] = {
    {"XmlNegativeInteger", PlistFormat::Xml, std::int64_t{-5}, std::int64_t{-5}},
    {"XmlSmallestInteger", PlistFormat::Xml, std::numeric_limits<std::int64_t>::min(),
     std::numeric_limits<std::int64_t>::min()},
    {"XmlLargestInteger", PlistFormat::Xml, std::numeric_limits<std::int64_t>::max(),
     std::numeric_limits<std::int64_t>::max()},
    {"BinaryNegativeInteger", PlistFormat::Binary, std::int64_t{-1}, std::int64_t{-1}},
    {"BinarySmallestInteger", PlistFormat::Binary, std::numeric_limits<std::int64_t>::min(),
     std::numeric_limits<std::int64_t>::min()},
    {"BinaryDateKeepsItsFraction", PlistFormat::Binary, Date(k2001 + 100.25), Date(k2001 + 100.25)},
    {"BinaryDateBefore2001KeepsItsFraction", PlistFormat::Binary, Date(k2001 - 99.75), Date(k2001 - 99.75)},
    {"BinaryDateBefore1970", PlistFormat::Binary, Date(-86400.5), Date(-86400.5)},
    {"XmlDateKeepsWholeSeconds", PlistFormat::Xml, Date(k2001 + 100.75), Date(k2001 + 100)},
    {"DateAfter2069IsClamped", PlistFormat::Binary, Date(k2001 + 1e10),
     Date(k2001 + std::numeric_limits<std::int32_t>::max())},
    {"DateBefore1933IsClamped", PlistFormat::Binary, Date(-1e10),
     Date(k2001 + std::numeric_limits<std::int32_t>::min())},
    {"BinaryUnicodeString", PlistFormat::Binary, "h\xc3\xa9llo \xf0\x9f\x91\x8b", "h\xc3\xa9llo \xf0\x9f\x91\x8b"},
    {"BinaryNested", PlistFormat::Binary,
     PlistDictionary{{"a", PlistArray{1, "x", PlistDictionary{{"b", 2.5}}, PlistArray{}}}, {"e", PlistDictionary{}}},
     PlistDictionary{{"a", PlistArray{1, "x", PlistDictionary{{"b", 2.5}}, PlistArray{}}}, {"e", PlistDictionary{}}}},
};

class PlistRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

} // namespace

TEST_P(PlistRoundTrip, ReadsBackWhatWasWritten)
{
    EXPECT_EQ(roundTrip(GetParam().written, GetParam().format), GetParam().read);
}

INSTANTIATE_TEST_SUITE_P(Values, PlistRoundTrip, ::testing::ValuesIn(kRoundTrips),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Plist, BytesThatAreNoPropertyListGiveAnError)
{
    for (const std::string bytes : {"", "garbage", "<?xml version=\"1.0\"?><plist><dict><key>a</key>", "bplist00"}) {
        const auto result = foundation::parsePlist(bytes);
        EXPECT_FALSE(result.value) << bytes;
        EXPECT_FALSE(result.error.empty()) << bytes;
    }
}

TEST(Plist, ConcurrentAtomicWritesOfOneFileLeaveOneWholeFileAndNoTemporaries)
{
    TempDir dir;
    const auto file = dir.path() / "shared.plist";
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const PlistValue value = PlistDictionary{{"writer", t}, {"round", i}, {"pad", std::string(2000, 'x')}};
                if (!foundation::writePlistFileAtomically(file, value, nullptr,
                                                          t % 2 ? PlistFormat::Binary : PlistFormat::Xml)) {
                    ++failures;
                }
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(failures.load(), 0);
    const auto result = foundation::readPlistFile(file);
    ASSERT_TRUE(result.value) << result.error;
    const auto* dict = result.value->get<PlistDictionary>();
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->at("round"), PlistValue(19));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Plist, AFailedWriteSaysWhyAndLeavesNothingBehind)
{
    TempDir dir;
    const auto blocker = dir.write("not-a-folder", "x");
    std::string error;
    EXPECT_FALSE(foundation::writePlistFileAtomically(blocker / "file.plist", PlistValue(1), &error));
    EXPECT_NE(error.find("not-a-folder"), std::string::npos) << error;

    dir.write("folder/file.plist", "old");
    std::filesystem::create_directory(dir.path() / "folder/target.plist"); // a folder cannot be renamed over
    dir.write("folder/target.plist/inside", "x");
    EXPECT_FALSE(foundation::writePlistFileAtomically(dir.path() / "folder/target.plist", PlistValue(1), &error));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path() / "folder"), {}), 2) << error;
}
