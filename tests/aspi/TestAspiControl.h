// The test ASPI libraries ("wnaspi32.dll", "asapi.dll"): besides their two ASPI entry points
// they export these control entries, which a test resolves with GetProcAddress on the module
// LoadLibraryA gives it (the same module the device-access object loaded).
#pragma once

#include <cstdint>

namespace win {
class VirtualScsiDevice;
}

extern "C" {

struct KvTestAspiStats {
    std::uint32_t executeRequests;   // SC_EXEC_SCSI_CMD requests received
    std::uint32_t pendingReturns;    // of those, answered 00h and completed later by a worker
    std::uint32_t otherRequests;     // requests with any other command code
    std::uint8_t lastFlags;
    std::uint8_t lastCdbLen;
    std::uint8_t lastSenseLen;
    std::uint8_t lastCdb[16];
    bool lastHadEvent;               // SRB_PostProc was set
};

// Places a device at an ASPI address (nullptr removes it); requests to addresses without a
// device end with SS_NO_DEVICE. The caller keeps the device alive while it is placed.
using KvTestAspiSetDeviceFn = void (*)(std::uint8_t haId, std::uint8_t target, std::uint8_t lun,
                                       win::VirtualScsiDevice* device);
// Every n-th execute request (0: none) returns SS_PENDING and is completed from another thread
// shortly after the send-command call returned.
using KvTestAspiDeferEveryFn = void (*)(std::uint32_t n);
// The next execute request returns SS_PENDING and stays pending until KvTestAspiRelease (or
// a 30-second safety limit). KvTestAspiWaitHeld waits up to ms for it to arrive.
using KvTestAspiHoldNextFn = void (*)();
using KvTestAspiWaitHeldFn = bool (*)(std::uint32_t ms);
using KvTestAspiReleaseFn = void (*)();
// The next n execute requests are refused as a library that does not carry them out refuses
// them (Wine's 64-bit wnaspi32 does so with every one): the entry returns SS_INVALID_SRB and
// leaves the block alone, its status 00h (pending) and its event never set.
using KvTestAspiRefuseNextFn = void (*)(std::uint32_t n);
// Waits up to ms until no request is pending; false if one still is.
using KvTestAspiDrainFn = bool (*)(std::uint32_t ms);
using KvTestAspiStatsFn = KvTestAspiStats (*)();
// Clears devices, counters and deferral settings.
using KvTestAspiResetFn = void (*)();
// "wnaspi32.dll" or "asapi.dll": which library this is.
using KvTestAspiNameFn = const char* (*)();

}  // extern "C"
