// MODE SENSE/SELECT and what is built on them: reading and writing one page, the capabilities
// page 2Ah (speeds, capability set) and the write parameters page 05h (settings, text report).
#include <cmath>
#include <cstring>

#include "mmc/SCSIUnit.h"
#include "mmc/ScsiInternal.h"

namespace {

constexpr std::uint8_t kDBD = 0x08;   // disable block descriptors
constexpr std::uint8_t kPF = 0x10;    // page format

constexpr std::uint8_t kCapabilitiesPage = 0x2A;
constexpr std::uint8_t kWriteParametersPage = 0x05;
constexpr std::uint32_t kCapabilitiesBytes = 26;
constexpr std::uint32_t kWriteParametersBytes = 52;

// A page read uses a 391-byte reply: the 8-byte header and 383 bytes of data, of which at most
// 382 minus the block descriptors are handed on.
constexpr std::uint32_t kGetReplySize = 391;
constexpr int kPageDataLimit = 382;
// The read-modify-write of a page works in 60 bytes: header and the 52-byte write page.
constexpr std::uint32_t kSetBufferSize = 60;

// Bits 0 and 1 of PackedAddress choose alternatives discovery never sets: the 6-byte mode
// commands, and MODE SENSE without DBD.
bool UsesSixByteForms(std::uint32_t packed) { return packed & 0x01; }
bool KeepsBlockDescriptors(std::uint32_t packed) { return packed & 0x02; }

// Mode parameter header of either form: MODE SENSE(10) has 8 bytes with 16-bit lengths,
// MODE SENSE(6) 4 bytes with 8-bit lengths.
struct ModeLayout {
    std::uint32_t HeaderSize;
    std::uint32_t LengthFieldSize;   // the mode data length counts the bytes after this field
};
ModeLayout LayoutOf(const TCDBurnerInfo& Info) {
    return UsesSixByteForms(Info.PackedAddress) ? ModeLayout{4, 1} : ModeLayout{8, 2};
}

struct PageLocation {
    int ModeDataLength = 0;
    int BlockDescriptorLength = 0;
    std::uint32_t Start = 0;       // offset of the page code byte
    int PageLength = 0;            // the page's own length byte
};

// Finds the page in a MODE SENSE reply of which `Received` bytes could come from the drive.
// False when the reply holds no usable page; every offset it returns true for lies inside
// the received bytes, whatever the drive claimed in its lengths.
bool LocatePage(const ModeLayout& layout, const std::uint8_t* reply, std::uint32_t received,
                PageLocation& page) {
    if (received < layout.HeaderSize) return false;
    if (layout.HeaderSize == 8) {
        page.ModeDataLength = kvbe::Load16(reply);
        page.BlockDescriptorLength = kvbe::Load16(reply + 6);
    } else {
        page.ModeDataLength = reply[0];
        page.BlockDescriptorLength = reply[3];
    }
    if (kPageDataLimit - page.BlockDescriptorLength <= 0) return false;
    page.Start = layout.HeaderSize + static_cast<std::uint32_t>(page.BlockDescriptorLength);
    if (page.Start + 2 > received) return false;   // not even the page code and length arrived
    page.PageLength = reply[page.Start + 1];
    if (page.PageLength == 0) return false;
    if (page.ModeDataLength - page.BlockDescriptorLength + static_cast<int>(layout.LengthFieldSize) <= 0)
        return false;
    return true;
}

// kB/s of the capabilities page to a speed factor of 176.46 kB/s (CD 1x), low 8 bits kept.
std::uint8_t SpeedFactor(std::uint16_t kBps) {
    return static_cast<std::uint8_t>(std::lround(kBps / 176.46) & 0xFF);
}

struct CapabilityBit {
    TScsiDeviceCapability Element;
    std::uint8_t Byte;
    std::uint8_t Bit;
};
// MMC capabilities page 2Ah, bytes 2 to 7 (the loading mechanism of byte 6 is not a capability).
constexpr CapabilityBit kCapabilityBits[] = {
    {dcReadCDR, 2, 0},        {dcReadCDRW, 2, 1},           {dcReadFixedPackets, 2, 2},
    {dcReadDVDROM, 2, 3},     {dcReadDVDR, 2, 4},           {dcReadDVDRAM, 2, 5},
    {dcWriteCDR, 3, 0},       {dcWriteCDRW, 3, 1},          {dcWriteDVDR, 3, 4},
    {dcWriteDVDRAM, 3, 5},    {dcTestWrite, 3, 2},          {dcBurnProof, 4, 7},
    {dcAudioPlay, 4, 0},      {dcComposite, 4, 1},          {dcDigitalPort1, 4, 2},
    {dcDigitalPort2, 4, 3},   {dcMode2Form1, 4, 4},         {dcMode2Form2, 4, 5},
    {dcMultiSession, 4, 6},   {dcCDDACommands, 5, 0},       {dcCDDAAccurate, 5, 1},
    {dcRWSupported, 5, 2},    {dcRWDeinterleaved, 5, 3},    {dcC2Pointers, 5, 4},
    {dcISRC, 5, 5},           {dcUPC, 5, 6},                {dcReadBarCode, 5, 7},
    {dcLock, 6, 0},           {dcLockState, 6, 1},          {dcPreventJumper, 6, 2},
    {dcEject, 6, 3},          {dcSeparateVolume, 7, 0},     {dcSeparateChannelMute, 7, 1},
    {dcDiscPresent, 7, 2},    {dcSoftwareSlotSelection, 7, 3}, {dcSideChange, 7, 4},
    {dcRWInLeadIn, 7, 5},
};
static_assert(std::size(kCapabilityBits) == 37);

const char* WriteTypeText(std::uint8_t type) {
    switch (type) {
        case 0: return "Packet/Incremental";
        case 1: return "Track At Once (TAO)";
        case 2: return "Session At Once (SAO)";
        case 3: return "Raw Data Burn";
        default: return "Unknown Write Mode";
    }
}

const char* SessionTypeText(std::uint8_t format) {
    switch (format) {
        case 0x00: return "CD-DA or CDROM Disk";
        // MMC session formats are 10h (CD-I) and 20h (CD-ROM XA); 1 and 50 are kept as well
        // for whatever firmware reports them.
        case 0x01:
        case 0x10: return "CDI Video Disk";
        case 50:
        case 0x20: return "CDROM XA Disk";
        default: return "Unknown Session Mode";
    }
}

}  // namespace

TScsiError ScsiModeSense(const TCDBurnerInfo& Info, std::uint8_t PageCode, void* Buffer,
                         std::uint16_t AllocationLength, TScsiDefaults& Defaults) {
    const auto pageByte = static_cast<std::uint8_t>(((Defaults.PageControl & 0x03) << 6) | (PageCode & 0x3F));
    const std::uint8_t byte1 = KeepsBlockDescriptors(Info.PackedAddress) ? 0x00 : kDBD;
    if (UsesSixByteForms(Info.PackedAddress)) {
        if (Buffer != nullptr) std::memset(Buffer, 0, AllocationLength);
        const auto length = static_cast<std::uint8_t>(std::min<std::uint16_t>(AllocationLength, 0xFF));
        return ScsiSendCDB6(Info, kvcat::cmd::ModeSense6.opcode, (std::uint32_t{byte1} << 16) | (std::uint32_t{pageByte} << 8),
                            length, Buffer, length, SRB_DIR_IN, Defaults);
    }
    return ScsiSendCDB10(Info, kvcat::cmd::ModeSense10.opcode, byte1, std::uint32_t{pageByte} << 24, 0, AllocationLength,
                         Buffer, AllocationLength, SRB_DIR_IN, Defaults);
}

TScsiError ScsiModeSelect(const TCDBurnerInfo& Info, void* Buffer, std::uint16_t ParameterListLength,
                          TScsiDefaults& Defaults) {
    if (UsesSixByteForms(Info.PackedAddress)) {
        const auto length = static_cast<std::uint8_t>(std::min<std::uint16_t>(ParameterListLength, 0xFF));
        return ScsiSendCDB6(Info, kvcat::cmd::ModeSelect6.opcode, std::uint32_t{kPF} << 16, length, Buffer, length,
                            SRB_DIR_OUT, Defaults);
    }
    return ScsiSendCDB10(Info, kvcat::cmd::ModeSelect10.opcode, kPF, 0, 0, ParameterListLength, Buffer,
                         ParameterListLength, SRB_DIR_OUT, Defaults);
}

TScsiError ScsiGetModePage(const TCDBurnerInfo& Info, std::uint8_t PageCode, void* Dest,
                           std::uint32_t& Length, TScsiDefaults& Defaults) {
    if (Dest == nullptr) return Err_InvalidArgument;
    const ModeLayout layout = LayoutOf(Info);

    std::uint8_t reply[kGetReplySize] = {};
    std::uint32_t allocation = std::min<std::uint32_t>(std::min<std::uint32_t>(Length, kGetReplySize) + 8,
                                                       kGetReplySize);
    if (layout.HeaderSize == 4) allocation = std::min<std::uint32_t>(allocation, 0xFF);
    const TScsiError result = ScsiModeSense(Info, PageCode, reply, static_cast<std::uint16_t>(allocation), Defaults);
    if (result != Err_None) {
        Length = 0;
        return result;
    }

    PageLocation page;
    if (!LocatePage(layout, reply, allocation, page)) {
        Length = 0;
        return Err_Unknown;
    }
    // The page length byte counts the bytes after it, yet the copy starts at the page code:
    // callers get at most that many bytes, and never more than the drive could have sent.
    const auto available = static_cast<std::uint32_t>(
        std::min(kPageDataLimit - page.BlockDescriptorLength, page.PageLength));
    Length = std::min({Length, available, allocation - page.Start});
    std::memcpy(Dest, reply + page.Start, Length);
    return Err_None;
}

TScsiError ScsiSetModePage(const TCDBurnerInfo& Info, std::uint8_t PageCode, const void* Source,
                           std::uint32_t& Length, TScsiDefaults& Defaults) {
    if (Source == nullptr) return Err_InvalidArgument;
    const ModeLayout layout = LayoutOf(Info);

    std::uint8_t buffer[kSetBufferSize] = {};
    const TScsiError result = ScsiModeSense(Info, PageCode, buffer, kSetBufferSize, Defaults);
    if (result != Err_None) {
        Length = 0;
        return result;
    }

    PageLocation page;
    if (!LocatePage(layout, buffer, kSetBufferSize, page)) {
        Length = 0;
        return Err_Unknown;
    }
    // The parameter list is the header and the page, without block descriptors. A drive whose
    // mode data length leaves no room for a page header gets no MODE SELECT: it would change
    // nothing and report success.
    const int listLength = std::min(page.ModeDataLength - page.BlockDescriptorLength +
                                        static_cast<int>(layout.LengthFieldSize),
                                    static_cast<int>(kSetBufferSize));
    if (listLength < static_cast<int>(layout.HeaderSize) + 2) {
        Length = 0;
        return Err_Unknown;
    }

    // Header as MODE SELECT wants it: no medium type, no device-specific bits, no descriptors.
    std::memset(buffer, 0, layout.HeaderSize);
    if (layout.HeaderSize == 8)
        kvbe::Store16(buffer, static_cast<std::uint16_t>(listLength - 2));
    else
        buffer[0] = static_cast<std::uint8_t>(listLength - 1);

    const auto available = static_cast<std::uint32_t>(
        std::min(kPageDataLimit - page.BlockDescriptorLength, page.PageLength));
    if (page.Start != layout.HeaderSize) {
        const std::uint32_t moved = std::min(available + 2, kSetBufferSize - page.Start);
        std::memmove(buffer + layout.HeaderSize, buffer + page.Start, moved);
        std::memset(buffer + layout.HeaderSize + moved, 0, kSetBufferSize - layout.HeaderSize - moved);
    }

    // The caller's page replaces the whole page, page code and length byte included (Available
    // + 2 bytes). Taking only Available bytes would send the drive's last two bytes back as they
    // came, and this MODE SENSE asks for the changeable mask: its bits would end up in the page.
    Length = std::min({Length, available + 2, kSetBufferSize - layout.HeaderSize});
    std::memcpy(buffer + layout.HeaderSize, Source, Length);
    return ScsiModeSelect(Info, buffer, static_cast<std::uint16_t>(listLength), Defaults);
}

TScsiError ScsiGetCapabilitiesPage(const TCDBurnerInfo& Info, std::uint8_t* Dest, TScsiDefaults& Defaults) {
    if (Dest == nullptr) return Err_InvalidArgument;
    std::memset(Dest, 0, kCapabilitiesBytes);
    std::uint32_t length = kCapabilitiesBytes;
    return ScsiGetModePage(Info, kCapabilitiesPage, Dest, length, Defaults);
}

TScsiError ScsiGetSpeeds(const TCDBurnerInfo& Info, TScsiDriveSpeeds& Speeds, TScsiDefaults& Defaults) {
    std::uint8_t page[kCapabilitiesBytes];
    const TScsiError result = ScsiGetCapabilitiesPage(Info, page, Defaults);
    // Decoded also after a failure: the zeroed page then gives zero speeds.
    Speeds.MaxReadSpeed = SpeedFactor(kvbe::Load16(page + 8));
    Speeds.CurReadSpeed = SpeedFactor(kvbe::Load16(page + 14));
    Speeds.MaxWriteSpeed = SpeedFactor(kvbe::Load16(page + 18));
    Speeds.CurWriteSpeed = SpeedFactor(kvbe::Load16(page + 20));
    return result;
}

TScsiError ScsiGetCapabilities(const TCDBurnerInfo& Info, TScsiDeviceCapabilities& Caps,
                               TScsiDefaults& Defaults) {
    Caps = TScsiDeviceCapabilities{};
    std::uint8_t page[kCapabilitiesBytes];
    const TScsiError result = ScsiGetCapabilitiesPage(Info, page, Defaults);
    for (const CapabilityBit& c : kCapabilityBits)
        if ((page[c.Byte] >> c.Bit) & 1u) Caps.Include(c.Element);
    return result;
}

TScsiError ScsiSetWriteParameters(const TCDBurnerInfo& Info, std::uint8_t WriteType,
                                  std::uint8_t DataBlockType, std::uint8_t TrackModeByte,
                                  std::uint8_t SessionFormat, std::uint32_t PacketSize,
                                  std::uint16_t AudioPauseLength, bool TestWrite, bool BurnProof,
                                  TScsiDefaults& Defaults) {
    scsiunit::PageControlGuard restore(Defaults);

    std::uint8_t page[kWriteParametersBytes] = {};
    std::uint32_t length = kWriteParametersBytes;
    const TScsiError readResult = ScsiGetModePage(Info, kWriteParametersPage, page, length, Defaults);
    // The write-back's MODE SENSE asks for the changeable values (45h for page 05h).
    Defaults.PageControl = 1;
    if (readResult != Err_None) return readResult;

    page[0] = kWriteParametersPage;
    page[1] = 0x32;
    std::uint8_t byte2 = WriteType;
    byte2 = static_cast<std::uint8_t>(TestWrite ? (byte2 | 0x10) : (byte2 & ~0x10));
    byte2 = static_cast<std::uint8_t>(BurnProof ? (byte2 | 0x40) : (byte2 & ~0x40));
    page[2] = byte2;
    page[3] = TrackModeByte;
    page[4] = DataBlockType;
    page[7] = 0;   // host application code
    page[8] = SessionFormat;
    kvbe::Store32(page + 10, PacketSize);
    kvbe::Store16(page + 14, AudioPauseLength);
    std::memset(page + 16, 0, kWriteParametersBytes - 16);   // catalog number, ISRC, subheader

    std::uint32_t supplied = kWriteParametersBytes;
    return ScsiSetModePage(Info, kWriteParametersPage, page, supplied, Defaults);
}

TScsiError ScsiGetWriterParametersText(const TCDBurnerInfo& Info, std::string& Text,
                                       TScsiDefaults& Defaults) {
    scsiunit::PageControlGuard restore(Defaults);
    std::uint8_t page[kWriteParametersBytes] = {};
    std::uint32_t length = kWriteParametersBytes;
    Defaults.PageControl = 0;
    const TScsiError result = ScsiGetModePage(Info, kWriteParametersPage, page, length, Defaults);

    Text = "Get CD/DVD Writer Parameters : Failed";
    if (result != Err_None) return result;

    constexpr const char* kLineEnd = "\n\r";
    std::string out;
    auto line = [&](const char* label, const std::string& value) {
        out += label;
        out += value;
        out += kLineEnd;
    };
    line("Test Write :  ", (page[2] & 0x10) ? "Test Write is ON" : "Test Write is OFF");
    line("Buffer Underrun :  ", (page[2] & 0x40) ? "BurnProof is ON" : "BurnProof is OFF");
    line("Write Type :  ", WriteTypeText(page[2] & 0x0F));
    line("Multisession :  ", ((page[3] >> 6) == 3) ? "Next Session Allowed / ON" : "Next Session Not Allowed / OFF");
    line("Packet Type :  ", (page[3] & 0x20) ? "Fixed Size Packets" : "Variable Size Packets");
    line("Packet Size :  ", std::to_string(kvbe::Load32(page + 10)));
    line("Session Type :  ", SessionTypeText(page[8]));
    line("Audio Pause Length :  ", std::to_string(kvbe::Load16(page + 14)));
    line("Data Block :  ", std::to_string(page[4]));
    Text = std::move(out);
    return Err_None;
}
