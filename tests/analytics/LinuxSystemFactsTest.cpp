#include "analytics/LinuxSystemFacts.h"

#include "AnalyticsTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/utsname.h>

using analyticstest::ScratchDir;
using tally::LinuxSystemFacts;

namespace {

void write(const std::filesystem::path& path, const std::string& text)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::string unameField(char (utsname::*field)[65])
{
    struct utsname names {};
    ::uname(&names);
    return names.*field;
}

struct OsReleaseCase {
    const char* name;
    const char* text;
    const char* key;
    const char* expected; // nullptr: no value
};

const OsReleaseCase kOsReleaseCases[] = {
    {"DoubleQuoted", "NAME=\"Debian GNU/Linux\"\n", "NAME", "Debian GNU/Linux"},
    {"SingleQuoted", "NAME='Fedora Linux'\n", "NAME", "Fedora Linux"},
    {"Unquoted", "VERSION_ID=12\n", "VERSION_ID", "12"},
    {"EscapesInDoubleQuotes", "NAME=\"A \\\"B\\\" C\"\n", "NAME", "A \"B\" C"},
    {"KeyIsNotAPrefixOfAnother", "NAME_EXTRA=x\nNAME=y\n", "NAME", "y"},
    {"CommentsIgnored", "# NAME=x\nNAME=y\n", "NAME", "y"},
    {"Missing", "ID=debian\n", "NAME", nullptr},
    {"EmptyValue", "NAME=\n", "NAME", ""},
};

class OsRelease : public ::testing::TestWithParam<OsReleaseCase> {};

} // namespace

TEST_P(OsRelease, ReadsTheValueOfAKey)
{
    const auto& param = GetParam();
    const auto value = LinuxSystemFacts::osReleaseValue(param.text, param.key);
    if (!param.expected) {
        EXPECT_EQ(value, std::nullopt);
    } else {
        EXPECT_EQ(value, std::optional<std::string>(param.expected));
    }
}

INSTANTIATE_TEST_SUITE_P(All, OsRelease, ::testing::ValuesIn(kOsReleaseCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinuxSystemFacts, ReadsTheSystemFromOsReleaseUnameAndDmi)
{
    ScratchDir root;
    write(root.path() / "etc/os-release", "PRETTY_NAME=\"Debian 12\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n");
    write(root.path() / "sys/class/dmi/id/sys_vendor", "LENOVO\n");
    write(root.path() / "sys/class/dmi/id/product_serial", "  PF12345 \n");
    const LinuxSystemFacts facts(foundation::Bundle(std::nullopt, "/opt/app"), root.path());

    EXPECT_EQ(facts.operatingSystemName(), "Debian GNU/Linux");
    EXPECT_EQ(facts.operatingSystemVersion(),
              "12 (" + unameField(&utsname::sysname) + " " + unameField(&utsname::release) + ")");
    EXPECT_EQ(facts.deviceModel(), unameField(&utsname::machine));
    EXPECT_EQ(facts.manufacturer(), "LENOVO");
    EXPECT_EQ(facts.serialNumber(), std::optional<std::string>("PF12345"));
    EXPECT_EQ(facts.bundlePath(), "/opt/app");
    EXPECT_EQ(facts.infoDictionary(), std::nullopt);
}

TEST(LinuxSystemFacts, FallsBackWhenFilesAreMissingOrUnreadable)
{
    ScratchDir root;
    write(root.path() / "usr/lib/os-release", "NAME=Arch\n"); // no version
    write(root.path() / "sys/class/dmi/id/product_serial", "\n");
    const LinuxSystemFacts facts(foundation::Bundle(std::nullopt, "/opt/app"), root.path());

    EXPECT_EQ(facts.operatingSystemName(), "Arch");
    EXPECT_EQ(facts.operatingSystemVersion(), unameField(&utsname::sysname) + " " + unameField(&utsname::release));
    EXPECT_EQ(facts.manufacturer(), "Unknown");
    EXPECT_EQ(facts.serialNumber(), std::nullopt);
}

TEST(LinuxSystemFacts, HasNoScreenUntilTheHostSetsOne)
{
    LinuxSystemFacts facts(foundation::Bundle(std::nullopt, "/opt/app"), "/nonexistent");
    EXPECT_FALSE(facts.mainScreenSize().has_value());
    facts.setMainScreenSize(tally::SystemFacts::ScreenSize{1920, 1080});
    ASSERT_TRUE(facts.mainScreenSize().has_value());
    EXPECT_EQ(facts.mainScreenSize()->width, 1920);
    EXPECT_EQ(facts.operatingSystemName(), unameField(&utsname::sysname));
}
