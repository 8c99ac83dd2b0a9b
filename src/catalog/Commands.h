// The one table of the commands the system sends: opcode, the name a trace prints, CDB length,
// which way the data moves and where the CDB says how much. The MMC builders take opcode and
// length from it, the virtual writer keys its handlers by it and checks CDB length and data
// direction against it, and the trace names commands from it.
#pragma once

#include <cstdint>
#include <span>

namespace kvcat {

enum class DataDirection : std::uint8_t { None, In, Out };

// What the length field of the CDB counts.
enum class LengthUnit : std::uint8_t {
    None,          // the CDB has no length field (the command moves no data, or a fixed list)
    Bytes,         // allocation length (data in) or parameter list length (data out)
    Blocks,        // transfer length in blocks
    Descriptors,   // the most descriptors the reply may hold
};

struct Command {
    std::uint8_t opcode;
    const char* name;             // "WRITE(10)"
    std::uint8_t cdbLength;
    DataDirection direction;      // None: the command never moves data
    std::uint8_t lengthOffset;    // the CDB's length field: byte offset and width (0: none)
    std::uint8_t lengthWidth;
    LengthUnit lengthUnit;
};

namespace cmd {
using D = DataDirection;
using U = LengthUnit;
inline constexpr Command TestUnitReady{0x00, "TEST UNIT READY", 6, D::None, 0, 0, U::None};
inline constexpr Command RequestSense{0x03, "REQUEST SENSE", 6, D::In, 4, 1, U::Bytes};
inline constexpr Command FormatUnit{0x04, "FORMAT UNIT", 6, D::Out, 0, 0, U::None};
inline constexpr Command Inquiry{0x12, "INQUIRY", 6, D::In, 3, 2, U::Bytes};
inline constexpr Command ModeSelect6{0x15, "MODE SELECT(6)", 6, D::Out, 4, 1, U::Bytes};
inline constexpr Command ModeSense6{0x1A, "MODE SENSE(6)", 6, D::In, 4, 1, U::Bytes};
inline constexpr Command StartStopUnit{0x1B, "START STOP UNIT", 6, D::None, 0, 0, U::None};
inline constexpr Command PreventAllow{0x1E, "PREVENT ALLOW MEDIUM REMOVAL", 6, D::None, 0, 0, U::None};
inline constexpr Command ReadFormatCapacities{0x23, "READ FORMAT CAPACITIES", 10, D::In, 7, 2, U::Bytes};
inline constexpr Command ReadCapacity{0x25, "READ CAPACITY", 10, D::In, 0, 0, U::None};
inline constexpr Command Read10{0x28, "READ(10)", 10, D::In, 7, 2, U::Blocks};
inline constexpr Command Write10{0x2A, "WRITE(10)", 10, D::Out, 7, 2, U::Blocks};
inline constexpr Command SynchronizeCache{0x35, "SYNCHRONIZE CACHE", 10, D::None, 0, 0, U::None};
inline constexpr Command ReadToc{0x43, "READ TOC", 10, D::In, 7, 2, U::Bytes};
inline constexpr Command GetConfiguration{0x46, "GET CONFIGURATION", 10, D::In, 7, 2, U::Bytes};
inline constexpr Command GetEventStatus{0x4A, "GET EVENT STATUS NOTIFICATION", 10, D::In, 7, 2, U::Bytes};
inline constexpr Command ReadDiscInformation{0x51, "READ DISC INFORMATION", 10, D::In, 7, 2, U::Bytes};
inline constexpr Command ReadTrackInformation{0x52, "READ TRACK INFORMATION", 10, D::In, 7, 2, U::Bytes};
inline constexpr Command ReserveTrack{0x53, "RESERVE TRACK", 10, D::None, 0, 0, U::None};
inline constexpr Command ModeSelect10{0x55, "MODE SELECT(10)", 10, D::Out, 7, 2, U::Bytes};
inline constexpr Command ModeSense10{0x5A, "MODE SENSE(10)", 10, D::In, 7, 2, U::Bytes};
inline constexpr Command CloseTrackSession{0x5B, "CLOSE TRACK/SESSION", 10, D::None, 0, 0, U::None};
inline constexpr Command ReadBufferCapacity{0x5C, "READ BUFFER CAPACITY", 10, D::In, 7, 2, U::Bytes};
inline constexpr Command Blank{0xA1, "BLANK", 12, D::None, 0, 0, U::None};
inline constexpr Command GetPerformance{0xAC, "GET PERFORMANCE", 12, D::In, 8, 2, U::Descriptors};
inline constexpr Command ReadDvdStructure{0xAD, "READ DVD STRUCTURE", 12, D::In, 8, 2, U::Bytes};
inline constexpr Command SetStreaming{0xB6, "SET STREAMING", 12, D::Out, 9, 2, U::Bytes};
inline constexpr Command SetCdSpeed{0xBB, "SET CD SPEED", 12, D::None, 0, 0, U::None};
}  // namespace cmd

// Every command above, by opcode.
std::span<const Command* const> Commands();
// The command of an opcode; null for one the system never sends.
const Command* CommandByOpcode(std::uint8_t opcode);

}  // namespace kvcat
