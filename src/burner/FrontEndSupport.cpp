#include "burner/FrontEndSupport.h"

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#endif


#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "burner/CDBurners.h"
#include "platform/Posix.h"
#include "platform/VirtualDevice.h"
#include "scsi/wnaspi32.h"

// The installed data folder as seen from the installed programs' folder (set by the build from
// the installation folders it is configured with).
#ifndef KV_DATA_FROM_BIN
#define KV_DATA_FROM_BIN "../share/keelvane/"
#endif

namespace {

bool IsFile(const std::string& Path)
{
    struct stat st;
    return ::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

TAspiStartUpLoad::TAspiStartUpLoad()
{
    wnaspi32::LoadWNASPI32();
}

TAspiStartUpLoad::~TAspiStartUpLoad()
{
    wnaspi32::FreeWNASPI32();
}

std::string ProgramFolder()
{
    const std::string path = kvsys::ProgramPath();
    const auto slash = path.find_last_of(kvsys::kPathSeparators);
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

std::vector<TImageFolder> RescueImageFolders(const std::string& Folder)
{
    std::vector<TImageFolder> folders{{TImagePlace::BesideProgram, Folder}};
    // Lexically, without resolving links: the program's own folder is already the real one.
    std::string installed = std::filesystem::path(Folder + KV_DATA_FROM_BIN).lexically_normal().string();
    const auto endsInSeparator = [](const std::string& Path) {
        return !Path.empty() && std::string_view(kvsys::kPathSeparators).find(Path.back()) != std::string_view::npos;
    };
    if (!installed.empty() && !endsInSeparator(installed))
        installed += '/';
    folders.push_back({TImagePlace::InstalledData, installed});

    // The XDG base directory rules: a relative $XDG_DATA_HOME is to be ignored.
    std::string dataHome;
#ifdef _WIN32
    // Windows keeps a user's program data under %LOCALAPPDATA%.
    if (const char* local = std::getenv("LOCALAPPDATA"); local && local[0] != '\0')
        dataHome = local;
#else
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
        dataHome = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') {
            const struct passwd* user = ::getpwuid(::getuid());
            home = user ? user->pw_dir : nullptr;
        }
        if (home && home[0] == '/')
            dataHome = std::string(home) + "/.local/share";
    }
#endif
    if (!dataHome.empty()) {
        if (!endsInSeparator(dataHome))
            dataHome += '/';
        folders.push_back({TImagePlace::UserData, dataHome + "keelvane/"});
    }
    return folders;
}

TRescueImage FindRescueImage(const std::string& Folder)
{
    for (const TImageFolder& place : RescueImageFolders(Folder))
        for (const char* name : {kRescueImageName, kDemoImageName})
            if (IsFile(place.Folder + name))
                return {place.Folder + name, place.Place, true};
    return {Folder + kDemoImageName, TImagePlace::BesideProgram, false};
}

const char* ImagePlaceText(TImagePlace Place)
{
    switch (Place) {
    case TImagePlace::BesideProgram: return "beside the program";
    case TImagePlace::InstalledData: return "in the installed data folder";
    case TImagePlace::UserData: return "in the user's data folder";
    }
    return "";
}

std::string RescueImagePath(const std::string& Folder)
{
    return FindRescueImage(Folder).Path;
}

bool RescueImagePresent(const std::string& Folder)
{
    return FindRescueImage(Folder).Found;
}

std::string DriveBoxEntry(const TCDBurnerInfo& Info)
{
    return std::string(1, Info.DriveLetter) + ":\\  [ " + Info.DisplayName + "]";
}

bool SetWriteMode(TCDBurner& Burner, const TWriteParameters& P)
{
    return Burner.SetWriteParameters(P.WriteType, P.DataBlockType, P.TrackModeByte, P.SessionFormat, P.PacketSize,
                                     P.AudioPauseLength, P.TestWrite, P.BurnProof);
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

std::int64_t AudioBlocksOfTrack(TCDTrack& Track)
{
    constexpr std::uint32_t kRawBlock = 2352;
    const std::uint32_t bytes = Track.AvailableDataSize();
    return bytes / kRawBlock + (bytes % kRawBlock != 0);
}

const char* WaitPhaseName(TWaitPhase Phase)
{
    switch (Phase) {
    case TWaitPhase::DriveReady: return "drive-ready";
    case TWaitPhase::Buffer: return "buffer";
    case TWaitPhase::SyncCache: return "sync-cache";
    case TWaitPhase::CloseTrack: return "close-track";
    case TWaitPhase::CloseSession: return "close-session";
    case TWaitPhase::Blank: return "blank";
    case TWaitPhase::Format: return "format";
    }
    return "wait";
}

const char* WaitPhaseLabel(TWaitPhase Phase)
{
    switch (Phase) {
    case TWaitPhase::DriveReady: return "waiting for the drive";
    case TWaitPhase::Buffer: return "waiting for the drive's buffer";
    case TWaitPhase::SyncCache: return "flushing the drive's cache";
    case TWaitPhase::CloseTrack: return "closing track";
    case TWaitPhase::CloseSession: return "closing session";
    case TWaitPhase::Blank: return "blanking";
    case TWaitPhase::Format: return "formatting";
    }
    return "waiting";
}

std::string JobStepName(TJobStep Step)
{
    switch (Step) {
    case TJobStep::None: return "Done";
    case TJobStep::Interrupted: return "Cancelled";
    case TJobStep::NotReady: return "Drive Not Ready";
    case TJobStep::Medium: return "Unusable Disc";
    case TJobStep::WriteParameters: return "Set Write Mode Error";
    case TJobStep::Input: return "Input Error";
    case TJobStep::Write: return "Write Error";
    case TJobStep::BufferStall: return "Buffer Wait Timeout";
    case TJobStep::SyncCache: return "Sync Cache Error";
    case TJobStep::CloseTrack: return "Close Track Error";
    case TJobStep::CloseSession: return "Close Session Error";
    case TJobStep::Blank: return "Blank Error";
    case TJobStep::Format: return "Format Error";
    case TJobStep::Verify: return "Verify Error";
    case TJobStep::InUse: return "Drive In Use";
    case TJobStep::ImageChanged: return "Image Changed";
    }
    return "Error";
}

std::string JobOutcomeText(const TJobOutcome& Outcome)
{
    std::string text = JobStepName(Outcome.Step);
    if (Outcome.Sector >= 0)
        text += " at sector " + std::to_string(Outcome.Sector);
    if (Outcome.Error != Err_None)
        text += " : " + ScsiErrorToText(Outcome.Error);
    return text;
}

bool NoDiscOutcome(const TJobOutcome& Outcome)
{
    return Outcome.Step == TJobStep::NotReady && Outcome.Error == Err_SenseNotReady;
}

std::string BurnFailureText(const std::vector<std::string>& StatusLines, TScsiError LastError)
{
    return StatusLines.empty() ? ScsiErrorToText(LastError) : StatusLines.back();
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

std::string TrackTitleOfFile(const std::string& FileName)
{
    const auto slash = FileName.find_last_of(kvsys::kPathSeparators);
    std::string name = slash == std::string::npos ? FileName : FileName.substr(slash + 1);
    // "song.wav" is "song"; a name that only starts with a dot (".wav") keeps it.
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name;
}

TCDTrackItem& AddWaveFileTrack(TCDTrackList& Tracks, const std::string& FileName)
{
    // The samples stay in the file and are read as the burn goes, so that memory does not grow
    // with the size of the waves. A file that cannot be read leaves the list as it was.
    TCDTrackItem& item = Tracks.Add();
    try {
        item.CDTrack()->LinkToFile(FileName);
    } catch (...) {
        Tracks.Delete(Tracks.Count() - 1);
        throw;
    }
    item.CDTrack()->TrackTitle = TrackTitleOfFile(FileName);
    item.Name = item.CDTrack()->TrackTitle;
    return item;
}

bool IsCDAudioFormat(TCDTrack& Track)
{
    constexpr std::uint16_t kFormatPcm = 1;
    constexpr std::uint16_t kFormatExtensible = 0xFFFE;
    // WAVE_FORMAT_EXTENSIBLE names its real format in the first two bytes of the sub-format
    // GUID, at offset 24 of the record.
    constexpr std::size_t kSubFormatOffset = 24;
    const TWaveFormatEx* format = Track.IsValid() ? Track.WaveFormat() : nullptr;
    if (!format)
        return false;
    bool pcm = format->FormatTag() == kFormatPcm;
    if (format->FormatTag() == kFormatExtensible && format->Size() >= kSubFormatOffset + 2)
        pcm = (format->Data()[kSubFormatOffset] | (format->Data()[kSubFormatOffset + 1] << 8)) == kFormatPcm;
    return pcm && format->SamplesPerSec() == 44100 && format->BitsPerSample() == 16 && format->Channels() == 2;
}
