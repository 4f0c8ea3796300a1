#include "app/DisplayCheck.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct DisplayCase {
    const char* name;
    std::vector<std::string> args;
    std::map<std::string, std::string> environment;
    bool available;
};

const DisplayCase kDisplayCases[] = {
    {"X11", {}, {{"DISPLAY", ":0"}}, true},
    {"Wayland", {}, {{"WAYLAND_DISPLAY", "wayland-1"}}, true},
    {"Nothing", {}, {}, false},
    {"EmptyDisplay", {}, {{"DISPLAY", ""}}, false},
    {"Offscreen", {}, {{"QT_QPA_PLATFORM", "offscreen"}}, true},
    {"MinimalWithOptions", {}, {{"QT_QPA_PLATFORM", "minimal:enable_fonts"}}, true},
    {"Vnc", {}, {{"QT_QPA_PLATFORM", "vnc:size=800x600"}}, true},
    {"XcbWithoutDisplay", {}, {{"QT_QPA_PLATFORM", "xcb"}, {"WAYLAND_DISPLAY", "wayland-1"}}, false},
    {"WaylandWithoutCompositor", {}, {{"QT_QPA_PLATFORM", "wayland"}, {"DISPLAY", ":0"}}, false},
    {"ListFallsBackToX11", {}, {{"QT_QPA_PLATFORM", "wayland;xcb"}, {"DISPLAY", ":0"}}, true},
    {"ListWithoutAny", {}, {{"QT_QPA_PLATFORM", "wayland;xcb"}}, false},
    {"ArgumentOverridesEnvironment", {"-platform", "offscreen"}, {{"QT_QPA_PLATFORM", "xcb"}}, true},
    {"ArgumentAsksForX11", {"-platform", "xcb"}, {{"QT_QPA_PLATFORM", "offscreen"}}, false},
    {"PlatformWordWithoutValue", {"-platform"}, {}, false},
};

class DisplayCheck : public ::testing::TestWithParam<DisplayCase> {};

} // namespace

TEST_P(DisplayCheck, TellsWhetherQtCanOpenADisplay)
{
    testsupport::TempDir runtime; // no compositor socket in it
    std::map<std::string, std::string> environment = GetParam().environment;
    environment["XDG_RUNTIME_DIR"] = runtime.path().string();
    std::vector<std::string> args{"ThwackoApp"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    const auto reason = missingDisplay(static_cast<int>(args.size()), argv.data(), [&](const char* name) {
        const auto it = environment.find(name);
        return it == environment.end() ? nullptr : it->second.c_str();
    });
    EXPECT_EQ(!reason, GetParam().available) << reason.value_or("");
}

INSTANTIATE_TEST_SUITE_P(All, DisplayCheck, ::testing::ValuesIn(kDisplayCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DisplayCheckWayland, TheDefaultCompositorSocketCounts)
{
    testsupport::TempDir runtime;
    runtime.write("wayland-0", "");
    char name[] = "ThwackoApp";
    char* argv[] = {name, nullptr};
    const std::string folder = runtime.path().string();
    EXPECT_FALSE(missingDisplay(1, argv, [&](const char* variable) {
        return std::string_view(variable) == "XDG_RUNTIME_DIR" ? folder.c_str() : nullptr;
    }));
}
