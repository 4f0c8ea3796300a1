#include "platform/power/SysfsPowerSources.h"

#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <map>
#include <string>

namespace {

using power::Description;
using power::Snapshot;

struct TreeCase {
    const char* name;
    std::map<std::string, std::string> files; // below sys/class/power_supply
    Snapshot expected;
};

class PowerSupplyTree : public ::testing::TestWithParam<TreeCase> {};

TEST_P(PowerSupplyTree, DescribesEachSupply)
{
    testsupport::TempDir root;
    root.mkdir("sys/class/power_supply");
    for (const auto& [path, contents] : GetParam().files) {
        root.write("sys/class/power_supply/" + path, contents);
    }
    power::SysfsPowerSources sources(root.path());
    EXPECT_EQ(sources.copyPowerSources(), GetParam().expected);
}

Description internalBattery(const std::string& name, bool external, bool charging, std::optional<std::int64_t> max,
                            std::optional<std::int64_t> current)
{
    Description d{{"Name", name},
                  {"Type", std::string("InternalBattery")},
                  {"ExternalConnected", external},
                  {"Is Charging", charging},
                  {"Power Source State", std::string(external ? "AC Power" : "Battery Power")}};
    if (max) {
        d["Max Capacity"] = *max;
    }
    if (current) {
        d["Current Capacity"] = *current;
    }
    return d;
}

Description adapter(const std::string& name, const std::string& type, bool online)
{
    return Description{{"Name", name}, {"Type", type}, {"ExternalConnected", online}};
}

const std::string kCharging57 = "POWER_SUPPLY_NAME=BAT0\nPOWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_STATUS=Charging\n"
                                "POWER_SUPPLY_PRESENT=1\nPOWER_SUPPLY_CAPACITY=57\n";
const std::string kDischarging40 =
    "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_STATUS=Discharging\nPOWER_SUPPLY_CAPACITY=40\nPOWER_SUPPLY_SCOPE=System\n";

const TreeCase treeCases[] = {
    {"BatteryChargingOnAc",
     {{"AC/uevent", "POWER_SUPPLY_NAME=AC\nPOWER_SUPPLY_TYPE=Mains\nPOWER_SUPPLY_ONLINE=1\n"},
      {"BAT0/uevent", kCharging57}},
     {adapter("AC", "Mains", true), internalBattery("BAT0", true, true, 100, 57)}},
    {"BatteryOnBatteryAdapterOffline",
     {{"ADP1/uevent", "POWER_SUPPLY_TYPE=Mains\nPOWER_SUPPLY_ONLINE=0\n"}, {"BAT0/uevent", kDischarging40}},
     {adapter("ADP1", "Mains", false), internalBattery("BAT0", false, false, 100, 40)}},
    {"AnOnlineUsbPortIsExternalPower",
     {{"BAT0/uevent", kDischarging40},
      {"ucsi-source-psy-1/uevent", "POWER_SUPPLY_TYPE=USB\nPOWER_SUPPLY_ONLINE=0\n"},
      {"ucsi-source-psy-2/uevent", "POWER_SUPPLY_TYPE=USB\nPOWER_SUPPLY_ONLINE=1\n"}},
     {internalBattery("BAT0", true, false, 100, 40), adapter("ucsi-source-psy-1", "USB", false),
      adapter("ucsi-source-psy-2", "USB", true)}},
    {"FullOnAc",
     {{"AC/uevent", "POWER_SUPPLY_TYPE=Mains\nPOWER_SUPPLY_ONLINE=1\n"},
      {"BAT0/uevent", "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_STATUS=Full\nPOWER_SUPPLY_CAPACITY=100\n"}},
     {adapter("AC", "Mains", true), internalBattery("BAT0", true, false, 100, 100)}},
    {"BatteryOnlyChargingMeansAdapter", {{"BAT0/uevent", kCharging57}}, {internalBattery("BAT0", true, true, 100, 57)}},
    {"BatteryOnlyFullMeansAdapter",
     {{"BAT0/uevent", "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_STATUS=Full\nPOWER_SUPPLY_CAPACITY=100\n"}},
     {internalBattery("BAT0", true, false, 100, 100)}},
    {"BatteryOnlyNotChargingMeansAdapter",
     {{"BAT0/uevent", "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_STATUS=Not charging\nPOWER_SUPPLY_CAPACITY=80\n"}},
     {internalBattery("BAT0", true, false, 100, 80)}},
    {"BatteryOnlyDischarging", {{"BAT0/uevent", kDischarging40}}, {internalBattery("BAT0", false, false, 100, 40)}},
    {"AttributeFilesWithoutUevent",
     {{"BAT1/type", "Battery\n"}, {"BAT1/status", "Discharging\n"}, {"BAT1/capacity", "33\n"}},
     {internalBattery("BAT1", false, false, 100, 33)}},
    {"AttributeFileFillsWhatTheUeventLacks",
     {{"BAT0/uevent", "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_STATUS=Discharging\n"}, {"BAT0/capacity", "12\n"}},
     {internalBattery("BAT0", false, false, 100, 12)}},
    {"EnergyWithoutCapacity",
     {{"BAT0/uevent", "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_STATUS=Discharging\n"
                      "POWER_SUPPLY_ENERGY_FULL=50000000\nPOWER_SUPPLY_ENERGY_NOW=20000000\n"}},
     {internalBattery("BAT0", false, false, 50000000, 20000000)}},
    {"ChargeWithoutCapacity",
     {{"BAT0/uevent", "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_STATUS=Discharging\n"
                      "POWER_SUPPLY_CHARGE_FULL=4000000\nPOWER_SUPPLY_CHARGE_NOW=1000000\n"}},
     {internalBattery("BAT0", false, false, 4000000, 1000000)}},
    {"NoCapacityAtAll",
     {{"BAT0/uevent", "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_STATUS=Discharging\n"}},
     {internalBattery("BAT0", false, false, std::nullopt, std::nullopt)}},
    {"UnreadableCapacityIsLeftOut",
     {{"BAT0/uevent", "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_STATUS=Discharging\nPOWER_SUPPLY_CAPACITY=n/a\n"}},
     {internalBattery("BAT0", false, false, std::nullopt, std::nullopt)}},
    {"NoBattery", {{"AC/uevent", "POWER_SUPPLY_TYPE=Mains\nPOWER_SUPPLY_ONLINE=1\n"}}, {adapter("AC", "Mains", true)}},
    {"EmptyFolder", {}, Snapshot{}},
    {"PeripheralBatteryIsAnAccessory",
     {{"hidpp_battery_0/uevent",
       "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_SCOPE=Device\nPOWER_SUPPLY_STATUS=Discharging\n"
       "POWER_SUPPLY_CAPACITY=90\n"}},
     {Description{{"Name", std::string("hidpp_battery_0")}, {"Type", std::string("Accessory Source")}}}},
    {"EmptyBatterySlotIsLeftOut",
     {{"BAT0/uevent", "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_PRESENT=0\n"}, {"BAT1/uevent", kDischarging40}},
     {internalBattery("BAT1", false, false, 100, 40)}},
    {"OtherSupplyKeepsItsType",
     {{"ups/uevent", "POWER_SUPPLY_TYPE=UPS\n"}},
     {Description{{"Name", std::string("ups")}, {"Type", std::string("UPS")}}}},
    {"SupplyWithoutFilesIsUnreadable",
     {{"BAT0/uevent", kDischarging40}, {"broken/subsystem/x", ""}},
     {internalBattery("BAT0", false, false, 100, 40), std::nullopt}},
};

INSTANTIATE_TEST_SUITE_P(All, PowerSupplyTree, ::testing::ValuesIn(treeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SysfsPowerSources, WithoutThePowerSupplyClassThereIsNoSnapshotAndNoChangeSource)
{
    testsupport::TempDir root;
    power::SysfsPowerSources sources(root.path());
    EXPECT_EQ(sources.copyPowerSources(), std::nullopt);
    EXPECT_EQ(sources.createChangeSource([] {}), nullptr);
}

class SysfsPowerPolling : public ::testing::Test {
protected:
    SysfsPowerPolling()
    {
        root.write("sys/class/power_supply/AC/type", "Mains\n");
        root.write("sys/class/power_supply/AC/online", "0\n");
        root.write("sys/class/power_supply/BAT0/uevent", kDischarging40);
    }

    testsupport::TempDir root;
    power::SysfsPowerSources sources{root.path(), std::chrono::milliseconds(2)};
    int changes = 0;
};

TEST_F(SysfsPowerPolling, ReportsEachChangeOnce)
{
    auto source = sources.createChangeSource([this] { ++changes; });
    ASSERT_NE(source, nullptr);
    root.write("sys/class/power_supply/AC/online", "1\n");
    ASSERT_TRUE(testsupport::pumpUntil([&] { return changes == 1; }));
    testsupport::pumpFor(std::chrono::milliseconds(20)); // several more polls of the same tree
    EXPECT_EQ(changes, 1);
    root.write("sys/class/power_supply/BAT0/uevent",
               "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_STATUS=Charging\nPOWER_SUPPLY_CAPACITY=40\n");
    ASSERT_TRUE(testsupport::pumpUntil([&] { return changes == 2; }));
}

TEST_F(SysfsPowerPolling, ADestroyedSourceCallsNoMore)
{
    auto source = sources.createChangeSource([this] { ++changes; });
    source.reset();
    root.write("sys/class/power_supply/AC/online", "1\n");
    testsupport::pumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(changes, 0);
}

} // namespace
