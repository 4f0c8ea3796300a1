#include "Services/PowerSourceMonitor.h"

#include "platform/foundation/MainQueue.h"
#include "platform/power/SysfsPowerSources.h"
#include "platform/qt/QtMainQueue.h"
#include "support/EventLoop.h"
#include "support/FakeSystemMonitors.h"
#include "support/TempDir.h"

#include <QObject>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using power::Description;
using power::Snapshot;
using power::Value;

Description battery(bool external, bool charging, std::int64_t current = 50, std::int64_t max = 100)
{
    return Description{{"Type", std::string("InternalBattery")},
                       {"ExternalConnected", external},
                       {"Is Charging", charging},
                       {"Power Source State", std::string(external ? "AC Power" : "Battery Power")},
                       {"Max Capacity", max},
                       {"Current Capacity", current}};
}

Description with(Description description, const std::string& key, std::optional<Value> value)
{
    if (value) {
        description[key] = *value;
    } else {
        description.erase(key);
    }
    return description;
}

class PowerSourceMonitorTest : public ::testing::Test {
protected:
    PowerSourceMonitorTest()
    {
        monitor->onEvents = [this](const std::vector<PowerSourceEvent>& events) {
            batches.push_back(events.size());
            received.insert(received.end(), events.begin(), events.end());
        };
    }

    // Fires a change and lets the main queue run every job posted so far.
    void change(std::optional<Snapshot> snapshot)
    {
        sources->snapshot = std::move(snapshot);
        sources->notifyChange();
        drainMainQueue();
    }

    static void drainMainQueue()
    {
        bool drained = false;
        foundation::mainQueue().async([&] { drained = true; });
        ASSERT_TRUE(testsupport::pumpUntil([&] { return drained; }));
    }

    std::vector<std::string> titles() const
    {
        std::vector<std::string> result;
        for (const auto& event : received) {
            result.push_back(event.title());
        }
        return result;
    }

    QObject context;
    platform::ScopedQtMainQueue mainQueue{&context};
    std::shared_ptr<testsupport::FakePowerSources> sources = std::make_shared<testsupport::FakePowerSources>();
    std::unique_ptr<PowerSourceMonitor> monitor = std::make_unique<PowerSourceMonitor>(sources);
    std::vector<PowerSourceEvent> received;
    std::vector<std::size_t> batches;
};

struct ChangeCase {
    const char* name;
    Snapshot before;
    Snapshot after;
    std::optional<std::string> title; // nullopt: no event
    std::optional<std::string> detail;
};

class PowerSourceChange : public PowerSourceMonitorTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(PowerSourceChange, ReportsTheTitleOfTheChange)
{
    const ChangeCase& c = GetParam();
    sources->snapshot = c.before;
    monitor->start();
    change(c.after);

    if (!c.title) {
        EXPECT_TRUE(received.empty()) << received.front().title();
        return;
    }
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(batches, std::vector<std::size_t>{1});
    EXPECT_EQ(received[0].title(), *c.title);
    EXPECT_EQ(received[0].detail(), c.detail);
}

const Description onBattery = battery(false, false);
const Description onAc = battery(true, false);
const Description onAcCharging = battery(true, true);

const ChangeCase changeCases[] = {
    {"AdapterAndChargingInOneChange",
     {onBattery},
     {battery(true, true, 51)},
     "Adapter connected \u00b7 charging",
     "51%"},
    {"AdapterWithoutCharging", {onBattery}, {onAc}, "Adapter connected", "50%"},
    {"UnplugWhileStillCharging", {onAcCharging}, {battery(false, true)}, "On battery power", "50%"},
    {"UnplugAndChargingStops", {onAcCharging}, {onBattery}, "On battery power", "50%"},
    {"ChargingStartsOnAc", {onAc}, {onAcCharging}, "Charging", "50%"},
    {"BatteryFullOnAc", {onAcCharging}, {onAc}, "Not charging (on AC)", "50%"},
    {"ChargingStopsOnBattery", {battery(false, true)}, {onBattery}, "Not charging", "50%"},
    {"PercentAloneIsNoEvent", {battery(true, false, 79)}, {battery(true, false, 80)}, std::nullopt, std::nullopt},
    {"NothingChanged", {onAc}, {onAc}, std::nullopt, std::nullopt},
    {"MaxCapacityZero", {onBattery}, {battery(true, false, 50, 0)}, "Adapter connected", std::nullopt},
    {"MaxCapacityMissing", {onBattery}, {with(onAc, "Max Capacity", std::nullopt)}, "Adapter connected", std::nullopt},
    {"CurrentCapacityMissing",
     {onBattery},
     {with(onAc, "Current Capacity", std::nullopt)},
     "Adapter connected",
     std::nullopt},
    {"CapacityAsTextIsUnknown",
     {onBattery},
     {with(onAc, "Current Capacity", std::string("50"))},
     "Adapter connected",
     std::nullopt},
    {"CurrentAboveMaxClampsTo100", {onBattery}, {battery(true, false, 130, 100)}, "Adapter connected", "100%"},
    {"NegativeCurrentClampsTo0", {onBattery}, {battery(true, false, -5, 60)}, "Adapter connected", "0%"},
    {"FiftyOfSixtyTruncatesTo83", {onBattery}, {battery(true, false, 50, 60)}, "Adapter connected", "83%"},
    {"HugeCapacitiesDoNotOverflow",
     {onBattery},
     {battery(true, false, INT64_MAX, INT64_MAX)},
     "Adapter connected",
     "100%"},
    {"AcPowerStateWithoutExternalConnected",
     {onBattery},
     {with(onAc, "ExternalConnected", std::nullopt)},
     "Adapter connected",
     "50%"},
    {"AcPowerStateWithExternalConnectedFalse",
     {onBattery},
     {with(onAc, "ExternalConnected", false)},
     "Adapter connected",
     "50%"},
    {"ExternalConnectedWithAnotherState",
     {onBattery},
     {with(onAc, "Power Source State", std::string("Battery Power"))},
     "Adapter connected",
     "50%"},
    {"NeitherSignalMeansBattery",
     {onAc},
     {with(with(onAc, "Power Source State", std::nullopt), "ExternalConnected", std::nullopt)},
     "On battery power",
     "50%"},
    {"IsChargingAsIntegerOne", {onAc}, {with(onAc, "Is Charging", std::int64_t(1))}, "Charging", "50%"},
    {"IsChargingAsIntegerZero",
     {onAcCharging},
     {with(onAc, "Is Charging", std::int64_t(0))},
     "Not charging (on AC)",
     "50%"},
    {"IsChargingAsOtherNumber", {onAc}, {with(onAc, "Is Charging", 1.0)}, "Charging", "50%"},
    {"IsChargingAsStringReadsFalse",
     {onAcCharging},
     {with(onAc, "Is Charging", std::string("Yes"))},
     "Not charging (on AC)",
     "50%"},
    {"ExternalConnectedAsInteger",
     {onBattery},
     {with(with(onBattery, "ExternalConnected", std::int64_t(2)), "Power Source State", std::nullopt)},
     "Adapter connected",
     "50%"},
    {"OnlyTheFirstBatteryCounts", {onBattery, onAc}, {onAc, onBattery}, "Adapter connected", "50%"},
    {"BatteryTypeCountsToo",
     {with(onBattery, "Type", std::string("Battery"))},
     {with(onAc, "Type", std::string("Battery"))},
     "Adapter connected",
     "50%"},
    {"OtherSourcesAreSkipped",
     {std::nullopt, Description{{"Type", std::string("Mains")}, {"ExternalConnected", true}}, onBattery},
     {std::nullopt, with(onAc, "Type", std::int64_t(1)), with(onAc, "Type", std::nullopt),
      Description{{"Type", std::string("Mains")}, {"ExternalConnected", false}}, onAc},
     "Adapter connected",
     "50%"},
};

INSTANTIATE_TEST_SUITE_P(All, PowerSourceChange, ::testing::ValuesIn(changeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PowerSourceMonitorTest, TheChargingTitleIsTwentyNineBytes)
{
    sources->snapshot = Snapshot{onBattery};
    monitor->start();
    change(Snapshot{onAcCharging});
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].title().size(), 29u);
    EXPECT_EQ(received[0].title(), "Adapter connected \xC2\xB7 charging");
}

TEST_F(PowerSourceMonitorTest, AnAbsentBaselineIsReplacedSilentlyByTheFirstReading)
{
    sources->snapshot = std::nullopt;
    monitor->start();
    change(Snapshot{onBattery});
    EXPECT_TRUE(received.empty());
    change(Snapshot{onAc});
    EXPECT_EQ(titles(), std::vector<std::string>{"Adapter connected"});
}

TEST_F(PowerSourceMonitorTest, AnUnreadableStateKeepsTheBaseline)
{
    sources->snapshot = Snapshot{onBattery};
    monitor->start();
    change(std::nullopt);                                          // no snapshot
    change(Snapshot{Description{{"Type", std::string("Mains")}}}); // no battery
    EXPECT_TRUE(received.empty());
    change(Snapshot{onAc});
    EXPECT_EQ(titles(), std::vector<std::string>{"Adapter connected"});
}

TEST_F(PowerSourceMonitorTest, ThePercentOnlyChangeStillMovesTheBaseline)
{
    sources->snapshot = Snapshot{battery(false, false, 79)};
    monitor->start();
    change(Snapshot{battery(false, false, 80)});
    change(Snapshot{battery(true, false, 81)});
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].detail(), "81%");
}

TEST_F(PowerSourceMonitorTest, AChangeWhoseJobRunsAfterStopReportsNothing)
{
    sources->snapshot = Snapshot{onBattery};
    monitor->start();
    sources->snapshot = Snapshot{onAc};
    sources->notifyChange();
    monitor->stop();
    EXPECT_EQ(sources->liveChangeSources(), 0);
    drainMainQueue();
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(sources->snapshotsTaken, 1); // the job found the monitor stopped and read nothing
}

TEST_F(PowerSourceMonitorTest, AChangeWhoseJobRunsAfterDestructionDoesNothing)
{
    sources->snapshot = Snapshot{onBattery};
    monitor->start();
    sources->snapshot = Snapshot{onAc};
    sources->notifyChange();
    monitor.reset();
    EXPECT_EQ(sources->liveChangeSources(), 0);
    drainMainQueue();
    EXPECT_TRUE(received.empty());
}

TEST_F(PowerSourceMonitorTest, StartTwiceKeepsOneSourceAndTheFirstBaseline)
{
    sources->snapshot = Snapshot{onBattery};
    monitor->start();
    sources->snapshot = Snapshot{onAc};
    monitor->start();
    EXPECT_EQ(sources->liveChangeSources(), 1);
    EXPECT_EQ(sources->snapshotsTaken, 1);
    change(Snapshot{onAc});
    EXPECT_EQ(titles(), std::vector<std::string>{"Adapter connected"});
}

TEST_F(PowerSourceMonitorTest, RestartTakesAFreshBaseline)
{
    sources->snapshot = Snapshot{onBattery};
    monitor->start();
    monitor->stop();
    monitor->stop();
    sources->snapshot = Snapshot{onAc}; // plugged in while monitoring was off
    monitor->start();
    change(Snapshot{onAc});
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(sources->liveChangeSources(), 1);
}

TEST_F(PowerSourceMonitorTest, WithoutAChangeSourceTheMonitorStaysStartedAndSilent)
{
    sources->changeSourceFails = true;
    sources->snapshot = Snapshot{onBattery};
    monitor->start();
    change(Snapshot{onAc});
    EXPECT_TRUE(received.empty());
    monitor->start(); // still started: takes no new baseline
    EXPECT_EQ(sources->snapshotsTaken, 1);
}

TEST_F(PowerSourceMonitorTest, TheOwnerMayStopTheMonitorFromItsCallback)
{
    monitor->onEvents = [this](const std::vector<PowerSourceEvent>& events) {
        received.insert(received.end(), events.begin(), events.end());
        monitor->stop();
    };
    sources->snapshot = Snapshot{onBattery};
    monitor->start();
    change(Snapshot{onAc});
    change(Snapshot{onBattery});
    EXPECT_EQ(titles(), std::vector<std::string>{"Adapter connected"});
}

// The sysfs layer under the monitor: the adapter's "online" file flips and the polling source
// notices it.
TEST_F(PowerSourceMonitorTest, ReportsAnAdapterPluggedInOnAFakeSysfsTree)
{
    testsupport::TempDir root;
    root.write("sys/class/power_supply/AC/type", "Mains\n");
    root.write("sys/class/power_supply/AC/online", "0\n");
    root.write("sys/class/power_supply/BAT0/uevent",
               "POWER_SUPPLY_NAME=BAT0\nPOWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_STATUS=Discharging\n"
               "POWER_SUPPLY_CAPACITY=57\n");
    PowerSourceMonitor sysfsMonitor(
        std::make_shared<power::SysfsPowerSources>(root.path(), std::chrono::milliseconds(5)));
    sysfsMonitor.onEvents = monitor->onEvents;
    sysfsMonitor.start();

    root.write("sys/class/power_supply/AC/online", "1\n");
    ASSERT_TRUE(testsupport::pumpUntil([&] { return !received.empty(); }));
    EXPECT_EQ(titles(), std::vector<std::string>{"Adapter connected"});
    EXPECT_EQ(received[0].detail(), "57%");
}

} // namespace
