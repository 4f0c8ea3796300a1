#include "Services/LidClamshellMonitor.h"

#include "support/EventLoop.h"
#include "support/FakeSystemMonitors.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Transition = LidClamshellMonitor::LidTransition;
using registry::PropertyValue;
using Reading = std::optional<PropertyValue>;

constexpr auto kFast = std::chrono::milliseconds(1);

class LidClamshellMonitorTest : public ::testing::Test {
protected:
    LidClamshellMonitorTest()
    {
        monitor->onTransition = [this](Transition transition) { transitions.push_back(transition); };
    }

    // Starts with `baseline`, then lets the timer take every scripted reading and a few repeats
    // of the last one.
    void run(Reading baseline, std::vector<Reading> readings)
    {
        lid->script.push_back(std::move(baseline));
        lid->script.insert(lid->script.end(), readings.begin(), readings.end());
        monitor->start();
        const int target = lid->reads + static_cast<int>(readings.size()) + 3;
        ASSERT_TRUE(testsupport::pumpUntil([&] { return lid->reads >= target; }));
    }

    std::shared_ptr<testsupport::FakeLidRegistry> lid = std::make_shared<testsupport::FakeLidRegistry>();
    std::unique_ptr<LidClamshellMonitor> monitor = std::make_unique<LidClamshellMonitor>(lid, kFast);
    std::vector<Transition> transitions;
};

struct SequenceCase {
    const char* name;
    Reading baseline;
    std::vector<Reading> readings;
    std::vector<Transition> expected;
};

class LidSequence : public LidClamshellMonitorTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(LidSequence, ReportsEachChangeOfTheReading)
{
    run(GetParam().baseline, GetParam().readings);
    EXPECT_EQ(transitions, GetParam().expected);
}

const PropertyValue kClosed = true;
const PropertyValue kOpen = false;

const SequenceCase sequenceCases[] = {
    {"OpenClosedOpen", kOpen, {kClosed, kClosed, kOpen, kOpen}, {Transition::closed, Transition::opened}},
    {"SameStateReportsNothing", kOpen, {kOpen, kOpen}, {}},
    {"AbsentReadingChangesNothing", kOpen, {std::nullopt, kClosed}, {Transition::closed}},
    {"AbsentReadingKeepsTheBaseline", kClosed, {std::nullopt, kClosed, std::nullopt, kOpen}, {Transition::opened}},
    {"AbsentBaselineTakesTheFirstReadingSilently", std::nullopt, {kClosed, kOpen}, {Transition::opened}},
    {"NumberOneIsClosedZeroIsOpen",
     PropertyValue(std::int64_t(0)),
     {PropertyValue(std::int64_t(1)), kOpen},
     {Transition::closed, Transition::opened}},
    {"OtherNumbersReadByTheirBooleanValue",
     kOpen,
     {PropertyValue(2.0), PropertyValue(0.0)},
     {Transition::closed, Transition::opened}},
    {"TextReadsAsAbsent", kOpen, {PropertyValue(std::string("closed")), kOpen}, {}},
    {"TextBaselineIsAbsent", PropertyValue(std::string("closed")), {kClosed, kOpen}, {Transition::opened}},
};

INSTANTIATE_TEST_SUITE_P(All, LidSequence, ::testing::ValuesIn(sequenceCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LidClamshellMonitorTest, StartTwiceKeepsTheFirstBaseline)
{
    lid->script = {kOpen, kClosed};
    monitor->start();
    monitor->start(); // would read closed as a new baseline
    EXPECT_EQ(lid->reads, 1);
    ASSERT_TRUE(testsupport::pumpUntil([&] { return !transitions.empty(); }));
    EXPECT_EQ(transitions, std::vector<Transition>{Transition::closed});
}

TEST_F(LidClamshellMonitorTest, StopEndsPollingAndForgetsTheBaseline)
{
    run(kOpen, {kOpen});
    monitor->stop();
    monitor->stop();
    const int reads = lid->reads;
    lid->script = {kClosed}; // closed while monitoring is off
    testsupport::pumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(lid->reads, reads);

    run(std::nullopt, {kClosed}); // restart reads closed as the new baseline
    EXPECT_TRUE(transitions.empty());
}

TEST_F(LidClamshellMonitorTest, WithoutAReceiverAChangeStillMovesTheBaseline)
{
    monitor->onTransition = nullptr;
    run(kOpen, {kClosed});
    monitor->onTransition = [this](Transition transition) { transitions.push_back(transition); };
    lid->script = {kClosed, kOpen};
    const int target = lid->reads + 3;
    ASSERT_TRUE(testsupport::pumpUntil([&] { return lid->reads >= target; }));
    EXPECT_EQ(transitions, std::vector<Transition>{Transition::opened});
}

TEST_F(LidClamshellMonitorTest, TheOwnerMayStopOrDestroyTheMonitorFromItsCallback)
{
    monitor->onTransition = [this](Transition transition) {
        transitions.push_back(transition);
        monitor.reset();
    };
    lid->script = {kOpen, kClosed, kOpen};
    monitor->start();
    ASSERT_TRUE(testsupport::pumpUntil([&] { return monitor == nullptr; }));
    testsupport::pumpFor(std::chrono::milliseconds(10));
    EXPECT_EQ(transitions, std::vector<Transition>{Transition::closed});
}

// The ACPI layer under the monitor, with the state file rewritten as the lid moves.
TEST_F(LidClamshellMonitorTest, FollowsTheAcpiStateFile)
{
    testsupport::TempDir root;
    root.write("proc/acpi/button/lid/LID0/state", "state:      open\n");
    LidClamshellMonitor acpiMonitor(std::make_shared<registry::AcpiLidRegistry>(root.path()), kFast);
    acpiMonitor.onTransition = monitor->onTransition;
    acpiMonitor.start();

    root.write("proc/acpi/button/lid/LID0/state", "state:      closed\n");
    ASSERT_TRUE(testsupport::pumpUntil([&] { return transitions.size() == 1; }));
    root.write("proc/acpi/button/lid/LID0/state", "state:      open\n");
    ASSERT_TRUE(testsupport::pumpUntil([&] { return transitions.size() == 2; }));
    EXPECT_EQ(transitions, (std::vector<Transition>{Transition::closed, Transition::opened}));
}

} // namespace
