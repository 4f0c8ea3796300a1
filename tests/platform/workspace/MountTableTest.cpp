#include "platform/workspace/MountTable.h"

#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using workspace::MountEntry;

TEST(MountTable, ParsesMountInfoLines)
{
    const auto entries = workspace::parseMountInfo(
        "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw,errors=remount-ro\n"
        "90 22 8:17 / /media/user/MY\\040STICK rw,nosuid,nodev shared:300 master:1 - vfat /dev/sdb1 rw,uid=1000\n"
        "91 22 0:50 / /tmp rw - tmpfs tmpfs rw\n"
        "garbage\n"
        "x 22 0:50 / /y rw - tmpfs tmpfs rw\n"
        "92 22 8:17 /folder /srv/bind\\134x rw - vfat /dev/sdb1 rw\n");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].id, 22);
    EXPECT_EQ(entries[0].mountPoint, "/");
    EXPECT_EQ(entries[0].source, "/dev/sda2");
    EXPECT_EQ(entries[1].id, 90);
    EXPECT_EQ(entries[1].device, "8:17");
    EXPECT_EQ(entries[1].root, "/");
    EXPECT_EQ(entries[1].mountPoint, "/media/user/MY STICK"); // two optional fields before the separator
    EXPECT_EQ(entries[1].fsType, "vfat");
    EXPECT_EQ(entries[1].source, "/dev/sdb1");
    EXPECT_EQ(entries[2].source, "tmpfs");
    EXPECT_EQ(entries[3].root, "/folder");
    EXPECT_EQ(entries[3].mountPoint, "/srv/bind\\x");
}

TEST(MountTable, LinesWithoutTheSeparatedFieldsAreSkipped)
{
    EXPECT_TRUE(workspace::parseMountInfo("22 1 8:2 / / rw shared:1\n").empty());
    EXPECT_TRUE(workspace::parseMountInfo("22 1 8:2 / / rw - ext4\n").empty());
    EXPECT_TRUE(workspace::parseMountInfo("").empty());
}

struct FilterCase {
    const char* name;
    std::string source;
    std::string root;
    bool volume;
};

class VolumeMountFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(VolumeMountFilter, KeepsWholeBlockDevices)
{
    MountEntry entry;
    entry.source = GetParam().source;
    entry.root = GetParam().root;
    EXPECT_EQ(workspace::isVolumeMount(entry), GetParam().volume);
}

const FilterCase filterCases[] = {
    {"Partition", "/dev/sdb1", "/", true},
    {"Mapper", "/dev/mapper/luks-1", "/", true},
    {"BindMountOfAFolder", "/dev/sdb1", "/photos", false},
    {"Tmpfs", "tmpfs", "/", false},
    {"Devtmpfs", "devtmpfs", "/", false},
    {"Network", "server:/export", "/", false},
    {"DevLookalike", "/devices/x", "/", false},
};

INSTANTIATE_TEST_SUITE_P(All, VolumeMountFilter, ::testing::ValuesIn(filterCases),
                         [](const auto& info) { return std::string(info.param.name); });

MountEntry mount(int id, const std::string& point)
{
    MountEntry entry;
    entry.id = id;
    entry.mountPoint = point;
    entry.source = "/dev/x";
    entry.root = "/";
    return entry;
}

std::vector<int> ids(const std::vector<MountEntry>& entries)
{
    std::vector<int> result;
    for (const auto& entry : entries) {
        result.push_back(entry.id);
    }
    return result;
}

TEST(MountTable, DiffMatchesMountsById)
{
    const std::vector<MountEntry> before{mount(1, "/a"), mount(2, "/b"), mount(3, "/c")};
    // 2 went, 4 and 5 came; 6 replaces 3 at the same path (unmounted and mounted again).
    const std::vector<MountEntry> after{mount(1, "/a"), mount(4, "/d"), mount(5, "/e"), mount(6, "/c")};
    const auto changes = workspace::diffMountTables(before, after);
    EXPECT_EQ(ids(changes.unmounted), (std::vector<int>{2, 3}));
    EXPECT_EQ(ids(changes.mounted), (std::vector<int>{4, 5, 6}));

    const auto none = workspace::diffMountTables(before, before);
    EXPECT_TRUE(none.mounted.empty());
    EXPECT_TRUE(none.unmounted.empty());
}

TEST(MountTable, DecodesUdevEscapes)
{
    EXPECT_EQ(workspace::decodeUdevEscapes("My\\x20Disk"), "My Disk");
    EXPECT_EQ(workspace::decodeUdevEscapes("a\\x2fb\\x5c"), "a/b\\");
    EXPECT_EQ(workspace::decodeUdevEscapes("\\xe2\\x82\\xac"), "\xe2\x82\xac");
    EXPECT_EQ(workspace::decodeUdevEscapes("trail\\x2"), "trail\\x2");
    EXPECT_EQ(workspace::decodeUdevEscapes("\\xZZ"), "\\xZZ");
    EXPECT_EQ(workspace::decodeUdevEscapes("plain"), "plain");
}

// A fake sysfs in the shape of the kernel's: class entries are links into the device tree, and
// a partition sits in its disk's folder.
class VolumeProbe : public ::testing::Test {
protected:
    void addDisk(const std::string& devicePath, const std::string& disk, const std::string& removable,
                 const std::string& partition = "")
    {
        const std::string diskFolder = "sys/devices/" + devicePath + "/block/" + disk;
        root.write(diskFolder + "/removable", removable + "\n");
        std::string node = disk;
        std::string target = "../../devices/" + devicePath + "/block/" + disk;
        if (!partition.empty()) {
            root.write(diskFolder + "/" + partition + "/partition", "1\n");
            node = partition;
            target += "/" + partition;
        }
        root.mkdir("sys/class/block");
        fs::create_directory_symlink(target, root.path() / "sys/class/block" / node);
    }

    void addLabel(const std::string& escapedLabel, const std::string& node)
    {
        root.mkdir("dev/disk/by-label");
        fs::create_symlink("../../" + node, root.path() / "dev/disk/by-label" / escapedLabel);
    }

    workspace::VolumeResourceValues probe(const std::string& source)
    {
        MountEntry entry = mount(1, "/media/x");
        entry.source = source;
        return workspace::probeVolume(root.path(), entry);
    }

    testsupport::TempDir root;
};

TEST_F(VolumeProbe, UsbStickPartitionIsRemovableAndEjectableWithItsLabel)
{
    addDisk("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "sdb", "1", "sdb1");
    addLabel("MY\\x20STICK", "sdb1");
    addLabel("OTHER", "sdc1");
    const auto values = probe("/dev/sdb1");
    EXPECT_EQ(values.isRemovable, true);
    EXPECT_EQ(values.isEjectable, true);
    EXPECT_EQ(values.name, "MY STICK");
}

TEST_F(VolumeProbe, UsbHardDiskIsEjectableButNotRemovable)
{
    addDisk("pci0000:00/0000:00:14.0/usb3/3-2/3-2:1.0/host7/target7:0:0/7:0:0:0", "sdc", "0", "sdc2");
    const auto values = probe("/dev/sdc2");
    EXPECT_EQ(values.isRemovable, false);
    EXPECT_EQ(values.isEjectable, true);
    EXPECT_EQ(values.name, std::nullopt);
}

TEST_F(VolumeProbe, InternalDiskIsNeither)
{
    addDisk("pci0000:00/0000:00:1d.0/0000:02:00.0/nvme/nvme0/nvme0n1", "nvme0n1", "0", "nvme0n1p2");
    const auto values = probe("/dev/nvme0n1p2");
    EXPECT_EQ(values.isRemovable, false);
    EXPECT_EQ(values.isEjectable, false);
}

TEST_F(VolumeProbe, WholeDiskWithRemovableMediaIsBoth)
{
    addDisk("pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0", "sr0", "1");
    addLabel("Ubuntu\\x2024.04", "sr0");
    const auto values = probe("/dev/sr0");
    EXPECT_EQ(values.isRemovable, true);
    EXPECT_EQ(values.isEjectable, true);
    EXPECT_EQ(values.name, "Ubuntu 24.04");
}

TEST_F(VolumeProbe, SourceLinkIsFollowedToTheDevice)
{
    addDisk("virtual", "dm-0", "0");
    root.mkdir("dev/mapper");
    fs::create_symlink("../dm-0", root.path() / "dev/mapper/cryptroot");
    addLabel("root", "dm-0");
    const auto values = probe("/dev/mapper/cryptroot");
    EXPECT_EQ(values.isRemovable, false);
    EXPECT_EQ(values.name, "root");
}

TEST_F(VolumeProbe, AVanishedDeviceHasNoValues)
{
    const auto values = probe("/dev/sdz1");
    EXPECT_EQ(values.isRemovable, std::nullopt);
    EXPECT_EQ(values.isEjectable, std::nullopt);
    EXPECT_EQ(values.name, std::nullopt);
}

} // namespace
