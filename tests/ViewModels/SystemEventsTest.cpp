#include "ViewModelFixture.h"

// The custom folder chooser, and the volume, power and lid events with their logs and sounds.

TEST_F(ThwackoViewModelTest, TheFolderChooserSetsTheCustomFolderOnlyWhenAccepted)
{
    make();
    services.choice = {false, dir.path()};
    vm->selectCustomDirectory();
    EXPECT_FALSE(vm->customDirectory());
    services.choice = {true, dir.path()};
    vm->selectCustomDirectory();
    EXPECT_EQ(vm->customDirectory(), dir.path());
    services.choice = {true, std::nullopt};
    vm->selectCustomDirectory();
    EXPECT_FALSE(vm->customDirectory());
    EXPECT_EQ(services.chooserMessages.front(), "Select a directory containing MP3 files");
}

// System events.

TEST_F(ThwackoViewModelTest, VolumeEventsAreLoggedNewestFirstUpToAHundredAndReported)
{
    make();
    for (int i = 0; i < 101; ++i) {
        usbMonitor->onEvent(VolumeMountEvent(clock.wall, i % 2 == 0, "V" + std::to_string(i), "/media/v", true, false));
    }
    EXPECT_TRUE(vm->usbVolumeEvents().empty()); // handled on a later turn of the main queue
    drain();
    ASSERT_EQ(vm->usbVolumeEvents().size(), 100u);
    EXPECT_EQ(vm->usbVolumeEvents().front().volumeName(), "V100");
    EXPECT_EQ(vm->usbVolumeEvents().back().volumeName(), "V1");
    const auto reported = analytics->named("usb_volume_event");
    ASSERT_EQ(reported.size(), 101u);
    const AnalyticsProperties first{{"mounted", true}, {"removable", true}, {"ejectable", false}};
    EXPECT_EQ(reported[0].second, first);
    EXPECT_TRUE(audio->plays.empty());
}

TEST_F(ThwackoViewModelTest, ReportsArrivingAfterTheirSwitchWentOffAreDropped)
{
    make();
    usbMonitor->onEvent(VolumeMountEvent(clock.wall, true, "V", "/media/v", true, true));
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Charging", "80%")});
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::closed);
    vm->setUsbVolumeMonitoring(false);
    vm->setPowerMonitoring(false);
    vm->setLidCreakMonitoring(false);
    drain();
    EXPECT_TRUE(vm->usbVolumeEvents().empty());
    EXPECT_TRUE(vm->powerSourceEvents().empty());
    EXPECT_TRUE(vm->lidCreakEvents().empty());
    EXPECT_TRUE(analytics->events.empty());
    EXPECT_TRUE(audio->plays.empty());
}

TEST_F(ThwackoViewModelTest, TheMonitorSwitchesStartAndStopTheirMonitors)
{
    make();
    workspace->values["/media/stick"] = {true, true, std::string("STICK")};
    vm->setUsbVolumeMonitoring(true); // restarts: still one registration
    workspace->post("/media/stick", true);
    drain();
    EXPECT_EQ(vm->usbVolumeEvents().size(), 1u);
    vm->setUsbVolumeMonitoring(false);
    workspace->post("/media/stick", true);
    drain();
    EXPECT_EQ(vm->usbVolumeEvents().size(), 1u);

    const int snapshots = powerSources->snapshotsTaken;
    vm->setPowerMonitoring(true); // a started monitor ignores start()
    EXPECT_EQ(powerSources->liveChangeSources(), 1);
    EXPECT_EQ(powerSources->snapshotsTaken, snapshots);
    vm->setPowerMonitoring(false);
    EXPECT_EQ(powerSources->liveChangeSources(), 0);
    vm->setPowerMonitoring(false);
    vm->setPowerMonitoring(true);
    EXPECT_EQ(powerSources->liveChangeSources(), 1);
    EXPECT_EQ(powerSources->snapshotsTaken, snapshots + 1); // a fresh baseline

    const int reads = lid->reads;
    vm->setLidCreakMonitoring(true);
    EXPECT_EQ(lid->reads, reads);
    vm->setLidCreakMonitoring(false);
    vm->setLidCreakMonitoring(true);
    EXPECT_EQ(lid->reads, reads + 1); // a fresh baseline
}

struct PowerSoundCase {
    const char* title;
    bool sound;
};

const PowerSoundCase kPowerSounds[] = {
    {"Adapter connected · charging", true}, {"Adapter connected", true}, {"On battery power", true}, {"Charging", true},
    {"Not charging (on AC)", false},        {"Not charging", false},
};

TEST(ThwackoViewModelPowerTitles, DecideTheSound)
{
    for (const auto& c : kPowerSounds) {
        EXPECT_EQ(ThwackoViewModel::shouldPlaySoundForPowerEvent(c.title), c.sound) << c.title;
    }
}

TEST_F(ThwackoViewModelTest, PowerEventsPlayOneClipPerOnePointTwoFiveSeconds)
{
    make();
    vm->setVolumeScaling(true);
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Adapter connected", "80%")});
    drain();
    ASSERT_EQ(vm->powerSourceEvents().size(), 1u);
    ASSERT_EQ(audio->plays.size(), 1u); // whether or not listening is on
    EXPECT_EQ(audio->plays[0].url.parent_path(), dir.path() / "res/Audio/pain");
    EXPECT_EQ(audio->plays[0].amplitude, 0.28);
    EXPECT_TRUE(audio->plays[0].volumeScaling);

    clock.advanceMonotonic(1.0);
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "On battery power", std::nullopt)});
    drain();
    EXPECT_EQ(audio->plays.size(), 1u);

    clock.advanceMonotonic(0.25); // 1.25 s after the last sound
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Adapter connected · charging", "81%"),
                            PowerSourceEvent(clock.wall, "Charging", "81%")});
    drain();
    EXPECT_EQ(audio->plays.size(), 2u); // one sound for the whole list
    ASSERT_EQ(vm->powerSourceEvents().size(), 4u);
    EXPECT_EQ(vm->powerSourceEvents().front().title(), "Charging"); // the last of a list ends newest

    clock.advanceMonotonic(5);
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Not charging (on AC)", "100%")});
    drain();
    EXPECT_EQ(audio->plays.size(), 2u);

    const auto reported = analytics->named("power_source_event");
    ASSERT_EQ(reported.size(), 5u);
    const AnalyticsProperties second{{"title", std::string("On battery power")}, {"has_detail", false}};
    EXPECT_EQ(reported[1].second, second);
}

TEST_F(ThwackoViewModelTest, APowerSoundWithoutClipsStillStartsItsSpacing)
{
    make();
    vm->setSelectedMode(SoundPackType::custom);
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Charging", std::nullopt)});
    drain();
    EXPECT_TRUE(audio->plays.empty());

    vm->setSelectedMode(SoundPackType::pain);
    clock.advanceMonotonic(1.0);
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Charging", std::nullopt)});
    drain();
    EXPECT_TRUE(audio->plays.empty());

    vm->setPowerEventSounds(false);
    clock.advanceMonotonic(5);
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Charging", std::nullopt)});
    drain();
    EXPECT_TRUE(audio->plays.empty());
    EXPECT_EQ(vm->powerSourceEvents().size(), 3u);
}

TEST_F(ThwackoViewModelTest, LidChangesCreakAtMostOncePerPointThreeFiveSeconds)
{
    make();
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::closed);
    drain();
    clock.advanceMonotonic(0.5);
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::opened);
    drain();
    clock.advanceMonotonic(0.3);
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::closed);
    drain();

    ASSERT_EQ(audio->plays.size(), 2u);
    EXPECT_EQ(audio->plays[0].url, dir.path() / "res/Audio/lid/close.mp3");
    EXPECT_EQ(audio->plays[1].url, dir.path() / "res/Audio/lid/open.mp3");
    EXPECT_EQ(audio->plays[1].amplitude, 0.32);
    ASSERT_EQ(vm->lidCreakEvents().size(), 3u);
    EXPECT_FALSE(vm->lidCreakEvents().front().opened());
    EXPECT_EQ(analytics->named("lid_creak_event").size(), 3u);

    // With the creak off the change is logged and reported, and the spacing is left alone.
    vm->setLidCreakSounds(false);
    clock.advanceMonotonic(0.1);
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::opened);
    drain();
    vm->setLidCreakSounds(true);
    clock.advanceMonotonic(0.3); // 0.4 s after the last attempt that played
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::closed);
    drain();
    EXPECT_EQ(audio->plays.size(), 3u);
    EXPECT_EQ(vm->lidCreakEvents().size(), 5u);
}

TEST_F(ThwackoViewModelTest, EachClearEmptiesOnlyItsOwnLog)
{
    make();
    usbMonitor->onEvent(VolumeMountEvent(clock.wall, true, "V", "/media/v", true, true));
    powerMonitor->onEvents({PowerSourceEvent(clock.wall, "Not charging", std::nullopt)});
    lidMonitor->onTransition(LidClamshellMonitor::LidTransition::opened);
    drain();
    vm->clearPowerSourceLog();
    EXPECT_TRUE(vm->powerSourceEvents().empty());
    EXPECT_EQ(vm->usbVolumeEvents().size(), 1u);
    EXPECT_EQ(vm->lidCreakEvents().size(), 1u);
    vm->clearUSBVolumeLog();
    vm->clearLidCreakLog();
    EXPECT_TRUE(vm->usbVolumeEvents().empty());
    EXPECT_TRUE(vm->lidCreakEvents().empty());
}
