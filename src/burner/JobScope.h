// A job keeps its drive: the device is opened once, exclusively, at the start of a burn,
// blank, audio burn or verify and stays open to its end, so per command the drive sees only
// the command itself and no other program's commands come between the job's.
#pragma once

#include <string>

#include "scsi/SCSITypes.h"

class TCDBurner;

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
