// Internal to the platform layer: the objects behind HANDLE values.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <variant>

#include "platform/VirtualDevice.h"

namespace win::detail {

// An open kernel device; the descriptor (on Windows the system's handle) is closed with the
// last reference, so a command running on another thread keeps it alive through a concurrent
// CloseHandle.
struct KernelDevice {
#ifdef _WIN32
    using Descriptor = HANDLE;
#else
    using Descriptor = int;
#endif
    Descriptor fd;
    char letter = 0;
    KernelDevice(Descriptor f, char l) : fd(f), letter(l) {}
    ~KernelDevice();
    KernelDevice(const KernelDevice&) = delete;
    KernelDevice& operator=(const KernelDevice&) = delete;
};

struct VirtualHandle {
    std::shared_ptr<VirtualScsiDevice> device;
    char letter = 0;
    bool exclusive = false;   // holds the device's exclusive claim, given back with the handle
    ~VirtualHandle();
};

// The exclusive claim on a virtual device (share mode 0): one holder at a time; while it is
// held, commands through any other handle of the device are refused.
bool ClaimExclusive(const VirtualScsiDevice* device);
void ReleaseExclusive(const VirtualScsiDevice* device);
bool IsClaimedExclusively(const VirtualScsiDevice* device);

struct Event {
    std::mutex mutex;
    std::condition_variable signalled;
    bool manualReset = false;
    bool state = false;
};

using HandleObject =
    std::variant<std::shared_ptr<KernelDevice>, std::shared_ptr<VirtualHandle>, std::shared_ptr<Event>>;

// Thread-safe. Handles are never 0 nor INVALID_HANDLE_VALUE and are not reused while the
// process runs, so a stale handle cannot reach a newer object.
HANDLE InsertHandle(HandleObject object);
// nullptr-like empty result for an unknown handle.
bool LookupHandle(HANDLE handle, HandleObject& object);
bool RemoveHandle(HANDLE handle);

// Records the failure of the current call for GetLastError/GetLastErrno.
void SetLastFailure(DWORD code, int errnoValue);

}  // namespace win::detail
