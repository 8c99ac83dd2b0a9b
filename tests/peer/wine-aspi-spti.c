/* wnaspi32.dll for the Wine peer cycle: the ASPI interface carried over the pass-through
 * interface (IOCTL_SCSI_PASS_THROUGH_DIRECT), which Wine passes to SG_IO. Wine's own
 * wnaspi32.dll no longer reaches a device (its SendASPI32Command answers SS_INVALID_SRB to
 * everything), so this library lets the Windows 98 path of keelvane-cli.exe (request blocks,
 * event notification, status and sense) be run against a real kernel drive.
 *
 * Devices are found as a program would find them: every CD-ROM drive letter, opened and asked
 * for its SCSI address; host adapter = port number, target and LUN as reported. Commands
 * complete before SendASPI32Command returns; the event of an SRB_EVENT_NOTIFY request is
 * signalled all the same.
 *
 * Built by peer.sh with MinGW-w64: x86_64-w64-mingw32-gcc -shared -o wnaspi32.dll THIS.c */
#include <windows.h>
#include <ntddscsi.h>
#include <stddef.h>
#include <string.h>

#define SC_HA_INQUIRY 0x00
#define SC_GET_DEV_TYPE 0x01
#define SC_EXEC_SCSI_CMD 0x02
#define SS_COMP 0x01
#define SS_ERR 0x04
#define SS_INVALID_CMD 0x80
#define SS_INVALID_HA 0x81
#define SS_NO_DEVICE 0x82
#define SS_NO_ADAPTERS 0xE8
#define SRB_DIR_IN 0x08
#define SRB_DIR_OUT 0x10
#define SRB_EVENT_NOTIFY 0x40
#define HASTAT_SEL_TO 0x11

#pragma pack(push, 1)
typedef struct {
    BYTE Cmd, Status, HaId, Flags;
    DWORD Hdr_Rsvd;
} SRB_Header;
typedef struct {
    BYTE Cmd, Status, HaId, Flags;
    DWORD Hdr_Rsvd;
    BYTE HA_Count, HA_SCSI_ID, HA_ManagerId[16], HA_Identifier[16], HA_Unique[16];
    WORD HA_Rsvd1;
} SRB_HAInquiry;
typedef struct {
    BYTE Cmd, Status, HaId, Flags;
    DWORD Hdr_Rsvd;
    BYTE Target, Lun, DeviceType, Rsvd1;
} SRB_GDEVBlock;
typedef struct {
    BYTE Cmd, Status, HaId, Flags;
    DWORD Hdr_Rsvd;
    BYTE Target, Lun;
    WORD Rsvd1;
    DWORD BufLen;
    BYTE* BufPointer;
    BYTE SenseLen, CDBLen, HaStat, TargStat;
    void* PostProc;
    BYTE Rsvd2[20];
    BYTE CDB[16];
    BYTE Sense[32];
} SRB_Exec;
#pragma pack(pop)

typedef struct {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG pad;
    UCHAR sense[32];
} SptdWithSense;

typedef struct {
    char letter;
    HANDLE handle;
    SCSI_ADDRESS address;
} Device;

static Device devices[26];
static int deviceCount = -1;
static CRITICAL_SECTION lock;

static void Scan(void) {
    char root[] = "?:\\", path[] = "\\\\.\\?:";
    DWORD drives = GetLogicalDrives(), bytes;
    deviceCount = 0;
    for (int i = 2; i < 26; ++i) {
        if (!(drives & (1u << i))) continue;
        root[0] = path[4] = (char)('A' + i);
        if (GetDriveTypeA(root) != DRIVE_CDROM) continue;
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE)
            h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE) continue;
        Device* d = &devices[deviceCount];
        memset(&d->address, 0, sizeof d->address);
        if (!DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, NULL, 0, &d->address, sizeof d->address, &bytes, NULL)) {
            CloseHandle(h);
            continue;
        }
        d->letter = root[0];
        d->handle = h;
        ++deviceCount;
    }
}

static Device* Find(BYTE ha, BYTE target, BYTE lun) {
    if (deviceCount < 0) Scan();
    for (int i = 0; i < deviceCount; ++i)
        if (devices[i].address.PortNumber == ha && devices[i].address.TargetId == target &&
            devices[i].address.Lun == lun)
            return &devices[i];
    return NULL;
}

static int AdapterCount(void) {
    int count = 0;
    if (deviceCount < 0) Scan();
    for (int i = 0; i < deviceCount; ++i)
        if (devices[i].address.PortNumber + 1 > count) count = devices[i].address.PortNumber + 1;
    return count;
}

static BYTE Execute(SRB_Exec* srb) {
    Device* d = Find(srb->HaId, srb->Target, srb->Lun);
    if (d == NULL) return SS_NO_DEVICE;
    SptdWithSense b;
    DWORD bytes = 0;
    memset(&b, 0, sizeof b);
    b.sptd.Length = sizeof b.sptd;
    b.sptd.CdbLength = srb->CDBLen;
    b.sptd.SenseInfoLength = srb->SenseLen < sizeof b.sense ? srb->SenseLen : sizeof b.sense;
    b.sptd.SenseInfoOffset = offsetof(SptdWithSense, sense);
    b.sptd.DataTransferLength = srb->BufLen;
    b.sptd.DataBuffer = srb->BufPointer;
    b.sptd.DataIn = !srb->BufLen                       ? SCSI_IOCTL_DATA_UNSPECIFIED
                    : (srb->Flags & SRB_DIR_OUT) != 0 ? SCSI_IOCTL_DATA_OUT
                                                       : SCSI_IOCTL_DATA_IN;
    b.sptd.TimeOutValue = 600;   /* ASPI has no time limit; closing a disc may take minutes */
    memcpy(b.sptd.Cdb, srb->CDB, srb->CDBLen < 16 ? srb->CDBLen : 16);
    if (!DeviceIoControl(d->handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, sizeof b, &b, sizeof b, &bytes, NULL)) {
        srb->HaStat = HASTAT_SEL_TO;
        srb->TargStat = 0;
        return SS_ERR;
    }
    srb->HaStat = 0;
    srb->TargStat = b.sptd.ScsiStatus;
    memcpy(srb->Sense, b.sense, b.sptd.SenseInfoLength);
    return b.sptd.ScsiStatus == 0 ? SS_COMP : SS_ERR;
}

__declspec(dllexport) DWORD __cdecl GetASPI32SupportInfo(void) {
    EnterCriticalSection(&lock);
    int count = AdapterCount();
    LeaveCriticalSection(&lock);
    return count ? (DWORD)((SS_COMP << 8) | count) : (DWORD)(SS_NO_ADAPTERS << 8);
}

__declspec(dllexport) DWORD __cdecl SendASPI32Command(void* request) {
    SRB_Header* h = request;
    BYTE status;
    EnterCriticalSection(&lock);
    switch (h->Cmd) {
    case SC_HA_INQUIRY: {
        SRB_HAInquiry* q = request;
        int count = AdapterCount();
        q->HA_Count = (BYTE)count;
        if (q->HaId >= count) { status = SS_INVALID_HA; break; }
        q->HA_SCSI_ID = 7;
        memcpy(q->HA_ManagerId, "SPTI-ASPI       ", 16);
        memcpy(q->HA_Identifier, "Wine SPTI       ", 16);
        memset(q->HA_Unique, 0, sizeof q->HA_Unique);
        q->HA_Unique[3] = 8;      /* targets */
        q->HA_Unique[6] = 0x01;   /* maximum transfer 64 KiB */
        status = SS_COMP;
        break;
    }
    case SC_GET_DEV_TYPE: {
        SRB_GDEVBlock* g = request;
        if (Find(g->HaId, g->Target, g->Lun) != NULL) { g->DeviceType = 5; status = SS_COMP; }
        else status = SS_NO_DEVICE;
        break;
    }
    case SC_EXEC_SCSI_CMD: {
        SRB_Exec* e = request;
        status = Execute(e);
        e->Status = status;
        LeaveCriticalSection(&lock);
        if ((e->Flags & SRB_EVENT_NOTIFY) && e->PostProc != NULL) SetEvent((HANDLE)e->PostProc);
        return status;
    }
    default:
        status = SS_INVALID_CMD;
    }
    h->Status = status;
    LeaveCriticalSection(&lock);
    return status;
}

__declspec(dllexport) DWORD __cdecl GetASPI32DLLVersion(void) { return 0x00000004; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&lock);
    return TRUE;
}
