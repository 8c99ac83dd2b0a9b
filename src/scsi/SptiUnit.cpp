#include "scsi/SptiUnit.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "catalog/BigEndian.h"
#include "catalog/Commands.h"
#include "platform/VirtualDevice.h"
#include "scsi/CDROMIOCTL.h"
#include "scsi/scsidefs.h"

TSptiDriveTable SptiDriveTable;

namespace {

using win::DWORD;

// The device generation the table was built for; 0: build it at the next command. Atomic: a
// command that finds its drive gone marks the table stale without the state lock.
std::atomic<std::uint64_t> gScannedGeneration{0};

struct Held {
    win::HANDLE handle = nullptr;
    int depth = 0;
};
// Held drives by drive-letter index, under the state mutex; they outlive rescans and
// SptiCloseAll.
Held gHeld[kSptiDriveCount];

std::mutex& ScanMutex() {
    static std::mutex m;
    return m;
}

// Under the state mutex.
win::HANDLE HeldHandle(int index) {
    return index >= 0 && index < kSptiDriveCount && gHeld[index].depth > 0 ? gHeld[index].handle : nullptr;
}

win::HANDLE HeldHandleLocked(int index) {
    std::lock_guard lock(SptiStateMutex());
    return HeldHandle(index);
}

// One scan's table, built apart from the one commands use and put in its place at the end.
struct Scan {
    TSptiDriveTable table;
    std::uint8_t failedAddresses = 0;   // drives whose address query failed, in letter order
};

constexpr std::uint32_t kPassThroughTimeoutSeconds = 120;
constexpr std::uint8_t kScanInquiryLength = 96;
constexpr std::uint8_t kScanSenseLength = 24;
constexpr DWORD kBlockSize = sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER);
constexpr DWORD kSenseOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuf);

void ClearTable(TSptiDriveTable& table) {
    table = TSptiDriveTable{};
    for (int i = 2; i < kSptiDriveCount; ++i) table.Drives[i].DeviceHandle = win::INVALID_HANDLE_VALUE;
}

bool IsValid(win::HANDLE h) { return h != win::INVALID_HANDLE_VALUE && h != nullptr; }

// Highest host adapter number among the entries, plus one. Saturates at 255: the count is a
// byte and host number 255 must not wrap it to "no adapters".
std::uint8_t CountAdapters(const TSptiDriveTable& table) {
    unsigned highest = 0;
    for (int i = 1; i < kSptiDriveCount; ++i) highest = std::max<unsigned>(highest, table.Drives[i].HaId);
    return static_cast<std::uint8_t>(std::min(highest + 1, 255u));
}

bool PassThrough(win::HANDLE h, SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER& block) {
    DWORD returned = 0;
    return win::DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, kBlockSize, &block, kBlockSize,
                                &returned, nullptr) != win::FALSE;
}

void StoreAddress(Scan& scan, win::HANDLE h, int index);

// Asks one drive for its identification and address; the caller holds the drive's mutex.
void ProbeDrive(Scan& scan, int index) {
    TSptiDrive& entry = scan.table.Drives[index];
    const win::HANDLE held = HeldHandleLocked(index);
    win::HANDLE h = held != nullptr ? held : SptiOpenDrive(index);
    if (!IsValid(h)) return;
    auto release = [&] {
        if (h != held) win::CloseHandle(h);
    };

    // A drive another program holds is sent nothing: its entry has the address and no
    // identification (the emulation answers INQUIRY with zeros for it).
    if (held == nullptr && win::OpticalDriveInUse(static_cast<char>('A' + index))) {
        StoreAddress(scan, h, index);
        release();
        return;
    }

    std::uint8_t inquiry[kScanInquiryLength] = {};
    SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER block{};
    block.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    block.sptd.CdbLength = kvcat::cmd::Inquiry.cdbLength;
    block.sptd.SenseInfoLength = kScanSenseLength;
    block.sptd.DataIn = SCSI_IOCTL_DATA_IN;
    block.sptd.DataTransferLength = sizeof inquiry;
    block.sptd.TimeOutValue = kPassThroughTimeoutSeconds;
    block.sptd.DataBuffer = inquiry;
    block.sptd.SenseInfoOffset = kSenseOffset;
    block.sptd.Cdb[0] = kvcat::cmd::Inquiry.opcode;
    kvbe::Store16(block.sptd.Cdb + kvcat::cmd::Inquiry.lengthOffset, kScanInquiryLength);
    if (!PassThrough(h, block)) {
        release();
        return;
    }
    std::memcpy(entry.InquiryData, inquiry, sizeof entry.InquiryData);
    StoreAddress(scan, h, index);
    release();
}

// A drive with a command in flight elsewhere: its address is asked (no command reaches the
// drive), its identification kept from the last scan. False when it could not be entered with
// an identification, so that the next command scans again.
bool KeepBusyDrive(Scan& scan, const TSptiDriveTable& previous, int index) {
    const win::HANDLE held = HeldHandleLocked(index);
    win::HANDLE h = held != nullptr ? held : SptiOpenDrive(index);
    if (!IsValid(h)) return false;
    StoreAddress(scan, h, index);
    if (h != held) win::CloseHandle(h);
    std::memcpy(scan.table.Drives[index].InquiryData, previous.Drives[index].InquiryData,
                sizeof scan.table.Drives[index].InquiryData);
    return previous.Drives[index].Used;
}

void StoreAddress(Scan& scan, win::HANDLE h, int index) {
    TSptiDrive& entry = scan.table.Drives[index];
    SCSI_ADDRESS address{};
    address.Length = sizeof address;
    DWORD returned = 0;
    entry.Used = true;
    if (win::DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address, &returned,
                             nullptr)) {
        entry.HaId = address.PortNumber;
        entry.Target = address.TargetId;
        entry.Lun = address.Lun;
    } else {
        entry.HaId = 0;
        entry.Target = scan.failedAddresses++;
        entry.Lun = kSptiFailedAddressLun;
    }
    entry.DriveLetterIndex = static_cast<std::uint8_t>(index);
    entry.DeviceHandle = win::INVALID_HANDLE_VALUE;
}

int FindDriveLocked(std::uint8_t HaId, std::uint8_t Target, std::uint8_t Lun) {
    for (int i = 2; i < kSptiDriveCount; ++i) {
        const TSptiDrive& entry = SptiDriveTable.Drives[i];
        if (entry.Used && entry.HaId == HaId && entry.Target == Target && entry.Lun == Lun) return i;
    }
    return 0;
}

std::uint32_t HostAdapterInquiry(SRB_HAInquiry& srb) {
    std::uint8_t adapters = 0;
    {
        std::lock_guard lock(SptiStateMutex());
        adapters = SptiDriveTable.AdapterCount;
    }
    srb.HA_Count = adapters;
    if (srb.SRB_HaId >= adapters) return SS_INVALID_HA;
    srb.HA_SCSI_ID = 7;
    std::memset(srb.HA_ManagerId, 0, sizeof srb.HA_ManagerId);
    std::memcpy(srb.HA_ManagerId, "zqSCSI", 6);
    // "SPTI <n>" with the adapter number in decimal (the single digit for adapters 0 to 9).
    const std::string name = "SPTI " + std::to_string(srb.SRB_HaId);
    std::memset(srb.HA_Identifier, 0, sizeof srb.HA_Identifier);
    std::memcpy(srb.HA_Identifier, name.data(), std::min(name.size(), sizeof srb.HA_Identifier));
    // Adapter-unique data: alignment mask 0007h, no residual count, 8 targets, at most
    // 00FF0000h bytes per transfer.
    std::memset(srb.HA_Unique, 0, 13);
    srb.HA_Unique[0] = 7;
    srb.HA_Unique[3] = 8;
    srb.HA_Unique[6] = 0xFF;
    return SS_COMP;
}

std::uint32_t GetDeviceType(SRB_GDEVBlock& srb) {
    const bool found = SptiFindDrive(srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun) != 0;
    srb.SRB_DeviceType = found ? DTYPE_CDROM : DTYPE_UNKNOWN;
    return found ? SS_COMP : SS_NO_DEVICE;
}

// The caller holds the drive's mutex (SptiDriveMutex); the table is only looked at under the
// state mutex, and the request's handle is its own, so another drive's command or a scan may
// run meanwhile.
std::uint32_t ExecuteCommand(SRB_ExecSCSICmd& srb) {
    int index = 0;
    std::uint8_t inquiryData[sizeof TSptiDrive::InquiryData];
    win::HANDLE held = nullptr;
    {
        std::lock_guard lock(SptiStateMutex());
        index = FindDriveLocked(srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun);
        if (index == 0) return SS_NO_DEVICE;
        std::memcpy(inquiryData, SptiDriveTable.Drives[index].InquiryData, sizeof inquiryData);
        held = HeldHandle(index);
    }

    if (srb.CDBByte[0] == kvcat::cmd::Inquiry.opcode) {
        // INQUIRY is answered from the table; the copy is bounded by the caller's buffer.
        if (srb.SRB_BufPointer != nullptr)
            std::memcpy(srb.SRB_BufPointer, inquiryData, std::min<std::uint32_t>(36, srb.SRB_BufLen));
        return SS_COMP;
    }

    // A job's held handle is used and left open; otherwise the drive is opened for this
    // request only.
    const win::HANDLE handle = held != nullptr ? held : SptiOpenDrive(index);
    // A drive that cannot be opened any more may have gone: the table is built again first
    // at the next command.
    if (!IsValid(handle)) gScannedGeneration = 0;

    SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER block{};
    bool ok = false;
    if (IsValid(handle)) {
        block.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
        block.sptd.CdbLength = std::min<std::uint8_t>(srb.SRB_CDBLen, sizeof block.sptd.Cdb);
        block.sptd.SenseInfoLength = std::min<std::uint8_t>(srb.SRB_SenseLen, sizeof block.SenseBuf);
        block.sptd.DataIn = (srb.SRB_Flags & 0x08) != 0   ? SCSI_IOCTL_DATA_IN
                            : (srb.SRB_Flags & 0x10) != 0 ? SCSI_IOCTL_DATA_OUT
                                                          : SCSI_IOCTL_DATA_UNSPECIFIED;
        block.sptd.DataTransferLength = srb.SRB_BufLen;
        block.sptd.TimeOutValue = kPassThroughTimeoutSeconds;
        block.sptd.DataBuffer = srb.SRB_BufPointer;
        block.sptd.SenseInfoOffset = kSenseOffset;
        std::memcpy(block.sptd.Cdb, srb.CDBByte, block.sptd.CdbLength);
        ok = PassThrough(handle, block);
        const int e = win::GetLastErrno();
        if (!ok && (e == ENODEV || e == ENXIO || e == ENOENT)) gScannedGeneration = 0;
    }

    std::uint32_t status = SS_COMP;
    if (!ok || block.sptd.ScsiStatus != STATUS_GOOD ||
        (block.sptd.SenseInfoLength != 0 && block.sptd.SenseInfoLength != 32)) {
        status = SS_ERR;
        const std::size_t senseBytes =
            std::min<std::size_t>({block.sptd.SenseInfoLength, sizeof block.SenseBuf, sizeof srb.SenseArea});
        std::memcpy(srb.SenseArea, block.SenseBuf, senseBytes);
        srb.SRB_TargStat = block.sptd.ScsiStatus;
    }

    if (held == nullptr && IsValid(handle)) win::CloseHandle(handle);
    return status;
}

}  // namespace

win::HANDLE SptiOpenDrive(int DriveLetterIndex) {
    const char path[] = {'\\', '\\', '.', '\\', static_cast<char>('A' + DriveLetterIndex), ':', '\0'};
    win::HANDLE h = win::CreateFileA(path, win::GENERIC_READ | win::GENERIC_WRITE,
                                     win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr, win::OPEN_EXISTING,
                                     win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == win::INVALID_HANDLE_VALUE)
        h = win::CreateFileA(path, win::GENERIC_READ, win::FILE_SHARE_READ, nullptr, win::OPEN_EXISTING, 0,
                             nullptr);
    return h;
}

namespace {

int ScanLocked() {
    // Taken before the probes: a change while they run makes the next command scan again.
    const std::uint64_t generation = win::OpticalDriveSetGeneration();
    TSptiDriveTable previous;
    {
        std::lock_guard lock(SptiStateMutex());
        previous = SptiDriveTable;
    }
    Scan scan;
    ClearTable(scan.table);
    bool complete = true;
    int count = 0;
    for (int index = 2; index <= 25; ++index) {
        const char root[] = {static_cast<char>('A' + index), ':', '\\', '\0'};
        if (win::GetDriveTypeA(root) != win::DRIVE_CDROM) continue;
        // Only tried: waiting here for another thread's command could deadlock with a thread
        // that holds its drive and waits for this scan. The calling thread's own drive is
        // taken (the mutex is recursive).
        std::unique_lock drive(SptiDriveMutex(index), std::try_to_lock);
        if (drive.owns_lock()) ProbeDrive(scan, index);
        else if (!KeepBusyDrive(scan, previous, index)) complete = false;   // asked at the next scan
        if (scan.table.Drives[index].Used) ++count;
    }
    TSptiDriveTable& table = scan.table;
    table.AdapterCount = CountAdapters(table);
    if (scan.failedAddresses != 0) {
        // Drives without an address go on an adapter of their own above every real one.
        for (int i = 2; i < kSptiDriveCount; ++i) {
            TSptiDrive& entry = table.Drives[i];
            if (entry.Used && entry.Lun == kSptiFailedAddressLun) {
                entry.Lun = 0;
                entry.HaId = table.AdapterCount;
            }
        }
        table.AdapterCount = CountAdapters(table);
    }
    std::lock_guard lock(SptiStateMutex());
    SptiDriveTable = table;
    gScannedGeneration = complete ? generation : 0;
    return count;
}

}  // namespace

std::mutex& SptiStateMutex() {
    static std::mutex m;
    return m;
}

std::recursive_mutex& SptiDriveMutex(int DriveLetterIndex) {
    static std::recursive_mutex m[kSptiDriveCount];
    return m[DriveLetterIndex >= 0 && DriveLetterIndex < kSptiDriveCount ? DriveLetterIndex : 0];
}

int SptiScan() {
    std::lock_guard scanning(ScanMutex());
    return ScanLocked();
}

void SptiScanIfStale() {
    if (!SptiTableStale()) return;
    std::lock_guard scanning(ScanMutex());
    // Another thread's scan may have built it while this one waited.
    if (SptiTableStale()) ScanLocked();
}

bool SptiTableStale() {
    const std::uint64_t scanned = gScannedGeneration.load();
    return scanned == 0 || scanned != win::OpticalDriveSetGeneration();
}

void SptiCloseAll() {
    // Requests keep their handles to themselves; nothing in the table is open.
    std::lock_guard lock(SptiStateMutex());
    SptiDriveTable = TSptiDriveTable{};
    gScannedGeneration = 0;
}

win::HANDLE SptiHoldDrive(int DriveLetterIndex) {
    if (DriveLetterIndex < 2 || DriveLetterIndex >= kSptiDriveCount) {
        win::SetLastError(win::ERROR_INVALID_PARAMETER);
        return win::INVALID_HANDLE_VALUE;
    }
    // Under the drive's mutex: no command of the drive and no probe runs while its hold
    // changes, and the open happens outside the state mutex.
    std::lock_guard drive(SptiDriveMutex(DriveLetterIndex));
    {
        std::lock_guard lock(SptiStateMutex());
        Held& held = gHeld[DriveLetterIndex];
        if (held.depth > 0) {
            ++held.depth;
            return held.handle;
        }
    }
    // Share mode 0: exclusive. Read-only when the device may not be written, like the
    // per-request open; a busy device is not tried again.
    const char path[] = {'\\', '\\', '.', '\\', static_cast<char>('A' + DriveLetterIndex), ':', '\0'};
    win::HANDLE h = win::CreateFileA(path, win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr, win::OPEN_EXISTING,
                                     win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == win::INVALID_HANDLE_VALUE && win::GetLastError() != win::ERROR_SHARING_VIOLATION)
        h = win::CreateFileA(path, win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING, 0, nullptr);
    if (h == win::INVALID_HANDLE_VALUE) return h;
    std::lock_guard lock(SptiStateMutex());
    gHeld[DriveLetterIndex] = Held{h, 1};
    return h;
}

void SptiReleaseDrive(int DriveLetterIndex) {
    if (DriveLetterIndex < 2 || DriveLetterIndex >= kSptiDriveCount) return;
    std::lock_guard drive(SptiDriveMutex(DriveLetterIndex));
    win::HANDLE closing = nullptr;
    {
        std::lock_guard lock(SptiStateMutex());
        Held& held = gHeld[DriveLetterIndex];
        if (held.depth == 0 || --held.depth > 0) return;
        closing = held.handle;
        held.handle = nullptr;
    }
    win::CloseHandle(closing);
}

int SptiFindDrive(std::uint8_t HaId, std::uint8_t Target, std::uint8_t Lun) {
    std::lock_guard lock(SptiStateMutex());
    return FindDriveLocked(HaId, Target, Lun);
}

std::uint32_t SptiSupportInfo() {
    std::uint8_t adapters = 0;
    {
        std::lock_guard lock(SptiStateMutex());
        adapters = SptiDriveTable.AdapterCount;
    }
    if (adapters == 0) return std::uint32_t{SS_NO_ADAPTERS} << 8;
    return (std::uint32_t{SS_COMP} << 8) | adapters;
}

std::uint32_t SptiSendCommand(void* Srb) {
    if (Srb == nullptr) return SS_ERR;
    auto& header = *static_cast<SRB_Header*>(Srb);
    std::uint32_t status = SS_ERR;
    switch (header.SRB_Cmd) {
    case SC_HA_INQUIRY:
        status = HostAdapterInquiry(*static_cast<SRB_HAInquiry*>(Srb));
        break;
    case SC_GET_DEV_TYPE:
        status = GetDeviceType(*static_cast<SRB_GDEVBlock*>(Srb));
        break;
    case SC_EXEC_SCSI_CMD:
        status = ExecuteCommand(*static_cast<SRB_ExecSCSICmd*>(Srb));
        break;
    case SC_GET_DISK_INFO: {
        auto& srb = *static_cast<SRB_GetDiskInfo*>(Srb);
        srb.SRB_Int13HDriveInfo = static_cast<std::uint8_t>(SptiFindDrive(srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun));
        status = SS_COMP;
        break;
    }
    default:
        status = SS_ERR;
        break;
    }
    header.SRB_Status = static_cast<std::uint8_t>(status);
    return status;
}
