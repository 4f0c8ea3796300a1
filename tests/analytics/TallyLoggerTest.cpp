#include "analytics/TallyLogger.h"
#include "AnalyticsTestSupport.h"
#include "analytics/TLAssert.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <unistd.h>

using namespace tally;

namespace {

struct CountingSink final : TallyLogging {
    std::vector<TallyLogMessage> seen;
    std::string tag;
    std::shared_ptr<std::vector<std::string>> order; // sinks stay registered after the test
    void addMessage(const TallyLogMessage& message) override
    {
        seen.push_back(message);
        if (order) {
            order->push_back(tag);
        }
    }
};

TEST(TallyLogger, NothingIsEnabledAtStartAndMessagesAreNotBuilt)
{
    int built = 0;
    TallyLogger::error(
        [&] {
        ++built;
        return std::string("x");
        },
        "a/b.cpp", "f");
    EXPECT_EQ(built, 0);
}

TEST(TallyLogger, DeliversOnlyEnabledLevelsWithTheLevelWord)
{
    auto sink = std::make_shared<CountingSink>();
    TallyLogger::addLogging(sink);
    TallyLogger::enableLevel(TallyLogLevel::info);
    TallyLogger::warn([] { return std::string("w"); }, "dir/sub/File.cpp", "warnf");
    TallyLogger::info([] { return std::string("i"); }, "dir/sub/File.cpp", "infof");
    TallyLogger::disableLevel(TallyLogLevel::info);
    ASSERT_EQ(sink->seen.size(), 1u);
    EXPECT_EQ(sink->seen[0].file, "File.cpp");
    EXPECT_EQ(sink->seen[0].function, "infof");
    EXPECT_EQ(rawValue(sink->seen[0].level), "info");
    EXPECT_EQ(rawValue(TallyLogLevel::warning), "warning");
    EXPECT_EQ(tallyLogLevel("warning"), TallyLogLevel::warning);
    EXPECT_EQ(tallyLogLevel("warn"), std::nullopt);
}

TEST(TallyLogger, EnablingTwiceThenDisablingOnceLeavesItDisabled)
{
    auto sink = std::make_shared<CountingSink>();
    TallyLogger::addLogging(sink);
    TallyLogger::enableLevel(TallyLogLevel::debug);
    TallyLogger::enableLevel(TallyLogLevel::debug);
    TallyLogger::disableLevel(TallyLogLevel::debug);
    TallyLogger::debug([] { return std::string("d"); }, "f", "g");
    EXPECT_TRUE(sink->seen.empty());
}

TEST(TallyLogger, SinksReceiveInRegistrationOrderAndTwiceWhenAddedTwice)
{
    auto order = std::make_shared<std::vector<std::string>>();
    auto first = std::make_shared<CountingSink>();
    auto second = std::make_shared<CountingSink>();
    first->tag = "first";
    second->tag = "second";
    first->order = second->order = order;
    TallyLogger::addLogging(first);
    TallyLogger::addLogging(second);
    TallyLogger::addLogging(first);
    TallyLogger::enableLevel(TallyLogLevel::error);
    TallyLogger::error([] { return std::string("e"); }, "f", "g");
    TallyLogger::disableLevel(TallyLogLevel::error);
    EXPECT_EQ(*order, (std::vector<std::string>{"first", "second", "first"}));
}

struct FileCase {
    const char* name;
    const char* path;
    const char* file;
};

class MessageFile : public testing::TestWithParam<FileCase> {};

TEST_P(MessageFile, IsTheTextAfterTheLastSlash)
{
    EXPECT_EQ(TallyLogMessage(GetParam().path, "f", "t", TallyLogLevel::info).file, GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(Paths, MessageFile,
                         testing::Values(FileCase{"ThreeComponents", "a/b/c.cpp", "c.cpp"},
                                         FileCase{"NoSlash", "c.cpp", "c.cpp"}, FileCase{"TrailingSlash", "a/b/", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

// Runs `body` with standard output sent to a file, and returns what was printed.
std::string capturedStdout(const std::function<void()>& body)
{
    analyticstest::ScratchDir dir;
    const auto file = dir.path() / "out.txt";
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    FILE* target = std::fopen(file.c_str(), "w");
    ::dup2(::fileno(target), STDOUT_FILENO);
    body();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    std::fclose(target);
    std::ifstream in(file);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(PrintLogging, PrintsOneLinePerReport)
{
    PrintLogging printer;
    const auto text = capturedStdout([&] {
        printer.addMessage(TallyLogMessage("x/File.cpp", "run()", "hello", TallyLogLevel::warning));
        printer.addMessage(TallyLogMessage("x/", "run()", "trail", TallyLogLevel::debug));
    });
    EXPECT_EQ(text, "[Tally - File.cpp - func run()] (warning) - hello\n[Tally -  - func run()] (debug) - trail\n");
}

TEST(PrintLogging, ConcurrentReportsGiveWholeLines)
{
    TallyLogger::addLogging(std::make_shared<PrintLogging>());
    const auto text = capturedStdout([] {
        TallyLogger::enableLevel(TallyLogLevel::info);
        auto report = [](char c) {
            for (int i = 0; i < 200; ++i) {
                TallyLogger::info([c] { return std::string(100, c); }, "f", "g");
            }
        };
        std::thread a(report, 'a');
        std::thread b(report, 'b');
        a.join();
        b.join();
        TallyLogger::disableLevel(TallyLogLevel::info);
    });
    std::size_t lines = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(start, end - start);
        const std::string prefix = "[Tally - f - func g] (info) - ";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        const std::string payload = line.substr(prefix.size());
        EXPECT_TRUE(payload == std::string(100, 'a') || payload == std::string(100, 'b')) << line;
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 400u);
}

TEST(TLAssert, HandsEveryCallWithFileAndLineToTheHandler)
{
    std::vector<std::tuple<bool, std::string, std::string, unsigned>> calls;
    Assertions::setAssertClosure([&](bool condition, const std::string& message, const char* file, unsigned line) {
        calls.emplace_back(condition, message, file, line);
    });
    int built = 0;
    TLAssert([] { return true; },
             [&] {
        ++built;
        return std::string("m");
    });
    const unsigned line = __LINE__ + 1;
    TLAssert([] { return false; });
    Assertions::setAssertClosure(Assertions::swiftAssertClosure());
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(built, 1);
    EXPECT_TRUE(std::get<0>(calls[0]));
    EXPECT_FALSE(std::get<0>(calls[1]));
    EXPECT_EQ(std::get<1>(calls[1]), "");
    EXPECT_NE(std::get<2>(calls[1]).find("TallyLoggerTest.cpp"), std::string::npos);
    EXPECT_EQ(std::get<3>(calls[1]), line);
}

TEST(ErrorHandler, LogsAFailureAndPassesAnAbsentResultSilently)
{
    analyticstest::LogCapture log;
    const auto failed = ErrorHandler::wrap([]() -> std::optional<int> { throw std::runtime_error("boom"); });
    EXPECT_FALSE(failed.has_value());
    const auto messages = log.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, TallyLogLevel::error);
    EXPECT_EQ(messages[0].text.rfind("Error: boom \n Stack Symbols: [", 0), 0u);

    log.clear();
    const auto absent = ErrorHandler::wrap([]() -> std::optional<int> { return std::nullopt; });
    EXPECT_FALSE(absent.has_value());
    EXPECT_TRUE(log.messages().empty());
    EXPECT_EQ(ErrorHandler::wrap([] { return 5; }), std::optional<int>(5));
}

} // namespace
