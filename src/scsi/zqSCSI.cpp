#include "scsi/zqSCSI.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/VirtualDevice.h"
#include "scsi/SptiUnit.h"

TScsiDefaults ScsiDefaultSettings;

void* AspiTransportHandle = nullptr;
TAspiSupportInfo AspiSupportInfo = nullptr;
TAspiSendCommand AspiSendCommand = nullptr;

namespace {

// The handle value that stands for the pass-through emulation.
void* const kSptiTransportHandle = reinterpret_cast<void*>(1);

win::DWORD PlatformId() {
    win::OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    return win::GetVersionExA(&info) ? info.dwPlatformId : 0;
}

// An ASPI library of the Windows 95 family is not safe to call from two threads: every command
// of the process goes through it one at a time. Recursive so that a command issued from inside
// the transport on the same thread does not deadlock.
std::recursive_mutex& AspiMutex() {
    static std::recursive_mutex m;
    return m;
}

bool UsesPassThrough() { return PlatformId() == win::VER_PLATFORM_WIN32_NT; }

// Keeps a command apart from those it must not overlap: on the pass-through path the other
// commands to the same drive (found by letter, else by address; an address no drive has
// shares the mutex of index 0), on an ASPI library every other command. A command without its
// command block reaches no drive and takes no lock (nor scans to find its drive).
class TCommandLock {
public:
    TCommandLock(const TCDBurnerInfo& Info, const void* Cdb, std::uint32_t CdbLen) {
        if (Cdb == nullptr && CdbLen > 0) return;
        if (!UsesPassThrough()) {
            lock_ = std::unique_lock(AspiMutex());
            return;
        }
        int index = 0;
        if (Info.DriveLetter >= 'C' && Info.DriveLetter <= 'Z') {
            index = Info.DriveLetter - 'A';
        } else {
            // The address is looked up in a current table, built before any drive is locked.
            SptiScanIfStale();
            index = SptiFindDrive(Info.HaId, Info.Target, Info.Lun);
        }
        lock_ = std::unique_lock(SptiDriveMutex(index));
    }

private:
    std::unique_lock<std::recursive_mutex> lock_;
};

// A job's state per drive, under the state mutex: by letter where the drive has one, else
// by its ASPI address (a drive on the ASPI path need not have a letter).
struct JobState {
    int depth = 0;
    bool attention = false;
    std::uint8_t sense[SENSE_LEN] = {};
};

// Under SptiStateMutex; the entry stays where it is (a map never moves its nodes).
JobState* JobOf(const TCDBurnerInfo& Info) {
    static std::map<std::uint32_t, JobState> jobs;
    const std::uint32_t key = Info.DriveLetter >= 'A' && Info.DriveLetter <= 'Z'
                                  ? static_cast<std::uint32_t>(Info.DriveLetter)
                                  : 0x1000000u | (std::uint32_t{Info.HaId} << 16) | (std::uint32_t{Info.Target} << 8) | Info.Lun;
    return &jobs[key];
}

// A command the ASPI library carried, for --trace: the pass-through sees only the emulation's.
void TraceAspiCommand(const TCDBurnerInfo& Info, const std::uint8_t (&Cdb)[16], std::uint32_t CdbLen,
                      std::uint32_t Direction, std::uint32_t BufLen, std::uint8_t Status,
                      std::uint8_t TargetStatus, const std::uint8_t (&Sense)[SENSE_LEN]) {
    win::ScsiRequest request;
    std::memcpy(request.cdb, Cdb, sizeof request.cdb);
    request.cdbLength = static_cast<std::uint8_t>(CdbLen);
    request.direction = (Direction & SRB_DIR_IN)    ? win::ScsiRequest::Direction::In
                        : (Direction & SRB_DIR_OUT) ? win::ScsiRequest::Direction::Out
                                                    : win::ScsiRequest::Direction::None;
    request.dataLength = BufLen;
    request.status = TargetStatus;
    if (TargetStatus == STATUS_CHKCOND) {
        std::memcpy(request.sense, Sense, SENSE_LEN);
        request.senseLength = SENSE_LEN;
    }
    // SS_ERR without a target status is the adapter's failure: the command did not complete.
    const bool completed = Status == SS_COMP || (Status == SS_ERR && TargetStatus != STATUS_GOOD);
    const char letter = Info.DriveLetter >= 'A' && Info.DriveLetter <= 'Z' ? Info.DriveLetter : '?';
    win::TraceScsiRequest(letter, request, completed);
}

}  // namespace

// The module state is read and written under the state mutex, and written only where it
// changes: a command on another thread never sees it between two constructions' values.
TzqSCSI::TzqSCSI() {
    LibraryVersion.reset();

    switch (PlatformId()) {
    case win::VER_PLATFORM_WIN32_NT: {
        SptiScanIfStale();
        AccessMethod = kAccessSpti;
        std::lock_guard lock(SptiStateMutex());
        if (AspiTransportHandle != kSptiTransportHandle) AspiTransportHandle = kSptiTransportHandle;
        if (AspiSupportInfo != &SptiSupportInfo) AspiSupportInfo = &SptiSupportInfo;
        if (AspiSendCommand != &SptiSendCommand) AspiSendCommand = &SptiSendCommand;
        Ready = true;
        break;
    }
    case win::VER_PLATFORM_WIN32_WINDOWS: {
        // The library's commands go one at a time anyway; loading it happens in that order too.
        std::lock_guard aspi(AspiMutex());
        std::lock_guard lock(SptiStateMutex());
        AspiSupportInfo = nullptr;
        AspiSendCommand = nullptr;
        AspiTransportHandle = LoadAspiTransport(*this);
        Ready = AspiTransportHandle != nullptr && AspiSendCommand != nullptr;
        break;
    }
    default: {
        // No transport on other platforms.
        std::lock_guard lock(SptiStateMutex());
        AspiTransportHandle = nullptr;
        AspiSupportInfo = nullptr;
        AspiSendCommand = nullptr;
        break;
    }
    }
}

TzqSCSI::~TzqSCSI() = default;

std::uint8_t TzqSCSI::ExecCommand(std::uint8_t HaId, std::uint8_t Target, std::uint8_t Lun,
                                  const std::uint8_t (&Cdb)[16], std::uint32_t CdbLen, std::uint8_t Flags,
                                  void* Buffer, std::uint32_t BufLen, std::uint8_t& TargetStatus,
                                  std::uint8_t (&SenseBytes)[SENSE_LEN]) {
    std::uint8_t cdb[16];
    std::memcpy(cdb, Cdb, sizeof cdb);

    SRB_ExecSCSICmd srb;
    std::memset(&srb, 0, sizeof srb);

    win::HANDLE event = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    if (event == nullptr) {
        // Without an event a pending request could never be waited for.
        TargetStatus = 0;
        std::memset(SenseBytes, 0, sizeof SenseBytes);
        return SS_ERR;
    }

    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = HaId;
    srb.SRB_Flags = static_cast<std::uint8_t>(Flags | SRB_EVENT_NOTIFY);
    srb.SRB_Target = Target;
    srb.SRB_Lun = Lun;
    srb.SRB_BufLen = BufLen;
    srb.SRB_BufPointer = static_cast<std::uint8_t*>(Buffer);
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = static_cast<std::uint8_t>(std::min<std::uint32_t>(CdbLen, sizeof srb.CDBByte));
    srb.SRB_PostProc = event;
    std::memcpy(srb.CDBByte, cdb, sizeof srb.CDBByte);
    // The LUN also travels in bits 7..5 of CDB byte 1, as SCSI-2 targets expect.
    srb.CDBByte[1] = static_cast<std::uint8_t>(((Lun & 7) << 5) | (srb.CDBByte[1] & 0x1F));

    if (srb.CDBByte[0] == 0xFF) {
        srb.SRB_Status = SS_COMP;   // a no-op that never reaches a drive
    } else {
        TAspiSendCommand send = nullptr;
        {
            std::lock_guard lock(SptiStateMutex());
            send = AspiSendCommand;
        }
        const std::uint32_t sent = send != nullptr ? send(&srb) : std::uint32_t{SS_ERR};
        // Anything but SS_PENDING is the request's final status: a library that refuses it
        // (SS_INVALID_SRB, SS_NO_DEVICE, ...) may leave SRB_Status at 0, which reads as pending,
        // and never signal the event.
        if (sent != SS_PENDING && std::atomic_ref<std::uint8_t>(srb.SRB_Status).load() == SS_PENDING)
            srb.SRB_Status = static_cast<std::uint8_t>(sent);
    }
    // A pending request is completed by the library on a thread of its own, which writes the
    // final status and then signals the event.
    if (std::atomic_ref<std::uint8_t>(srb.SRB_Status).load() == SS_PENDING)
        win::WaitForSingleObject(event, win::INFINITE);
    win::CloseHandle(event);

    TargetStatus = srb.SRB_TargStat;
    std::memcpy(SenseBytes, srb.SenseArea, SENSE_LEN);
    return srb.SRB_Status;
}

namespace {

// One command, under its TCommandLock.
TScsiError SendLocked(const TCDBurnerInfo& Info, const void* Cdb, std::uint32_t CdbLen, void* Buffer,
                      std::uint32_t BufLen, std::uint32_t Direction, TScsiDefaults& Defaults) {
    if (Cdb == nullptr && CdbLen > 0) return Err_InvalidArgument;

    std::uint8_t status = 0;
    std::uint8_t targetStatus = 0;
    std::uint8_t sense[SENSE_LEN] = {};
    bool sent = false;
    {
        TzqSCSI scsi;
        if (scsi.Ready) {
            std::uint8_t block[16] = {};
            const std::uint32_t length = std::min<std::uint32_t>(CdbLen, sizeof block);
            if (length > 0) std::memcpy(block, Cdb, length);
            status = scsi.ExecCommand(Info.HaId, Info.Target, Info.Lun, block, length,
                                      static_cast<std::uint8_t>(Direction & 0xFF), Buffer, BufLen,
                                      targetStatus, sense);
            sent = true;
            if (scsi.AccessMethod != kAccessSpti && block[0] != 0xFF)
                TraceAspiCommand(Info, block, length, Direction, BufLen, status, targetStatus, sense);
        }
    }
    // Callers read ASC/ASCQ of a failed command from here.
    if (sent) std::memcpy(Defaults.SenseArea, sense, sizeof sense);

    if (!sent) return Err_Unknown;
    if (status == SS_COMP) return Err_None;
    if (status == SS_ERR && targetStatus == STATUS_CHKCOND)
        return static_cast<TScsiError>(Err_SenseNoSense + (sense[2] & 0x0F));
    return Err_Unknown;
}

}  // namespace

TScsiError SendToTransport(const TCDBurnerInfo& Info, const void* Cdb, std::uint32_t CdbLen, void* Buffer,
                           std::uint32_t BufLen, std::uint32_t Direction, TScsiDefaults& Defaults) {
    TCommandLock lock(Info, Cdb, CdbLen);
    return SendLocked(Info, Cdb, CdbLen, Buffer, BufLen, Direction, Defaults);
}

TScsiError ExecScsiCommand(const TCDBurnerInfo& Info, const void* Cdb, std::uint32_t CdbLen, void* Buffer,
                           std::uint32_t BufLen, std::uint32_t Direction, TScsiDefaults& Defaults) {
    ZeroFill(Defaults.SenseArea, sizeof Defaults.SenseArea);
    // The drive's lock spans the job check, the command and its repetition, so the job's state
    // follows this drive's commands in their order.
    TCommandLock lock(Info, Cdb, CdbLen);
    {
        std::lock_guard state(SptiStateMutex());
        const JobState* job = JobOf(Info);
        if (job->depth > 0 && job->attention) {
            // The job met a unit attention: nothing more of it reaches the drive.
            std::memcpy(Defaults.SenseArea, job->sense, sizeof job->sense);
            return Err_SenseUnitAttention;
        }
    }
    TScsiError result = SendLocked(Info, Cdb, CdbLen, Buffer, BufLen, Direction, Defaults);
    if (result != Err_SenseUnitAttention) return result;
    {
        std::lock_guard state(SptiStateMutex());
        JobState* job = JobOf(Info);
        if (job->depth > 0) {
            job->attention = true;
            std::memcpy(job->sense, Defaults.SenseArea, sizeof job->sense);
            return result;
        }
    }
    // The drive reports a changed medium or a reset once, on the next command, which it did
    // not run; a query asks again.
    ZeroFill(Defaults.SenseArea, sizeof Defaults.SenseArea);
    return SendLocked(Info, Cdb, CdbLen, Buffer, BufLen, Direction, Defaults);
}

bool TransportAddressOfDrive(char DriveLetter, std::uint8_t& HaId, std::uint8_t& Target, std::uint8_t& Lun) {
    const int index = (DriveLetter & ~0x20) - 'A';
    if (index < 0 || index >= kSptiDriveCount) return false;
    TzqSCSI scsi;
    if (!scsi.Ready || scsi.AccessMethod != kAccessSpti) return false;
    std::lock_guard lock(SptiStateMutex());
    const TSptiDrive& drive = SptiDriveTable.Drives[index];
    if (!drive.Used) return false;
    HaId = drive.HaId;
    Target = drive.Target;
    Lun = drive.Lun;
    return true;
}

TDeviceHoldResult HoldDevice(const TCDBurnerInfo& Info) {
    if (PlatformId() != win::VER_PLATFORM_WIN32_NT || Info.DriveLetter < 'C' || Info.DriveLetter > 'Z')
        return TDeviceHoldResult::NotHeld;
    const win::HANDLE h = SptiHoldDrive(Info.DriveLetter - 'A');
    if (h != win::INVALID_HANDLE_VALUE) return TDeviceHoldResult::Held;
    return win::GetLastError() == win::ERROR_SHARING_VIOLATION ? TDeviceHoldResult::InUse
                                                               : TDeviceHoldResult::NotHeld;
}

void ReleaseDevice(const TCDBurnerInfo& Info) {
    if (Info.DriveLetter >= 'C' && Info.DriveLetter <= 'Z') SptiReleaseDrive(Info.DriveLetter - 'A');
}

void BeginDeviceJob(const TCDBurnerInfo& Info) {
    std::lock_guard lock(SptiStateMutex());
    if (JobState* job = JobOf(Info); job != nullptr && job->depth++ == 0) job->attention = false;
}

bool EndDeviceJob(const TCDBurnerInfo& Info) {
    std::lock_guard lock(SptiStateMutex());
    JobState* job = JobOf(Info);
    if (job == nullptr || job->depth == 0) return false;
    // Only the outermost scope reports it, so a nested job step does not say it twice.
    const bool attention = job->attention && job->depth == 1;
    if (--job->depth == 0) job->attention = false;
    return attention;
}
