// Value types every part of the SCSI path shares, and small helpers for byte order, bits,
// enumeration texts and a few system queries.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/WinApi.h"

// The result of every command. Its identifiers are user-visible text (ScsiErrorToText).
enum TScsiError : std::uint8_t {
    Err_None,
    Err_Aborted,
    Err_InvalidRequest,
    Err_HAerror,
    Err_InvalidHostAdapter,
    Err_NoDevice,
    Err_InvalidSrb,
    Err_BufferAlign,
    Err_AspiIsBusy,
    Err_BufferTooBig,
    Err_Unknown,
    Err_CommandTimeout,
    Err_SrbTimeout,
    Err_MessageReject,
    Err_BusReset,
    Err_ParityError,
    Err_RequestSenseFailed,
    Err_SelectionTimeout,
    Err_DataOverrun,
    Err_UnexpectedBusFree,
    Err_BusPhaseSequence,
    Err_CheckCondition,
    Err_TargetBusy,
    Err_TargetReservationConflict,
    Err_TargetQueueFull,
    Err_InvalidDevice,
    Err_NoEvent,
    Err_NotifyTimeout,
    Err_InvalidArgument,
    Err_SenseUnknown,
    Err_SenseFileMark,
    Err_SenseEndOfMedia,
    Err_SenseIllegalLength,
    Err_SenseIncorrectLength,
    Err_SenseNoSense,   // 34 + sense key
    Err_SenseRecoveredError,
    Err_SenseNotReady,
    Err_SenseMediumError,
    Err_SenseHardwareError,
    Err_SenseIllegalRequest,
    Err_SenseUnitAttention,
    Err_SenseDataProtect,
    Err_SenseBlankCheck,
    Err_SenseVendorSpecific,
    Err_SenseCopyAborted,
    Err_SenseAbortedCommand,
    Err_SenseEqual,
    Err_SenseVolumeOverflow,
    Err_SenseMiscompare,
    Err_SenseReserved,
};
constexpr int kScsiErrorCount = 50;

// One writer: its position, letter, packed address, INQUIRY texts, handle and SCSI address.
struct TCDBurnerInfo {
    std::int32_t DriveIndex = 0;
    char DriveLetter = 0;
    std::uint32_t PackedAddress = 0;
    std::string ProductId;
    std::string VendorId;
    std::string DisplayName;
    std::string VendorSpecific;
    std::string Revision;
    win::HANDLE DeviceHandle = nullptr;
    std::uint8_t HaId = 0;
    std::uint8_t Target = 0;
    std::uint8_t Lun = 0;

    bool operator==(const TCDBurnerInfo&) const = default;
};

// Flags of one TOC entry (Q sub-channel ADR and CONTROL); bit n of the value is element n.
enum TScsiSubQinfoFlag : std::uint8_t {
    ssqfADRnone,
    ssqfADRposition,
    ssqfADRcatalogue,
    ssqfADRISRC,
    ssqfPreEmphasis,
    ssqfCopyPermit,
    ssqfDataTrack,
    ssqfAudioTrack,
    ssqfQuadAudio,
};

struct TScsiSubQinfoFlags {
    std::uint16_t Bits = 0;

    bool Has(TScsiSubQinfoFlag f) const { return (Bits >> f) & 1u; }
    void Include(TScsiSubQinfoFlag f) { Bits = static_cast<std::uint16_t>(Bits | (1u << f)); }
    bool operator==(const TScsiSubQinfoFlags&) const = default;
};

struct TScsiDVDLayerDescriptorInfo {
    std::string BookType;
    std::string DiscSize;
    std::string MaximumRate;
    std::string LinearDensity;
    std::string TrackDensity;
    std::string LayerType;
    std::string NumberOfLayers;
    std::int32_t DataAreaSectors = 0;
};

// Helpers -------------------------------------------------------------------------------

int GetOSPlatform();
std::uint32_t PackBytes(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
std::uint32_t SwapDWord(std::uint32_t value);
std::uint16_t SwapWord(std::uint16_t value);
std::uint8_t HiByteOf(std::uint16_t value);
std::uint8_t LoByteOf(std::uint16_t value);
bool TestBit(std::uint32_t value, int bit);
std::uint32_t SetBit(std::uint32_t value, int bit);
std::uint32_t ClearBit(std::uint32_t value, int bit);
void ZeroFill(void* buffer, std::size_t count);

// The identifier of ordinal `value` in `names`; empty when out of range.
std::string EnumToText(std::span<const char* const> names, unsigned value);
std::string ScsiErrorToText(TScsiError error);
// "[a, b]" of the elements whose bits are set (ordinals 0..31 of `names`).
std::string SetToText(std::span<const char* const> names, std::uint32_t bits);
std::string SetToText(TScsiSubQinfoFlags flags);

int BlockSizeOfDataType(int dataType);
// Size of the file in bytes, or -1 when it does not exist. 64-bit, so images over 2 GiB
// are not mistaken for small ones.
std::int64_t FileSizeOf(const std::string& path);
