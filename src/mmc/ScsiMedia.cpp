// The commands of DVD and BD media: GET CONFIGURATION (which disc is in the drive, what the
// drive can write), READ FORMAT CAPACITIES and FORMAT UNIT (overwritable media), RESERVE TRACK
// and CLOSE TRACK/SESSION with any close function.
#include <vector>

#include "mmc/SCSIUnit.h"
#include "mmc/ScsiInternal.h"

namespace {


// Large enough for every feature a drive of today reports; a longer reply is cut here and
// decoded as far as it came.
constexpr std::uint16_t kConfigurationSize = 4096;
// Header and up to 31 capacity descriptors.
constexpr std::uint16_t kFormatCapacitiesSize = 4 + 8 * 31;
constexpr std::uint16_t kProfileListFeature = 0x0000;
// FORMAT UNIT byte 1: FmtData with format code 001b.
constexpr std::uint8_t kFormatDataCode1 = 0x11;
// Format parameter list header byte 1: IMMED (with FOV it would be honoured by every drive;
// MMC drives take IMMED alone).
constexpr std::uint8_t kFormatImmed = 0x02;
constexpr std::uint8_t kCloseImmed = 0x01;

}  // namespace

bool TScsiConfiguration::HasFeature(std::uint16_t Code, bool CurrentOnly) const {
    for (const auto& f : Features)
        if (f.Code == Code && (f.Current || !CurrentOnly)) return true;
    return false;
}

const TScsiFeatureDescriptor* TScsiConfiguration::Feature(std::uint16_t Code) const {
    for (const auto& f : Features)
        if (f.Code == Code) return &f;
    return nullptr;
}

void ScsiDecodeConfiguration(const std::uint8_t* Reply, std::uint32_t Received, TScsiConfiguration& Config) {
    Config = TScsiConfiguration{};
    if (Reply == nullptr || Received < 8) return;
    // MMC 5.2: the data length (bytes 0-3) counts the bytes after itself.
    const std::uint32_t claimed = kvbe::Load32(Reply);
    const scsiunit::BoundedReply r(Reply, Received, claimed > Received ? Received : 4 + claimed);
    Config.CurrentProfile = r.U16(6);
    std::uint32_t at = 8;
    while (at + 4 <= r.Valid()) {
        const std::uint16_t code = r.U16(at);
        const bool current = (r.U8(at + 2) & 0x01) != 0;
        const std::uint32_t length = r.U8(at + 3);
        const std::int16_t flags = length > 0 && at + 4 < r.Valid() ? std::int16_t{r.U8(at + 4)} : std::int16_t{-1};
        Config.Features.push_back({code, current, flags});
        if (code == kProfileListFeature) {
            // Profile descriptors of 4 bytes each, only whole ones inside the reply.
            for (std::uint32_t p = at + 4; p + 4 <= at + 4 + length && p + 4 <= r.Valid(); p += 4)
                Config.Profiles.push_back({r.U16(p), (r.U8(p + 2) & 0x01) != 0});
        }
        at += 4 + length;
    }
}

TScsiError ScsiGetConfiguration(const TCDBurnerInfo& Info, TScsiConfiguration& Config, TScsiDefaults& Defaults) {
    std::vector<std::uint8_t> reply(kConfigurationSize);
    constexpr const kvcat::Command& c = kvcat::cmd::GetConfiguration;
    std::uint8_t cdb[c.cdbLength] = {c.opcode};
    scsiunit::PutLength(c, cdb, kConfigurationSize);
    const TScsiError result =
        scsiunit::Send(Info, cdb, sizeof cdb, reply.data(), kConfigurationSize, SRB_DIR_IN, Defaults);
    ScsiDecodeConfiguration(reply.data(), result == Err_None ? kConfigurationSize : 0, Config);
    return result;
}

TScsiError ScsiReadFormatCapacities(const TCDBurnerInfo& Info, TScsiFormatCapacities& Capacities,
                                    TScsiDefaults& Defaults) {
    Capacities = TScsiFormatCapacities{};
    std::uint8_t reply[kFormatCapacitiesSize];
    const TScsiError result = ScsiSendCDB10(Info, kvcat::cmd::ReadFormatCapacities.opcode, 0, 0, 0, kFormatCapacitiesSize, reply,
                                            sizeof reply, SRB_DIR_IN, Defaults);
    // MMC 6.24: byte 3 is the capacity list length, 8 bytes per descriptor.
    const scsiunit::BoundedReply r(reply, sizeof reply, 4u + reply[3]);
    if (r.Valid() < 12) return result;
    Capacities.CurrentBlocks = r.U32(4);
    Capacities.DescriptorType = r.U8(8) & 0x03;
    Capacities.BlockLength = (std::uint32_t{r.U8(9)} << 16) | (std::uint32_t{r.U8(10)} << 8) | r.U8(11);
    for (std::uint32_t at = 12; at + 8 <= r.Valid(); at += 8) {
        TScsiFormatDescriptor d;
        d.Blocks = r.U32(at);
        d.FormatType = static_cast<std::uint8_t>(r.U8(at + 4) >> 2);
        d.Parameter = (std::uint32_t{r.U8(at + 5)} << 16) | (std::uint32_t{r.U8(at + 6)} << 8) | r.U8(at + 7);
        Capacities.Formattable.push_back(d);
    }
    return result;
}

TScsiError ScsiFormatUnit(const TCDBurnerInfo& Info, std::uint32_t Blocks, std::uint8_t FormatType,
                          std::uint8_t FormatSubType, std::uint32_t Parameter, bool Immediate,
                          TScsiDefaults& Defaults) {
    // Parameter list: 4-byte header (IMMED, descriptor length 8) and one format descriptor.
    std::uint8_t list[12] = {};
    list[1] = Immediate ? kFormatImmed : 0;
    kvbe::Store16(list + 2, 8);
    kvbe::Store32(list + 4, Blocks);
    list[8] = static_cast<std::uint8_t>((FormatType << 2) | (FormatSubType & 0x03));
    list[9] = static_cast<std::uint8_t>(Parameter >> 16);
    list[10] = static_cast<std::uint8_t>(Parameter >> 8);
    list[11] = static_cast<std::uint8_t>(Parameter);
    // Without IMMED a format would run far past one command's time-out.
    scsiunit::TimeoutSwap swap(Defaults, Immediate ? Defaults.Timeout : Defaults.LongTimeout);
    return ScsiSendCDB6(Info, kvcat::cmd::FormatUnit.opcode, std::uint32_t{kFormatDataCode1} << 16, 0, list, sizeof list,
                        SRB_DIR_OUT, Defaults);
}

TScsiError ScsiReserveTrack(const TCDBurnerInfo& Info, std::uint32_t Blocks, TScsiDefaults& Defaults) {
    std::uint8_t cdb[kvcat::cmd::ReserveTrack.cdbLength] = {kvcat::cmd::ReserveTrack.opcode};
    kvbe::Store32(cdb + 5, Blocks);
    return scsiunit::Send(Info, cdb, sizeof cdb, nullptr, 0, SRB_DIR_IN, Defaults);
}

TScsiError ScsiCloseTrackSession(const TCDBurnerInfo& Info, bool Immediate, TScsiCloseFunction Function,
                                 std::uint16_t TrackNumber, TScsiDefaults& Defaults) {
    std::uint8_t cdb[kvcat::cmd::CloseTrackSession.cdbLength] = {kvcat::cmd::CloseTrackSession.opcode};
    cdb[1] = Immediate ? kCloseImmed : 0;
    cdb[2] = static_cast<std::uint8_t>(Function);
    kvbe::Store16(cdb + 4, TrackNumber);
    return scsiunit::Send(Info, cdb, sizeof cdb, nullptr, 0, SRB_DIR_IN, Defaults);
}
