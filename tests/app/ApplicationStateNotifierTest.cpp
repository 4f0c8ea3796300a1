#include "app/ApplicationStateNotifier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct StateCase {
    const char* name;
    Qt::ApplicationState initial;
    std::vector<Qt::ApplicationState> changes;
    std::vector<std::string> posted;
};

class ApplicationStateNotifierTest : public ::testing::TestWithParam<StateCase> {};

const std::string kActive = foundation::kApplicationDidBecomeActive;
const std::string kResign = foundation::kApplicationWillResignActive;

} // namespace

TEST_P(ApplicationStateNotifierTest, PostsOncePerTransitionOfTheActiveState)
{
    foundation::NotificationCenter center;
    std::vector<std::string> posted;
    for (const std::string& name : {kActive, kResign}) {
        center.addObserver(name, [&posted](const foundation::Notification& n) { posted.push_back(n.name); });
    }
    ApplicationStateNotifier notifier(center, GetParam().initial);
    for (const auto state : GetParam().changes) {
        notifier.stateChanged(state);
    }
    EXPECT_EQ(posted, GetParam().posted);
}

INSTANTIATE_TEST_SUITE_P(
    All, ApplicationStateNotifierTest,
    ::testing::Values(StateCase{"BecomesActive", Qt::ApplicationInactive, {Qt::ApplicationActive}, {kActive}},
                      StateCase{"ActiveThenInactive",
                                Qt::ApplicationInactive,
                                {Qt::ApplicationActive, Qt::ApplicationInactive},
                                {kActive, kResign}},
                      StateCase{"StartsActiveThenHidden", Qt::ApplicationActive, {Qt::ApplicationHidden}, {kResign}},
                      StateCase{"InactiveToHiddenIsNoTransition", Qt::ApplicationInactive, {Qt::ApplicationHidden}, {}},
                      StateCase{"ActiveTwiceIsOnePost",
                                Qt::ApplicationInactive,
                                {Qt::ApplicationActive, Qt::ApplicationActive},
                                {kActive}}),
    [](const auto& info) { return std::string(info.param.name); });
