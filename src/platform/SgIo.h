// Translation between the Windows pass-through block and the Linux SG_IO request header.
// Pure functions, so the mapping is tested without a drive.
#pragma once

#include <scsi/sg.h>

#include <cstdint>

#include "platform/WinApi.h"

namespace win {

// Builds the SG_IO header for one pass-through block. `sense` receives up to
// SenseInfoLength sense bytes; the data buffer and the CDB are referenced, not copied, so
// both must outlive the ioctl.
sg_io_hdr BuildSgIoHdr(SCSI_PASS_THROUGH_DIRECT& sptd, std::uint8_t* sense);

// Writes the outcome of a completed SG_IO request back into the block: ScsiStatus,
// SenseInfoLength (sense bytes delivered), DataTransferLength (bytes actually moved).
// Returns false for a transport failure (host adapter or driver error): the command did not
// complete at the device, whatever its status byte says.
bool CompleteFromSgIoHdr(const sg_io_hdr& hdr, SCSI_PASS_THROUGH_DIRECT& sptd);

}  // namespace win
