#include "platform/workspace/LinuxWorkspace.h"

#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kRoot = "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n";
const std::string kStick = "90 22 8:17 / /media/user/STICK rw,nosuid - vfat /dev/sdb1 rw\n";
const std::string kTmp = "91 22 0:50 / /tmp rw - tmpfs tmpfs rw\n";
const std::string kBind = "93 22 8:17 /photos /srv/photos rw - vfat /dev/sdb1 rw\n";

struct Posted {
    std::string name;
    fs::path url;
    std::optional<workspace::VolumeResourceValues> values; // asked for while the notification is delivered
};

class LinuxWorkspaceTest : public ::testing::Test {
protected:
    LinuxWorkspaceTest()
    {
        root.write("proc/self/mountinfo", kRoot);
        const std::string disk = "sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/host6/target6:0:0/6:0:0:0/block/sdb";
        root.write(disk + "/removable", "1\n");
        root.write(disk + "/sdb1/partition", "1\n");
        root.mkdir("sys/class/block");
        fs::create_directory_symlink(
            "../../devices/pci0000:00/0000:00:14.0/usb2/2-1/host6/target6:0:0/6:0:0:0/block/sdb/sdb1",
            root.path() / "sys/class/block/sdb1");
        root.mkdir("dev/disk/by-label");
        fs::create_symlink("../../sdb1", root.path() / "dev/disk/by-label/STICK");
    }

    void observe()
    {
        for (const char* name : {workspace::kDidMountNotification, workspace::kDidUnmountNotification}) {
            space.notificationCenter().addObserver(name, [this](const foundation::Notification& note) {
                const auto* url = std::any_cast<fs::path>(&note.userInfo.at(workspace::kVolumeURLKey));
                ASSERT_NE(url, nullptr);
                posted.push_back(Posted{note.name, *url, space.resourceValues(*url)});
            });
        }
    }

    void setTable(const std::string& text)
    {
        root.write("proc/self/mountinfo", text);
        space.rescan();
    }

    void unplugStick()
    {
        fs::remove_all(root.path() / "sys/devices");
        fs::remove(root.path() / "sys/class/block/sdb1");
        fs::remove_all(root.path() / "dev/disk");
    }

    testsupport::TempDir root;
    workspace::LinuxWorkspace space{root.path()};
    std::vector<Posted> posted;
};

TEST_F(LinuxWorkspaceTest, PostsAMountWithTheVolumesValues)
{
    observe();
    setTable(kRoot + kTmp + kStick);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].name, workspace::kDidMountNotification);
    EXPECT_EQ(posted[0].url, "/media/user/STICK");
    ASSERT_TRUE(posted[0].values);
    EXPECT_EQ(posted[0].values->isRemovable, true);
    EXPECT_EQ(posted[0].values->isEjectable, true);
    EXPECT_EQ(posted[0].values->name, "STICK");
    EXPECT_TRUE(space.resourceValues("/media/user/STICK/"));
}

TEST_F(LinuxWorkspaceTest, AnUnmountKeepsTheValuesReadAtMount)
{
    observe();
    setTable(kRoot + kStick);
    unplugStick();
    setTable(kRoot);
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[1].name, workspace::kDidUnmountNotification);
    EXPECT_EQ(posted[1].url, "/media/user/STICK");
    ASSERT_TRUE(posted[1].values);
    EXPECT_EQ(posted[1].values->isRemovable, true);
    EXPECT_EQ(posted[1].values->isEjectable, true);
    EXPECT_EQ(posted[1].values->name, "STICK");
    // Once delivered, the volume is forgotten.
    EXPECT_EQ(space.resourceValues("/media/user/STICK"), std::nullopt);
}

TEST_F(LinuxWorkspaceTest, VolumesMountedBeforeWatchingStartedAreKnownAtUnmount)
{
    root.write("proc/self/mountinfo", kRoot + kStick);
    observe(); // the baseline: no notification for what is mounted already
    EXPECT_TRUE(posted.empty());
    unplugStick();
    setTable(kRoot);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].name, workspace::kDidUnmountNotification);
    ASSERT_TRUE(posted[0].values);
    EXPECT_EQ(posted[0].values->name, "STICK");
}

TEST_F(LinuxWorkspaceTest, OnlyVolumeMountsArePosted)
{
    observe();
    setTable(kRoot + kTmp);
    setTable(kRoot + kStick + kBind);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].url, "/media/user/STICK");
    EXPECT_EQ(space.resourceValues("/srv/photos"), std::nullopt);
    EXPECT_EQ(space.resourceValues("/tmp"), std::nullopt);
}

TEST_F(LinuxWorkspaceTest, ARemountInPlaceIsNoChangeButANewMountIsBoth)
{
    observe();
    setTable(kRoot + kStick);
    setTable(kRoot + "90 22 8:17 / /media/user/STICK ro,nosuid - vfat /dev/sdb1 ro\n"); // same id
    ASSERT_EQ(posted.size(), 1u);
    setTable(kRoot + "95 22 8:17 / /media/user/STICK rw - vfat /dev/sdb1 rw\n"); // unmounted and mounted again
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[1].name, workspace::kDidUnmountNotification);
    EXPECT_EQ(posted[2].name, workspace::kDidMountNotification);
    EXPECT_TRUE(posted[1].values);
    EXPECT_TRUE(posted[2].values);
}

TEST_F(LinuxWorkspaceTest, AnUnreadableTableChangesNothing)
{
    observe();
    setTable(kRoot + kStick);
    fs::remove(root.path() / "proc/self/mountinfo");
    space.rescan();
    EXPECT_EQ(posted.size(), 1u); // not taken for "everything was unmounted"
    EXPECT_TRUE(space.resourceValues("/media/user/STICK"));
}

TEST_F(LinuxWorkspaceTest, TheCenterIsTheSameOnEveryCall)
{
    EXPECT_EQ(&space.notificationCenter(), &space.notificationCenter());
}

} // namespace
