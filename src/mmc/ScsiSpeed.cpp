#include "mmc/ScsiSpeed.h"

#include "mmc/SCSIUnit.h"
#include "mmc/ScsiInternal.h"

namespace {
constexpr std::uint8_t kGetConfiguration = 0x46;
constexpr std::uint8_t kGetPerformance = 0xAC;
constexpr std::uint8_t kSetStreaming = 0xB6;
constexpr std::uint8_t kSetCDSpeed = 0xBB;
constexpr std::uint8_t kWriteSpeedType = 0x03;
constexpr std::uint32_t kMaxSpeedDescriptors = 64;
constexpr std::uint32_t kSpeedDescriptorBytes = 16;
constexpr std::uint32_t kPerformanceHeader = 8;
constexpr std::uint32_t kStreamingDescriptorBytes = 28;
}  // namespace

TScsiError ScsiSetCDSpeed(const TCDBurnerInfo& Info, std::uint16_t ReadKBs, std::uint16_t WriteKBs,
                          TScsiDefaults& Defaults) {
    std::uint8_t cdb[12] = {};
    cdb[0] = kSetCDSpeed;
    PutBE16(ReadKBs, cdb + 2);
    PutBE16(WriteKBs, cdb + 4);
    return scsiunit::Send(Info, cdb, sizeof cdb, nullptr, 0, SRB_DIR_IN, Defaults);
}

TScsiError ScsiSetStreaming(const TCDBurnerInfo& Info, std::uint32_t EndLBA, std::uint32_t ReadKBs,
                            std::uint32_t WriteKBs, bool RestoreDefaults, TScsiDefaults& Defaults) {
    // Sizes are per second: 1000 ms for the read and the write size.
    std::uint8_t d[kStreamingDescriptorBytes] = {};
    d[0] = RestoreDefaults ? 0x04 : 0x00;
    PutBE32(0, d + 4);
    PutBE32(EndLBA, d + 8);
    PutBE32(ReadKBs, d + 12);
    PutBE32(1000, d + 16);
    PutBE32(WriteKBs, d + 20);
    PutBE32(1000, d + 24);
    std::uint8_t cdb[12] = {};
    cdb[0] = kSetStreaming;
    PutBE16(kStreamingDescriptorBytes, cdb + 9);   // type 0: performance descriptor
    return scsiunit::Send(Info, cdb, sizeof cdb, d, sizeof d, SRB_DIR_OUT, Defaults);
}

std::vector<TScsiWriteSpeedDescriptor> ScsiDecodeWriteSpeeds(const std::uint8_t* Reply, std::uint32_t Size) {
    std::vector<TScsiWriteSpeedDescriptor> out;
    if (Reply == nullptr || Size < kPerformanceHeader) return out;
    // The performance data length counts the bytes after itself.
    const scsiunit::BoundedReply r(Reply, Size, scsiunit::GetBE32(Reply) + 4);
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
    std::uint8_t cdb[12] = {};
    cdb[0] = kGetPerformance;
    PutBE16(kMaxSpeedDescriptors, cdb + 8);
    cdb[10] = kWriteSpeedType;
    const TScsiError result = scsiunit::Send(Info, cdb, sizeof cdb, reply, sizeof reply, SRB_DIR_IN, Defaults);
    Speeds = result == Err_None ? ScsiDecodeWriteSpeeds(reply, sizeof reply) : std::vector<TScsiWriteSpeedDescriptor>{};
    return result;
}

TScsiError ScsiGetCurrentProfile(const TCDBurnerInfo& Info, std::uint16_t& Profile, TScsiDefaults& Defaults) {
    std::uint8_t header[8];
    std::uint8_t cdb[10] = {};
    cdb[0] = kGetConfiguration;
    cdb[1] = 0x01;   // current features only; the header is all that is read
    PutBE16(sizeof header, cdb + 7);
    const TScsiError result = scsiunit::Send(Info, cdb, sizeof cdb, header, sizeof header, SRB_DIR_IN, Defaults);
    Profile = result == Err_None ? scsiunit::GetBE16(header + 6) : 0;
    return result;
}

TScsiError ScsiGetSelectedWriteSpeed(const TCDBurnerInfo& Info, std::uint16_t& KBs, TScsiDefaults& Defaults) {
    std::uint8_t page[32] = {};
    std::uint32_t length = sizeof page;
    const TScsiError result = ScsiGetModePage(Info, 0x2A, page, length, Defaults);
    KBs = result == Err_None && length >= 30 ? scsiunit::GetBE16(page + 28) : 0;
    return result;
}
