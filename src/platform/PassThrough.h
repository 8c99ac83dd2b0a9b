// Internal to the platform layer: the parts of the pass-through and address calls that do not
// depend on the operating system (checking the caller's block, running a command on an
// in-process device, writing the results back), and the version override for tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/HandleTable.h"
#include "platform/VirtualDevice.h"
#include "platform/WinApi.h"

namespace win::detail {

// "X:\" or "X:" -> upper-case letter, or 0.
char LetterOfRoot(const char* root);
// "\\.\X:" -> upper-case letter, or 0.
char LetterOfDevicePath(const char* name);

// The command a pass-through block carries.
ScsiRequest RequestOf(const SCSI_PASS_THROUGH_DIRECT& sptd);

// Sense bytes of one command, kept apart from the caller's block until the results go back.
struct PassThroughResult {
    bool ok = false;
    std::uint8_t sense[255] = {};
};

// Copies the caller's block into sptd and checks it: both buffers hold the structure, the sense
// area lies after it inside both buffers, a sensible CDB length, direction and data buffer.
// False (with GetLastError set) for a block no driver would accept.
bool ReadPassThroughBlock(const void* in, DWORD inSize, const void* outBuf, DWORD outSize,
                          SCSI_PASS_THROUGH_DIRECT& sptd);

// Runs the block on an in-process device; fills sptd's results and `out.sense`, and request's.
bool RunOnVirtual(const VirtualHandle& vh, SCSI_PASS_THROUGH_DIRECT& sptd, PassThroughResult& out,
                  ScsiRequest& request);

// Writes the completed block and its sense bytes to the caller's output buffer, as the driver
// does (the rest of the input block is carried over when the buffers differ).
void WritePassThroughResult(const void* in, DWORD inSize, void* outBuf, DWORD outSize,
                            const SCSI_PASS_THROUGH_DIRECT& sptd, const PassThroughResult& result,
                            DWORD* bytesReturned);

// IOCTL_SCSI_GET_ADDRESS for an in-process device.
BOOL VirtualAddress(const VirtualHandle& vh, void* outBuf, DWORD outSize, DWORD* bytesReturned);

// The platform a test made GetVersionExA report; false when none was set.
bool VersionOverride(DWORD& platformId, DWORD& major, DWORD& minor);

// Counts a successful open of an optical device (DeviceOpenCount).
void CountDeviceOpen();

// CreateFileA on an in-process device: a handle of its own, holding the device's exclusive
// claim when the share mode is 0 (ERROR_SHARING_VIOLATION while another handle holds it).
HANDLE OpenVirtual(const std::shared_ptr<VirtualScsiDevice>& device, char letter, bool exclusive);

// GetLogicalDriveStringsA's result: the roots "X:\" of `letters`, each ending in a zero, and a
// final zero; the length without that zero on success, else the buffer size needed with it.
DWORD PackDriveStrings(const std::string& letters, DWORD bufferLength, char* buffer);

}  // namespace win::detail
