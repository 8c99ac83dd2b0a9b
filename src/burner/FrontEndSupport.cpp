#include "burner/FrontEndSupport.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "burner/CDBurners.h"
#include "platform/VirtualDevice.h"
#include "scsi/wnaspi32.h"

namespace {

bool IsFile(const std::string& Path)
{
    struct stat st;
    return ::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool StartsWith(std::string_view Text, std::string_view Prefix)
{
    return Text.substr(0, Prefix.size()) == Prefix;
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
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return "./";
    const std::string path(buffer, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

std::string RescueImagePath(const std::string& Folder)
{
    const std::string preferred = Folder + kRescueImageName;
    return IsFile(preferred) ? preferred : Folder + kDemoImageName;
}

bool RescueImagePresent(const std::string& Folder)
{
    // The demo image is tested first here; the burn command prefers the rescue image.
    return IsFile(Folder + kDemoImageName) || IsFile(Folder + kRescueImageName);
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
}

TScsiError WaitForDriveBeforeBurn(TCDBurner& Burner, std::chrono::milliseconds Limit)
{
    const TScsiError ready = Burner.WaitUntilReady(Limit);
    if (ready != Err_None && Burner.OnStatus)
        Burner.OnStatus("Error : Drive Not Ready : " + ScsiErrorToText(ready));
    return ready;
}

std::int64_t AudioBlocksOfTrack(TCDTrack& Track)
{
    constexpr std::uint32_t kRawBlock = 2352;
    const std::uint32_t bytes = Track.AvailableDataSize();
    return bytes / kRawBlock + (bytes % kRawBlock != 0);
}

bool AudioTracksFitDisc(TCDBurner& Burner, std::int32_t TrackCount)
{
    std::int64_t needed = 0;
    for (std::int32_t t = 0; t < TrackCount && t < Burner.Tracks.Count(); ++t)
        needed += AudioBlocksOfTrack(*Burner.Tracks.Items(t).CDTrack());
    const std::int64_t free = Burner.GetFreeBlocks();
    if (free < 0 || needed <= free)
        return true;
    if (Burner.OnStatus)
        Burner.OnStatus("Error : Audio larger than disc (" + std::to_string(needed) + " blocks needed, " +
                        std::to_string(free) + " free)");
    return false;
}

TBurnFailure ClassifyBurnFailure(const std::vector<std::string>& StatusLines, bool Interrupted)
{
    if (Interrupted)
        return TBurnFailure::Interrupted;

    struct Rule {
        std::string_view prefix;
        TBurnFailure failure;
    };
    static constexpr std::array<Rule, 15> kRules = {{
        {"Cancelled :", TBurnFailure::Interrupted},
        {"Error : Drive Not Ready", TBurnFailure::NotReady},
        {"HardWare : Set Write Mode Error", TBurnFailure::WriteParameters},
        {"HardWare : Set Audio Write Mode Error", TBurnFailure::WriteParameters},
        {"Error : Error in Image Size", TBurnFailure::Input},
        {"Error : Image larger than disc", TBurnFailure::Input},
        {"Error : Audio larger than disc", TBurnFailure::Input},
        {"Error : Read Error", TBurnFailure::Input},
        {"Error : Too Many Tracks", TBurnFailure::Input},
        {"Error : No Audio Data in Track", TBurnFailure::Input},
        {"Error : Write Error", TBurnFailure::Write},
        {"Error : Buffer Wait Timeout", TBurnFailure::Write},
        {"Error : Sync Cache Error", TBurnFailure::Closing},
        {"Error : Close Track Error", TBurnFailure::Closing},
        {"Error : Close Session Error", TBurnFailure::Closing},
    }};
    // The last line that names a cause is the step the job ended on.
    for (auto line = StatusLines.rbegin(); line != StatusLines.rend(); ++line)
        for (const auto& rule : kRules)
            if (StartsWith(*line, rule.prefix))
                return rule.failure;
    return TBurnFailure::Write;
}

std::string BurnFailureText(const std::vector<std::string>& StatusLines, TScsiError LastError)
{
    return StatusLines.empty() ? ScsiErrorToText(LastError) : StatusLines.back();
}

std::string DeviceAccessGroup(const std::string& DevicePath)
{
    struct stat st;
    if (::stat(DevicePath.c_str(), &st) != 0 || st.st_gid == 0 ||
        (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return {};
    if (const struct group* g = ::getgrgid(st.st_gid))
        return g->gr_name;
    return {};
}

std::string PermissionAdvice(const std::string& DevicePath, const std::string& GroupName,
                             const std::string& ProgramName)
{
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
    const auto slash = FileName.find_last_of('/');
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
