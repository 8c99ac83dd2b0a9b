// The removable drives a rescue image may be written to, found from what the kernel reports
// (sysfs, mountinfo, swaps). The one property that matters above all: a disk that holds the
// running system, or anything else in use, is never offered and never accepted, whatever the
// user types. Every disk is listed with its verdict, so that a refusal can be explained.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TStickPartition {
    std::string Name;        // sdb1, mmcblk0p1
    std::string DevicePath;  // /dev/sdb1
    std::string Label;       // from the by-label links; empty when it has none
    std::vector<std::string> MountPoints;
};

struct TBlockDisk {
    std::string Name;        // sdb
    std::string DevicePath;  // /dev/sdb
    std::string Vendor, Model;
    std::int64_t SizeBytes = 0;
    std::uint32_t LogicalBlockSize = 512;
    bool Removable = false;  // the kernel's removable flag
    std::string Transport;   // usb, mmc, nvme, ata, virtio, scsi, unknown
    bool ReadOnly = false;
    std::vector<TStickPartition> Partitions;
    std::vector<std::string> MountPoints;  // of the whole disk
    bool Offered = false;
    std::string Refusal;     // why it is not offered, for people ("it is a loop device")
};

struct TStickDiscoveryOptions {
    std::string SysfsRoot = "/sys";
    std::string MountInfo = "/proc/self/mountinfo";
    std::string Swaps = "/proc/swaps";
    std::string DevRoot = "/dev";
    std::string ByLabelDir = "/dev/disk/by-label";
    // Larger disks are hard disks rather than sticks: refused unless AllowLarge.
    std::int64_t SizeBound = std::int64_t(256) << 30;
    bool AllowLarge = false;
};

// Every whole disk the kernel lists, each with its verdict, in name order.
std::vector<TBlockDisk> ScanBlockDisks(const TStickDiscoveryOptions& Options = {});
// Only the offered ones, in name order.
std::vector<TBlockDisk> OfferedSticks(const TStickDiscoveryOptions& Options = {});
// The disk a path the user gave names (a device, a link to one, a partition): Offered only when
// it is a whole disk that ScanBlockDisks offers; otherwise Refusal says why.
TBlockDisk StickForPath(const std::string& Path, const TStickDiscoveryOptions& Options = {});
// "SanDisk Ultra (14.9 GiB, /dev/sdb: partitions DATA, BACKUP)"
std::string StickDescription(const TBlockDisk& Disk);
// Empty where removable drives are supported; otherwise the sentence that says they are not.
std::string StickSupportNote();
