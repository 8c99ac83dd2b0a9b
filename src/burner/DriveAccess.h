// What a program needs to reach its drives: the ASPI start-up load, the drive box entry, and
// why a drive the scan could not open cannot be used, with advice for the user.
#pragma once

#include <string>

#include "scsi/SCSITypes.h"

class TCDBurnerList;

// The ASPI start-up load for the life of a program: the library is loaded (and its two entries
// resolved) when this is made at program start, and released when it goes at program end.
class TAspiStartUpLoad {
public:
    TAspiStartUpLoad();
    ~TAspiStartUpLoad();
    TAspiStartUpLoad(const TAspiStartUpLoad&) = delete;
    TAspiStartUpLoad& operator=(const TAspiStartUpLoad&) = delete;
};

// "E:\  [ VENDOR   PRODUCT         ]": the letter, ":\  [ ", the display name as the drive
// reports it, "]".
std::string DriveBoxEntry(const TCDBurnerInfo& Info);

// The group that may read and write the device, or empty when no ordinary group may (a
// device of group root, or without group read-write permission).
std::string DeviceAccessGroup(const std::string& DevicePath);

// Advice for a device the user may not open (EACCES/EPERM). GroupName is the group with
// read-write access (empty: none); ProgramName, when given, is offered to be run with sudo.
std::string PermissionAdvice(const std::string& DevicePath, const std::string& GroupName,
                             const std::string& ProgramName = std::string());

// Why the writer at Position of the list cannot be used, for a drive the scan could not open
// or ask; all empty for a drive that answered.
struct TDriveAccessProblem {
    std::string DevicePath;
    int Errno = 0;              // of the failed open; 0 when the drive did not answer INQUIRY
    bool PermissionDenied = false;
    std::string Reason;         // "cannot open /dev/sr0 (drive D:): Permission denied"
    std::string Advice;         // PermissionAdvice when PermissionDenied, else empty
    bool Exists() const { return !Reason.empty(); }
};
TDriveAccessProblem DriveAccessProblem(const TCDBurnerList& List, int Position,
                                       const std::string& ProgramName = std::string());

