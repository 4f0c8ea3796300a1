#include "platform/registry/LidRegistry.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <map>
#include <string>

namespace {

using registry::PropertyValue;

struct LidCase {
    const char* name;
    std::map<std::string, std::string> files; // below proc/acpi/button/lid
    std::optional<PropertyValue> expected;
};

class AcpiLidState : public ::testing::TestWithParam<LidCase> {};

TEST_P(AcpiLidState, ReadsTheFirstLidsState)
{
    testsupport::TempDir root;
    root.mkdir("proc/acpi/button");
    for (const auto& [path, contents] : GetParam().files) {
        root.write("proc/acpi/button/lid/" + path, contents);
    }
    registry::AcpiLidRegistry lid(root.path());
    EXPECT_EQ(lid.clamshellState(), GetParam().expected);
}

const LidCase lidCases[] = {
    {"Closed", {{"LID0/state", "state:      closed\n"}}, PropertyValue(true)},
    {"Open", {{"LID0/state", "state:      open\n"}}, PropertyValue(false)},
    {"NoTrailingLineBreak", {{"LID/state", "state: open"}}, PropertyValue(false)},
    {"UnknownWordKeptAsText", {{"LID0/state", "state:      unsupported\n"}}, PropertyValue(std::string("unsupported"))},
    {"NoLid", {}, std::nullopt},
    {"LidWithoutStateFile", {{"LID0/info", "x\n"}}, std::nullopt},
    {"EmptyStateFile", {{"LID0/state", ""}}, std::nullopt},
    {"OtherFormat", {{"LID0/state", "closed\n"}}, std::nullopt},
    {"FirstLidByName", {{"LID1/state", "state: open\n"}, {"LID0/state", "state: closed\n"}}, PropertyValue(true)},
};

INSTANTIATE_TEST_SUITE_P(All, AcpiLidState, ::testing::ValuesIn(lidCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AcpiLidRegistry, FollowsTheFileAsItChanges)
{
    testsupport::TempDir root;
    registry::AcpiLidRegistry lid(root.path());
    EXPECT_EQ(lid.clamshellState(), std::nullopt);
    root.write("proc/acpi/button/lid/LID0/state", "state:      closed\n");
    EXPECT_EQ(lid.clamshellState(), PropertyValue(true));
    root.write("proc/acpi/button/lid/LID0/state", "state:      open\n");
    EXPECT_EQ(lid.clamshellState(), PropertyValue(false));
}

} // namespace
