#include "analytics/Gzip.h"
#include "AnalyticsTestSupport.h"
#include "LoopbackServer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

using namespace tally;
using analyticstest::LogCapture;

namespace {

TEST(Gzip, CompressesIntoTheGzipFormatThatInflatesToTheInput)
{
    const std::string input = std::string(1000, 'a') + "tail";
    const std::string packed = gzipCompressed(input);
    ASSERT_GE(packed.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x1f);
    EXPECT_EQ(static_cast<unsigned char>(packed[1]), 0x8b);
    EXPECT_EQ(analyticstest::gunzip(packed), input);
}

TEST(Gzip, GrowsTheBufferForTinyAndIncompressibleInputs)
{
    LogCapture log;
    EXPECT_EQ(analyticstest::gunzip(gzipCompressed("[]")), "[]");
    EXPECT_EQ(analyticstest::gunzip(gzipCompressed("x")), "x");
    std::string noise(4096, '\0');
    std::mt19937 generator(7);
    for (auto& c : noise) {
        c = static_cast<char>(generator());
    }
    EXPECT_EQ(analyticstest::gunzip(gzipCompressed(noise)), noise);
    EXPECT_TRUE(log.contains(TallyLogLevel::info, "original size = 4096 bytes"));
    EXPECT_TRUE(log.contains(TallyLogLevel::info, ", compression percentage = -"));
}

TEST(Gzip, AnEmptyInputGivesAnEmptyResultWithAWarning)
{
    LogCapture log;
    EXPECT_TRUE(gzipCompressed("").empty());
    EXPECT_TRUE(log.contains(TallyLogLevel::warning, "Empty Data object cannot be compressed."));
}

TEST(Gzip, LogsSizesRatioAndPercentage)
{
    LogCapture log;
    const std::string input(1000, 'z');
    const std::string packed = gzipCompressed(input, 9);
    const double ratio = static_cast<double>(packed.size()) / 1000.0;
    EXPECT_TRUE(log.contains(TallyLogLevel::info, "Payload gzipped: original size = 1000 bytes, compressed size = " +
                                                      std::to_string(packed.size()) + " bytes, compression ratio = "));
    EXPECT_LT(ratio, 0.1);
}

struct ErrorCase {
    const char* name;
    int code;
    GzipError::Case kind;
    const char* text;
};

class GzipErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(GzipErrors, NameTheirZlibStatus)
{
    const GzipError error(GetParam().code);
    EXPECT_EQ(error.errorCase(), GetParam().kind);
    EXPECT_STREQ(error.what(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Statuses, GzipErrors,
                         testing::Values(ErrorCase{"Stream", Z_STREAM_ERROR, GzipError::Case::stream, "stream"},
                                         ErrorCase{"Data", Z_DATA_ERROR, GzipError::Case::data, "data"},
                                         ErrorCase{"Memory", Z_MEM_ERROR, GzipError::Case::memory, "memory"},
                                         ErrorCase{"Buffer", Z_BUF_ERROR, GzipError::Case::buffer, "buffer"},
                                         ErrorCase{"Version", Z_VERSION_ERROR, GzipError::Case::version, "version"},
                                         ErrorCase{"Ok", Z_OK, GzipError::Case::unknown, "unknown(code: 0)"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Gzip, ABadLevelThrowsTheStreamError)
{
    try {
        gzipCompressed("abc", 42);
        FAIL() << "no error";
    } catch (const GzipError& error) {
        EXPECT_EQ(error.errorCase(), GzipError::Case::stream);
    }
}

} // namespace
