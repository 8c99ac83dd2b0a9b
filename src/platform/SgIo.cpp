#include "platform/SgIo.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace win {

namespace {

// Driver byte of sg_io_hdr.driver_status (the high nibble held retry suggestions in old
// kernels and is ignored). DRIVER_SENSE only says that sense data came back.
constexpr unsigned kDriverByteMask = 0x0f;
constexpr unsigned kDriverSense = 0x08;

}  // namespace

sg_io_hdr BuildSgIoHdr(SCSI_PASS_THROUGH_DIRECT& sptd, std::uint8_t* sense) {
    sg_io_hdr hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    hdr.cmd_len = static_cast<unsigned char>(std::min<unsigned>(sptd.CdbLength, sizeof sptd.Cdb));
    hdr.cmdp = sptd.Cdb;
    if (sptd.DataTransferLength == 0 || sptd.DataBuffer == nullptr) {
        hdr.dxfer_direction = SG_DXFER_NONE;
    } else if (sptd.DataIn == SCSI_IOCTL_DATA_IN) {
        hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    } else if (sptd.DataIn == SCSI_IOCTL_DATA_OUT) {
        hdr.dxfer_direction = SG_DXFER_TO_DEV;
    } else {
        hdr.dxfer_direction = SG_DXFER_NONE;
    }
    if (hdr.dxfer_direction != SG_DXFER_NONE) {
        hdr.dxfer_len = sptd.DataTransferLength;
        hdr.dxferp = sptd.DataBuffer;
    }
    hdr.mx_sb_len = sense != nullptr ? sptd.SenseInfoLength : 0;
    hdr.sbp = sense;
    // Seconds to milliseconds, saturating; 0 lets the kernel apply its default time-out.
    constexpr std::uint64_t kMaxMs = std::numeric_limits<unsigned int>::max();
    hdr.timeout = static_cast<unsigned int>(
        std::min<std::uint64_t>(std::uint64_t{sptd.TimeOutValue} * 1000u, kMaxMs));
    return hdr;
}

bool CompleteFromSgIoHdr(const sg_io_hdr& hdr, SCSI_PASS_THROUGH_DIRECT& sptd) {
    sptd.ScsiStatus = hdr.status;
    sptd.SenseInfoLength = std::min(hdr.sb_len_wr, hdr.mx_sb_len);
    if (hdr.dxfer_direction == SG_DXFER_NONE) {
        sptd.DataTransferLength = 0;
    } else {
        // A residual outside 0..dxfer_len is nonsense from the driver; never report more
        // than was offered.
        const auto resid = static_cast<unsigned>(std::max(hdr.resid, 0));
        sptd.DataTransferLength = hdr.dxfer_len - std::min(resid, hdr.dxfer_len);
    }
    const unsigned driverByte = hdr.driver_status & kDriverByteMask;
    return hdr.host_status == 0 && (driverByte == 0 || driverByte == kDriverSense);
}

}  // namespace win
