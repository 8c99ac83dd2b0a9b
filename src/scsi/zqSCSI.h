// The device-access object: every command the system sends passes through ExecScsiCommand,
// which builds a TzqSCSI for that one command on the transport chosen for the platform.
#pragma once

#include <cstdint>
#include <memory>

#include "scsi/SCSITypes.h"

// Direction codes of ExecScsiCommand (and flag bits of the request block).
constexpr std::uint32_t SRB_DIR_IN = 0x08;
constexpr std::uint32_t SRB_DIR_OUT = 0x10;
constexpr std::uint32_t SRB_DIR_NONE = 0x00;

// A writer's command settings, passed by reference with every command.
struct TScsiDefaults {
    std::int32_t Timeout = 1000;
    std::int32_t LongTimeout = 10000;
    std::int32_t UnitTimeout = 10000;
    std::uint8_t PageControl = 0;
    std::uint8_t SenseArea[128] = {};
};

// The process-wide default record every writer copies at its creation.
extern TScsiDefaults ScsiDefaultSettings;

TScsiError ExecScsiCommand(const TCDBurnerInfo& Info, const void* Cdb, std::uint32_t CdbLen,
                           void* Buffer, std::uint32_t BufLen, std::uint32_t Direction,
                           TScsiDefaults& Defaults);
TScsiError SendToTransport(const TCDBurnerInfo& Info, const void* Cdb, std::uint32_t CdbLen,
                           void* Buffer, std::uint32_t BufLen, std::uint32_t Direction,
                           TScsiDefaults& Defaults);
