// ASPI request blocks and constants: the interface both transports speak (an ASPI library on
// the Windows 95 family, the pass-through emulation elsewhere). Field order and widths are
// ASPI's; address and handle fields are pointer-sized, so the published 32-bit sizes hold
// where pointers are 4 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// Command codes (SRB_Cmd).
constexpr std::uint8_t SC_HA_INQUIRY = 0x00;
constexpr std::uint8_t SC_GET_DEV_TYPE = 0x01;
constexpr std::uint8_t SC_EXEC_SCSI_CMD = 0x02;
constexpr std::uint8_t SC_ABORT_SRB = 0x03;
constexpr std::uint8_t SC_RESET_DEV = 0x04;
constexpr std::uint8_t SC_GET_DISK_INFO = 0x06;

// Request status (SRB_Status).
constexpr std::uint8_t SS_PENDING = 0x00;
constexpr std::uint8_t SS_COMP = 0x01;
constexpr std::uint8_t SS_ABORTED = 0x02;
constexpr std::uint8_t SS_ERR = 0x04;
constexpr std::uint8_t SS_INVALID_HA = 0x81;
constexpr std::uint8_t SS_NO_DEVICE = 0x82;
constexpr std::uint8_t SS_INVALID_SRB = 0xE0;
constexpr std::uint8_t SS_NO_ADAPTERS = 0xE8;

// Request flags (SRB_Flags). The direction bits SRB_DIR_IN (08h) and SRB_DIR_OUT (10h) are
// declared with ExecScsiCommand in scsi/zqSCSI.h.
constexpr std::uint8_t SRB_POSTING = 0x01;
constexpr std::uint8_t SRB_ENABLE_RESIDUAL_COUNT = 0x04;
constexpr std::uint8_t SRB_EVENT_NOTIFY = 0x40;

// Target status (SRB_TargStat): the SCSI status byte.
constexpr std::uint8_t STATUS_GOOD = 0x00;
constexpr std::uint8_t STATUS_CHKCOND = 0x02;
constexpr std::uint8_t STATUS_BUSY = 0x08;

// Device types (SRB_DeviceType).
constexpr std::uint8_t DTYPE_CDROM = 0x05;
constexpr std::uint8_t DTYPE_UNKNOWN = 0x1F;

// Sense bytes the device-access object asks for with every command.
constexpr std::uint8_t SENSE_LEN = 14;

#pragma pack(push, 1)

// The eight bytes every request starts with.
struct SRB_Header {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
};

// SC_HA_INQUIRY.
struct SRB_HAInquiry {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t HA_Count;
    std::uint8_t HA_SCSI_ID;
    char HA_ManagerId[16];
    char HA_Identifier[16];
    std::uint8_t HA_Unique[16];
    std::uint16_t HA_Rsvd1;
};

// SC_GET_DEV_TYPE.
struct SRB_GDEVBlock {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t SRB_Target;
    std::uint8_t SRB_Lun;
    std::uint8_t SRB_DeviceType;
    std::uint8_t SRB_Rsvd1;
};

// SC_GET_DISK_INFO.
struct SRB_GetDiskInfo {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t SRB_Target;
    std::uint8_t SRB_Lun;
    std::uint8_t SRB_DriveFlags;
    std::uint8_t SRB_Int13HDriveInfo;
    std::uint8_t SRB_Heads;
    std::uint8_t SRB_Sectors;
    std::uint8_t SRB_Rsvd1[10];
};

// SC_EXEC_SCSI_CMD: 97 bytes with 4-byte pointers.
struct SRB_ExecSCSICmd {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t SRB_Target;
    std::uint8_t SRB_Lun;
    std::uint16_t SRB_Rsvd1;
    std::uint32_t SRB_BufLen;
    std::uint8_t* SRB_BufPointer;
    std::uint8_t SRB_SenseLen;
    std::uint8_t SRB_CDBLen;
    std::uint8_t SRB_HaStat;
    std::uint8_t SRB_TargStat;
    void* SRB_PostProc;   // the completion event's handle when SRB_EVENT_NOTIFY is set
    std::uint8_t SRB_Rsvd2[20];
    std::uint8_t CDBByte[16];
    std::uint8_t SenseArea[33];
};

#pragma pack(pop)

static_assert(sizeof(SRB_Header) == 8);
static_assert(sizeof(SRB_HAInquiry) == 60);
static_assert(offsetof(SRB_HAInquiry, HA_Unique) == 42);
static_assert(sizeof(SRB_GDEVBlock) == 12);
static_assert(sizeof(SRB_GetDiskInfo) == 24);
static_assert(offsetof(SRB_GetDiskInfo, SRB_Int13HDriveInfo) == 11);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16);
static_assert(sizeof(SRB_ExecSCSICmd) == 97 || sizeof(void*) != 4);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 20 || sizeof(void*) != 4);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24 || sizeof(void*) != 4);
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 48 || sizeof(void*) != 4);
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 64 || sizeof(void*) != 4);
// Where pointers are 8 bytes both pointer fields grow by 4.
static_assert(sizeof(SRB_ExecSCSICmd) == 105 || sizeof(void*) != 8);

// The two entry points of an ASPI library (and of the pass-through emulation).
using TAspiSendCommand = std::uint32_t (*)(void* Srb);
using TAspiSupportInfo = std::uint32_t (*)();
