// The slice of the Windows API that the SCSI and burner code is written against, implemented
// on Linux. Names, argument order and results follow the Windows contracts so that the code
// above reads like the algorithms it implements; nothing here knows about burning.
#pragma once

#include <cstddef>
#include <cstdint>

namespace win {

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using HANDLE = void*;   // pointer-sized, as on Windows
using HMODULE = void*;
using FARPROC = void (*)();

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// GetDriveTypeA results.
constexpr UINT DRIVE_UNKNOWN = 0;
constexpr UINT DRIVE_NO_ROOT_DIR = 1;
constexpr UINT DRIVE_REMOVABLE = 2;
constexpr UINT DRIVE_FIXED = 3;
constexpr UINT DRIVE_REMOTE = 4;
constexpr UINT DRIVE_CDROM = 5;
constexpr UINT DRIVE_RAMDISK = 6;

// CreateFileA arguments.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// Error codes GetLastError reports (the Windows values).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;

// Device control codes.
constexpr DWORD IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x4D014;
constexpr DWORD IOCTL_SCSI_GET_ADDRESS = 0x41018;

// SCSI_PASS_THROUGH_DIRECT.DataIn values.
constexpr BYTE SCSI_IOCTL_DATA_OUT = 0;
constexpr BYTE SCSI_IOCTL_DATA_IN = 1;
constexpr BYTE SCSI_IOCTL_DATA_UNSPECIFIED = 2;

// Windows layout and field order; DataBuffer is pointer-sized, so the published 44-byte size
// holds where pointers are 4 bytes.
struct SCSI_PASS_THROUGH_DIRECT {
    WORD Length;
    BYTE ScsiStatus;
    BYTE PathId;
    BYTE TargetId;
    BYTE Lun;
    BYTE CdbLength;
    BYTE SenseInfoLength;
    BYTE DataIn;
    DWORD DataTransferLength;
    DWORD TimeOutValue;   // seconds
    void* DataBuffer;
    DWORD SenseInfoOffset;   // from the start of this structure
    BYTE Cdb[16];
};

// The block the pass-through callers send: the structure, four zero bytes, 32 sense bytes.
struct SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER {
    SCSI_PASS_THROUGH_DIRECT sptd;
    DWORD Filler;
    BYTE SenseBuf[32];
};

struct SCSI_ADDRESS {
    DWORD Length;
    BYTE PortNumber;
    BYTE PathId;
    BYTE TargetId;
    BYTE Lun;
};

static_assert(sizeof(SCSI_ADDRESS) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20 || sizeof(void*) != 4);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44 || sizeof(void*) != 4);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER) == 80 || sizeof(void*) != 4);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuf) == 48 || sizeof(void*) != 4);

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148);

constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

// Drives and devices ---------------------------------------------------------------------
// Letters: C:\ is the root file system; optical drives get letters from D: on, first the
// kernel's optical devices (/dev/sr0, /dev/sr1, ...), then the attached virtual devices.
// CreateFileA with share mode 0 opens a device exclusively: O_EXCL on a kernel device (it
// fails with ERROR_SHARING_VIOLATION while the device is mounted or another program holds it
// so); on a virtual device no second exclusive open succeeds and no other handle may send
// commands meanwhile.
DWORD GetLogicalDriveStringsA(DWORD nBufferLength, char* lpBuffer);
UINT GetDriveTypeA(const char* lpRootPathName);
HANDLE CreateFileA(const char* lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   void* lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer, DWORD nInBufferSize,
                     void* lpOutBuffer, DWORD nOutBufferSize, DWORD* lpBytesReturned,
                     void* lpOverlapped);
BOOL CloseHandle(HANDLE hObject);

// Errors of the calling thread's last failed call, as Windows codes; GetLastErrno gives the
// underlying errno so a front end can say "permission denied on /dev/sr0" precisely.
DWORD GetLastError();
void SetLastError(DWORD code);
int GetLastErrno();

// System ---------------------------------------------------------------------------------
// Reports the NT family (5.1) unless a test overrides it.
BOOL GetVersionExA(OSVERSIONINFOA* lpVersionInformation);

// Libraries: LoadLibraryA is dlopen; a bare name is searched like any shared library.
HMODULE LoadLibraryA(const char* lpLibFileName);
FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName);
BOOL FreeLibrary(HMODULE hLibModule);

// Events ---------------------------------------------------------------------------------
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

HANDLE CreateEventA(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState, const char* lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

}  // namespace win
