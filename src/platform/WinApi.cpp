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
#include "platform/SgIo.h"
#include "platform/VirtualDevice.h"

namespace win {

namespace {

// Linux SCSI mid-layer ioctls (scsi/scsi.h), spelled out here because that header's macros
// collide with the Windows names this layer provides.
constexpr unsigned long kScsiIoctlGetIdlun = 0x5382;
constexpr unsigned long kScsiIoctlGetBusNumber = 0x5386;

std::atomic<std::uint64_t> gDeviceOpens{0};

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

// "X:\" or "X:" -> upper-case letter, or 0.
char LetterOfRoot(const char* root) {
    if (root == nullptr || !std::isalpha(static_cast<unsigned char>(root[0])) || root[1] != ':')
        return 0;
    if (root[2] != '\0' && !(root[2] == '\\' && root[3] == '\0')) return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
}

// "\\.\X:" -> upper-case letter, or 0.
char LetterOfDevicePath(const char* name) {
    if (name == nullptr || std::strncmp(name, "\\\\.\\", 4) != 0) return 0;
    const char* rest = name + 4;
    if (!std::isalpha(static_cast<unsigned char>(rest[0])) || rest[1] != ':' || rest[2] != '\0')
        return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0])));
}

ScsiRequest::Direction DirectionOf(const SCSI_PASS_THROUGH_DIRECT& sptd) {
    if (sptd.DataTransferLength == 0 || sptd.DataBuffer == nullptr) return ScsiRequest::Direction::None;
    if (sptd.DataIn == SCSI_IOCTL_DATA_IN) return ScsiRequest::Direction::In;
    if (sptd.DataIn == SCSI_IOCTL_DATA_OUT) return ScsiRequest::Direction::Out;
    return ScsiRequest::Direction::None;
}

ScsiRequest RequestOf(const SCSI_PASS_THROUGH_DIRECT& sptd) {
    ScsiRequest r;
    r.cdbLength = std::min<std::uint8_t>(sptd.CdbLength, sizeof r.cdb);
    std::memcpy(r.cdb, sptd.Cdb, r.cdbLength);
    r.direction = DirectionOf(sptd);
    if (r.direction != ScsiRequest::Direction::None) {
        r.data = static_cast<std::uint8_t*>(sptd.DataBuffer);
        r.dataLength = sptd.DataTransferLength;
    }
    r.timeoutSeconds = sptd.TimeOutValue;
    return r;
}

struct PassThroughResult {
    bool ok = false;
    std::uint8_t sense[255] = {};
};

// Runs the block on a kernel device. Fills sptd's results and `out.sense`.
bool RunOnKernel(const detail::KernelDevice& dev, SCSI_PASS_THROUGH_DIRECT& sptd,
                 PassThroughResult& out, ScsiRequest& trace) {
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

bool RunOnVirtual(const detail::VirtualHandle& vh, SCSI_PASS_THROUGH_DIRECT& sptd,
                  PassThroughResult& out, ScsiRequest& request) {
    if (!detail::IsAttached(vh.device.get())) {
        detail::SetLastFailure(ERROR_GEN_FAILURE, ENODEV);
        sptd.SenseInfoLength = 0;
        sptd.DataTransferLength = 0;
        return false;
    }
    // Another handle holds the device for a job: nothing may come between its commands but an
    // INQUIRY, which changes nothing (a drive list identifies a busy drive too, as on Linux).
    if (!vh.exclusive && request.cdb[0] != 0x12 && detail::IsClaimedExclusively(vh.device.get())) {
        detail::SetLastFailure(ERROR_SHARING_VIOLATION, EBUSY);
        sptd.SenseInfoLength = 0;
        sptd.DataTransferLength = 0;
        return false;
    }
    bool ok = false;
    try {
        ok = vh.device->Execute(request);
    } catch (...) {
        // A device is an in-process stand-in for hardware; whatever it throws is a failed
        // transport, never an exception through a C-style call.
        ok = false;
    }
    const std::uint8_t senseLength =
        std::min<std::uint8_t>({request.senseLength, sptd.SenseInfoLength,
                                static_cast<std::uint8_t>(sizeof request.sense)});
    request.senseLength = senseLength;
    std::memcpy(out.sense, request.sense, senseLength);
    sptd.ScsiStatus = request.status;
    sptd.SenseInfoLength = senseLength;
    request.residual = std::min(request.residual, request.dataLength);
    sptd.DataTransferLength = request.dataLength - request.residual;
    if (!ok) detail::SetLastFailure(ERROR_GEN_FAILURE, EIO);
    return ok;
}

BOOL PassThrough(const detail::HandleObject& object, void* in, DWORD inSize, void* outBuf,
                 DWORD outSize, DWORD* bytesReturned) {
    constexpr DWORD kBlock = sizeof(SCSI_PASS_THROUGH_DIRECT);
    if (in == nullptr || outBuf == nullptr || inSize < kBlock || outSize < kBlock) {
        detail::SetLastFailure(ERROR_INVALID_PARAMETER, EINVAL);
        return FALSE;
    }
    SCSI_PASS_THROUGH_DIRECT sptd;
    std::memcpy(&sptd, in, kBlock);
    // The sense buffer must lie after the structure and inside both buffers.
    if (sptd.SenseInfoLength > 0) {
        const std::uint64_t end = std::uint64_t{sptd.SenseInfoOffset} + sptd.SenseInfoLength;
        if (sptd.SenseInfoOffset < kBlock || end > inSize || end > outSize) {
            detail::SetLastFailure(ERROR_INVALID_PARAMETER, EINVAL);
            return FALSE;
        }
    }
    if (sptd.CdbLength == 0 || sptd.CdbLength > sizeof sptd.Cdb || sptd.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED ||
        (sptd.DataTransferLength > 0 && sptd.DataBuffer == nullptr)) {
        detail::SetLastFailure(ERROR_INVALID_PARAMETER, EINVAL);
        return FALSE;
    }

    PassThroughResult result;
    ScsiRequest request = RequestOf(sptd);
    char letter = 0;
    bool ok = false;
    if (auto* kernel = std::get_if<std::shared_ptr<detail::KernelDevice>>(&object)) {
        letter = (*kernel)->letter;
        ok = RunOnKernel(**kernel, sptd, result, request);
    } else if (auto* virt = std::get_if<std::shared_ptr<detail::VirtualHandle>>(&object)) {
        letter = (*virt)->letter;
        ok = RunOnVirtual(**virt, sptd, result, request);
    } else {
        detail::SetLastFailure(ERROR_INVALID_HANDLE, EBADF);
        return FALSE;
    }

    auto* outBytes = static_cast<std::uint8_t*>(outBuf);
    if (outBuf != in) std::memcpy(outBytes + kBlock, static_cast<std::uint8_t*>(in) + kBlock,
                                  std::min(inSize, outSize) - kBlock);
    std::memcpy(outBytes, &sptd, kBlock);
    if (sptd.SenseInfoLength > 0) std::memcpy(outBytes + sptd.SenseInfoOffset, result.sense, sptd.SenseInfoLength);
    if (bytesReturned != nullptr)
        *bytesReturned = sptd.SenseInfoLength > 0 ? sptd.SenseInfoOffset + sptd.SenseInfoLength : kBlock;
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
        const auto& device = (*virt)->device;
        if (!detail::IsAttached(device.get())) {
            detail::SetLastFailure(ERROR_GEN_FAILURE, ENODEV);
            return FALSE;
        }
        if (!device->ReportsAddress()) {
            detail::SetLastFailure(ERROR_NOT_SUPPORTED, ENOTTY);
            return FALSE;
        }
        const ScsiDeviceAddress a = VirtualDeviceAddress(*device);
        address.PortNumber = a.port;
        address.PathId = a.path;
        address.TargetId = a.target;
        address.Lun = a.lun;
    } else {
        detail::SetLastFailure(ERROR_INVALID_HANDLE, EBADF);
        return FALSE;
    }
    std::memcpy(outBuf, &address, sizeof address);
    if (bytesReturned != nullptr) *bytesReturned = sizeof address;
    return TRUE;
}

struct VersionOverride {
    std::mutex mutex;
    bool active = false;
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    DWORD major = 5;
    DWORD minor = 1;
};

VersionOverride& versionOverride() {
    static VersionOverride v;
    return v;
}

}  // namespace

namespace detail {

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
    std::string strings = std::string("C:\\") + '\0';
    for (const auto& d : detail::OpticalDrives()) {
        strings += d.letter;
        strings += ":\\";
        strings += '\0';
    }
    // Windows contract: the length without the final zero on success, else the buffer size
    // needed including it.
    const auto needed = static_cast<DWORD>(strings.size() + 1);
    if (lpBuffer == nullptr || nBufferLength < needed) return needed;
    std::memcpy(lpBuffer, strings.data(), strings.size());
    lpBuffer[strings.size()] = '\0';
    return static_cast<DWORD>(strings.size());
}

UINT GetDriveTypeA(const char* lpRootPathName) {
    if (lpRootPathName == nullptr) return DRIVE_FIXED;   // the current directory's root
    const char letter = LetterOfRoot(lpRootPathName);
    if (letter == 0) return DRIVE_NO_ROOT_DIR;
    if (letter == 'C') return DRIVE_FIXED;
    return detail::OpticalDriveOfLetter(letter) ? DRIVE_CDROM : DRIVE_NO_ROOT_DIR;
}

HANDLE CreateFileA(const char* lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   void* /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/) {
    const char letter = LetterOfDevicePath(lpFileName);
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
    if (drive->device) {
        if (exclusive && !detail::ClaimExclusive(drive->device.get())) {
            detail::SetLastFailure(ERROR_SHARING_VIOLATION, EBUSY);
            return INVALID_HANDLE_VALUE;
        }
        auto handle = std::make_shared<detail::VirtualHandle>();
        handle->device = drive->device;
        handle->letter = drive->letter;
        handle->exclusive = exclusive;
        ++gDeviceOpens;
        return detail::InsertHandle(std::move(handle));
    }
    // O_NONBLOCK: an sr device opens without a disc and does not wait for the tray. O_EXCL
    // on a block device: refused while it is mounted or another program holds it so.
    const int mode = (dwDesiredAccess & GENERIC_WRITE) != 0 ? O_RDWR : O_RDONLY;
    const int fd = ::open(drive->kernelPath.c_str(), mode | O_NONBLOCK | O_CLOEXEC | (exclusive ? O_EXCL : 0));
    if (fd < 0) {
        FailWithErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    ++gDeviceOpens;
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

std::uint64_t DeviceOpenCount() { return gDeviceOpens.load(); }

// System ---------------------------------------------------------------------------------

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    // The plain record (148 bytes) or the extended one (156), as Windows accepts.
    if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
                            info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) + 8)) {
        detail::SetLastFailure(ERROR_INSUFFICIENT_BUFFER, EINVAL);
        return FALSE;
    }
    auto& v = versionOverride();
    std::lock_guard lock(v.mutex);
    info->dwPlatformId = v.active ? v.platformId : VER_PLATFORM_WIN32_NT;
    info->dwMajorVersion = v.active ? v.major : 5;
    info->dwMinorVersion = v.active ? v.minor : 1;
    info->dwBuildNumber = v.active ? 0 : 2600;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    return TRUE;
}

void SetVersionForTesting(DWORD platformId, DWORD major, DWORD minor) {
    auto& v = versionOverride();
    std::lock_guard lock(v.mutex);
    v.active = true;
    v.platformId = platformId;
    v.major = major;
    v.minor = minor;
}

void ResetVersionForTesting() {
    auto& v = versionOverride();
    std::lock_guard lock(v.mutex);
    v.active = false;
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
