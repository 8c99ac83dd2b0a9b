#include "stick/StickDiscovery.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string Trimmed(const std::string& Text)
{
    const auto first = Text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return Text.substr(first, Text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Joined(const std::vector<std::string>& Items, const char* Separator)
{
    std::string out;
    for (const auto& item : Items)
        out += (out.empty() ? "" : Separator) + item;
    return out;
}

std::string SizeText(std::int64_t Bytes)
{
    char text[32];
    // A stick is counted in GiB; only a card or stick below one is given in MiB.
    if (Bytes >= (std::int64_t(1) << 30))
        std::snprintf(text, sizeof text, "%.1f GiB", double(Bytes) / double(std::int64_t(1) << 30));
    else
        std::snprintf(text, sizeof text, "%.1f MiB", double(Bytes) / double(1 << 20));
    return text;
}

} // namespace

std::string StickDescription(const TBlockDisk& Disk)
{
    // A model that repeats the vendor ("QEMU" "QEMU HARDDISK") is said once.
    std::string name = Disk.Model;
    if (!Disk.Vendor.empty() && name.rfind(Disk.Vendor, 0) != 0)
        name = Trimmed(Disk.Vendor + " " + name);
    if (name.empty())
        name = "Unnamed drive";
    std::vector<std::string> parts;
    for (const auto& part : Disk.Partitions)
        parts.push_back(part.Label.empty() ? part.Name : part.Label);
    std::string text = name + " (" + SizeText(Disk.SizeBytes) + ", " + Disk.DevicePath;
    if (!parts.empty())
        text += std::string(parts.size() == 1 ? ": partition " : ": partitions ") + Joined(parts, ", ");
    return text + ")";
}

std::vector<TBlockDisk> OfferedSticks(const TStickDiscoveryOptions& Options)
{
    std::vector<TBlockDisk> offered;
    for (auto& disk : ScanBlockDisks(Options))
        if (disk.Offered)
            offered.push_back(std::move(disk));
    return offered;
}

#ifdef _WIN32

std::string StickSupportNote() { return "USB sticks are not supported on Windows yet"; }

std::vector<TBlockDisk> ScanBlockDisks(const TStickDiscoveryOptions&) { return {}; }

TBlockDisk StickForPath(const std::string& Path, const TStickDiscoveryOptions&)
{
    TBlockDisk disk;
    disk.DevicePath = Path;
    disk.Refusal = StickSupportNote();
    return disk;
}

#else

std::string StickSupportNote() { return {}; }

namespace {

std::string FirstLine(const fs::path& File)
{
    std::ifstream in(File);
    std::string line;
    std::getline(in, line);
    return Trimmed(line);
}

std::int64_t Number(const fs::path& File)
{
    return std::strtoll(FirstLine(File).c_str(), nullptr, 10);
}

// Mount points and swap file names escape blanks, tabs, newlines and backslashes as \ooo.
std::string OctalDecoded(const std::string& Text)
{
    std::string out;
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '\\' && i + 3 < Text.size()
            && std::all_of(Text.begin() + i + 1, Text.begin() + i + 4, [](char c) { return c >= '0' && c <= '7'; })) {
            out += char(std::strtol(Text.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += Text[i];
        }
    }
    return out;
}

// udev escapes characters of a label that do not fit a file name as \xNN.
std::string HexDecoded(const std::string& Text)
{
    std::string out;
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text.compare(i, 2, "\\x") == 0 && i + 3 < Text.size() && std::isxdigit((unsigned char)Text[i + 2])
            && std::isxdigit((unsigned char)Text[i + 3])) {
            out += char(std::strtol(Text.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            out += Text[i];
        }
    }
    return out;
}

bool NameIs(const std::string& Name, const std::string& Prefix)
{
    return Name.size() > Prefix.size() && Name.rfind(Prefix, 0) == 0
        && std::isdigit((unsigned char)Name[Prefix.size()]);
}

// Devices that are never a stick, whatever they report.
std::string KindRefusal(const std::string& Name, const std::string& RealPath)
{
    if (NameIs(Name, "loop"))
        return "it is a loop device";
    if (NameIs(Name, "zram"))
        return "it is a compressed RAM disk (zram)";
    if (NameIs(Name, "ram"))
        return "it is a RAM disk";
    if (Name.rfind("dm-", 0) == 0)
        return "it is a device-mapper volume (encrypted or LVM)";
    if (NameIs(Name, "md"))
        return "it is a software RAID array";
    if (NameIs(Name, "sr"))
        return "it is an optical drive";
    if (NameIs(Name, "fd"))
        return "it is a floppy drive";
    if (RealPath.find("/devices/virtual/") != std::string::npos)
        return "it is a virtual device";
    return {};
}

// The bus nearest the machine on the device's path decides: a card reader on USB is usb.
std::string TransportOf(const fs::path& RealPath)
{
    bool scsi = false;
    for (const auto& component : RealPath) {
        const std::string c = component.string();
        if (c == "usb" || NameIs(c, "usb"))
            return "usb";
        if (c == "mmc_host" || NameIs(c, "mmc"))
            return "mmc";
        if (c == "nvme")
            return "nvme";
        if (NameIs(c, "ata"))
            return "ata";
        if (NameIs(c, "virtio"))
            return "virtio";
        if (NameIs(c, "host") || NameIs(c, "target"))
            scsi = true;
    }
    return scsi ? "scsi" : "unknown";
}

bool HasEntries(const fs::path& Dir, std::string* First)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Dir, ec)) {
        *First = entry.path().filename().string();
        return true;
    }
    return false;
}

// A stick's own places: where a desktop or the user mounts removable media.
bool StickPlace(const std::string& MountPoint)
{
    for (const char* place : {"/media/", "/run/media/", "/mnt/"})
        if (MountPoint.rfind(place, 0) == 0)
            return true;
    return MountPoint == "/mnt";
}

struct TMounts {
    std::multimap<std::string, std::string> ByDevice;  // maj:min -> mount point
    std::multimap<std::string, std::string> BySource;  // /dev/sdb1 -> mount point
};

TMounts ReadMounts(const std::string& File)
{
    // id parent maj:min root mount-point options [optional...] - type source super-options
    TMounts mounts;
    std::ifstream in(File);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point, field;
        if (!(fields >> id >> parent >> device >> root >> point))
            continue;
        point = OctalDecoded(point);
        mounts.ByDevice.emplace(device, point);
        while (fields >> field && field != "-") {
        }
        std::string type, source;
        if (fields >> type >> source)
            mounts.BySource.emplace(OctalDecoded(source), point);
    }
    return mounts;
}

// What swap uses: device names (sdb2), and maj:min of the file systems that hold swap files.
std::vector<std::string> SwapUsers(const std::string& File)
{
    std::vector<std::string> users;
    std::ifstream in(File);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name;
        if (!(fields >> name))
            continue;
        name = OctalDecoded(name);
        struct stat st {};
        if (name.rfind("/dev/", 0) == 0)
            users.push_back(fs::path(name).filename().string());
        else if (::stat(name.c_str(), &st) == 0)
            users.push_back(std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)));
    }
    return users;
}

std::vector<std::string> MountPointsOf(const TMounts& Mounts, const std::string& Device, const std::string& Name)
{
    std::vector<std::string> points;
    auto add = [&](auto range) {
        for (auto it = range.first; it != range.second; ++it)
            if (std::find(points.begin(), points.end(), it->second) == points.end())
                points.push_back(it->second);
    };
    if (!Device.empty())
        add(Mounts.ByDevice.equal_range(Device));
    // File systems without a device of their own (btrfs) show only by their source.
    add(Mounts.BySource.equal_range("/dev/" + Name));
    return points;
}

std::map<std::string, std::string> Labels(const std::string& ByLabelDir)
{
    std::map<std::string, std::string> labels;  // partition name -> label
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(ByLabelDir, ec)) {
        std::error_code lec;
        const fs::path target = fs::read_symlink(entry.path(), lec);
        if (!lec)
            labels[target.filename().string()] = HexDecoded(entry.path().filename().string());
    }
    return labels;
}

struct TScanned {
    TBlockDisk Disk;
    std::string Device;                                // maj:min of the disk
    std::vector<std::pair<std::string, std::size_t>> PartitionDevices;  // maj:min, index
};

TScanned Examine(const std::string& Name, const fs::path& Link, const TMounts& Mounts,
                 const std::vector<std::string>& Swaps, const std::map<std::string, std::string>& Labels,
                 const TStickDiscoveryOptions& Options)
{
    TScanned scanned;
    TBlockDisk& disk = scanned.Disk;
    std::error_code ec;
    fs::path real = fs::canonical(Link, ec);
    if (ec)
        real = Link;
    disk.Name = Name;
    disk.DevicePath = (fs::path(Options.DevRoot) / Name).string();
    scanned.Device = FirstLine(real / "dev");
    disk.SizeBytes = Number(real / "size") * 512;
    if (const auto block = Number(real / "queue" / "logical_block_size"); block > 0)
        disk.LogicalBlockSize = std::uint32_t(block);
    disk.Removable = FirstLine(real / "removable") == "1";
    disk.ReadOnly = FirstLine(real / "ro") == "1";
    // The path below the sysfs root only: the folders above it name nothing of the device.
    fs::path root = fs::canonical(Options.SysfsRoot, ec);
    if (ec)
        root = Options.SysfsRoot;
    disk.Transport = TransportOf(real.lexically_relative(root));
    disk.Vendor = FirstLine(real / "device" / "vendor");
    if (disk.Vendor.rfind("0x", 0) == 0)  // virtio gives its PCI vendor number
        disk.Vendor.clear();
    disk.Model = FirstLine(real / "device" / "model");
    if (disk.Model.empty())  // a memory card names its product
        disk.Model = FirstLine(real / "device" / "name");

    std::vector<std::pair<std::int64_t, fs::path>> partitionDirs;
    for (const auto& entry : fs::directory_iterator(real, ec))
        if (fs::exists(entry.path() / "partition"))
            partitionDirs.emplace_back(Number(entry.path() / "partition"), entry.path());
    std::sort(partitionDirs.begin(), partitionDirs.end());

    disk.MountPoints = MountPointsOf(Mounts, scanned.Device, Name);
    std::vector<std::string> foreignMounts, swaps, holders;
    auto inspect = [&](const std::string& name, const std::string& device, const fs::path& dir,
                       const std::vector<std::string>& points) {
        for (const auto& point : points)
            if (!StickPlace(point))
                foreignMounts.push_back(point);
        for (const auto& user : Swaps)
            if (user == name || user == device) {
                swaps.push_back(name);
                break;
            }
        if (std::string holder; HasEntries(dir / "holders", &holder))
            holders.push_back(holder);
    };
    inspect(Name, scanned.Device, real, disk.MountPoints);
    for (const auto& [number, dir] : partitionDirs) {
        TStickPartition part;
        part.Name = dir.filename().string();
        part.DevicePath = (fs::path(Options.DevRoot) / part.Name).string();
        if (auto label = Labels.find(part.Name); label != Labels.end())
            part.Label = label->second;
        const std::string device = FirstLine(dir / "dev");
        part.MountPoints = MountPointsOf(Mounts, device, part.Name);
        inspect(part.Name, device, dir, part.MountPoints);
        scanned.PartitionDevices.emplace_back(device, disk.Partitions.size());
        disk.Partitions.push_back(std::move(part));
    }

    std::sort(foreignMounts.begin(), foreignMounts.end());
    foreignMounts.erase(std::unique(foreignMounts.begin(), foreignMounts.end()), foreignMounts.end());
    const std::int64_t bound = Options.SizeBound;
    if (std::string kind = KindRefusal(Name, real.string()); !kind.empty())
        disk.Refusal = kind;
    else if (!foreignMounts.empty())
        disk.Refusal = "it holds the running system's file systems (" + Joined(foreignMounts, ", ") + ")";
    else if (!swaps.empty())
        disk.Refusal = "it is used as swap (" + Joined(swaps, ", ") + ")";
    else if (!holders.empty())
        disk.Refusal = "it is in use by " + Joined(holders, ", ") + " (an encrypted, LVM or RAID volume)";
    else if (!disk.Removable && disk.Transport != "usb" && disk.Transport != "mmc")
        disk.Refusal = "it is not removable and not attached over USB or a card reader";
    else if (disk.ReadOnly)
        disk.Refusal = "it is read-only";
    else if (disk.SizeBytes <= 0)
        disk.Refusal = "it is empty (no medium)";
    else if (disk.SizeBytes > bound && !Options.AllowLarge)
        disk.Refusal = "it is larger than " + SizeText(bound) + " (" + SizeText(disk.SizeBytes)
            + "): a hard disk rather than a stick";
    disk.Offered = disk.Refusal.empty();
    return scanned;
}

std::vector<TScanned> Scan(const TStickDiscoveryOptions& Options)
{
    const TMounts mounts = ReadMounts(Options.MountInfo);
    const std::vector<std::string> swaps = SwapUsers(Options.Swaps);
    const auto labels = Labels(Options.ByLabelDir);
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(Options.SysfsRoot) / "block", ec))
        if (!fs::exists(entry.path() / "partition"))
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::vector<TScanned> disks;
    for (const auto& name : names)
        disks.push_back(Examine(name, fs::path(Options.SysfsRoot) / "block" / name, mounts, swaps, labels, Options));
    return disks;
}

} // namespace

std::vector<TBlockDisk> ScanBlockDisks(const TStickDiscoveryOptions& Options)
{
    std::vector<TBlockDisk> disks;
    for (auto& scanned : Scan(Options))
        disks.push_back(std::move(scanned.Disk));
    return disks;
}

TBlockDisk StickForPath(const std::string& Path, const TStickDiscoveryOptions& Options)
{
    TBlockDisk refused;
    refused.Name = fs::path(Path).filename().string();
    refused.DevicePath = Path;
    std::error_code ec;
    if (Path.empty() || !fs::exists(Path, ec)) {
        refused.Refusal = "it does not exist";
        return refused;
    }
    const fs::path target = fs::canonical(Path, ec);
    // A device node is known by its number, whatever its name or the links to it; elsewhere
    // (a captured tree) by the node's place under DevRoot.
    std::string device;
    struct stat st {};
    if (::stat(Path.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
        device = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    auto same = [&](const std::string& Node, const std::string& Number) {
        if (!device.empty())
            return device == Number;
        std::error_code nec;
        return !ec && fs::weakly_canonical(Node, nec) == target && !nec;
    };
    for (auto& scanned : Scan(Options)) {
        TBlockDisk& disk = scanned.Disk;
        if (same(disk.DevicePath, scanned.Device))
            return std::move(disk);
        for (const auto& [number, index] : scanned.PartitionDevices) {
            if (!same(disk.Partitions[index].DevicePath, number))
                continue;
            disk.Refusal = disk.Offered ? "it is a partition: give the whole disk " + disk.DevicePath
                                        : "it is a partition of " + disk.DevicePath + ", and " + disk.Refusal;
            disk.Offered = false;
            return std::move(disk);
        }
    }
    refused.Refusal = "it is not a disk the kernel lists";
    return refused;
}

#endif
