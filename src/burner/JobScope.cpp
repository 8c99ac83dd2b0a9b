#include "burner/JobScope.h"

#include <cstring>
#include <exception>

#include "burner/CDBurner.h"
#include "platform/VirtualDevice.h"
#include "scsi/zqSCSI.h"

TDeviceHold::TDeviceHold(const TCDBurnerInfo& Info) : FInfo(Info)
{
    switch (HoldDevice(FInfo)) {
    case TDeviceHoldResult::Held:
        FHeld = true;
        break;
    case TDeviceHoldResult::InUse:
        FInUse = true;
        break;
    case TDeviceHoldResult::NotHeld:
        // No hold to be had here (no such transport, or the device cannot be opened at all);
        // each command opens the device itself and meets any failure as before.
        break;
    }
}

TDeviceHold::~TDeviceHold()
{
    if (FHeld)
        ReleaseDevice(FInfo);
}

std::string TDeviceHold::InUseText() const
{
    return std::string(1, FInfo.DriveLetter) + ": is in use by another program" + MountedOnText(FInfo.DriveLetter);
}

std::string MountedOnText(char Letter)
{
    const std::string mountPoint = win::MountPointOfLetter(Letter);
    return mountPoint.empty() ? std::string() : " (mounted on " + mountPoint + ")";
}

TJobScope::TJobScope(TCDBurner& Burner) : FBurner(Burner), FHold(Burner.Info)
{
    if (FHold.InUse()) {
        FBurner.LastOutcome = TJobOutcome{TJobStep::InUse, -1, Err_None};
        if (FBurner.OnStatus)
            FBurner.OnStatus("Error : " + FHold.InUseText());
        return;
    }
    BeginDeviceJob(FBurner.Info);
}

TJobScope::~TJobScope()
{
    if (FHold.InUse() || !EndDeviceJob(FBurner.Info))
        return;
    // The job's commands after the unit attention never reached the drive; whatever the job
    // did with them, it ended because of it.
    FBurner.LastError = Err_SenseUnitAttention;
    FBurner.LastOutcome = TJobOutcome{TJobStep::NotReady, FBurner.LastOutcome.Sector, Err_SenseUnitAttention};
    try {
        if (FBurner.OnStatus)
            FBurner.OnStatus("Error : Unit Attention : the medium was changed or the drive was reset; the job is "
                             "ended");
    } catch (...) {
        // A destructor must not throw; the outcome above already tells the front end.
    }
}

namespace {

// The job's result as the front ends read it, kept across the tray commands.
struct TKeptResult {
    explicit TKeptResult(TCDBurner& Burner) : B(Burner), Error(Burner.LastError)
    {
        std::memcpy(Sense, Burner.CommandSettings.SenseArea, sizeof Sense);
    }
    ~TKeptResult()
    {
        B.LastError = Error;
        std::memcpy(B.CommandSettings.SenseArea, Sense, sizeof Sense);
    }
    TCDBurner& B;
    TScsiError Error;
    std::uint8_t Sense[sizeof(TScsiDefaults::SenseArea)];
};

}  // namespace

TTrayLock::TTrayLock(TCDBurner& Burner) : FBurner(Burner)
{
    if (FBurner.FTrayLockDepth++ > 0 || FBurner.FTrayLocked)
        return;
    TKeptResult kept(FBurner);
    FBurner.LockMedium();
}

TTrayLock::~TTrayLock()
{
    if (--FBurner.FTrayLockDepth > 0 || !FBurner.FTrayLocked)
        return;
    try {
        TKeptResult kept(FBurner);
        FBurner.UnlockMedium();
    } catch (...) {
        // A destructor must not throw; the tray stays marked as locked and is released again
        // by the front end or when the writer goes.
    }
}

void UnsubscribeEvents(TCDBurner& Burner)
{
    Burner.OnProgress = nullptr;
    Burner.OnStatus = nullptr;
    Burner.OnBufferProgress = nullptr;
    Burner.OnFileBufferProgress = nullptr;
    Burner.OnBufferStatus = nullptr;
    Burner.OnBytesRead = nullptr;
    Burner.OnWait = nullptr;
    Burner.OnPhase = nullptr;
}

TScsiError WaitForDriveBeforeBurn(TCDBurner& Burner, std::chrono::milliseconds Limit)
{
    Burner.LastOutcome = TJobOutcome();
    const TScsiError ready = Burner.WaitUntilReady(Limit);
    if (ready == Err_Aborted) {
        Burner.CancelRequested.store(false);
        Burner.LastOutcome = TJobOutcome{TJobStep::Interrupted, -1, Err_Aborted};
        Burner.UnlockMedium();
        Burner.LastError = Err_Aborted;
        if (Burner.OnStatus)
            Burner.OnStatus("Cancelled : Stopped waiting for the drive to become ready");
        return ready;
    }
    if (ready != Err_None) {
        Burner.LastOutcome = TJobOutcome{TJobStep::NotReady, -1, ready};
        if (Burner.OnStatus)
            Burner.OnStatus("Error : Drive Not Ready : " + ScsiErrorToText(ready));
    }
    return ready;
}
