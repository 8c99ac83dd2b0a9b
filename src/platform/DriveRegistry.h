// Internal to the platform layer: which optical drive stands behind which letter.
#pragma once

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

// The optical drives in letter order (D: first). Drives past Z: have no letter and are left
// out.
std::vector<OpticalDrive> OpticalDrives();
std::optional<OpticalDrive> OpticalDriveOfLetter(char letter);

// Whether the device is still attached (a handle may outlive its device's attachment).
bool IsAttached(const VirtualScsiDevice* device);

void Trace(char letter, const ScsiRequest& request, bool ok);

}  // namespace win::detail
