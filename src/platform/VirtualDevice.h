// In-process SCSI devices (the virtual writer, scripted test devices) and the hooks that let
// them be reached through CreateFileA/DeviceIoControl exactly like a kernel device.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/WinApi.h"

namespace win {

// One SCSI command as a value: CDB, direction, data buffer and what came back.
struct ScsiRequest {
    enum class Direction : std::uint8_t { None, In, Out };

    std::uint8_t cdb[16] = {};
    std::uint8_t cdbLength = 0;
    Direction direction = Direction::None;
    std::uint8_t* data = nullptr;      // caller's buffer; In: filled by the device
    std::uint32_t dataLength = 0;      // bytes the caller offers or expects
    std::uint32_t timeoutSeconds = 0;

    // Results.
    std::uint8_t status = 0;           // SCSI status byte (0 GOOD, 2 CHECK CONDITION, ...)
    std::uint8_t sense[32] = {};
    std::uint8_t senseLength = 0;      // sense bytes delivered
    std::uint32_t residual = 0;        // dataLength minus bytes actually moved
};

struct ScsiDeviceAddress {
    std::uint8_t port = 0;
    std::uint8_t path = 0;
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
};

// A device that lives in this process. Execute runs one command and fills the results; it
// returns false only for a transport failure (the command did not reach the device).
class VirtualScsiDevice {
public:
    virtual ~VirtualScsiDevice() = default;
    virtual bool Execute(ScsiRequest& request) = 0;
    // What a user should see as the device's location (the disc's CUE sheet, say).
    virtual std::string DevicePath() const = 0;
    // Whether IOCTL_SCSI_GET_ADDRESS answers for this device; a device that says no makes the
    // query fail, as some drivers do (tests use it to reach the made-up address path).
    virtual bool ReportsAddress() const { return true; }
};

// Attaches a device; it gets the next drive letter after the kernel's optical drives and the
// devices attached before it, and a SCSI address of its own. Returns the letter ('D'...).
char AttachVirtualDevice(std::shared_ptr<VirtualScsiDevice> device);
void DetachVirtualDevice(const std::shared_ptr<VirtualScsiDevice>& device);
void DetachAllVirtualDevices();

// The address that IOCTL_SCSI_GET_ADDRESS reports for an attached device.
ScsiDeviceAddress VirtualDeviceAddress(const VirtualScsiDevice& device);

// What stands behind a drive letter: the kernel device path (/dev/sr0) or the virtual
// device's own path; empty for no optical drive.
std::string DevicePathOfLetter(char letter);

// Changes whenever the set of optical devices changes: a kernel device added, removed or
// replaced (another device number behind a path), a virtual device attached or detached. The
// SCSI layer builds its drive table again only then. Costs one non-blocking read when nothing
// changed.
std::uint64_t OpticalDriveSetGeneration();

// Where the kernel device behind a letter is mounted, from /proc/self/mountinfo; empty when it
// is not mounted or is no kernel device.
std::string MountPointOfLetter(char letter);

// Whether another program holds the optical drive behind a letter (it is mounted, or a burner
// opened it exclusively), found out without sending the drive a command: an exclusive open is
// refused. Where the system cannot tell (a kernel drive on Windows) the answer is false.
bool OpticalDriveInUse(char letter);

// What the kernel already knows of a drive from its identification at attach time, read
// without sending the drive a command: sysfs's <root>/class/block/srN/device/{vendor,model,rev}
// for the device path /dev/srN, the fields cut to INQUIRY's widths (8, 16, 4) with their
// blanks kept. False when the system keeps no such record (a virtual drive, Windows).
struct DriveIdentity {
    std::string vendor;
    std::string product;
    std::string revision;
};
bool KernelDriveIdentity(const std::string& sysfsRoot, const std::string& devicePath, DriveIdentity& identity);
// The same for the drive behind a letter, under the system's sysfs root ("/sys" unless a test
// sets another).
bool KnownDriveIdentity(char letter, DriveIdentity& identity);

// Successful CreateFileA opens of an optical device (kernel or virtual) since the process
// started; --trace reports what a job cost.
std::uint64_t DeviceOpenCount();

// Every command that passes through DeviceIoControl(IOCTL_SCSI_PASS_THROUGH_DIRECT), kernel
// or virtual, after it completed; ok is the call's result. For --trace and for tests. Calls come
// one at a time, from whichever thread sent the command.
using ScsiTraceSink = std::function<void(char letter, const ScsiRequest& request, bool ok)>;
void SetScsiTraceSink(ScsiTraceSink sink);
// Hands the sink a command that reached its drive another way (an ASPI library sends its
// own), so that a trace shows every command of a job whatever the transport.
void TraceScsiRequest(char letter, const ScsiRequest& request, bool ok);

// Test switches --------------------------------------------------------------------------
// Replaces the kernel optical device list (default: /dev/sr0, /dev/sr1, ... that exist).
void SetKernelDevicePathsForTesting(std::vector<std::string> paths);
void ResetKernelDevicePathsForTesting();
// Replaces the sysfs root KnownDriveIdentity reads ("/sys"); an empty root restores it.
void SetSysfsRootForTesting(std::string root);
// Makes GetVersionExA report another platform (1: Windows 95 family, 2: NT) and version.
void SetVersionForTesting(DWORD platformId, DWORD major, DWORD minor);
void ResetVersionForTesting();

}  // namespace win
