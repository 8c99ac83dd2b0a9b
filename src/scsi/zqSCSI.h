// The device-access object: every command the system sends passes through ExecScsiCommand,
// which builds a TzqSCSI for that one command on the transport chosen for the platform.
// The pass-through emulation's drive table outlives the object: it is built again only when
// the devices changed, so a command costs the drive nothing but itself.
#pragma once

#include <cstdint>
#include <memory>

#include "scsi/SCSITypes.h"
#include "scsi/scsidefs.h"

class TVersionInfo;

// Direction codes of ExecScsiCommand (and flag bits of the request block).
constexpr std::uint32_t SRB_DIR_IN = 0x08;
constexpr std::uint32_t SRB_DIR_OUT = 0x10;
constexpr std::uint32_t SRB_DIR_NONE = 0x00;

// The device-access object: lives for one command. Construction chooses the transport (the
// pass-through emulation on the NT family, an ASPI library on the Windows 95 family) and sets
// the module state below; on the NT family it rescans the drives when the table is stale.
// Commands to different drives may run at the same time on the NT family; one drive's commands
// go one at a time, and on an ASPI library every command of the process does.
class TzqSCSI {
public:
    TzqSCSI();
    ~TzqSCSI();
    TzqSCSI(const TzqSCSI&) = delete;
    TzqSCSI& operator=(const TzqSCSI&) = delete;

    // Sends one execute request and waits for it; returns the request's final status
    // (SS_COMP completed, SS_ERR completed with error, SS_NO_DEVICE, ...), and hands back the
    // target status and the first 14 sense bytes.
    std::uint8_t ExecCommand(std::uint8_t HaId, std::uint8_t Target, std::uint8_t Lun,
                             const std::uint8_t (&Cdb)[16], std::uint32_t CdbLen, std::uint8_t Flags,
                             void* Buffer, std::uint32_t BufLen, std::uint8_t& TargetStatus,
                             std::uint8_t (&SenseBytes)[SENSE_LEN]);

    bool Ready = false;
    std::uint8_t AccessMethod = 0;   // 0 "wnaspi32.dll", 1 "asapi.dll", 2 pass-through emulation
    std::shared_ptr<TVersionInfo> LibraryVersion;   // of the loaded ASPI library, if any
};

constexpr std::uint8_t kAccessWnaspi32 = 0;
constexpr std::uint8_t kAccessAsapi = 1;
constexpr std::uint8_t kAccessSpti = 2;

// Module state, set afresh by every construction: the transport handle (the loaded library,
// the value 1 for the emulation, nullptr for none) and the two entry points. Written and read
// under SptiStateMutex, and only where a value changes, so that a command on another thread
// never sees it half set.
extern void* AspiTransportHandle;
extern TAspiSupportInfo AspiSupportInfo;
extern TAspiSendCommand AspiSendCommand;

// The Windows 95 family branch of construction: loads "wnaspi32.dll", else "asapi.dll", takes
// the library's two entry points into the module state and sets AccessMethod and
// LibraryVersion of `scsi`. Returns the module handle, or nullptr when neither loads.
win::HMODULE LoadAspiTransport(TzqSCSI& scsi);

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
// How a job's hold on its writer's device came out.
enum class TDeviceHoldResult : std::uint8_t {
    Held,     // the device stays open (exclusively) until ReleaseDevice
    InUse,    // another program has the device (mounted, or another burner holds it)
    NotHeld,  // no hold on this transport or the device could not be opened; commands open it
};
// Opens the writer's device for a job and keeps it open; holds nest. Every command to the
// writer then finds the device open and leaves it open.
TDeviceHoldResult HoldDevice(const TCDBurnerInfo& Info);
// Ends one Held hold.
void ReleaseDevice(const TCDBurnerInfo& Info);

// A job on the writer runs between these (they nest). While it runs, a UNIT ATTENTION (the
// medium changed, the drive was reset) ends it: every later command of the job answers the
// same without reaching the drive. Outside a job a command that meets one is sent once more,
// as drives expect. EndDeviceJob says, for the outermost job, whether it met one.
void BeginDeviceJob(const TCDBurnerInfo& Info);
bool EndDeviceJob(const TCDBurnerInfo& Info);

TScsiError SendToTransport(const TCDBurnerInfo& Info, const void* Cdb, std::uint32_t CdbLen,
                           void* Buffer, std::uint32_t BufLen, std::uint32_t Direction,
                           TScsiDefaults& Defaults);

// The address commands reach the drive under DriveLetter by, as the transport's own scan gives
// it (with the pass-through emulation, a made-up one for a drive whose address query fails).
// False when the transport has no such drive or keeps no table of its own.
bool TransportAddressOfDrive(char DriveLetter, std::uint8_t& HaId, std::uint8_t& Target, std::uint8_t& Lun);
