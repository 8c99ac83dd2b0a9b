#include "scsi/SCSITypes.h"

#include "platform/Posix.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::array<const char*, kScsiErrorCount> kScsiErrorNames = {
    "Err_None",
    "Err_Aborted",
    "Err_InvalidRequest",
    "Err_HAerror",
    "Err_InvalidHostAdapter",
    "Err_NoDevice",
    "Err_InvalidSrb",
    "Err_BufferAlign",
    "Err_AspiIsBusy",
    "Err_BufferTooBig",
    "Err_Unknown",
    "Err_CommandTimeout",
    "Err_SrbTimeout",
    "Err_MessageReject",
    "Err_BusReset",
    "Err_ParityError",
    "Err_RequestSenseFailed",
    "Err_SelectionTimeout",
    "Err_DataOverrun",
    "Err_UnexpectedBusFree",
    "Err_BusPhaseSequence",
    "Err_CheckCondition",
    "Err_TargetBusy",
    "Err_TargetReservationConflict",
    "Err_TargetQueueFull",
    "Err_InvalidDevice",
    "Err_NoEvent",
    "Err_NotifyTimeout",
    "Err_InvalidArgument",
    "Err_SenseUnknown",
    "Err_SenseFileMark",
    "Err_SenseEndOfMedia",
    "Err_SenseIllegalLength",
    "Err_SenseIncorrectLength",
    "Err_SenseNoSense",
    "Err_SenseRecoveredError",
    "Err_SenseNotReady",
    "Err_SenseMediumError",
    "Err_SenseHardwareError",
    "Err_SenseIllegalRequest",
    "Err_SenseUnitAttention",
    "Err_SenseDataProtect",
    "Err_SenseBlankCheck",
    "Err_SenseVendorSpecific",
    "Err_SenseCopyAborted",
    "Err_SenseAbortedCommand",
    "Err_SenseEqual",
    "Err_SenseVolumeOverflow",
    "Err_SenseMiscompare",
    "Err_SenseReserved",
};

constexpr std::array<const char*, 9> kSubQinfoFlagNames = {
    "ssqfADRnone",     "ssqfADRposition", "ssqfADRcatalogue", "ssqfADRISRC",  "ssqfPreEmphasis",
    "ssqfCopyPermit",  "ssqfDataTrack",   "ssqfAudioTrack",   "ssqfQuadAudio",
};

}  // namespace

int GetOSPlatform() {
    win::OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!win::GetVersionExA(&info)) return -1;
    switch (info.dwPlatformId) {
    case win::VER_PLATFORM_WIN32_NT:
        if (info.dwMajorVersion == 3 && info.dwMinorVersion >= 51) return 2;
        if (info.dwMajorVersion == 4) return 3;
        if (info.dwMajorVersion == 5 && info.dwMinorVersion == 0) return 4;
        return 5;
    case win::VER_PLATFORM_WIN32_WINDOWS:
        return info.dwMinorVersion == 0 ? 0 : 1;
    default:
        return -1;
    }
}

std::uint32_t PackBytes(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d;
}

std::uint32_t SwapDWord(std::uint32_t value) {
    return ((value & 0x000000FFu) << 24) | ((value & 0x0000FF00u) << 8) |
           ((value & 0x00FF0000u) >> 8) | ((value & 0xFF000000u) >> 24);
}

std::uint16_t SwapWord(std::uint16_t value) {
    return static_cast<std::uint16_t>((value << 8) | (value >> 8));
}

std::uint8_t HiByteOf(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }
std::uint8_t LoByteOf(std::uint16_t value) { return static_cast<std::uint8_t>(value & 0xFF); }

// Bit numbers outside 0..31 name no bit: tested as clear, set and cleared as no change.
bool TestBit(std::uint32_t value, int bit) {
    return bit >= 0 && bit < 32 && ((value >> bit) & 1u) != 0;
}

std::uint32_t SetBit(std::uint32_t value, int bit) {
    return bit >= 0 && bit < 32 ? value | (1u << bit) : value;
}

std::uint32_t ClearBit(std::uint32_t value, int bit) {
    return bit >= 0 && bit < 32 ? value & ~(1u << bit) : value;
}

void ZeroFill(void* buffer, std::size_t count) {
    if (buffer != nullptr && count > 0) std::memset(buffer, 0, count);
}

std::string EnumToText(std::span<const char* const> names, unsigned value) {
    return value < names.size() ? names[value] : std::string();
}

std::string ScsiErrorToText(TScsiError error) { return EnumToText(kScsiErrorNames, error); }

std::string SetToText(std::span<const char* const> names, std::uint32_t bits) {
    std::string text = "[";
    const std::size_t last = std::min<std::size_t>(names.size(), 32);
    for (std::size_t ordinal = 0; ordinal < last; ++ordinal) {
        if (((bits >> ordinal) & 1u) == 0) continue;
        if (text.size() > 1) text += ", ";
        text += names[ordinal];
    }
    return text + "]";
}

std::string SetToText(TScsiSubQinfoFlags flags) { return SetToText(kSubQinfoFlagNames, flags.Bits); }

int BlockSizeOfDataType(int dataType) {
    switch (dataType) {
    case 0: return 2352;
    case 1: return 2368;
    case 2:
    case 3: return 2448;
    case 8:
    case 10: return 2048;
    case 9: return 2336;
    case 11: return 2056;
    case 12: return 2324;
    case 13: return 2332;
    default: return 2048;
    }
}

std::int64_t FileSizeOf(const std::string& path) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return -1;
    // A directory is found too, with no size, as a file search reports it.
    return S_ISDIR(st.st_mode) ? 0 : static_cast<std::int64_t>(st.st_size);
}
