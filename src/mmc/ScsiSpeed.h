// The drive commands of write speed, medium profile and tray loading: SET CD SPEED (BBh),
// SET STREAMING (B6h), GET PERFORMANCE (ACh, write speed descriptors), GET CONFIGURATION (46h,
// the current profile only) and the selected write speed of the capabilities page.
#pragma once

#include <cstdint>
#include <vector>

#include "scsi/SCSITypes.h"
#include "scsi/zqSCSI.h"

// SET CD SPEED: speeds in kB/s (1000 bytes), FFFFh the drive's best.
inline constexpr std::uint16_t kScsiSpeedMax = 0xFFFF;
TScsiError ScsiSetCDSpeed(const TCDBurnerInfo& Info, std::uint16_t ReadKBs, std::uint16_t WriteKBs,
                          TScsiDefaults& Defaults);

// SET STREAMING with one performance descriptor (MMC 6.47): the whole disc (0 .. EndLBA) read
// and written at the given kB/s. RestoreDefaults (RDD) asks for the drive's own defaults.
TScsiError ScsiSetStreaming(const TCDBurnerInfo& Info, std::uint32_t EndLBA, std::uint32_t ReadKBs,
                            std::uint32_t WriteKBs, bool RestoreDefaults, TScsiDefaults& Defaults);

// One write speed descriptor of GET PERFORMANCE type 03h.
struct TScsiWriteSpeedDescriptor {
    std::uint8_t Flags = 0;          // byte 0: WRC, RDD, Exact, MRW
    std::uint32_t EndLBA = 0;
    std::uint32_t ReadKBs = 0;
    std::uint32_t WriteKBs = 0;
};
// GET PERFORMANCE, write speed descriptors for the disc in the drive (at most 64). A reply
// claiming more descriptors than it holds is cut to what arrived.
TScsiError ScsiGetWriteSpeeds(const TCDBurnerInfo& Info, std::vector<TScsiWriteSpeedDescriptor>& Speeds,
                              TScsiDefaults& Defaults);
// Decodes a GET PERFORMANCE type 03h reply of Size bytes.
std::vector<TScsiWriteSpeedDescriptor> ScsiDecodeWriteSpeeds(const std::uint8_t* Reply, std::uint32_t Size);

// GET CONFIGURATION, the feature header only: the current profile (0 without a disc).
TScsiError ScsiGetCurrentProfile(const TCDBurnerInfo& Info, std::uint16_t& Profile, TScsiDefaults& Defaults);

// The capabilities page's "current write speed selected" (bytes 28-29), in kB/s; 0 when the
// page is too short to hold it.
TScsiError ScsiGetSelectedWriteSpeed(const TCDBurnerInfo& Info, std::uint16_t& KBs, TScsiDefaults& Defaults);
