// A job keeps its drive: the device is opened once, exclusively, at the start of a burn,
// blank, audio burn or verify and stays open to its end, so per command the drive sees only
// the command itself and no other program's commands come between the job's. Also the two
// ends of every job: the wait for the disc before it, and the writer's events emptied after.
#pragma once

#include <chrono>
#include <string>

#include "scsi/SCSITypes.h"

class TCDBurner;

// " (mounted on /media/cdrom)" for a drive the system has mounted, else nothing.
std::string MountedOnText(char Letter);

// Holds the writer's device open while it lives (holds nest, so a front end may span a whole
// job of several engine calls with one). InUse: another program has the device (it is
// mounted, or another burner holds it); nothing may then be sent to it.
class TDeviceHold {
public:
    explicit TDeviceHold(const TCDBurnerInfo& Info);
    ~TDeviceHold();
    TDeviceHold(const TDeviceHold&) = delete;
    TDeviceHold& operator=(const TDeviceHold&) = delete;

    bool InUse() const { return FInUse; }
    // "D: is in use by another program", with " (mounted on /media/cdrom)" when it is mounted.
    std::string InUseText() const;

private:
    TCDBurnerInfo FInfo;
    bool FHeld = false;
    bool FInUse = false;
};

// The scope of one job of a writer: the device hold, and the rule that a UNIT ATTENTION
// (medium changed, drive reset) ends the job. A refused start has said why through OnStatus and
// set LastOutcome (TJobStep::InUse); an ended job that met a unit attention says so and sets
// LastOutcome to TJobStep::NotReady with Err_SenseUnitAttention.
class TJobScope {
public:
    explicit TJobScope(TCDBurner& Burner);
    ~TJobScope();
    TJobScope(const TJobScope&) = delete;
    TJobScope& operator=(const TJobScope&) = delete;

    bool Refused() const { return FHold.InUse(); }

private:
    TCDBurner& FBurner;
    TDeviceHold FHold;
};

// A job's lock of the tray, as independent burners hold it: PREVENT ALLOW MEDIUM REMOVAL
// (prevent 1) when the job is about to change the disc, and prevent 0 when the outermost such
// scope of the job ends, on every path (a failure, a stop, an exception). Scopes nest, so a
// blank before a burn keeps the tray locked through both. A drive that refuses the lock still
// burns. Neither the lock nor the release changes LastError or the sense data the job left,
// which the front ends read after it; a failed release leaves the tray marked as locked by
// us, so the front end's own UnlockMedium tries again and says so.
class TTrayLock {
public:
    explicit TTrayLock(TCDBurner& Burner);
    ~TTrayLock();
    TTrayLock(const TTrayLock&) = delete;
    TTrayLock& operator=(const TTrayLock&) = delete;

private:
    TCDBurner& FBurner;
};

// Empties all eight event slots: after a job, so that the writer keeps no handler of a front
// end that may be gone.
void UnsubscribeEvents(TCDBurner& Burner);

// How long a burn waits for a disc that is still spinning up.
inline constexpr std::chrono::seconds kBurnReadyWait{60};

// Waits until the drive is ready for a job (a burn or a blank), so that a drive without a
// disc, or one still becoming ready, is told apart from a failed write; OnWait comes
// meanwhile, and a stop request ends the wait (Err_Aborted, the tray released). On failure the
// writer reports "Error : Drive Not Ready : <result name>" through OnStatus and its
// LastOutcome says NotReady (Interrupted when stopped); the result is returned.
TScsiError WaitForDriveBeforeBurn(TCDBurner& Burner, std::chrono::milliseconds Limit = kBurnReadyWait);
