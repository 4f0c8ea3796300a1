#include "app/CommandLineHelp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct HelpCase {
    const char* name;
    std::vector<std::string> args; // after the program name
    bool wanted;
};

const HelpCase kHelpCases[] = {
    {"Nothing", {}, false},
    {"Long", {"--help"}, true},
    {"Short", {"-h"}, true},
    {"AfterOtherOptions", {"--sensor", "replay", "--start-listening", "--help"}, true},
    {"BeforeQtOptions", {"-h", "-platform", "offscreen"}, true},
    {"ReplayFileNamedLikeTheOption", {"--sensor-replay", "-h"}, false},
    {"SensorValueNamedLikeTheOption", {"--sensor", "--help"}, false},
    {"OnlyWholeArguments", {"--helpful", "-hx"}, false},
};

class WantsHelp : public ::testing::TestWithParam<HelpCase> {};

TEST_P(WantsHelp, OnlyWhenAnArgumentAsksForIt)
{
    std::vector<std::string> args{"bonkly"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    EXPECT_EQ(wantsHelp(static_cast<int>(args.size()), argv.data()), GetParam().wanted);
}

INSTANTIATE_TEST_SUITE_P(All, WantsHelp, ::testing::ValuesIn(kHelpCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HelpText, NamesTheProgramAsItWasCalled)
{
    EXPECT_EQ(helpText("/usr/bin/bonkly").rfind("Usage: bonkly [OPTION]...", 0), 0u);
    EXPECT_EQ(helpText("build/bin/ThwackoApp").rfind("Usage: ThwackoApp [OPTION]...", 0), 0u);
}

} // namespace
