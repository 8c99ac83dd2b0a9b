// The two CDB builders and the LUN rule every command uses.
#include <cstring>

#include "mmc/SCSIUnit.h"
#include "mmc/ScsiInternal.h"

namespace scsiunit {

TScsiError Send(const TCDBurnerInfo& Info, const std::uint8_t* Cdb, std::uint32_t CdbLen,
                void* Buffer, std::uint32_t BufLen, std::uint32_t Direction, TScsiDefaults& Defaults) {
    if (Buffer == nullptr && BufLen != 0) return Err_InvalidArgument;
    if (Direction == SRB_DIR_IN && Buffer != nullptr && BufLen != 0) std::memset(Buffer, 0, BufLen);
    return ExecScsiCommand(Info, Cdb, CdbLen, Buffer, BufLen, Direction, Defaults);
}

}  // namespace scsiunit

std::uint8_t ScsiMergeLUN(std::uint8_t Byte1, std::uint32_t PackedAddress) {
    // PackedAddress keeps the LUN in bits 13-15; SCSI-2 CDBs carry it in bits 5-7 of byte 1.
    const auto lun = static_cast<std::uint8_t>((PackedAddress >> 13) & 0x07);
    return static_cast<std::uint8_t>((lun << 5) | (Byte1 & 0x1F));
}

TScsiError ScsiSendCDB6(const TCDBurnerInfo& Info, std::uint8_t Opcode, std::uint32_t Address,
                        std::uint8_t LengthByte, void* Buffer, std::uint32_t BufLen,
                        std::uint32_t Direction, TScsiDefaults& Defaults) {
    std::uint8_t cdb[6] = {};
    cdb[0] = Opcode;
    cdb[1] = ScsiMergeLUN(static_cast<std::uint8_t>(Address >> 16), Info.PackedAddress);
    cdb[2] = static_cast<std::uint8_t>(Address >> 8);
    cdb[3] = static_cast<std::uint8_t>(Address);
    cdb[4] = LengthByte;
    return scsiunit::Send(Info, cdb, sizeof cdb, Buffer, BufLen, Direction, Defaults);
}

TScsiError ScsiSendCDB10(const TCDBurnerInfo& Info, std::uint8_t Opcode, std::uint8_t Byte1,
                         std::uint32_t Address, std::uint8_t Byte6, std::uint16_t Length,
                         void* Buffer, std::uint32_t BufLen, std::uint32_t Direction,
                         TScsiDefaults& Defaults) {
    std::uint8_t cdb[10] = {};
    cdb[0] = Opcode;
    cdb[1] = ScsiMergeLUN(Byte1, Info.PackedAddress);
    kvbe::Store32(cdb + 2, Address);
    cdb[6] = Byte6;
    kvbe::Store16(cdb + 7, Length);
    return scsiunit::Send(Info, cdb, sizeof cdb, Buffer, BufLen, Direction, Defaults);
}
