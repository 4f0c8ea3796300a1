#include "Services/USBVolumeMonitor.h"

#include "platform/workspace/LinuxWorkspace.h"
#include "support/FakeSystemMonitors.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using workspace::VolumeResourceValues;

class USBVolumeMonitorTest : public ::testing::Test {
protected:
    USBVolumeMonitorTest()
    {
        monitor->onEvent = [this](const VolumeMountEvent& event) { received.push_back(event); };
    }

    std::shared_ptr<testsupport::FakeWorkspace> workspace = std::make_shared<testsupport::FakeWorkspace>();
    std::unique_ptr<USBVolumeMonitor> monitor = std::make_unique<USBVolumeMonitor>(workspace);
    std::vector<VolumeMountEvent> received;
};

struct VolumeCase {
    const char* name;
    std::string path;
    std::optional<VolumeResourceValues> values; // nullopt: the query fails
    bool reported;
    std::string volumeName;
    std::string reportedPath;
    bool removable;
    bool ejectable;
};

class VolumeFilter : public USBVolumeMonitorTest, public ::testing::WithParamInterface<VolumeCase> {};

TEST_P(VolumeFilter, ReportsRemovableOrEjectableVolumesOnly)
{
    const VolumeCase& c = GetParam();
    if (c.values) {
        std::string queried = c.path; // the monitor asks without the trailing separator
        while (queried.size() > 1 && queried.back() == '/') {
            queried.pop_back();
        }
        workspace->values[queried] = *c.values;
    }
    monitor->start();
    workspace->post(c.path, true);
    workspace->post(c.path, false);

    if (!c.reported) {
        EXPECT_TRUE(received.empty());
        return;
    }
    ASSERT_EQ(received.size(), 2u);
    EXPECT_TRUE(received[0].mounted());
    EXPECT_FALSE(received[1].mounted());
    for (const auto& event : received) {
        EXPECT_EQ(event.volumeName(), c.volumeName);
        EXPECT_EQ(event.path(), c.reportedPath);
        EXPECT_EQ(event.isRemovable(), c.removable);
        EXPECT_EQ(event.isEjectable(), c.ejectable);
    }
}

const VolumeCase volumeCases[] = {
    {"RemovableNotEjectable", "/media/stick", VolumeResourceValues{true, false, "STICK"}, true, "STICK", "/media/stick",
     true, false},
    {"EjectableWithRemovableUnknown", "/media/disk", VolumeResourceValues{std::nullopt, true, "Backup"}, true, "Backup",
     "/media/disk", false, true},
    {"RemovableWithEjectableUnknown", "/media/card", VolumeResourceValues{true, std::nullopt, "CARD"}, true, "CARD",
     "/media/card", true, false},
    {"Both", "/media/both", VolumeResourceValues{true, true, "Both"}, true, "Both", "/media/both", true, true},
    {"FixedVolume", "/home", VolumeResourceValues{false, false, "home"}, false, "", "", false, false},
    {"BothUnknown", "/mnt/x", VolumeResourceValues{std::nullopt, std::nullopt, "x"}, false, "", "", false, false},
    {"FalseAndUnknown", "/mnt/y", VolumeResourceValues{false, std::nullopt, "y"}, false, "", "", false, false},
    {"QueryFails", "/mnt/gone", std::nullopt, false, "", "", false, false},
    {"NameTrimmed", "/media/a", VolumeResourceValues{true, true, "  My Stick\n"}, true, "My Stick", "/media/a", true,
     true},
    {"NameTrimmedOfUnicodeSpaces", "/media/b", VolumeResourceValues{true, true, "\u00a0\u2003Photos\u3000\t"}, true,
     "Photos", "/media/b", true, true},
    {"InnerSpacesKept", "/media/c", VolumeResourceValues{true, true, " A  B "}, true, "A  B", "/media/c", true, true},
    {"EmptyNameFallsBackToTheLastComponent", "/media/user/KINGSTON", VolumeResourceValues{true, true, ""}, true,
     "KINGSTON", "/media/user/KINGSTON", true, true},
    {"BlankNameFallsBackToTheLastComponent", "/media/user/SD card", VolumeResourceValues{true, true, " \n\t "}, true,
     "SD card", "/media/user/SD card", true, true},
    {"NoNameFallsBackToTheLastComponent", "/run/media/u/USB", VolumeResourceValues{false, true, std::nullopt}, true,
     "USB", "/run/media/u/USB", false, true},
    {"TrailingSeparatorIsDropped", "/media/usb/", VolumeResourceValues{true, true, std::nullopt}, true, "usb",
     "/media/usb", true, true},
};

INSTANTIATE_TEST_SUITE_P(All, VolumeFilter, ::testing::ValuesIn(volumeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(USBVolumeMonitorTest, ANotificationWithoutAUsableVolumeURLIsIgnored)
{
    workspace->values["/media/stick"] = VolumeResourceValues{true, true, "STICK"};
    monitor->start();
    workspace->center.post(foundation::Notification{workspace::kDidMountNotification, {}});
    workspace->center.post(foundation::Notification{workspace::kDidMountNotification,
                                                    {{"OtherKey", std::filesystem::path("/media/stick")}}});
    workspace->center.post(foundation::Notification{workspace::kDidMountNotification,
                                                    {{workspace::kVolumeURLKey, std::string("/media/stick")}}});
    EXPECT_TRUE(received.empty());
}

TEST_F(USBVolumeMonitorTest, StartTwiceStillReportsEachMountOnce)
{
    workspace->values["/media/stick"] = VolumeResourceValues{true, true, "STICK"};
    monitor->start();
    monitor->start();
    workspace->post("/media/stick", true);
    EXPECT_EQ(received.size(), 1u);
}

TEST_F(USBVolumeMonitorTest, AfterStopNothingIsReported)
{
    workspace->values["/media/stick"] = VolumeResourceValues{true, true, "STICK"};
    monitor->start();
    monitor->stop();
    monitor->stop();
    workspace->post("/media/stick", true);
    EXPECT_TRUE(received.empty());

    monitor->start();
    workspace->post("/media/stick", false);
    EXPECT_EQ(received.size(), 1u);
}

TEST_F(USBVolumeMonitorTest, WithoutAReceiverAMountIsDropped)
{
    workspace->values["/media/stick"] = VolumeResourceValues{true, true, "STICK"};
    monitor->onEvent = nullptr;
    monitor->start();
    workspace->post("/media/stick", true);
    EXPECT_TRUE(received.empty());
}

TEST_F(USBVolumeMonitorTest, DestructionRemovesTheRegistrations)
{
    workspace->values["/media/stick"] = VolumeResourceValues{true, true, "STICK"};
    monitor->start();
    monitor.reset();
    workspace->post("/media/stick", true); // would reach a destroyed monitor if still registered
    EXPECT_TRUE(received.empty());
}

// The Linux workspace under the monitor: a USB stick is mounted, then pulled out; by the time
// the table loses the mount its sysfs and udev entries are gone already.
TEST_F(USBVolumeMonitorTest, AnUnmountIsReportedAfterTheDeviceVanished)
{
    testsupport::TempDir root;
    const std::string base = "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n";
    root.write("proc/self/mountinfo", base);
    root.mkdir("sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1");
    root.write("sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/removable",
               "1\n");
    root.write(
        "sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1/partition",
        "1\n");
    root.mkdir("sys/class/block");
    std::filesystem::create_directory_symlink(
        "../../devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1",
        root.path() / "sys/class/block/sdb1");
    root.mkdir("dev/disk/by-label");
    std::filesystem::create_symlink("../../sdb1", root.path() / "dev/disk/by-label/MY\\x20STICK");

    auto linuxWorkspace = std::make_shared<workspace::LinuxWorkspace>(root.path());
    USBVolumeMonitor linuxMonitor(linuxWorkspace);
    linuxMonitor.onEvent = monitor->onEvent;
    linuxMonitor.start();

    root.write("proc/self/mountinfo", base + "90 22 8:17 / /media/user/MY\\040STICK rw,nosuid - vfat /dev/sdb1 rw\n");
    linuxWorkspace->rescan();
    std::filesystem::remove_all(root.path() / "sys/devices");
    std::filesystem::remove_all(root.path() / "sys/class/block/sdb1");
    std::filesystem::remove_all(root.path() / "dev/disk");
    root.write("proc/self/mountinfo", base);
    linuxWorkspace->rescan();

    ASSERT_EQ(received.size(), 2u);
    EXPECT_TRUE(received[0].mounted());
    EXPECT_FALSE(received[1].mounted());
    for (const auto& event : received) {
        EXPECT_EQ(event.volumeName(), "MY STICK");
        EXPECT_EQ(event.path(), "/media/user/MY STICK");
        EXPECT_TRUE(event.isRemovable());
        EXPECT_TRUE(event.isEjectable());
    }
}

} // namespace
