// Every drive command the system sends, one free function each. Each takes the writer's
// TCDBurnerInfo (a copy), the command's own arguments and the writer's TScsiDefaults, builds
// the CDB, sends it through ExecScsiCommand, decodes the reply and returns the TScsiError.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scsi/SCSITypes.h"
#include "scsi/zqSCSI.h"

// Shared builders --------------------------------------------------------------------------
TScsiError ScsiSendCDB6(const TCDBurnerInfo& Info, std::uint8_t Opcode, std::uint32_t Address,
                        std::uint8_t LengthByte, void* Buffer, std::uint32_t BufLen,
                        std::uint32_t Direction, TScsiDefaults& Defaults);
TScsiError ScsiSendCDB10(const TCDBurnerInfo& Info, std::uint8_t Opcode, std::uint8_t Byte1,
                         std::uint32_t Address, std::uint8_t Byte6, std::uint16_t Length,
                         void* Buffer, std::uint32_t BufLen, std::uint32_t Direction,
                         TScsiDefaults& Defaults);
std::uint8_t ScsiMergeLUN(std::uint8_t Byte1, std::uint32_t PackedAddress);

// Unit commands ----------------------------------------------------------------------------
TScsiError ScsiStartStopUnit(const TCDBurnerInfo& Info, bool Start, bool LoadEject, bool Immediate,
                             TScsiDefaults& Defaults);
TScsiError ScsiPreventAllowRemoval(const TCDBurnerInfo& Info, std::uint8_t Prevent,
                                   TScsiDefaults& Defaults);

// Mode pages -------------------------------------------------------------------------------
struct TScsiDriveSpeeds {
    std::uint8_t MaxReadSpeed = 0;
    std::uint8_t CurReadSpeed = 0;
    std::uint8_t MaxWriteSpeed = 0;
    std::uint8_t CurWriteSpeed = 0;
};

enum TScsiDeviceCapability : std::uint8_t {
    dcReadCDR, dcReadCDRW, dcReadFixedPackets, dcReadDVDROM, dcReadDVDR, dcReadDVDRAM,
    dcWriteCDR, dcWriteCDRW, dcWriteDVDR, dcWriteDVDRAM, dcTestWrite, dcBurnProof,
    dcAudioPlay, dcComposite, dcDigitalPort1, dcDigitalPort2, dcMode2Form1, dcMode2Form2,
    dcMultiSession, dcCDDACommands, dcCDDAAccurate, dcRWSupported, dcRWDeinterleaved,
    dcC2Pointers, dcISRC, dcUPC, dcReadBarCode, dcLock, dcLockState, dcPreventJumper, dcEject,
    dcSeparateVolume, dcSeparateChannelMute, dcDiscPresent, dcSoftwareSlotSelection,
    dcSideChange, dcRWInLeadIn,
};

// A set of the 37 capabilities in 5 bytes: element n is bit (n mod 8) of byte (n div 8).
struct TScsiDeviceCapabilities {
    std::uint8_t Bytes[5] = {};

    bool Has(TScsiDeviceCapability c) const { return (Bytes[c / 8] >> (c % 8)) & 1u; }
    void Include(TScsiDeviceCapability c) { Bytes[c / 8] = static_cast<std::uint8_t>(Bytes[c / 8] | (1u << (c % 8))); }
    bool Empty() const { return !(Bytes[0] | Bytes[1] | Bytes[2] | Bytes[3] | Bytes[4]); }
};

TScsiError ScsiModeSense(const TCDBurnerInfo& Info, std::uint8_t PageCode, void* Buffer,
                         std::uint16_t AllocationLength, TScsiDefaults& Defaults);
TScsiError ScsiModeSelect(const TCDBurnerInfo& Info, void* Buffer, std::uint16_t ParameterListLength,
                          TScsiDefaults& Defaults);
TScsiError ScsiGetModePage(const TCDBurnerInfo& Info, std::uint8_t PageCode, void* Dest,
                           std::uint32_t& Length, TScsiDefaults& Defaults);
TScsiError ScsiSetModePage(const TCDBurnerInfo& Info, std::uint8_t PageCode, const void* Source,
                           std::uint32_t& Length, TScsiDefaults& Defaults);
TScsiError ScsiGetCapabilitiesPage(const TCDBurnerInfo& Info, std::uint8_t* Dest /* 26 bytes */,
                                   TScsiDefaults& Defaults);
TScsiError ScsiGetSpeeds(const TCDBurnerInfo& Info, TScsiDriveSpeeds& Speeds, TScsiDefaults& Defaults);
TScsiError ScsiGetCapabilities(const TCDBurnerInfo& Info, TScsiDeviceCapabilities& Caps,
                               TScsiDefaults& Defaults);
TScsiError ScsiSetWriteParameters(const TCDBurnerInfo& Info, std::uint8_t WriteType,
                                  std::uint8_t DataBlockType, std::uint8_t TrackModeByte,
                                  std::uint8_t SessionFormat, std::uint32_t PacketSize,
                                  std::uint16_t AudioPauseLength, bool TestWrite, bool BurnProof,
                                  TScsiDefaults& Defaults);
TScsiError ScsiGetWriterParametersText(const TCDBurnerInfo& Info, std::string& Text,
                                       TScsiDefaults& Defaults);

// Disc and track information ------------------------------------------------------------------
struct TScsiTOCEntry {
    TScsiSubQinfoFlags Flags;
    std::uint8_t TrackNumber = 0;
    std::uint32_t StartLBA = 0;
};

struct TScsiTOC {
    std::int32_t FirstTrack = 0;
    std::int32_t LastTrack = 0;
    std::int32_t EntryCount = 0;
    TScsiTOCEntry Entries[100];
};

TScsiSubQinfoFlags ScsiDecodeSubQFlags(std::uint8_t AdrControl);
TScsiError ScsiReadTOC(const TCDBurnerInfo& Info, bool MSF, std::uint8_t Format,
                       std::uint8_t TrackSession, void* Buffer, std::uint16_t AllocationLength,
                       TScsiDefaults& Defaults);
TScsiError ScsiReadTOCInfo(const TCDBurnerInfo& Info, TScsiTOC& TOC, TScsiDefaults& Defaults);
TScsiError ScsiReadDVDLayerDescriptor(const TCDBurnerInfo& Info, TScsiDVDLayerDescriptorInfo& Descriptor,
                                      TScsiDefaults& Defaults);

// Recording commands --------------------------------------------------------------------------
TScsiError ScsiWrite10(const TCDBurnerInfo& Info, bool DPO, bool FUA, std::uint32_t LBA,
                       std::uint16_t TransferLength, const void* Buffer, std::uint32_t BufLen,
                       TScsiDefaults& Defaults);
TScsiError ScsiWriteBlocks(const TCDBurnerInfo& Info, std::uint32_t LBA, std::uint16_t TransferLength,
                           const void* Buffer, std::uint32_t BufLen, TScsiDefaults& Defaults);
TScsiError ScsiReadBufferCapacity(const TCDBurnerInfo& Info, std::uint8_t* Reply /* 12 bytes */,
                                  TScsiDefaults& Defaults);
TScsiError ScsiSynchronizeCache(const TCDBurnerInfo& Info, TScsiDefaults& Defaults);
TScsiError ScsiCloseTrack(const TCDBurnerInfo& Info, std::uint8_t TrackNumber, TScsiDefaults& Defaults);
TScsiError ScsiCloseSession(const TCDBurnerInfo& Info, TScsiDefaults& Defaults);
TScsiError ScsiBlank(const TCDBurnerInfo& Info, std::uint8_t BlankByte, std::uint32_t StartAddress,
                     TScsiDefaults& Defaults);

// What the burns need to wait for the drive and to check their work ----------------------------

// Fixed-format sense data as REQUEST SENSE returns it (or the 14 bytes a failed command left
// in TScsiDefaults::SenseArea).
struct TScsiSense {
    std::uint8_t Key = 0;
    std::uint8_t Asc = 0;
    std::uint8_t Ascq = 0;
    bool ProgressValid = false;     // SKSV with a progress indication
    std::uint16_t Progress = 0;     // 0..65535 of the operation done
};
TScsiSense ScsiDecodeSense(const std::uint8_t* Sense, std::uint32_t Length);

TScsiError ScsiTestUnitReady(const TCDBurnerInfo& Info, TScsiDefaults& Defaults);
TScsiError ScsiRequestSense(const TCDBurnerInfo& Info, TScsiSense& Sense, TScsiDefaults& Defaults);
TScsiError ScsiRead10(const TCDBurnerInfo& Info, std::uint32_t LBA, std::uint16_t TransferLength,
                      void* Buffer, std::uint32_t BufLen, TScsiDefaults& Defaults);

struct TScsiDiscInformation {
    std::uint8_t DiscStatus = 0;          // 0 blank, 1 appendable, 2 complete, 3 other
    std::uint8_t LastSessionState = 0;    // 0 empty, 1 incomplete, 3 complete
    bool Erasable = false;
    std::uint8_t FirstTrack = 0;
    std::uint16_t Sessions = 0;
    std::uint16_t FirstTrackInLastSession = 0;
    std::uint16_t LastTrackInLastSession = 0;
    std::uint32_t LastSessionLeadInStart = 0;
    std::uint32_t LastPossibleLeadOutStart = 0;
    std::uint8_t BackgroundFormat = 0;    // 0 none, 1 started and stopped, 2 running, 3 complete
};
TScsiError ScsiReadDiscInformation(const TCDBurnerInfo& Info, TScsiDiscInformation& Disc,
                                   TScsiDefaults& Defaults);

struct TScsiTrackInformation {
    std::uint16_t TrackNumber = 0;
    std::uint16_t SessionNumber = 0;
    std::uint8_t TrackMode = 0;           // CONTROL nibble
    std::uint8_t DataMode = 0;
    bool Blank = false;
    bool NextWritableValid = false;
    std::uint32_t TrackStart = 0;
    std::uint32_t NextWritableAddress = 0;
    std::uint32_t FreeBlocks = 0;
    std::uint32_t TrackSize = 0;
};
// AddressType 1: LBAOrTrack is a track number (FFh: the invisible/incomplete track).
TScsiError ScsiReadTrackInformation(const TCDBurnerInfo& Info, std::uint8_t AddressType,
                                    std::uint32_t LBAOrTrack, TScsiTrackInformation& Track,
                                    TScsiDefaults& Defaults);

// Media: what a drive of today says about the disc it holds, and the commands that prepare
// and close DVD and BD media ---------------------------------------------------------------

// MMC profile numbers (GET CONFIGURATION, feature 0000h).
enum TScsiProfile : std::uint16_t {
    prNone = 0x0000,
    prCDROM = 0x0008,
    prCDR = 0x0009,
    prCDRW = 0x000A,
    prDVDROM = 0x0010,
    prDVDRSequential = 0x0011,
    prDVDRAM = 0x0012,
    prDVDRWRestricted = 0x0013,
    prDVDRWSequential = 0x0014,
    prDVDRDualLayerSequential = 0x0015,
    prDVDRDualLayerJump = 0x0016,
    prDVDPlusRW = 0x001A,
    prDVDPlusR = 0x001B,
    prDVDPlusRWDualLayer = 0x002A,
    prDVDPlusRDualLayer = 0x002B,
    prBDROM = 0x0040,
    prBDRSequential = 0x0041,
    prBDRRandom = 0x0042,
    prBDRE = 0x0043,
};

struct TScsiProfileDescriptor {
    std::uint16_t Profile = 0;
    bool Current = false;
};

struct TScsiFeatureDescriptor {
    std::uint16_t Code = 0;
    bool Current = false;
    // The first byte of the feature-dependent data, where the write features keep their flags
    // (Test Write is bit 2 of 002Dh and 002Fh); -1 when the descriptor brought none.
    std::int16_t Flags = -1;
};

// The reply of GET CONFIGURATION, decoded only as far as the bytes received go.
struct TScsiConfiguration {
    std::uint16_t CurrentProfile = 0;
    std::vector<TScsiProfileDescriptor> Profiles;   // of the profile list feature, in reply order
    std::vector<TScsiFeatureDescriptor> Features;   // every feature header in the reply
    bool HasFeature(std::uint16_t Code, bool CurrentOnly = true) const;
    // The descriptor of Code; null when the reply has none.
    const TScsiFeatureDescriptor* Feature(std::uint16_t Code) const;
};

// GET CONFIGURATION, RT 00b (all features) from feature 0.
TScsiError ScsiGetConfiguration(const TCDBurnerInfo& Info, TScsiConfiguration& Config, TScsiDefaults& Defaults);
// Decodes a GET CONFIGURATION reply of which Received bytes arrived (for tests and fuzzing).
void ScsiDecodeConfiguration(const std::uint8_t* Reply, std::uint32_t Received, TScsiConfiguration& Config);

// READ FORMAT CAPACITIES: the current/maximum capacity descriptor and the formattable ones.
struct TScsiFormatDescriptor {
    std::uint32_t Blocks = 0;
    std::uint8_t FormatType = 0;     // bits 7-2 of byte 4
    std::uint32_t Parameter = 0;     // type-dependent parameter (bytes 5-7)
};
struct TScsiFormatCapacities {
    std::uint32_t CurrentBlocks = 0;
    std::uint8_t DescriptorType = 0;   // 1 unformatted, 2 formatted, 3 no medium
    std::uint32_t BlockLength = 0;
    std::vector<TScsiFormatDescriptor> Formattable;
};
TScsiError ScsiReadFormatCapacities(const TCDBurnerInfo& Info, TScsiFormatCapacities& Capacities,
                                    TScsiDefaults& Defaults);

// FORMAT UNIT with one format descriptor (FmtData, format code 001b).
TScsiError ScsiFormatUnit(const TCDBurnerInfo& Info, std::uint32_t Blocks, std::uint8_t FormatType,
                          std::uint8_t FormatSubType, std::uint32_t Parameter, bool Immediate,
                          TScsiDefaults& Defaults);

// RESERVE TRACK of Blocks blocks (size form, ARSV 0).
TScsiError ScsiReserveTrack(const TCDBurnerInfo& Info, std::uint32_t Blocks, TScsiDefaults& Defaults);

// CLOSE TRACK/SESSION with any close function (MMC 6.3): ScsiCloseTrack and ScsiCloseSession
// are the two forms the CD burns send.
enum class TScsiCloseFunction : std::uint8_t {
    Track = 0x01,
    Session = 0x02,
    FinalizeMinimalRadius = 0x05,   // DVD+R: close session and finalize, compatible lead-out
    Finalize = 0x06,                // DVD+R DL and BD-R: finalize the disc
};
TScsiError ScsiCloseTrackSession(const TCDBurnerInfo& Info, bool Immediate, TScsiCloseFunction Function,
                                 std::uint16_t TrackNumber, TScsiDefaults& Defaults);
