// The discovery over machines captured from QEMU guests (tests/stick/data, made by
// capture-sysfs.sh): which disks are offered, and why every other one is not. Cases marked
// "changed" alter a copy of a captured tree in one place, to reach states the guest did not
// show (a read-only or empty stick, a holder, a bind mount).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "burner/TempDir.h"
#include "stick/StickDiscovery.h"

namespace fs = std::filesystem;

namespace {

// qemu-pc: vda virtio system disk (/ and /boot), nvme0n1 (/home), sda USB stick (DATA on
// /media/user/DATA, BACKUP on "/run/media/user/BACKUP copy"), sdb 300 GiB USB hard disk,
// mmcblk0 SD card (/mnt/sd), sr0 empty optical drive, loop0..7, ram0, zram0 as swap.
std::string Machine(const std::string& Name)
{
    const char* data = std::getenv("KV_TEST_DATA");
    return (fs::path(data ? data : "tests/stick/data") / Name).string();
}

TStickDiscoveryOptions OptionsAt(const std::string& Root, const std::string& MountInfo = "mountinfo",
                                 const std::string& Swaps = "swaps")
{
    TStickDiscoveryOptions options;
    options.SysfsRoot = Root + "/sys";
    options.MountInfo = Root + "/proc/" + MountInfo;
    options.Swaps = Root + "/proc/" + Swaps;
    options.DevRoot = Root + "/dev";
    options.ByLabelDir = Root + "/dev/disk/by-label";
    return options;
}

// A copy of a captured machine to change (its links stay links).
TStickDiscoveryOptions CopyOf(const std::string& Name, const TempDir& Dir)
{
    fs::copy(Machine(Name), Dir.path(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    return OptionsAt(Dir.path().string());
}

const TBlockDisk* Find(const std::vector<TBlockDisk>& Disks, const std::string& Name)
{
    for (const auto& disk : Disks)
        if (disk.Name == Name)
            return &disk;
    return nullptr;
}

std::vector<std::string> Names(const std::vector<TBlockDisk>& Disks)
{
    std::vector<std::string> names;
    for (const auto& disk : Disks)
        names.push_back(disk.Name);
    return names;
}

struct TVerdict {
    const char* Name;
    const char* Transport;
    bool Removable;
    std::int64_t SizeBytes;
    const char* Refusal;  // empty: offered
};

} // namespace

TEST(StickDiscovery, CapturedMachineEveryDiskWithItsVerdict)
{
    const auto options = OptionsAt(Machine("qemu-pc"));
    const auto disks = ScanBlockDisks(options);
    const std::vector<TVerdict> table = {
        {"loop0", "unknown", false, 4 << 20, "it is a loop device"},
        {"loop7", "unknown", false, 0, "it is a loop device"},
        {"mmcblk0", "mmc", false, 32 << 20, ""},
        {"nvme0n1", "nvme", false, 64 << 20, "it holds the running system's file systems (/home)"},
        {"ram0", "unknown", false, 4 << 20, "it is a RAM disk"},
        {"sda", "usb", true, 64 << 20, ""},
        {"sdb", "usb", false, std::int64_t(300) << 30,
         "it is larger than 256.0 GiB (300.0 GiB): a hard disk rather than a stick"},
        {"sr0", "ata", true, 2097151 * std::int64_t(512), "it is an optical drive"},
        {"vda", "virtio", false, 96 << 20, "it holds the running system's file systems (/, /boot)"},
        {"zram0", "unknown", false, 16 << 20, "it is a compressed RAM disk (zram)"},
    };
    EXPECT_EQ(disks.size(), 16u);  // loop0..7 as well
    for (const auto& row : table) {
        SCOPED_TRACE(row.Name);
        const TBlockDisk* disk = Find(disks, row.Name);
        ASSERT_NE(disk, nullptr);
        EXPECT_EQ(disk->Transport, row.Transport);
        EXPECT_EQ(disk->Removable, row.Removable);
        EXPECT_EQ(disk->SizeBytes, row.SizeBytes);
        EXPECT_EQ(disk->Refusal, row.Refusal);
        EXPECT_EQ(disk->Offered, std::string(row.Refusal).empty());
        EXPECT_EQ(disk->DevicePath, options.DevRoot + "/" + row.Name);
    }
    for (const auto& disk : disks) {
        if (disk.Name.rfind("loop", 0) == 0) {
            EXPECT_EQ(disk.Refusal, "it is a loop device") << disk.Name;
        }
    }

    const TBlockDisk& stick = *Find(disks, "sda");
    EXPECT_EQ(stick.Vendor, "QEMU");
    EXPECT_EQ(stick.Model, "QEMU HARDDISK");
    EXPECT_EQ(stick.LogicalBlockSize, 512u);
    EXPECT_TRUE(stick.MountPoints.empty());
    ASSERT_EQ(stick.Partitions.size(), 2u);
    EXPECT_EQ(stick.Partitions[0].Name, "sda1");
    EXPECT_EQ(stick.Partitions[0].DevicePath, options.DevRoot + "/sda1");
    EXPECT_EQ(stick.Partitions[0].Label, "DATA");
    EXPECT_EQ(stick.Partitions[0].MountPoints, std::vector<std::string>{"/media/user/DATA"});
    EXPECT_EQ(stick.Partitions[1].Label, "BACKUP");
    // mountinfo writes the blank as \040.
    EXPECT_EQ(stick.Partitions[1].MountPoints, std::vector<std::string>{"/run/media/user/BACKUP copy"});

    const TBlockDisk& card = *Find(disks, "mmcblk0");
    EXPECT_EQ(card.Model, "QEMU!");  // a card's name
    ASSERT_EQ(card.Partitions.size(), 1u);
    EXPECT_EQ(card.Partitions[0].Name, "mmcblk0p1");
    EXPECT_EQ(card.Partitions[0].Label, "SDCARD");

    const TBlockDisk& system = *Find(disks, "vda");
    EXPECT_EQ(system.Vendor, "");  // virtio's PCI vendor number is no name
    EXPECT_EQ(Find(disks, "zram0")->LogicalBlockSize, 4096u);
}

TEST(StickDiscovery, OfferedSticksUnderMountsSwapsAndTheSizeBound)
{
    const std::string root = Machine("qemu-pc");
    struct TCase {
        const char* What;
        const char* MountInfo;
        const char* Swaps;
        bool AllowLarge;
        std::vector<std::string> Offered;
        const char* StickRefusal;
    };
    const std::vector<TCase> cases = {
        {"as captured", "mountinfo", "swaps", false, {"mmcblk0", "sda"}, ""},
        // The large USB disk is a target when asked for; the system disks never are.
        {"large allowed", "mountinfo", "swaps", true, {"mmcblk0", "sda", "sdb"}, ""},
        {"stick on /home", "mountinfo.stick-on-home", "swaps", false, {"mmcblk0"},
         "it holds the running system's file systems (/home)"},
        {"stick as swap", "mountinfo.stick-on-home", "swaps.stick-as-swap", true, {"mmcblk0", "sdb"},
         "it holds the running system's file systems (/home)"},
        {"stick as swap, unmounted", "mountinfo", "swaps.stick-as-swap", false, {"mmcblk0"},
         "it is used as swap (sda2)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        auto options = OptionsAt(root, c.MountInfo, c.Swaps);
        options.AllowLarge = c.AllowLarge;
        EXPECT_EQ(Names(OfferedSticks(options)), c.Offered);
        const auto disks = ScanBlockDisks(options);
        EXPECT_EQ(Find(disks, "sda")->Refusal, c.StickRefusal);
        for (const char* never : {"vda", "nvme0n1", "loop0", "ram0", "zram0", "sr0"})
            EXPECT_FALSE(Find(disks, never)->Offered) << never;
    }
}

TEST(StickDiscovery, ChangedCapturesRefuseTheStick)
{
    struct TCase {
        const char* What;
        const char* File;     // below the stick's sysfs folder, or proc/mountinfo
        const char* Content;  // empty: a holder link
        const char* Refusal;
    };
    const std::vector<TCase> cases = {
        {"read-only", "ro", "1\n", "it is read-only"},
        {"no medium", "size", "0\n", "it is empty (no medium)"},
        {"held by dm-crypt", "sda2/holders/dm-0", "", "it is in use by dm-0 (an encrypted, LVM or RAID volume)"},
        {"whole disk held", "holders/md127", "", "it is in use by md127 (an encrypted, LVM or RAID volume)"},
        // A bind mount of a folder of the stick, under a source name that is not its own.
        {"bind mount", "../proc/mountinfo",
         "40 25 8:1 /backup /srv/odd\\040place rw,relatime - ext4 /dev/root rw\n",
         "it holds the running system's file systems (/srv/odd place)"},
        {"mounted whole", "../proc/mountinfo", "41 25 8:0 / /var/lib/x rw - vfat /dev/sda rw\n",
         "it holds the running system's file systems (/var/lib/x)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TempDir dir;
        const auto options = CopyOf("qemu-pc", dir);
        const fs::path stick = fs::canonical(fs::path(options.SysfsRoot) / "block" / "sda");
        // A line is added to mountinfo; a sysfs attribute is replaced.
        const bool proc = std::string(c.File).rfind("../", 0) == 0;
        const fs::path file = proc ? dir.path() / std::string(c.File).substr(3) : stick / c.File;
        if (std::string(c.Content).empty()) {
            fs::create_directories(file.parent_path());
            fs::create_directory_symlink("../../" + file.filename().string(), file);
        } else {
            std::ofstream(file, proc ? std::ios::app : std::ios::trunc) << c.Content;
        }
        const auto disks = ScanBlockDisks(options);
        EXPECT_EQ(Find(disks, "sda")->Refusal, c.Refusal);
        EXPECT_FALSE(Find(disks, "sda")->Offered);
        EXPECT_TRUE(Find(disks, "mmcblk0")->Offered);
    }
}

TEST(StickDiscovery, ChangedCaptureSwapFileOnTheStick)
{
    // A swap file counts for the file system that holds it: the stick's DATA is given the
    // device number of the folder the swap file is in here.
    TempDir dir;
    const auto options = CopyOf("qemu-pc", dir);
    std::ofstream(dir / "swap file") << "not really swap";
    struct stat st {};
    ASSERT_EQ(::stat((dir / "swap file").c_str(), &st), 0);
    const fs::path stick = fs::canonical(fs::path(options.SysfsRoot) / "block" / "sda");
    std::ofstream(stick / "sda1" / "dev") << major(st.st_dev) << ":" << minor(st.st_dev) << "\n";
    std::string escaped = dir / "swap file";
    escaped.replace(escaped.find(' '), 1, "\\040");
    std::ofstream(options.Swaps, std::ios::app) << escaped << " file 1024 0 -3\n";
    const auto disks = ScanBlockDisks(options);
    EXPECT_EQ(Find(disks, "sda")->Refusal, "it is used as swap (sda1)");
}

TEST(StickDiscovery, ChangedCaptureDevicesNeverOfferedByKind)
{
    // Kinds the guest did not have, each made to look like a stick otherwise (removable,
    // 1 GiB, on USB where the path allows).
    TempDir dir;
    const auto options = CopyOf("qemu-pc", dir);
    const std::vector<std::pair<std::string, std::string>> kinds = {
        {"dm-0", "it is a device-mapper volume (encrypted or LVM)"},
        {"md127", "it is a software RAID array"},
        {"fd0", "it is a floppy drive"},
        {"sr1", "it is an optical drive"},
        {"ram15", "it is a RAM disk"},
        {"nbd0", "it is a virtual device"},
    };
    for (const auto& [name, refusal] : kinds) {
        const std::string parent = name == "sr1" || name == "fd0"
            ? "devices/pci0000:00/0000:00:04.0/usb2/2-3/2-3:1.0/host5/target5:0:0/5:0:0:0/block/"
            : "devices/virtual/block/";
        const fs::path real = fs::path(options.SysfsRoot) / parent / name;
        fs::create_directories(real);
        std::ofstream(real / "removable") << "1\n";
        std::ofstream(real / "size") << "2097152\n";
        fs::create_directory_symlink("../" + parent + name, fs::path(options.SysfsRoot) / "block" / name);
    }
    const auto disks = ScanBlockDisks(options);
    for (const auto& [name, refusal] : kinds) {
        SCOPED_TRACE(name);
        const TBlockDisk* disk = Find(disks, name);
        ASSERT_NE(disk, nullptr);
        EXPECT_EQ(disk->Refusal, refusal);
        EXPECT_FALSE(disk->Offered);
    }
    EXPECT_EQ(Names(OfferedSticks(options)), (std::vector<std::string>{"mmcblk0", "sda"}));
}

TEST(StickDiscovery, StickForPathAcceptsOnlyAnOfferedWholeDisk)
{
    const auto options = OptionsAt(Machine("qemu-pc"));
    TempDir dir;
    // A link as udev makes them, to the stick.
    fs::create_symlink(fs::path(options.DevRoot) / "sda", dir / "usb-QEMU_QEMU_HARDDISK-0:0");
    struct TCase {
        std::string Path;
        const char* Name;
        std::string Refusal;  // empty: offered
    };
    const std::string dev = options.DevRoot;
    const std::vector<TCase> cases = {
        {dev + "/sda", "sda", ""},
        {dir / "usb-QEMU_QEMU_HARDDISK-0:0", "sda", ""},
        {dev + "/mmcblk0", "mmcblk0", ""},
        {dev + "/sda1", "sda", "it is a partition: give the whole disk " + dev + "/sda"},
        {dev + "/disk/by-label/BACKUP", "sda", "it is a partition: give the whole disk " + dev + "/sda"},
        {dev + "/vda", "vda", "it holds the running system's file systems (/, /boot)"},
        {dev + "/vda2", "vda",
         "it is a partition of " + dev + "/vda, and it holds the running system's file systems (/, /boot)"},
        {dev + "/sdb", "sdb", "it is larger than 256.0 GiB (300.0 GiB): a hard disk rather than a stick"},
        {dev + "/loop0", "loop0", "it is a loop device"},
        {dev + "/sdz", "sdz", "it does not exist"},
        {"", "", "it does not exist"},
        {Machine("qemu-pc") + "/CAPTURED", "CAPTURED", "it is not a disk the kernel lists"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        const TBlockDisk disk = StickForPath(c.Path, options);
        EXPECT_EQ(disk.Name, c.Name);
        EXPECT_EQ(disk.Refusal, c.Refusal);
        EXPECT_EQ(disk.Offered, c.Refusal.empty());
    }
}

TEST(StickDiscovery, Description)
{
    const auto options = OptionsAt(Machine("qemu-pc"));
    const auto disks = ScanBlockDisks(options);
    EXPECT_EQ(StickDescription(*Find(disks, "sda")),
              "QEMU HARDDISK (64.0 MiB, " + options.DevRoot + "/sda: partitions DATA, BACKUP)");
    EXPECT_EQ(StickDescription(*Find(disks, "mmcblk0")),
              "QEMU! (32.0 MiB, " + options.DevRoot + "/mmcblk0: partition SDCARD)");
    EXPECT_EQ(StickDescription(*Find(disks, "sdb")), "QEMU HARDDISK (300.0 GiB, " + options.DevRoot + "/sdb)");

    TBlockDisk stick;
    stick.Name = "sdb";
    stick.DevicePath = "/dev/sdb";
    stick.Vendor = "SanDisk";
    stick.Model = "Ultra";
    stick.SizeBytes = 16008609792;  // a "16 GB" stick
    EXPECT_EQ(StickDescription(stick), "SanDisk Ultra (14.9 GiB, /dev/sdb)");
    stick.Partitions = {{"sdb1", "/dev/sdb1", "DATA", {}}, {"sdb2", "/dev/sdb2", "", {}}};
    EXPECT_EQ(StickDescription(stick), "SanDisk Ultra (14.9 GiB, /dev/sdb: partitions DATA, sdb2)");
    stick.Vendor = stick.Model = "";
    stick.Partitions.clear();
    EXPECT_EQ(StickDescription(stick), "Unnamed drive (14.9 GiB, /dev/sdb)");
}
