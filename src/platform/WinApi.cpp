// Drives, device handles, pass-through, errors, version and libraries on Linux.
#include "platform/WinApi.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>

#include "platform/DriveRegistry.h"
#include "platform/HandleTable.h"
#include "platform/PassThrough.h"
#include "platform/SgIo.h"
#include "platform/VirtualDevice.h"

namespace win {

namespace {

// Linux SCSI mid-layer ioctls (scsi/scsi.h), spelled out here because that header's macros
// collide with the Windows names this layer provides.
constexpr unsigned long kScsiIoctlGetIdlun = 0x5382;
constexpr unsigned long kScsiIoctlGetBusNumber = 0x5386;

thread_local DWORD tLastError = ERROR_SUCCESS;
thread_local int tLastErrno = 0;

DWORD ErrorOfErrno(int e) {
    switch (e) {
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case EBUSY:
        return ERROR_SHARING_VIOLATION;
    default:
        return ERROR_GEN_FAILURE;
    }
}

void FailWithErrno(int e) { detail::SetLastFailure(ErrorOfErrno(e), e); }

// Runs the block on a kernel device. Fills sptd's results and `out.sense`.
bool RunOnKernel(const detail::KernelDevice& dev, SCSI_PASS_THROUGH_DIRECT& sptd,
                 detail::PassThroughResult& out, ScsiRequest& trace) {
    sg_io_hdr hdr = BuildSgIoHdr(sptd, out.sense);
    if (::ioctl(dev.fd, SG_IO, &hdr) < 0) {
        const int e = errno;
        FailWithErrno(e);
        sptd.SenseInfoLength = 0;
        sptd.DataTransferLength = 0;
        return false;
    }
    const bool ok = CompleteFromSgIoHdr(hdr, sptd);
    if (!ok) detail::SetLastFailure(ERROR_GEN_FAILURE, EIO);
    trace.status = sptd.ScsiStatus;
    trace.senseLength = std::min<std::uint8_t>(sptd.SenseInfoLength, sizeof trace.sense);
    std::memcpy(trace.sense, out.sense, trace.senseLength);
    trace.residual = trace.dataLength - std::min(trace.dataLength, sptd.DataTransferLength);
    return ok;
}

BOOL PassThrough(const detail::HandleObject& object, void* in, DWORD inSize, void* outBuf,
                 DWORD outSize, DWORD* bytesReturned) {
    SCSI_PASS_THROUGH_DIRECT sptd;
    if (!detail::ReadPassThroughBlock(in, inSize, outBuf, outSize, sptd)) return FALSE;

    detail::PassThroughResult result;
    ScsiRequest request = detail::RequestOf(sptd);
    char letter = 0;
    bool ok = false;
    if (auto* kernel = std::get_if<std::shared_ptr<detail::KernelDevice>>(&object)) {
        letter = (*kernel)->letter;
        ok = RunOnKernel(**kernel, sptd, result, request);
    } else if (auto* virt = std::get_if<std::shared_ptr<detail::VirtualHandle>>(&object)) {
        letter = (*virt)->letter;
        ok = detail::RunOnVirtual(**virt, sptd, result, request);
    } else {
        detail::SetLastFailure(ERROR_INVALID_HANDLE, EBADF);
        return FALSE;
    }
    detail::WritePassThroughResult(in, inSize, outBuf, outSize, sptd, result, bytesReturned);
    detail::Trace(letter, request, ok);
    return ok ? TRUE : FALSE;
}

BOOL GetAddress(const detail::HandleObject& object, void* outBuf, DWORD outSize, DWORD* bytesReturned) {
    if (outBuf == nullptr || outSize < sizeof(SCSI_ADDRESS)) {
        detail::SetLastFailure(ERROR_INSUFFICIENT_BUFFER, EINVAL);
        return FALSE;
    }
    SCSI_ADDRESS address{};
    address.Length = sizeof(SCSI_ADDRESS);
    if (auto* kernel = std::get_if<std::shared_ptr<detail::KernelDevice>>(&object)) {
        struct {
            int dev_id;
            int host_unique_id;
        } idlun{};
        if (::ioctl((*kernel)->fd, kScsiIoctlGetIdlun, &idlun) < 0) {
            FailWithErrno(errno);
            return FALSE;
        }
        const auto id = static_cast<unsigned>(idlun.dev_id);
        int host = 0;
        address.PortNumber = ::ioctl((*kernel)->fd, kScsiIoctlGetBusNumber, &host) == 0
                                 ? static_cast<BYTE>(host)
                                 : static_cast<BYTE>((id >> 24) & 0xff);
        address.PathId = static_cast<BYTE>((id >> 16) & 0xff);
        address.TargetId = static_cast<BYTE>(id & 0xff);
        address.Lun = static_cast<BYTE>((id >> 8) & 0xff);
    } else if (auto* virt = std::get_if<std::shared_ptr<detail::VirtualHandle>>(&object)) {
        return detail::VirtualAddress(**virt, outBuf, outSize, bytesReturned);
    } else {
        detail::SetLastFailure(ERROR_INVALID_HANDLE, EBADF);
        return FALSE;
    }
    std::memcpy(outBuf, &address, sizeof address);
    if (bytesReturned != nullptr) *bytesReturned = sizeof address;
    return TRUE;
}

}  // namespace

namespace detail {

KernelDevice::~KernelDevice() {
    if (fd >= 0) ::close(fd);
}

void SetLastFailure(DWORD code, int errnoValue) {
    tLastError = code;
    tLastErrno = errnoValue;
}

}  // namespace detail

// Errors ---------------------------------------------------------------------------------

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD code) { tLastError = code; }
int GetLastErrno() { return tLastErrno; }

// Drives ---------------------------------------------------------------------------------

DWORD GetLogicalDriveStringsA(DWORD nBufferLength, char* lpBuffer) {
    std::string letters = "C";
    for (const auto& d : detail::OpticalDrives()) letters += d.letter;
    return detail::PackDriveStrings(letters, nBufferLength, lpBuffer);
}

UINT GetDriveTypeA(const char* lpRootPathName) {
    if (lpRootPathName == nullptr) return DRIVE_FIXED;   // the current directory's root
    const char letter = detail::LetterOfRoot(lpRootPathName);
    if (letter == 0) return DRIVE_NO_ROOT_DIR;
    if (letter == 'C') return DRIVE_FIXED;
    return detail::OpticalDriveOfLetter(letter) ? DRIVE_CDROM : DRIVE_NO_ROOT_DIR;
}

HANDLE CreateFileA(const char* lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   void* /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/) {
    const char letter = detail::LetterOfDevicePath(lpFileName);
    if (letter == 0 || dwCreationDisposition != OPEN_EXISTING) {
        detail::SetLastFailure(letter == 0 ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PARAMETER,
                               letter == 0 ? ENOENT : EINVAL);
        return INVALID_HANDLE_VALUE;
    }
    const auto drive = detail::OpticalDriveOfLetter(letter);
    if (!drive) {
        detail::SetLastFailure(ERROR_FILE_NOT_FOUND, ENOENT);
        return INVALID_HANDLE_VALUE;
    }
    const bool exclusive = dwShareMode == 0;
    if (drive->device) return detail::OpenVirtual(drive->device, drive->letter, exclusive);
    // O_NONBLOCK: an sr device opens without a disc and does not wait for the tray. O_EXCL
    // on a block device: refused while it is mounted or another program holds it so.
    const int mode = (dwDesiredAccess & GENERIC_WRITE) != 0 ? O_RDWR : O_RDONLY;
    const int fd = ::open(drive->kernelPath.c_str(), mode | O_NONBLOCK | O_CLOEXEC | (exclusive ? O_EXCL : 0));
    if (fd < 0) {
        FailWithErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    detail::CountDeviceOpen();
    return detail::InsertHandle(std::make_shared<detail::KernelDevice>(fd, drive->letter));
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer, DWORD nInBufferSize,
                     void* lpOutBuffer, DWORD nOutBufferSize, DWORD* lpBytesReturned,
                     void* /*lpOverlapped*/) {
    detail::HandleObject object;
    if (!detail::LookupHandle(hDevice, object) ||
        std::holds_alternative<std::shared_ptr<detail::Event>>(object)) {
        detail::SetLastFailure(ERROR_INVALID_HANDLE, EBADF);
        return FALSE;
    }
    if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
    switch (dwIoControlCode) {
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return PassThrough(object, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                           lpBytesReturned);
    case IOCTL_SCSI_GET_ADDRESS:
        return GetAddress(object, lpOutBuffer, nOutBufferSize, lpBytesReturned);
    default:
        detail::SetLastFailure(ERROR_NOT_SUPPORTED, ENOTTY);
        return FALSE;
    }
}

BOOL CloseHandle(HANDLE hObject) {
    if (!detail::RemoveHandle(hObject)) {
        detail::SetLastFailure(ERROR_INVALID_HANDLE, EBADF);
        return FALSE;
    }
    return TRUE;
}

// System ---------------------------------------------------------------------------------

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    // The plain record (148 bytes) or the extended one (156), as Windows accepts.
    if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
                            info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) + 8)) {
        detail::SetLastFailure(ERROR_INSUFFICIENT_BUFFER, EINVAL);
        return FALSE;
    }
    DWORD platformId = VER_PLATFORM_WIN32_NT, major = 5, minor = 1;
    const bool overridden = detail::VersionOverride(platformId, major, minor);
    info->dwPlatformId = platformId;
    info->dwMajorVersion = major;
    info->dwMinorVersion = minor;
    info->dwBuildNumber = overridden ? 0 : 2600;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    return TRUE;
}

// Libraries ------------------------------------------------------------------------------

HMODULE LoadLibraryA(const char* lpLibFileName) {
    if (lpLibFileName == nullptr) {
        detail::SetLastFailure(ERROR_INVALID_PARAMETER, EINVAL);
        return nullptr;
    }
    void* module = ::dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) detail::SetLastFailure(ERROR_MOD_NOT_FOUND, ENOENT);
    return module;
}

FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName) {
    if (hModule == nullptr || lpProcName == nullptr) {
        detail::SetLastFailure(ERROR_INVALID_HANDLE, EINVAL);
        return nullptr;
    }
    void* symbol = ::dlsym(hModule, lpProcName);
    if (symbol == nullptr) {
        detail::SetLastFailure(ERROR_PROC_NOT_FOUND, ENOENT);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE hLibModule) {
    if (hLibModule == nullptr || ::dlclose(hLibModule) != 0) {
        detail::SetLastFailure(ERROR_INVALID_HANDLE, EINVAL);
        return FALSE;
    }
    return TRUE;
}

}  // namespace win
