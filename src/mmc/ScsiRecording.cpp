// The commands a burn and a blank are made of, and READ(10) to check what was written.
#include "mmc/SCSIUnit.h"
#include "mmc/ScsiInternal.h"

namespace {

constexpr std::uint8_t kDPO = 0x10;
constexpr std::uint8_t kFUA = 0x08;
constexpr std::uint8_t kImmed = 0x01;
constexpr std::uint8_t kCloseTrack = 0x01;
constexpr std::uint8_t kCloseSession = 0x02;
constexpr std::uint8_t kBufferCapacitySize = 12;
}  // namespace

TScsiError ScsiWrite10(const TCDBurnerInfo& Info, bool DPO, bool FUA, std::uint32_t LBA,
                       std::uint16_t TransferLength, const void* Buffer, std::uint32_t BufLen,
                       TScsiDefaults& Defaults) {
    scsiunit::TimeoutSwap swap(Defaults, Defaults.LongTimeout);
    const auto byte1 = static_cast<std::uint8_t>((DPO ? kDPO : 0) | (FUA ? kFUA : 0));
    // Data out: the frame only reads the buffer.
    return ScsiSendCDB10(Info, kvcat::cmd::Write10.opcode, byte1, LBA, 0, TransferLength, const_cast<void*>(Buffer), BufLen,
                         SRB_DIR_OUT, Defaults);
}

TScsiError ScsiWriteBlocks(const TCDBurnerInfo& Info, std::uint32_t LBA, std::uint16_t TransferLength,
                           const void* Buffer, std::uint32_t BufLen, TScsiDefaults& Defaults) {
    return ScsiWrite10(Info, false, false, LBA, TransferLength, Buffer, BufLen, Defaults);
}

TScsiError ScsiRead10(const TCDBurnerInfo& Info, std::uint32_t LBA, std::uint16_t TransferLength,
                      void* Buffer, std::uint32_t BufLen, TScsiDefaults& Defaults) {
    return ScsiSendCDB10(Info, kvcat::cmd::Read10.opcode, 0, LBA, 0, TransferLength, Buffer, BufLen, SRB_DIR_IN, Defaults);
}

TScsiError ScsiReadBufferCapacity(const TCDBurnerInfo& Info, std::uint8_t* Reply, TScsiDefaults& Defaults) {
    if (Reply == nullptr) return Err_InvalidArgument;
    constexpr const kvcat::Command& c = kvcat::cmd::ReadBufferCapacity;
    std::uint8_t cdb[c.cdbLength] = {c.opcode};
    scsiunit::PutLength(c, cdb, kBufferCapacitySize);
    return scsiunit::Send(Info, cdb, sizeof cdb, Reply, kBufferCapacitySize, SRB_DIR_IN, Defaults);
}

TScsiError ScsiSynchronizeCache(const TCDBurnerInfo& Info, TScsiDefaults& Defaults) {
    // Byte 1 = 01h, the whole cache (address 0, count 0).
    const std::uint8_t cdb[kvcat::cmd::SynchronizeCache.cdbLength] = {kvcat::cmd::SynchronizeCache.opcode, 0x01, 0, 0, 0, 0, 0, 0, 0, 0};
    return scsiunit::Send(Info, cdb, sizeof cdb, nullptr, 0, SRB_DIR_IN, Defaults);
}

TScsiError ScsiCloseTrack(const TCDBurnerInfo& Info, std::uint8_t TrackNumber, TScsiDefaults& Defaults) {
    const std::uint8_t cdb[kvcat::cmd::CloseTrackSession.cdbLength] = {kvcat::cmd::CloseTrackSession.opcode, kImmed, kCloseTrack, 0, 0, TrackNumber, 0, 0, 0, 0};
    return scsiunit::Send(Info, cdb, sizeof cdb, nullptr, 0, SRB_DIR_IN, Defaults);
}

TScsiError ScsiCloseSession(const TCDBurnerInfo& Info, TScsiDefaults& Defaults) {
    const std::uint8_t cdb[kvcat::cmd::CloseTrackSession.cdbLength] = {kvcat::cmd::CloseTrackSession.opcode, kImmed, kCloseSession, 0, 0, 0, 0, 0, 0, 0};
    return scsiunit::Send(Info, cdb, sizeof cdb, nullptr, 0, SRB_DIR_IN, Defaults);
}

TScsiError ScsiBlank(const TCDBurnerInfo& Info, std::uint8_t BlankByte, std::uint32_t StartAddress,
                     TScsiDefaults& Defaults) {
    // Byte 1 goes out as the caller gave it: blanking type in bits 0-2, IMMED in bit 4.
    std::uint8_t cdb[kvcat::cmd::Blank.cdbLength] = {kvcat::cmd::Blank.opcode};
    cdb[1] = BlankByte;
    kvbe::Store32(cdb + 2, StartAddress);
    return scsiunit::Send(Info, cdb, sizeof cdb, nullptr, 0, SRB_DIR_IN, Defaults);
}
