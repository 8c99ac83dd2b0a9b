// What the virtual writer knows about each medium: its MMC profile, how it is recorded, the
// write types and close functions a drive accepts on it. One row per medium, so a new medium
// is a new row rather than a branch in every command handler.
#pragma once

#include <cstdint>

#include "vdrive/VirtualWriter.h"

namespace vdrive {

enum class MediaFamily : std::uint8_t { CD, DVD, BD };

enum class Recording : std::uint8_t {
    ReadOnly,       // pressed: every write refused
    Sequential,     // tracks and sessions written at the next writable address, then closed
    Overwritable,   // formatted once, then written anywhere below the formatted capacity
};

struct MediaInfo {
    MediaType type;
    const char* name;              // the attach syntax and the CUE sheet's MEDIA line
    std::uint16_t profile;         // MMC profile number (GET CONFIGURATION)
    MediaFamily family;
    Recording recording;
    bool erasable;                 // READ DISC INFORMATION's erasable bit
    bool blankable;                // BLANK accepted
    std::uint32_t capacity;        // blocks of a new disc
    // Write types (mode page 05h) MODE SELECT accepts, bit per type; 0: the drive takes no
    // write parameters page at all on this medium and refuses one.
    std::uint8_t writeTypes;
    // CLOSE TRACK/SESSION close functions accepted, bit per function.
    std::uint8_t closeFunctions;
    // Of those, the ones that finalize the disc (no further session).
    std::uint8_t finalizeFunctions;
};

constexpr std::uint8_t Bit(unsigned n) { return static_cast<std::uint8_t>(1u << n); }

// The row of a medium; MediaType::None has a row too (no profile, nothing accepted).
const MediaInfo& Medium(MediaType media);

// Every medium a drive may hold, in the order the attach syntax lists them.
const MediaInfo* MediaTable(std::size_t& count);

// How the drive counts speed on a family of media: 1x in kB/s (176 on a CD, as the
// capabilities page counts it; 1385 on a DVD; 4495 on a BD) and the write speeds it offers,
// fastest first, in x (the first is its best; the list ends at the first 0).
struct FamilySpeeds {
    MediaFamily family;
    unsigned kbsPerX;
    unsigned offered[10];
};
const FamilySpeeds& SpeedsOf(MediaFamily family);

}  // namespace vdrive
