// Internal to the platform layer: which optical drive stands behind which letter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/VirtualDevice.h"

namespace win::detail {

// Port number every virtual device reports, far from the kernel's host numbers.
constexpr std::uint8_t kVirtualPort = 200;

struct OpticalDrive {
    char letter = 0;
    std::string kernelPath;                          // set for a kernel device
    std::shared_ptr<VirtualScsiDevice> device;       // set for a virtual device
    ScsiDeviceAddress address;                       // virtual devices only
};

// A drive letter as a bit of a GetLogicalDrives-style mask (bit 0: A:).
constexpr std::uint32_t LetterBit(char letter) { return std::uint32_t{1} << (letter - 'A'); }

// The system's own drives, the half of the registry that differs between Linux and Windows.
class SystemDrives {
public:
    virtual ~SystemDrives() = default;
    // Lists the drives again if they may have changed (a cheap check otherwise); true when the
    // list differs from an earlier one (the first listing is no change).
    virtual bool Refresh() = 0;
    // The system's optical drives with their letters and device paths.
    virtual const std::vector<OpticalDrive>& Drives() const = 0;
    // Every letter the system uses for a drive of any kind; virtual devices take the others.
    virtual std::uint32_t UsedLetters() const = 0;
};
std::unique_ptr<SystemDrives> MakeSystemDrives();
// Whether an exclusive open of a system drive tells that another program holds it (O_EXCL on
// Linux); on Windows any open handle refuses it, so the answer would mean nothing there.
bool SystemDrivesTellUse();

// The optical drives in letter order (D: first). Drives past Z: have no letter and are left
// out.
std::vector<OpticalDrive> OpticalDrives();
std::optional<OpticalDrive> OpticalDriveOfLetter(char letter);

// Whether the device is still attached (a handle may outlive its device's attachment).
bool IsAttached(const VirtualScsiDevice* device);

void Trace(char letter, const ScsiRequest& request, bool ok);

}  // namespace win::detail
