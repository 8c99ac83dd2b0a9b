// What the command families of SCSIUnit share and nobody else needs: the one send path, the
// guards that put TScsiDefaults fields back on every path, and the bounded reply reader.
#pragma once

#include <algorithm>
#include <cstdint>

#include "catalog/BigEndian.h"
#include "catalog/Commands.h"
#include "scsi/SCSITypes.h"
#include "scsi/zqSCSI.h"

namespace scsiunit {

// Sends one CDB through the device-access frame. A data-in buffer is zeroed first, so a
// failed read decodes to zeros.
TScsiError Send(const TCDBurnerInfo& Info, const std::uint8_t* Cdb, std::uint32_t CdbLen,
                void* Buffer, std::uint32_t BufLen, std::uint32_t Direction, TScsiDefaults& Defaults);

// Replaces Defaults.Timeout for one command and puts the old value back whatever happens.
class TimeoutSwap {
public:
    TimeoutSwap(TScsiDefaults& Defaults, std::int32_t Replacement)
        : Defaults_(Defaults), Saved_(Defaults.Timeout) {
        Defaults_.Timeout = Replacement;
    }
    ~TimeoutSwap() { Defaults_.Timeout = Saved_; }
    TimeoutSwap(const TimeoutSwap&) = delete;
    TimeoutSwap& operator=(const TimeoutSwap&) = delete;

private:
    TScsiDefaults& Defaults_;
    std::int32_t Saved_;
};

// Same for PageControl: the mode page operations change it only for their own duration.
class PageControlGuard {
public:
    explicit PageControlGuard(TScsiDefaults& Defaults)
        : Defaults_(Defaults), Saved_(Defaults.PageControl) {}
    ~PageControlGuard() { Defaults_.PageControl = Saved_; }
    PageControlGuard(const PageControlGuard&) = delete;
    PageControlGuard& operator=(const PageControlGuard&) = delete;

private:
    TScsiDefaults& Defaults_;
    std::uint8_t Saved_;
};

// Writes the allocation (or parameter list) length where the command's CDB keeps it.
inline void PutLength(const kvcat::Command& Command, std::uint8_t* Cdb, std::uint32_t Length) {
    std::uint8_t* at = Cdb + Command.lengthOffset;
    if (Command.lengthWidth == 1) *at = static_cast<std::uint8_t>(Length);
    else if (Command.lengthWidth == 2) kvbe::Store16(at, Length);
    else if (Command.lengthWidth == 4) kvbe::Store32(at, Length);
}

// A reply held in Size bytes of which the drive's own length field claims Valid; fields past
// the smaller of the two read as zero, so a drive that lies about a length cannot make a
// decoder read outside the buffer.
class BoundedReply {
public:
    BoundedReply(const std::uint8_t* Data, std::uint32_t Size, std::uint32_t Valid)
        : Data_(Data), Valid_(std::min(Size, Valid)) {}

    std::uint32_t Valid() const { return Valid_; }
    std::uint8_t U8(std::uint32_t Offset) const { return Offset < Valid_ ? Data_[Offset] : 0; }
    std::uint16_t U16(std::uint32_t Offset) const {
        return Offset + 2 <= Valid_ ? kvbe::Load16(Data_ + Offset) : 0;
    }
    std::uint32_t U32(std::uint32_t Offset) const {
        return Offset + 4 <= Valid_ ? kvbe::Load32(Data_ + Offset) : 0;
    }

private:
    const std::uint8_t* Data_;
    std::uint32_t Valid_;
};

}  // namespace scsiunit
