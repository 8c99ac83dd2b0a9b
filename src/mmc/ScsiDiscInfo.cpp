// What the disc says about itself: READ TOC, READ DVD STRUCTURE, READ DISC INFORMATION and
// READ TRACK INFORMATION, with their decoders.
#include <cstring>

#include "mmc/SCSIUnit.h"
#include "mmc/ScsiInternal.h"

namespace {


// Header and 100 descriptors: 99 tracks and the lead-out.
constexpr std::uint16_t kTOCReplySize = 4 + 8 * 100;
constexpr std::uint8_t kLeadOutTrack = 0xAA;
constexpr std::uint32_t kDVDReplySize = 21;
constexpr std::uint16_t kDiscInformationSize = 34;
constexpr std::uint16_t kTrackInformationSize = 36;

const char* BookTypeText(unsigned v) {
    switch (v) {
        case 0: return "DVD-ROM";
        case 1: return "DVD-RAM";
        case 2: return "DVD-R";
        case 3: return "DVD-RW";
        case 9: return "DVD+RW";
        case 10: return "DVD+R";
        default: return "Unknown";
    }
}
const char* DiscSizeText(unsigned v) {
    switch (v) {
        case 0: return "120mm";
        case 1: return "80mm";
        default: return "Unknown";
    }
}
const char* MaximumRateText(unsigned v) {
    switch (v) {
        case 0: return "2.52 Mbps";
        case 1: return "5.04 Mbps";
        case 2: return "10.08 Mbps";
        case 15: return "Not Specified";
        default: return "Unknown";
    }
}
const char* LinearDensityText(unsigned v) {
    switch (v) {
        case 0: return "0.267 um/bit";
        case 1: return "0.293 um/bit";
        case 2: return "0.409 to 0.435 um/bit";
        case 4: return "0.280 to 0.291 um/bit";
        case 8: return "0.353 um/bit";
        default: return "Reserved";
    }
}
const char* TrackDensityText(unsigned v) {
    switch (v) {
        case 0: return "0.74 um/track";
        case 1: return "0.80 um/track";
        case 2: return "0.615 um/track";
        default: return "Reserved";
    }
}
const char* LayerTypeText(unsigned v) {
    switch (v) {
        case 1: return "Read-only layer";
        case 2: return "Recordable layer";
        case 4: return "Re-Writable layer";
        case 8: return "Reserved";
        default: return "Unknown";
    }
}

TScsiError SendReadDVDStructure(const TCDBurnerInfo& Info, std::uint8_t* Reply, TScsiDefaults& Defaults) {
    // Address 0, layer 0, format 0 (physical format), allocation 21, AGID 0; no LUN bits.
    constexpr const kvcat::Command& c = kvcat::cmd::ReadDvdStructure;
    std::uint8_t cdb[c.cdbLength] = {c.opcode};
    scsiunit::PutLength(c, cdb, kDVDReplySize);
    return scsiunit::Send(Info, cdb, sizeof cdb, Reply, kDVDReplySize, SRB_DIR_IN, Defaults);
}

}  // namespace

TScsiSubQinfoFlags ScsiDecodeSubQFlags(std::uint8_t AdrControl) {
    TScsiSubQinfoFlags flags;
    switch (AdrControl >> 4) {
        case 0: flags.Include(ssqfADRnone); break;
        case 1: flags.Include(ssqfADRposition); break;
        case 2: flags.Include(ssqfADRcatalogue); break;
        case 3: flags.Include(ssqfADRISRC); break;
        default: break;
    }
    if (AdrControl & 0x01) flags.Include(ssqfPreEmphasis);
    if (AdrControl & 0x02) flags.Include(ssqfCopyPermit);
    switch ((AdrControl >> 2) & 0x03) {
        case 0: flags.Include(ssqfAudioTrack); break;
        case 1: flags.Include(ssqfDataTrack); break;
        case 2:
            flags.Include(ssqfAudioTrack);
            flags.Include(ssqfQuadAudio);
            break;
        default: break;
    }
    return flags;
}

TScsiError ScsiReadTOC(const TCDBurnerInfo& Info, bool MSF, std::uint8_t Format,
                       std::uint8_t TrackSession, void* Buffer, std::uint16_t AllocationLength,
                       TScsiDefaults& Defaults) {
    return ScsiSendCDB10(Info, kvcat::cmd::ReadToc.opcode, MSF ? 0x02 : 0x00, std::uint32_t{Format} << 24, TrackSession,
                         AllocationLength, Buffer, AllocationLength, SRB_DIR_IN, Defaults);
}

TScsiError ScsiReadTOCInfo(const TCDBurnerInfo& Info, TScsiTOC& TOC, TScsiDefaults& Defaults) {
    TOC = TScsiTOC{};
    std::uint8_t reply[kTOCReplySize] = {};
    const TScsiError result = ScsiReadTOC(Info, false, 0, 0, reply, kTOCReplySize, Defaults);

    // Decoded also after a failure: the zeroed reply gives no entries. The descriptor count is
    // capped at what the reply buffer holds, whatever the data length claims, and ends with the
    // lead-out (AAh), the last descriptor a disc has: an inflated length must not turn the
    // unsent rest of the buffer into tracks.
    TOC.FirstTrack = reply[2];
    TOC.LastTrack = reply[3];
    TOC.EntryCount = std::min(kvbe::Load16(reply) / 8, 100);
    for (int i = 0; i < TOC.EntryCount; ++i) {
        if (reply[4 + 8 * i + 2] == kLeadOutTrack) {
            TOC.EntryCount = i + 1;
            break;
        }
    }
    for (int i = 0; i < TOC.EntryCount; ++i) {
        const std::uint8_t* d = reply + 4 + 8 * i;
        TOC.Entries[i].Flags = ScsiDecodeSubQFlags(d[1]);
        TOC.Entries[i].TrackNumber = d[2];
        TOC.Entries[i].StartLBA = kvbe::Load32(d + 4);
    }
    return result;
}

TScsiError ScsiReadDVDLayerDescriptor(const TCDBurnerInfo& Info, TScsiDVDLayerDescriptorInfo& Descriptor,
                                      TScsiDefaults& Defaults) {
    std::uint8_t reply[kDVDReplySize];
    {
        scsiunit::TimeoutSwap swap(Defaults, Defaults.LongTimeout);
        const TScsiError first = SendReadDVDStructure(Info, reply, Defaults);
        // A CD (or no DVD) answers ILLEGAL REQUEST: nothing to decode, the record stays.
        if (first == Err_SenseIllegalRequest) return first;
    }
    const TScsiError result = SendReadDVDStructure(Info, reply, Defaults);

    Descriptor.BookType = BookTypeText(reply[4] >> 4);
    Descriptor.DiscSize = DiscSizeText(reply[5] >> 4);
    Descriptor.MaximumRate = MaximumRateText(reply[5] & 0x0F);
    Descriptor.LinearDensity = LinearDensityText(reply[7] >> 4);
    Descriptor.TrackDensity = TrackDensityText(reply[7] & 0x0F);
    Descriptor.NumberOfLayers = std::to_string((reply[6] >> 5) & 0x03);
    Descriptor.LayerType = LayerTypeText(reply[6] & 0x0F);
    Descriptor.DataAreaSectors =
        static_cast<std::int32_t>(kvbe::Load32(reply + 12) - kvbe::Load32(reply + 8));
    return result;
}

TScsiError ScsiReadDiscInformation(const TCDBurnerInfo& Info, TScsiDiscInformation& Disc,
                                   TScsiDefaults& Defaults) {
    Disc = TScsiDiscInformation{};
    std::uint8_t reply[kDiscInformationSize];
    const TScsiError result = ScsiSendCDB10(Info, kvcat::cmd::ReadDiscInformation.opcode, 0, 0, 0, kDiscInformationSize,
                                            reply, sizeof reply, SRB_DIR_IN, Defaults);
    // MMC 6.22: the disc information length (bytes 0-1) counts the bytes after itself.
    const scsiunit::BoundedReply r(reply, sizeof reply, 2u + kvbe::Load16(reply));
    Disc.DiscStatus = r.U8(2) & 0x03;
    Disc.LastSessionState = (r.U8(2) >> 2) & 0x03;
    Disc.Erasable = (r.U8(2) & 0x10) != 0;
    Disc.FirstTrack = r.U8(3);
    Disc.Sessions = static_cast<std::uint16_t>((r.U8(9) << 8) | r.U8(4));
    Disc.FirstTrackInLastSession = static_cast<std::uint16_t>((r.U8(10) << 8) | r.U8(5));
    Disc.LastTrackInLastSession = static_cast<std::uint16_t>((r.U8(11) << 8) | r.U8(6));
    Disc.LastSessionLeadInStart = r.U32(16);
    Disc.LastPossibleLeadOutStart = r.U32(20);
    Disc.BackgroundFormat = r.U8(7) & 0x03;
    return result;
}

TScsiError ScsiReadTrackInformation(const TCDBurnerInfo& Info, std::uint8_t AddressType,
                                    std::uint32_t LBAOrTrack, TScsiTrackInformation& Track,
                                    TScsiDefaults& Defaults) {
    Track = TScsiTrackInformation{};
    std::uint8_t reply[kTrackInformationSize];
    const TScsiError result =
        ScsiSendCDB10(Info, kvcat::cmd::ReadTrackInformation.opcode, AddressType & 0x03, LBAOrTrack, 0, kTrackInformationSize,
                      reply, sizeof reply, SRB_DIR_IN, Defaults);
    // MMC 6.27: the track information length (bytes 0-1) counts the bytes after itself; the
    // high bytes of track and session number (32, 33) are absent from short, older replies.
    const scsiunit::BoundedReply r(reply, sizeof reply, 2u + kvbe::Load16(reply));
    Track.TrackNumber = static_cast<std::uint16_t>((r.U8(32) << 8) | r.U8(2));
    Track.SessionNumber = static_cast<std::uint16_t>((r.U8(33) << 8) | r.U8(3));
    Track.TrackMode = r.U8(5) & 0x0F;
    Track.DataMode = r.U8(6) & 0x0F;
    Track.Blank = (r.U8(6) & 0x40) != 0;
    Track.NextWritableValid = (r.U8(7) & 0x01) != 0;
    Track.TrackStart = r.U32(8);
    Track.NextWritableAddress = r.U32(12);
    Track.FreeBlocks = r.U32(16);
    Track.TrackSize = r.U32(24);
    return result;
}
