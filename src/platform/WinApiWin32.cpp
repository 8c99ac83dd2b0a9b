// Drives, device handles, pass-through, errors, version, libraries and events on Windows: the
// real API, with the attached virtual devices reached in-process under drive letters of their
// own (the same registry as on Linux).
#include "platform/WinApi.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <variant>

#include "platform/DriveRegistry.h"
#include "platform/HandleTable.h"
#include "platform/PassThrough.h"
#include "platform/VirtualDevice.h"

namespace {
// The layer's constants, captured before windows.h's macros of the same names hide them.
constexpr win::DWORD kOwnPassThrough = win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
constexpr win::DWORD kOwnGetAddress = win::IOCTL_SCSI_GET_ADDRESS;
constexpr win::UINT kOwnCdRom = win::DRIVE_CDROM;
constexpr win::DWORD kOwnGenericWrite = win::GENERIC_WRITE;
constexpr win::DWORD kOwnSharingViolation = win::ERROR_SHARING_VIOLATION;
constexpr win::DWORD kOwnWaitTimeout = win::WAIT_TIMEOUT;
constexpr win::DWORD kOwnInfinite = win::INFINITE;
}  // namespace

// After the layer's own header: windows.h defines macros (TRUE, INFINITE, ERROR_SUCCESS, ...)
// that would clash with its constants. Below, the real API is always called as ::Name.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

namespace win {

// The layer's records are handed to the real calls as they are.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == sizeof(::SCSI_PASS_THROUGH_DIRECT));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Length) == offsetof(::SCSI_PASS_THROUGH_DIRECT, Length));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == offsetof(::SCSI_PASS_THROUGH_DIRECT, ScsiStatus));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == offsetof(::SCSI_PASS_THROUGH_DIRECT, CdbLength));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) ==
              offsetof(::SCSI_PASS_THROUGH_DIRECT, SenseInfoLength));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == offsetof(::SCSI_PASS_THROUGH_DIRECT, DataIn));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) ==
              offsetof(::SCSI_PASS_THROUGH_DIRECT, DataTransferLength));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == offsetof(::SCSI_PASS_THROUGH_DIRECT, TimeOutValue));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == offsetof(::SCSI_PASS_THROUGH_DIRECT, DataBuffer));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) ==
              offsetof(::SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == offsetof(::SCSI_PASS_THROUGH_DIRECT, Cdb));
static_assert(sizeof(SCSI_ADDRESS) == sizeof(::SCSI_ADDRESS));
static_assert(offsetof(SCSI_ADDRESS, PortNumber) == offsetof(::SCSI_ADDRESS, PortNumber));
static_assert(offsetof(SCSI_ADDRESS, Lun) == offsetof(::SCSI_ADDRESS, Lun));
static_assert(sizeof(OSVERSIONINFOA) == sizeof(::OSVERSIONINFOA));
static_assert(offsetof(OSVERSIONINFOA, dwPlatformId) == offsetof(::OSVERSIONINFOA, dwPlatformId));
static_assert(offsetof(OSVERSIONINFOA, szCSDVersion) == offsetof(::OSVERSIONINFOA, szCSDVersion));
static_assert(kOwnPassThrough == IOCTL_SCSI_PASS_THROUGH_DIRECT && kOwnGetAddress == IOCTL_SCSI_GET_ADDRESS);
static_assert(kOwnCdRom == DRIVE_CDROM && kOwnGenericWrite == GENERIC_WRITE);
static_assert(kOwnSharingViolation == ERROR_SHARING_VIOLATION && kOwnWaitTimeout == WAIT_TIMEOUT &&
              kOwnInfinite == INFINITE);

namespace {

thread_local int tLastErrno = 0;

// The errno a front end explains a Windows error with.
int ErrnoOfError(::DWORD code) {
    switch (code) {
    case ERROR_SUCCESS: return 0;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return EBUSY;
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST: return ENODEV;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_INVALID_PARAMETER: return EINVAL;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION: return ENOTTY;
    default: return EIO;
    }
}

// After a failed real call: GetLastError stays, GetLastErrno follows it.
// The thread_local is written first: reaching it may reset the system's last error (TlsGetValue).
void NoteSystemFailure() {
    const ::DWORD code = ::GetLastError();
    tLastErrno = ErrnoOfError(code);
    ::SetLastError(code);
}

bool IsOwnHandle(HANDLE handle, detail::HandleObject& object) { return detail::LookupHandle(handle, object); }

BOOL PassThroughOnKernel(const detail::KernelDevice& dev, void* in, DWORD inSize, void* outBuf, DWORD outSize,
                         DWORD* bytesReturned) {
    SCSI_PASS_THROUGH_DIRECT sptd;
    if (!detail::ReadPassThroughBlock(in, inSize, outBuf, outSize, sptd)) return FALSE;
    ScsiRequest request = detail::RequestOf(sptd);
    ::DWORD returned = 0;
    const bool ok = ::DeviceIoControl(dev.fd, IOCTL_SCSI_PASS_THROUGH_DIRECT, in, inSize, outBuf, outSize, &returned,
                                      nullptr) != 0;
    if (!ok) NoteSystemFailure();
    if (bytesReturned != nullptr) *bytesReturned = returned;
    SCSI_PASS_THROUGH_DIRECT done;
    std::memcpy(&done, outBuf, sizeof done);
    if (ok) {
        request.status = done.ScsiStatus;
        request.senseLength = std::min<std::uint8_t>(done.SenseInfoLength, sizeof request.sense);
        if (request.senseLength > 0 && done.SenseInfoOffset >= sizeof done &&
            std::uint64_t{done.SenseInfoOffset} + request.senseLength <= outSize)
            std::memcpy(request.sense, static_cast<const std::uint8_t*>(outBuf) + done.SenseInfoOffset,
                        request.senseLength);
        else
            request.senseLength = 0;
        request.residual = request.dataLength - std::min(request.dataLength, done.DataTransferLength);
    }
    detail::Trace(dev.letter, request, ok);
    return ok ? TRUE : FALSE;
}

BOOL PassThroughOnVirtual(const detail::VirtualHandle& vh, void* in, DWORD inSize, void* outBuf, DWORD outSize,
                          DWORD* bytesReturned) {
    SCSI_PASS_THROUGH_DIRECT sptd;
    if (!detail::ReadPassThroughBlock(in, inSize, outBuf, outSize, sptd)) return FALSE;
    detail::PassThroughResult result;
    ScsiRequest request = detail::RequestOf(sptd);
    const bool ok = detail::RunOnVirtual(vh, sptd, result, request);
    detail::WritePassThroughResult(in, inSize, outBuf, outSize, sptd, result, bytesReturned);
    detail::Trace(vh.letter, request, ok);
    return ok ? TRUE : FALSE;
}

}  // namespace

namespace detail {

KernelDevice::~KernelDevice() {
    if (fd != nullptr && fd != INVALID_HANDLE_VALUE) ::CloseHandle(fd);
}

void SetLastFailure(DWORD code, int errnoValue) {
    tLastErrno = errnoValue;
    ::SetLastError(code);
}

}  // namespace detail

// Errors ---------------------------------------------------------------------------------

DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD code) {
    tLastErrno = ErrnoOfError(code);
    ::SetLastError(code);
}
int GetLastErrno() { return tLastErrno; }

// Drives ---------------------------------------------------------------------------------

DWORD GetLogicalDriveStringsA(DWORD nBufferLength, char* lpBuffer) {
    std::uint32_t mask = ::GetLogicalDrives();
    for (const auto& d : detail::OpticalDrives()) mask |= detail::LetterBit(d.letter);
    std::string letters;
    for (char letter = 'A'; letter <= 'Z'; ++letter)
        if ((mask & detail::LetterBit(letter)) != 0) letters += letter;
    return detail::PackDriveStrings(letters, nBufferLength, lpBuffer);
}

UINT GetDriveTypeA(const char* lpRootPathName) {
    const char letter = detail::LetterOfRoot(lpRootPathName);
    if (letter != 0)
        if (const auto drive = detail::OpticalDriveOfLetter(letter); drive && drive->device) return DRIVE_CDROM;
    return ::GetDriveTypeA(lpRootPathName);
}

HANDLE CreateFileA(const char* lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, void* lpSecurityAttributes,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    const char letter = detail::LetterOfDevicePath(lpFileName);
    const auto drive = letter != 0 ? detail::OpticalDriveOfLetter(letter) : std::nullopt;
    if (drive && drive->device) {
        if (dwCreationDisposition != OPEN_EXISTING) {
            detail::SetLastFailure(ERROR_INVALID_PARAMETER, EINVAL);
            return INVALID_HANDLE_VALUE;
        }
        return detail::OpenVirtual(drive->device, drive->letter, dwShareMode == 0);
    }
    // A share mode of 0 opens the drive exclusively: ERROR_SHARING_VIOLATION while another
    // program (or a mounted file system's user) holds it.
    ::HANDLE real = ::CreateFileA(lpFileName, dwDesiredAccess, dwShareMode,
                                  static_cast<LPSECURITY_ATTRIBUTES>(lpSecurityAttributes), dwCreationDisposition,
                                  dwFlagsAndAttributes, hTemplateFile);
    if (real == INVALID_HANDLE_VALUE) {
        NoteSystemFailure();
        return INVALID_HANDLE_VALUE;
    }
    if (drive) detail::CountDeviceOpen();
    // Kept in the handle table too, so its commands are traced under their letter.
    return detail::InsertHandle(std::make_shared<detail::KernelDevice>(real, letter));
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer, DWORD nInBufferSize, void* lpOutBuffer,
                     DWORD nOutBufferSize, DWORD* lpBytesReturned, void* lpOverlapped) {
    detail::HandleObject object;
    if (!IsOwnHandle(hDevice, object)) {
        // A handle of the system's own (not opened through this layer).
        ::DWORD returned = 0;
        const BOOL ok = ::DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                          nOutBufferSize, &returned, static_cast<LPOVERLAPPED>(lpOverlapped));
        if (!ok) NoteSystemFailure();
        if (lpBytesReturned != nullptr) *lpBytesReturned = returned;
        return ok;
    }
    if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
    if (auto* kernel = std::get_if<std::shared_ptr<detail::KernelDevice>>(&object)) {
        if (dwIoControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT)
            return PassThroughOnKernel(**kernel, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                                       lpBytesReturned);
        ::DWORD returned = 0;
        const BOOL ok = ::DeviceIoControl((*kernel)->fd, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                          nOutBufferSize, &returned, static_cast<LPOVERLAPPED>(lpOverlapped));
        if (!ok) NoteSystemFailure();
        if (lpBytesReturned != nullptr) *lpBytesReturned = returned;
        return ok;
    }
    if (auto* virt = std::get_if<std::shared_ptr<detail::VirtualHandle>>(&object)) {
        switch (dwIoControlCode) {
        case IOCTL_SCSI_PASS_THROUGH_DIRECT:
            return PassThroughOnVirtual(**virt, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                                        lpBytesReturned);
        case IOCTL_SCSI_GET_ADDRESS:
            return detail::VirtualAddress(**virt, lpOutBuffer, nOutBufferSize, lpBytesReturned);
        default:
            detail::SetLastFailure(ERROR_NOT_SUPPORTED, ENOTTY);
            return FALSE;
        }
    }
    detail::SetLastFailure(ERROR_INVALID_HANDLE, EBADF);
    return FALSE;
}

BOOL CloseHandle(HANDLE hObject) {
    if (detail::RemoveHandle(hObject)) return TRUE;
    if (::CloseHandle(hObject) == 0) {
        NoteSystemFailure();
        return FALSE;
    }
    return TRUE;
}

// System ---------------------------------------------------------------------------------

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    if (info == nullptr) {
        detail::SetLastFailure(ERROR_INVALID_PARAMETER, EINVAL);
        return FALSE;
    }
    // The system decides, unless a test has made the layer report another platform.
    if (!::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(info))) {
        NoteSystemFailure();
        return FALSE;
    }
    DWORD platformId = 0, major = 0, minor = 0;
    if (detail::VersionOverride(platformId, major, minor)) {
        info->dwPlatformId = platformId;
        info->dwMajorVersion = major;
        info->dwMinorVersion = minor;
        info->dwBuildNumber = 0;
        std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    }
    return TRUE;
}

// Libraries ------------------------------------------------------------------------------

HMODULE LoadLibraryA(const char* lpLibFileName) {
    ::HMODULE module = ::LoadLibraryA(lpLibFileName);
    if (module == nullptr) NoteSystemFailure();
    return reinterpret_cast<HMODULE>(module);
}

FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName) {
    if (hModule == nullptr || lpProcName == nullptr) {
        detail::SetLastFailure(ERROR_INVALID_HANDLE, EINVAL);
        return nullptr;
    }
    const ::FARPROC symbol = ::GetProcAddress(static_cast<::HMODULE>(hModule), lpProcName);
    if (symbol == nullptr) NoteSystemFailure();
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE hLibModule) {
    if (hLibModule == nullptr || ::FreeLibrary(static_cast<::HMODULE>(hLibModule)) == 0) {
        if (hLibModule == nullptr) detail::SetLastFailure(ERROR_INVALID_HANDLE, EINVAL);
        else NoteSystemFailure();
        return FALSE;
    }
    return TRUE;
}

// Events ---------------------------------------------------------------------------------
// Real events: an ASPI library signals them from its own threads.

HANDLE CreateEventA(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState, const char* lpName) {
    ::HANDLE event = ::CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(lpEventAttributes), bManualReset,
                                    bInitialState, lpName);
    if (event == nullptr) NoteSystemFailure();
    return event;
}

BOOL SetEvent(HANDLE hEvent) {
    const BOOL ok = ::SetEvent(hEvent);
    if (!ok) NoteSystemFailure();
    return ok;
}

BOOL ResetEvent(HANDLE hEvent) {
    const BOOL ok = ::ResetEvent(hEvent);
    if (!ok) NoteSystemFailure();
    return ok;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    const ::DWORD result = ::WaitForSingleObject(hHandle, dwMilliseconds);
    if (result == WAIT_FAILED) NoteSystemFailure();
    return result;
}

}  // namespace win
