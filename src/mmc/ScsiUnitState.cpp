// Unit commands: START STOP UNIT, PREVENT ALLOW MEDIUM REMOVAL, TEST UNIT READY, REQUEST SENSE,
// and the decoding of fixed- and descriptor-format sense data.
#include "mmc/SCSIUnit.h"
#include "mmc/ScsiInternal.h"

namespace {
constexpr std::uint8_t kRequestSenseLength = 18;

// SPC: the sense-key specific bytes hold a progress indication only for NO SENSE and NOT READY;
// for other keys they are field pointers or retry counts.
bool KeyCarriesProgress(std::uint8_t key) { return key == 0x0 || key == 0x2; }
}  // namespace

TScsiError ScsiStartStopUnit(const TCDBurnerInfo& Info, bool Start, bool LoadEject, bool Immediate,
                             TScsiDefaults& Defaults) {
    scsiunit::TimeoutSwap swap(Defaults, Defaults.UnitTimeout);
    const std::uint32_t address = Immediate ? 0x010000u : 0u;   // IMMED is bit 0 of byte 1
    const auto action = static_cast<std::uint8_t>((LoadEject ? 0x02 : 0x00) | (Start ? 0x01 : 0x00));
    return ScsiSendCDB6(Info, kvcat::cmd::StartStopUnit.opcode, address, action, nullptr, 0, SRB_DIR_NONE, Defaults);
}

TScsiError ScsiPreventAllowRemoval(const TCDBurnerInfo& Info, std::uint8_t Prevent,
                                   TScsiDefaults& Defaults) {
    return ScsiSendCDB6(Info, kvcat::cmd::PreventAllow.opcode, 0, Prevent, nullptr, 0, SRB_DIR_NONE, Defaults);
}

TScsiError ScsiTestUnitReady(const TCDBurnerInfo& Info, TScsiDefaults& Defaults) {
    return ScsiSendCDB6(Info, kvcat::cmd::TestUnitReady.opcode, 0, 0, nullptr, 0, SRB_DIR_NONE, Defaults);
}

TScsiError ScsiRequestSense(const TCDBurnerInfo& Info, TScsiSense& Sense, TScsiDefaults& Defaults) {
    std::uint8_t reply[kRequestSenseLength];
    const TScsiError result = ScsiSendCDB6(Info, kvcat::cmd::RequestSense.opcode, 0, kRequestSenseLength, reply,
                                           sizeof reply, SRB_DIR_IN, Defaults);
    Sense = ScsiDecodeSense(reply, sizeof reply);
    return result;
}

TScsiSense ScsiDecodeSense(const std::uint8_t* Sense, std::uint32_t Length) {
    TScsiSense out;
    if (Sense == nullptr || Length == 0) return out;
    const std::uint8_t responseCode = Sense[0] & 0x7F;

    if (responseCode == 0x72 || responseCode == 0x73) {
        // Descriptor format: key/ASC/ASCQ in bytes 1-3, descriptors after the 8-byte header.
        const scsiunit::BoundedReply r(Sense, Length, Length);
        out.Key = r.U8(1) & 0x0F;
        out.Asc = r.U8(2);
        out.Ascq = r.U8(3);
        const std::uint32_t end = std::min<std::uint32_t>(Length, 8u + r.U8(7));
        std::uint32_t at = 8;
        while (at + 2 <= end) {
            const std::uint8_t type = Sense[at];
            const std::uint32_t size = 2u + Sense[at + 1];
            if (at + size > end) break;
            // Sense key specific descriptor (type 02h): SKSV in byte 4, progress in 5-6.
            if (type == 0x02 && size >= 8 && (Sense[at + 4] & 0x80) && KeyCarriesProgress(out.Key)) {
                out.ProgressValid = true;
                out.Progress = kvbe::Load16(Sense + at + 5);
            }
            at += size;
        }
        return out;
    }

    // Fixed format (70h/71h, and whatever else a drive sends). Only the bytes we hold are read:
    // the frame keeps 14 of them, so the progress bytes 15-17 exist only in a full REQUEST SENSE
    // reply. Byte 7 (additional length) is not trusted: drives that leave it 0 still fill the
    // fields, and SKSV itself says whether the progress bytes mean anything.
    const scsiunit::BoundedReply r(Sense, Length, Length);
    out.Key = r.U8(2) & 0x0F;
    out.Asc = r.U8(12);
    out.Ascq = r.U8(13);
    if (r.Valid() >= 18 && (r.U8(15) & 0x80) && KeyCarriesProgress(out.Key)) {
        out.ProgressValid = true;
        out.Progress = r.U16(16);
    }
    return out;
}
