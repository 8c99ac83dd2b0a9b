#include "scsi/SptiUnit.h"

#include <algorithm>
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

// Drives whose address query failed, numbered in drive-letter order.
std::uint8_t gFailedAddressCount = 0;

// The device generation the table was built for; 0: build it at the next command.
std::uint64_t gScannedGeneration = 0;

struct Held {
    win::HANDLE handle = nullptr;
    int depth = 0;
};
// Held drives by drive-letter index; they outlive rescans and SptiCloseAll.
Held gHeld[kSptiDriveCount];

win::HANDLE HeldHandle(int index) {
    return index >= 0 && index < kSptiDriveCount && gHeld[index].depth > 0 ? gHeld[index].handle : nullptr;
}

constexpr std::uint32_t kPassThroughTimeoutSeconds = 120;
constexpr std::uint8_t kScanInquiryLength = 96;
constexpr std::uint8_t kScanSenseLength = 24;
constexpr DWORD kBlockSize = sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER);
constexpr DWORD kSenseOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuf);

void ClearTable() {
    SptiDriveTable = TSptiDriveTable{};
    for (int i = 2; i < kSptiDriveCount; ++i) SptiDriveTable.Drives[i].DeviceHandle = win::INVALID_HANDLE_VALUE;
}

bool IsValid(win::HANDLE h) { return h != win::INVALID_HANDLE_VALUE && h != nullptr; }

// Highest host adapter number among the entries, plus one. Saturates at 255: the count is a
// byte and host number 255 must not wrap it to "no adapters".
std::uint8_t CountAdapters() {
    unsigned highest = 0;
    for (int i = 1; i < kSptiDriveCount; ++i) highest = std::max<unsigned>(highest, SptiDriveTable.Drives[i].HaId);
    return static_cast<std::uint8_t>(std::min(highest + 1, 255u));
}

bool PassThrough(win::HANDLE h, SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER& block) {
    DWORD returned = 0;
    return win::DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, kBlockSize, &block, kBlockSize,
                                &returned, nullptr) != win::FALSE;
}

void StoreAddress(win::HANDLE h, int index);

void ProbeDrive(int index) {
    TSptiDrive& entry = SptiDriveTable.Drives[index];
    const win::HANDLE held = HeldHandle(index);
    win::HANDLE h = held != nullptr ? held : SptiOpenDrive(index);
    if (!IsValid(h)) return;
    auto release = [&] {
        if (h != held) win::CloseHandle(h);
    };

    // A drive another program holds is sent nothing: its entry has the address and no
    // identification (the emulation answers INQUIRY with zeros for it).
    if (held == nullptr && win::OpticalDriveInUse(static_cast<char>('A' + index))) {
        StoreAddress(h, index);
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
    StoreAddress(h, index);
    release();
}

void StoreAddress(win::HANDLE h, int index) {
    TSptiDrive& entry = SptiDriveTable.Drives[index];
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
        entry.Target = gFailedAddressCount++;
        entry.Lun = kSptiFailedAddressLun;
    }
    entry.DriveLetterIndex = static_cast<std::uint8_t>(index);
    entry.DeviceHandle = win::INVALID_HANDLE_VALUE;
}

std::uint32_t HostAdapterInquiry(SRB_HAInquiry& srb) {
    srb.HA_Count = SptiDriveTable.AdapterCount;
    if (srb.SRB_HaId >= SptiDriveTable.AdapterCount) return SS_INVALID_HA;
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

std::uint32_t ExecuteCommand(SRB_ExecSCSICmd& srb) {
    const int index = SptiFindDrive(srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun);
    if (index == 0) return SS_NO_DEVICE;
    TSptiDrive& entry = SptiDriveTable.Drives[index];

    if (srb.CDBByte[0] == kvcat::cmd::Inquiry.opcode) {
        // INQUIRY is answered from the table; the copy is bounded by the caller's buffer.
        if (srb.SRB_BufPointer != nullptr)
            std::memcpy(srb.SRB_BufPointer, entry.InquiryData, std::min<std::uint32_t>(36, srb.SRB_BufLen));
        return SS_COMP;
    }

    // A job's held handle is used and left open; otherwise the drive is opened for this
    // request only.
    const win::HANDLE held = HeldHandle(index);
    if (held != nullptr) entry.DeviceHandle = held;
    if (!IsValid(entry.DeviceHandle)) entry.DeviceHandle = SptiOpenDrive(index);
    // A drive that cannot be opened any more may have gone: the table is built again first
    // at the next command.
    if (!IsValid(entry.DeviceHandle)) gScannedGeneration = 0;

    SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER block{};
    bool ok = false;
    if (IsValid(entry.DeviceHandle)) {
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
        ok = PassThrough(entry.DeviceHandle, block);
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

    if (held != nullptr) entry.DeviceHandle = win::INVALID_HANDLE_VALUE;
    else if (IsValid(entry.DeviceHandle) && win::CloseHandle(entry.DeviceHandle))
        entry.DeviceHandle = win::INVALID_HANDLE_VALUE;
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

int SptiScan() {
    // Taken before the probes: a change while they run makes the next command scan again.
    gScannedGeneration = win::OpticalDriveSetGeneration();
    gFailedAddressCount = 0;
    int count = 0;
    ClearTable();
    for (int index = 2; index <= 25; ++index) {
        const char root[] = {static_cast<char>('A' + index), ':', '\\', '\0'};
        if (win::GetDriveTypeA(root) != win::DRIVE_CDROM) continue;
        ProbeDrive(index);
        if (SptiDriveTable.Drives[index].Used) ++count;
    }
    SptiDriveTable.AdapterCount = CountAdapters();
    if (gFailedAddressCount != 0) {
        // Drives without an address go on an adapter of their own above every real one.
        for (int i = 2; i < kSptiDriveCount; ++i) {
            TSptiDrive& entry = SptiDriveTable.Drives[i];
            if (entry.Used && entry.Lun == kSptiFailedAddressLun) {
                entry.Lun = 0;
                entry.HaId = SptiDriveTable.AdapterCount;
            }
        }
        SptiDriveTable.AdapterCount = CountAdapters();
    }
    return count;
}

bool SptiTableStale() {
    return gScannedGeneration == 0 || gScannedGeneration != win::OpticalDriveSetGeneration();
}

void SptiCloseAll() {
    for (int i = 2; i < kSptiDriveCount; ++i) {
        const TSptiDrive& entry = SptiDriveTable.Drives[i];
        if (entry.Used && IsValid(entry.DeviceHandle) && entry.DeviceHandle != HeldHandle(i))
            win::CloseHandle(entry.DeviceHandle);
    }
    SptiDriveTable = TSptiDriveTable{};
    gScannedGeneration = 0;
}

win::HANDLE SptiHoldDrive(int DriveLetterIndex) {
    if (DriveLetterIndex < 2 || DriveLetterIndex >= kSptiDriveCount) {
        win::SetLastError(win::ERROR_INVALID_PARAMETER);
        return win::INVALID_HANDLE_VALUE;
    }
    Held& held = gHeld[DriveLetterIndex];
    if (held.depth > 0) {
        ++held.depth;
        return held.handle;
    }
    // Share mode 0: exclusive. Read-only when the device may not be written, like the
    // per-request open; a busy device is not tried again.
    const char path[] = {'\\', '\\', '.', '\\', static_cast<char>('A' + DriveLetterIndex), ':', '\0'};
    win::HANDLE h = win::CreateFileA(path, win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr, win::OPEN_EXISTING,
                                     win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == win::INVALID_HANDLE_VALUE && win::GetLastError() != win::ERROR_SHARING_VIOLATION)
        h = win::CreateFileA(path, win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING, 0, nullptr);
    if (h == win::INVALID_HANDLE_VALUE) return h;
    held.handle = h;
    held.depth = 1;
    return h;
}

void SptiReleaseDrive(int DriveLetterIndex) {
    if (DriveLetterIndex < 2 || DriveLetterIndex >= kSptiDriveCount) return;
    Held& held = gHeld[DriveLetterIndex];
    if (held.depth == 0 || --held.depth > 0) return;
    win::CloseHandle(held.handle);
    held.handle = nullptr;
}

int SptiFindDrive(std::uint8_t HaId, std::uint8_t Target, std::uint8_t Lun) {
    for (int i = 2; i < kSptiDriveCount; ++i) {
        const TSptiDrive& entry = SptiDriveTable.Drives[i];
        if (entry.Used && entry.HaId == HaId && entry.Target == Target && entry.Lun == Lun) return i;
    }
    return 0;
}

std::uint32_t SptiSupportInfo() {
    if (SptiDriveTable.AdapterCount == 0) return std::uint32_t{SS_NO_ADAPTERS} << 8;
    return (std::uint32_t{SS_COMP} << 8) | SptiDriveTable.AdapterCount;
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
