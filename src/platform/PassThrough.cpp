// The operating-system-independent half of the pass-through calls: the caller's block, the
// in-process devices, the version override. Compiled on Linux and on Windows.
#include "platform/PassThrough.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/DriveRegistry.h"

namespace win::detail {

namespace {

std::atomic<std::uint64_t> gDeviceOpens{0};

ScsiRequest::Direction DirectionOf(const SCSI_PASS_THROUGH_DIRECT& sptd) {
    if (sptd.DataTransferLength == 0 || sptd.DataBuffer == nullptr) return ScsiRequest::Direction::None;
    if (sptd.DataIn == SCSI_IOCTL_DATA_IN) return ScsiRequest::Direction::In;
    if (sptd.DataIn == SCSI_IOCTL_DATA_OUT) return ScsiRequest::Direction::Out;
    return ScsiRequest::Direction::None;
}

struct VersionOverrideState {
    std::mutex mutex;
    bool active = false;
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    DWORD major = 5;
    DWORD minor = 1;
};

VersionOverrideState& versionOverride() {
    static VersionOverrideState v;
    return v;
}

}  // namespace

char LetterOfRoot(const char* root) {
    if (root == nullptr || !std::isalpha(static_cast<unsigned char>(root[0])) || root[1] != ':')
        return 0;
    if (root[2] != '\0' && !(root[2] == '\\' && root[3] == '\0')) return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
}

char LetterOfDevicePath(const char* name) {
    if (name == nullptr || std::strncmp(name, "\\\\.\\", 4) != 0) return 0;
    const char* rest = name + 4;
    if (!std::isalpha(static_cast<unsigned char>(rest[0])) || rest[1] != ':' || rest[2] != '\0')
        return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0])));
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

bool ReadPassThroughBlock(const void* in, DWORD inSize, const void* outBuf, DWORD outSize,
                          SCSI_PASS_THROUGH_DIRECT& sptd) {
    constexpr DWORD kBlock = sizeof(SCSI_PASS_THROUGH_DIRECT);
    if (in == nullptr || outBuf == nullptr || inSize < kBlock || outSize < kBlock) {
        SetLastFailure(ERROR_INVALID_PARAMETER, EINVAL);
        return false;
    }
    std::memcpy(&sptd, in, kBlock);
    // The sense buffer must lie after the structure and inside both buffers.
    if (sptd.SenseInfoLength > 0) {
        const std::uint64_t end = std::uint64_t{sptd.SenseInfoOffset} + sptd.SenseInfoLength;
        if (sptd.SenseInfoOffset < kBlock || end > inSize || end > outSize) {
            SetLastFailure(ERROR_INVALID_PARAMETER, EINVAL);
            return false;
        }
    }
    if (sptd.CdbLength == 0 || sptd.CdbLength > sizeof sptd.Cdb || sptd.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED ||
        (sptd.DataTransferLength > 0 && sptd.DataBuffer == nullptr)) {
        SetLastFailure(ERROR_INVALID_PARAMETER, EINVAL);
        return false;
    }
    return true;
}

bool RunOnVirtual(const VirtualHandle& vh, SCSI_PASS_THROUGH_DIRECT& sptd, PassThroughResult& out,
                  ScsiRequest& request) {
    if (!IsAttached(vh.device.get())) {
        SetLastFailure(ERROR_GEN_FAILURE, ENODEV);
        sptd.SenseInfoLength = 0;
        sptd.DataTransferLength = 0;
        return false;
    }
    // Another handle holds the device for a job: nothing may come between its commands, not
    // even an INQUIRY (a drive list names a busy drive without asking it).
    if (!vh.exclusive && IsClaimedExclusively(vh.device.get())) {
        SetLastFailure(ERROR_SHARING_VIOLATION, EBUSY);
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
    if (!ok) SetLastFailure(ERROR_GEN_FAILURE, EIO);
    return ok;
}

void WritePassThroughResult(const void* in, DWORD inSize, void* outBuf, DWORD outSize,
                            const SCSI_PASS_THROUGH_DIRECT& sptd, const PassThroughResult& result,
                            DWORD* bytesReturned) {
    constexpr DWORD kBlock = sizeof(SCSI_PASS_THROUGH_DIRECT);
    auto* outBytes = static_cast<std::uint8_t*>(outBuf);
    if (outBuf != in) std::memcpy(outBytes + kBlock, static_cast<const std::uint8_t*>(in) + kBlock,
                                  std::min(inSize, outSize) - kBlock);
    std::memcpy(outBytes, &sptd, kBlock);
    if (sptd.SenseInfoLength > 0) std::memcpy(outBytes + sptd.SenseInfoOffset, result.sense, sptd.SenseInfoLength);
    if (bytesReturned != nullptr)
        *bytesReturned = sptd.SenseInfoLength > 0 ? sptd.SenseInfoOffset + sptd.SenseInfoLength : kBlock;
}

BOOL VirtualAddress(const VirtualHandle& vh, void* outBuf, DWORD outSize, DWORD* bytesReturned) {
    if (outBuf == nullptr || outSize < sizeof(SCSI_ADDRESS)) {
        SetLastFailure(ERROR_INSUFFICIENT_BUFFER, EINVAL);
        return FALSE;
    }
    const auto& device = vh.device;
    if (!IsAttached(device.get())) {
        SetLastFailure(ERROR_GEN_FAILURE, ENODEV);
        return FALSE;
    }
    if (!device->ReportsAddress()) {
        SetLastFailure(ERROR_NOT_SUPPORTED, ENOTTY);
        return FALSE;
    }
    const ScsiDeviceAddress a = VirtualDeviceAddress(*device);
    SCSI_ADDRESS address{};
    address.Length = sizeof(SCSI_ADDRESS);
    address.PortNumber = a.port;
    address.PathId = a.path;
    address.TargetId = a.target;
    address.Lun = a.lun;
    std::memcpy(outBuf, &address, sizeof address);
    if (bytesReturned != nullptr) *bytesReturned = sizeof address;
    return TRUE;
}

bool VersionOverride(DWORD& platformId, DWORD& major, DWORD& minor) {
    auto& v = versionOverride();
    std::lock_guard lock(v.mutex);
    if (!v.active) return false;
    platformId = v.platformId;
    major = v.major;
    minor = v.minor;
    return true;
}

void CountDeviceOpen() { ++gDeviceOpens; }

HANDLE OpenVirtual(const std::shared_ptr<VirtualScsiDevice>& device, char letter, bool exclusive) {
    if (exclusive && !ClaimExclusive(device.get())) {
        SetLastFailure(ERROR_SHARING_VIOLATION, EBUSY);
        return INVALID_HANDLE_VALUE;
    }
    auto handle = std::make_shared<VirtualHandle>();
    handle->device = device;
    handle->letter = letter;
    handle->exclusive = exclusive;
    CountDeviceOpen();
    return InsertHandle(std::move(handle));
}

DWORD PackDriveStrings(const std::string& letters, DWORD bufferLength, char* buffer) {
    std::string strings;
    for (const char letter : letters) {
        strings += letter;
        strings += ":\\";
        strings += '\0';
    }
    const auto needed = static_cast<DWORD>(strings.size() + 1);
    if (buffer == nullptr || bufferLength < needed) return needed;
    std::memcpy(buffer, strings.data(), strings.size());
    buffer[strings.size()] = '\0';
    return static_cast<DWORD>(strings.size());
}

}  // namespace win::detail

namespace win {

std::uint64_t DeviceOpenCount() { return detail::gDeviceOpens.load(); }

void SetVersionForTesting(DWORD platformId, DWORD major, DWORD minor) {
    auto& v = detail::versionOverride();
    std::lock_guard lock(v.mutex);
    v.active = true;
    v.platformId = platformId;
    v.major = major;
    v.minor = minor;
}

void ResetVersionForTesting() {
    auto& v = detail::versionOverride();
    std::lock_guard lock(v.mutex);
    v.active = false;
}

}  // namespace win
