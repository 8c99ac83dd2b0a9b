// A test ASPI library. Built twice: as "wnaspi32.dll" with the ASPI entry names and as
// "asapi.dll" (KV_TEST_ASAPI) with the ASAPI names. Its send-command entry executes request
// blocks on in-process devices the test places, and can answer SS_PENDING and complete the
// request later from its own thread, signalling the block's event as an ASPI manager does.
//
// It does not link the platform layer: win::SetEvent resolves to the test program's copy
// (the program exports its symbols), because event handles live in that copy's table. On
// Windows the handles are the system's events and the library sets them through kernel32, as
// an ASPI manager does; there it is a real DLL with a version resource (TestAspiLibrary.rc).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "TestAspiControl.h"
#include "platform/VirtualDevice.h"
#include "platform/WinApi.h"
#include "scsi/scsidefs.h"

#ifdef _WIN32
#define KV_EXPORT extern "C" __declspec(dllexport)
// kernel32's SetEvent, declared here: <windows.h> would clash with the platform layer's names.
extern "C" __declspec(dllimport) int __stdcall SetEvent(void* event);
#else
#define KV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

#ifdef KV_TEST_ASAPI
constexpr const char* kName = "asapi.dll";
#else
constexpr const char* kName = "wnaspi32.dll";
#endif

using Address = std::tuple<std::uint8_t, std::uint8_t, std::uint8_t>;

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<Address, win::VirtualScsiDevice*> devices;
    KvTestAspiStats stats{};
    std::uint32_t deferEvery = 0;
    bool holdNext = false;
    bool held = false;        // a held request is waiting for release
    bool released = false;
    std::uint32_t pending = 0;   // requests answered SS_PENDING and not yet completed
    std::uint32_t refuse = 0;    // execute requests still to be refused untouched
};

State& Shared() {
    static State* state = new State;   // never destroyed: a worker may outlive static destruction
    return *state;
}

// Runs the command on the device and writes the block's results; the status byte last, so a
// caller that sees a final status sees the rest too.
void Complete(SRB_ExecSCSICmd* srb, win::VirtualScsiDevice* device) {
    win::ScsiRequest request;
    request.cdbLength = std::min<std::uint8_t>(srb->SRB_CDBLen, 16);
    std::memcpy(request.cdb, srb->CDBByte, request.cdbLength);
    request.direction = (srb->SRB_Flags & 0x08)   ? win::ScsiRequest::Direction::In
                        : (srb->SRB_Flags & 0x10) ? win::ScsiRequest::Direction::Out
                                                  : win::ScsiRequest::Direction::None;
    request.data = srb->SRB_BufPointer;
    request.dataLength = srb->SRB_BufLen;
    request.timeoutSeconds = 120;

    std::uint8_t status = SS_ERR;
    if (device->Execute(request)) {
        srb->SRB_HaStat = 0;
        srb->SRB_TargStat = request.status;
        if (request.status == STATUS_GOOD) {
            status = SS_COMP;
        } else {
            // Auto sense: as much as the block asked for and its area holds.
            const std::size_t n = std::min<std::size_t>(
                {request.senseLength, srb->SRB_SenseLen, sizeof srb->SenseArea});
            std::memcpy(srb->SenseArea, request.sense, n);
        }
    } else {
        srb->SRB_HaStat = 0x11;   // selection time-out: the command never reached the target
        srb->SRB_TargStat = 0;
    }
    std::atomic_ref<std::uint8_t>(srb->SRB_Status).store(status, std::memory_order_release);
}

std::uint32_t Send(void* block) {
    auto* header = static_cast<SRB_Header*>(block);
    if (header == nullptr) return SS_ERR;
    State& s = Shared();
    std::unique_lock lock(s.mutex);
    if (header->SRB_Cmd != SC_EXEC_SCSI_CMD) {
        ++s.stats.otherRequests;
        header->SRB_Status = SS_ERR;   // this manager answers execute requests only
        return SS_ERR;
    }
    auto* srb = static_cast<SRB_ExecSCSICmd*>(block);
    ++s.stats.executeRequests;
    s.stats.lastFlags = srb->SRB_Flags;
    s.stats.lastCdbLen = srb->SRB_CDBLen;
    s.stats.lastSenseLen = srb->SRB_SenseLen;
    std::memcpy(s.stats.lastCdb, srb->CDBByte, 16);
    s.stats.lastHadEvent = srb->SRB_PostProc != nullptr;

    if (s.refuse > 0) {
        --s.refuse;
        return SS_INVALID_SRB;
    }

    const auto found = s.devices.find({srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun});
    if (found == s.devices.end()) {
        srb->SRB_Status = SS_NO_DEVICE;
        return SS_NO_DEVICE;
    }
    win::VirtualScsiDevice* device = found->second;

    // Completing later needs the event; without SRB_EVENT_NOTIFY the request runs at once.
    const bool canNotify = (srb->SRB_Flags & SRB_EVENT_NOTIFY) != 0 && srb->SRB_PostProc != nullptr;
    const bool hold = canNotify && s.holdNext;
    const bool defer = canNotify && (hold || (s.deferEvery != 0 && s.stats.executeRequests % s.deferEvery == 0));
    if (!defer) {
        lock.unlock();
        Complete(srb, device);
        return srb->SRB_Status;
    }

    srb->SRB_Status = SS_PENDING;
    ++s.stats.pendingReturns;
    ++s.pending;
    if (hold) {
        s.holdNext = false;
        s.held = true;
        s.released = false;
        s.changed.notify_all();
    }
    std::thread([srb, device, hold] {
        State& st = Shared();
        {
            std::unique_lock workerLock(st.mutex);
            if (hold) {
                st.changed.wait_for(workerLock, std::chrono::seconds(30), [&] { return st.released; });
                st.held = false;
            }
        }
        // Give the caller time to see SS_PENDING and start waiting, as a real drive would.
        if (!hold) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        win::HANDLE event = srb->SRB_PostProc;
        Complete(srb, device);
        // The block belongs to the caller again once the event is set: no access after it.
#ifdef _WIN32
        ::SetEvent(event);
#else
        win::SetEvent(event);
#endif
        std::lock_guard workerLock(st.mutex);
        --st.pending;
        st.changed.notify_all();
    }).detach();
    return SS_PENDING;
}

std::uint32_t SupportInfo() {
    State& s = Shared();
    std::lock_guard lock(s.mutex);
    std::uint8_t adapters = 0;
    for (const auto& [address, device] : s.devices)
        adapters = std::max<std::uint8_t>(adapters, static_cast<std::uint8_t>(std::get<0>(address) + 1));
    return adapters == 0 ? (std::uint32_t{SS_NO_ADAPTERS} << 8) : ((std::uint32_t{SS_COMP} << 8) | adapters);
}

}  // namespace

#ifdef KV_TEST_ASAPI
KV_EXPORT std::uint32_t SendASAPI32Command(void* srb) { return Send(srb); }
KV_EXPORT std::uint32_t GetASAPI32SupportInfo() { return SupportInfo(); }
#else
KV_EXPORT std::uint32_t SendASPI32Command(void* srb) { return Send(srb); }
KV_EXPORT std::uint32_t GetASPI32SupportInfo() { return SupportInfo(); }
#endif

KV_EXPORT void KvTestAspiSetDevice(std::uint8_t haId, std::uint8_t target, std::uint8_t lun,
                                   win::VirtualScsiDevice* device) {
    State& s = Shared();
    std::lock_guard lock(s.mutex);
    if (device == nullptr)
        s.devices.erase({haId, target, lun});
    else
        s.devices[{haId, target, lun}] = device;
}

KV_EXPORT void KvTestAspiDeferEvery(std::uint32_t n) {
    State& s = Shared();
    std::lock_guard lock(s.mutex);
    s.deferEvery = n;
}

KV_EXPORT void KvTestAspiHoldNext() {
    State& s = Shared();
    std::lock_guard lock(s.mutex);
    s.holdNext = true;
}

KV_EXPORT bool KvTestAspiWaitHeld(std::uint32_t ms) {
    State& s = Shared();
    std::unique_lock lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return s.held; });
}

KV_EXPORT void KvTestAspiRelease() {
    State& s = Shared();
    std::lock_guard lock(s.mutex);
    s.released = true;
    s.changed.notify_all();
}

KV_EXPORT void KvTestAspiRefuseNext(std::uint32_t n) {
    State& s = Shared();
    std::lock_guard lock(s.mutex);
    s.refuse = n;
}

KV_EXPORT bool KvTestAspiDrain(std::uint32_t ms) {
    State& s = Shared();
    std::unique_lock lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return s.pending == 0; });
}

KV_EXPORT KvTestAspiStats KvTestAspiStatsOf() {
    State& s = Shared();
    std::lock_guard lock(s.mutex);
    return s.stats;
}

KV_EXPORT void KvTestAspiReset() {
    State& s = Shared();
    std::lock_guard lock(s.mutex);
    s.devices.clear();
    s.stats = {};
    s.deferEvery = 0;
    s.holdNext = false;
    s.refuse = 0;
}

KV_EXPORT const char* KvTestAspiName() { return kName; }
