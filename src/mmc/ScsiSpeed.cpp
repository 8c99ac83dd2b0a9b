#include "mmc/ScsiSpeed.h"

#include "mmc/SCSIUnit.h"
#include "mmc/ScsiInternal.h"

namespace {
constexpr std::uint8_t kWriteSpeedType = 0x03;
constexpr std::uint32_t kMaxSpeedDescriptors = 64;
constexpr std::uint32_t kSpeedDescriptorBytes = 16;
constexpr std::uint32_t kPerformanceHeader = 8;
constexpr std::uint32_t kStreamingDescriptorBytes = 28;
}  // namespace

TScsiError ScsiSetCDSpeed(const TCDBurnerInfo& Info, std::uint16_t ReadKBs, std::uint16_t WriteKBs,
                          TScsiDefaults& Defaults) {
    std::uint8_t cdb[kvcat::cmd::SetCdSpeed.cdbLength] = {kvcat::cmd::SetCdSpeed.opcode};
    kvbe::Store16(cdb + 2, ReadKBs);
    kvbe::Store16(cdb + 4, WriteKBs);
    return scsiunit::Send(Info, cdb, sizeof cdb, nullptr, 0, SRB_DIR_IN, Defaults);
}

TScsiError ScsiSetStreaming(const TCDBurnerInfo& Info, std::uint32_t EndLBA, std::uint32_t ReadKBs,
                            std::uint32_t WriteKBs, bool RestoreDefaults, TScsiDefaults& Defaults) {
    // Sizes are per second: 1000 ms for the read and the write size.
    std::uint8_t d[kStreamingDescriptorBytes] = {};
    d[0] = RestoreDefaults ? 0x04 : 0x00;
    kvbe::Store32(d + 4, 0);
    kvbe::Store32(d + 8, EndLBA);
    kvbe::Store32(d + 12, ReadKBs);
    kvbe::Store32(d + 16, 1000);
    kvbe::Store32(d + 20, WriteKBs);
    kvbe::Store32(d + 24, 1000);
    constexpr const kvcat::Command& c = kvcat::cmd::SetStreaming;
    std::uint8_t cdb[c.cdbLength] = {c.opcode};
    scsiunit::PutLength(c, cdb, kStreamingDescriptorBytes);   // type 0: performance descriptor
    return scsiunit::Send(Info, cdb, sizeof cdb, d, sizeof d, SRB_DIR_OUT, Defaults);
}

std::vector<TScsiWriteSpeedDescriptor> ScsiDecodeWriteSpeeds(const std::uint8_t* Reply, std::uint32_t Size) {
    std::vector<TScsiWriteSpeedDescriptor> out;
    if (Reply == nullptr || Size < kPerformanceHeader) return out;
    // The performance data length counts the bytes after itself.
    const scsiunit::BoundedReply r(Reply, Size, kvbe::Load32(Reply) + 4);
    for (std::uint32_t at = kPerformanceHeader; at + kSpeedDescriptorBytes <= r.Valid(); at += kSpeedDescriptorBytes) {
        TScsiWriteSpeedDescriptor s;
        s.Flags = r.U8(at);
        s.EndLBA = r.U32(at + 4);
        s.ReadKBs = r.U32(at + 8);
        s.WriteKBs = r.U32(at + 12);
        out.push_back(s);
    }
    return out;
}

TScsiError ScsiGetWriteSpeeds(const TCDBurnerInfo& Info, std::vector<TScsiWriteSpeedDescriptor>& Speeds,
                              TScsiDefaults& Defaults) {
    std::uint8_t reply[kPerformanceHeader + kMaxSpeedDescriptors * kSpeedDescriptorBytes];
    constexpr const kvcat::Command& c = kvcat::cmd::GetPerformance;
    std::uint8_t cdb[c.cdbLength] = {c.opcode};
    scsiunit::PutLength(c, cdb, kMaxSpeedDescriptors);
    cdb[10] = kWriteSpeedType;
    const TScsiError result = scsiunit::Send(Info, cdb, sizeof cdb, reply, sizeof reply, SRB_DIR_IN, Defaults);
    Speeds = result == Err_None ? ScsiDecodeWriteSpeeds(reply, sizeof reply) : std::vector<TScsiWriteSpeedDescriptor>{};
    return result;
}

TScsiError ScsiGetCurrentProfile(const TCDBurnerInfo& Info, std::uint16_t& Profile, TScsiDefaults& Defaults) {
    std::uint8_t header[8];
    constexpr const kvcat::Command& c = kvcat::cmd::GetConfiguration;
    std::uint8_t cdb[c.cdbLength] = {c.opcode};
    cdb[1] = 0x01;   // current features only; the header is all that is read
    scsiunit::PutLength(c, cdb, sizeof header);
    const TScsiError result = scsiunit::Send(Info, cdb, sizeof cdb, header, sizeof header, SRB_DIR_IN, Defaults);
    Profile = result == Err_None ? kvbe::Load16(header + 6) : 0;
    return result;
}

TScsiError ScsiGetSelectedWriteSpeed(const TCDBurnerInfo& Info, std::uint16_t& KBs, TScsiDefaults& Defaults) {
    std::uint8_t page[32] = {};
    std::uint32_t length = sizeof page;
    const TScsiError result = ScsiGetModePage(Info, 0x2A, page, length, Defaults);
    KBs = result == Err_None && length >= 30 ? kvbe::Load16(page + 28) : 0;
    return result;
}
