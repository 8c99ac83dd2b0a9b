// A job keeps its drive: the device is opened once, exclusively, at the start of a burn,
// blank, audio burn or verify and stays open to its end, so per command the drive sees only
// the command itself and no other program's commands come between the job's.
#pragma once

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
