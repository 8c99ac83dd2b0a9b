// The write parameters presets (mode page 05h) the write-mode command sets.
#pragma once

#include <cstdint>

class TCDBurner;

// One setting of the write parameters page (mode page 05h) as SetWriteParameters takes it.
struct TWriteParameters {
    std::uint8_t WriteType;
    std::uint8_t DataBlockType;
    std::uint8_t TrackModeByte;
    std::uint8_t SessionFormat;
    std::uint32_t PacketSize;
    std::uint16_t AudioPauseLength;
    bool TestWrite;
    bool BurnProof;
};

// "Set WriteMode to Data Write": track at once, Mode 1 blocks, data track, BUFE on (the data
// burn's values).
inline constexpr TWriteParameters kDataWriteParameters{1, 8, 4, 0, 0, 150, false, true};
// "Set WriteMode to CDDA": track at once, raw 2352-byte blocks, track mode byte 16, BUFE on.
inline constexpr TWriteParameters kCDDAWriteParameters{1, 0, 16, 0, 0, 150, false, true};

// SetWriteParameters with the preset; the result is in the writer's LastError.
bool SetWriteMode(TCDBurner& Burner, const TWriteParameters& Parameters);

