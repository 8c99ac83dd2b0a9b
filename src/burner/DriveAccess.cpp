#include "burner/DriveAccess.h"

#ifndef _WIN32
#include <grp.h>
#endif

#include <cerrno>
#include <cstring>

#include "burner/CDBurners.h"
#include "platform/Posix.h"
#include "platform/VirtualDevice.h"
#include "scsi/wnaspi32.h"

TAspiStartUpLoad::TAspiStartUpLoad()
{
    wnaspi32::LoadWNASPI32();
}

TAspiStartUpLoad::~TAspiStartUpLoad()
{
    wnaspi32::FreeWNASPI32();
}

std::string DriveBoxEntry(const TCDBurnerInfo& Info)
{
    return std::string(1, Info.DriveLetter) + ":\\  [ " + Info.DisplayName + "]";
}

std::string DeviceAccessGroup(const std::string& DevicePath)
{
#ifdef _WIN32
    // Windows gives device access by privilege, not by a group of the device file.
    (void)DevicePath;
    return {};
#else
    struct stat st;
    if (::stat(DevicePath.c_str(), &st) != 0 || st.st_gid == 0 ||
        (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return {};
    if (const struct group* g = ::getgrgid(st.st_gid))
        return g->gr_name;
    return {};
#endif
}

std::string PermissionAdvice(const std::string& DevicePath, const std::string& GroupName,
                             const std::string& ProgramName)
{
#ifdef _WIN32
    // Windows opens a drive for SCSI pass-through to administrators only.
    (void)GroupName;
    return "You have no permission to use " + DevicePath + ": SCSI pass-through needs administrator rights" +
           (ProgramName.empty() ? std::string(".") : "; run " + ProgramName + " as administrator.");
#endif
    if (GroupName.empty()) {
        std::string advice = "You have no permission to use " + DevicePath +
                             ", and no group is given read-write access to it. Optical drives usually "
                             "belong to the \"cdrom\" group: ask your administrator for access";
        return advice + (ProgramName.empty() ? "." : ", or run " + ProgramName + " with sudo.");
    }
    return "You have no permission to use " + DevicePath + ". Add yourself to the \"" + GroupName +
           "\" group that owns it and log in again:\n    sudo usermod -aG " + GroupName + " \"$USER\"";
}

TDriveAccessProblem DriveAccessProblem(const TCDBurnerList& List, int Position, const std::string& ProgramName)
{
    TDriveAccessProblem problem;
    const TDriveScanTable& table = List.ScanTable();
    if (Position < 0 || Position >= List.Count() || Position >= table.Count)
        return problem;
    const TDriveScanEntry& row = table.Rows[Position];
    if (row.Handle != nullptr)
        return problem;
    problem.DevicePath = win::DevicePathOfLetter(row.DriveLetter);
    problem.Errno = row.OpenErrno;
    problem.PermissionDenied = row.OpenErrno == EACCES || row.OpenErrno == EPERM;
    if (row.OpenErrno != 0)
        problem.Reason = "cannot open " + problem.DevicePath + " (drive " + row.DriveLetter +
                         ":): " + std::strerror(row.OpenErrno);
    else
        problem.Reason = "the drive " + problem.DevicePath + " (" + row.DriveLetter + ":) did not answer INQUIRY";
    if (problem.PermissionDenied)
        problem.Advice = PermissionAdvice(problem.DevicePath, DeviceAccessGroup(problem.DevicePath), ProgramName);
    return problem;
}

