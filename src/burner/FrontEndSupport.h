// What the desktop program and keelvane-cli both need around the writer objects, so that the
// two front ends cannot drift apart: the rescue image beside the program, the drive box entry,
// the write-mode presets, the wait for the disc before a job, what a failed job's status lines
// say, advice for a drive the user may not open, and wave files as audio tracks.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "burner/CDBurner.h"
#include "scsi/SCSITypes.h"

class TCDBurnerList;

// Program start and end ----------------------------------------------------------------------

// The ASPI start-up load for the life of a program: the library is loaded (and its two entries
// resolved) when this is made at program start, and released when it goes at program end.
class TAspiStartUpLoad {
public:
    TAspiStartUpLoad();
    ~TAspiStartUpLoad();
    TAspiStartUpLoad(const TAspiStartUpLoad&) = delete;
    TAspiStartUpLoad& operator=(const TAspiStartUpLoad&) = delete;
};

// The rescue image -----------------------------------------------------------------------------

inline constexpr char kRescueImageName[] = "Keelvane.iso";
inline constexpr char kDemoImageName[] = "KeelvaneDemo.iso";

// The folder of the running program, with its trailing separator.
std::string ProgramFolder();
// The image the burn command takes: "Keelvane.iso" when it is a file in Folder, otherwise
// "KeelvaneDemo.iso" whether or not that exists. Folder ends with a separator.
std::string RescueImagePath(const std::string& Folder);
// Whether either image lies in Folder (the test that enables the burn button).
bool RescueImagePresent(const std::string& Folder);

// The drive box ------------------------------------------------------------------------------

// "E:\  [ VENDOR   PRODUCT         ]": the letter, ":\  [ ", the display name as the drive
// reports it, "]".
std::string DriveBoxEntry(const TCDBurnerInfo& Info);

// Write parameters ---------------------------------------------------------------------------

// One setting of the write parameters page (mode page 05h) as SetWriteParameters takes it.
struct TWriteParameters {
    std::uint8_t WriteType;
    std::uint8_t DataBlockType;
    std::uint8_t TrackModeByte;
    std::uint8_t SessionFormat;
    std::uint32_t PacketSize;
    std::uint16_t AudioPauseLength;
    bool TestWrite;
    bool BurnProof;
};

// "Set WriteMode to Data Write": track at once, Mode 1 blocks, data track, BUFE on (the data
// burn's values).
inline constexpr TWriteParameters kDataWriteParameters{1, 8, 4, 0, 0, 150, false, true};
// "Set WriteMode to CDDA": track at once, raw 2352-byte blocks, track mode byte 16, BUFE on.
inline constexpr TWriteParameters kCDDAWriteParameters{1, 0, 16, 0, 0, 150, false, true};

// SetWriteParameters with the preset; the result is in the writer's LastError.
bool SetWriteMode(TCDBurner& Burner, const TWriteParameters& Parameters);

// Empties all six event slots: after a job, so that the writer keeps no handler of a front
// end that may be gone.
void UnsubscribeEvents(TCDBurner& Burner);

// Before a job -------------------------------------------------------------------------------

// How long a burn waits for a disc that is still spinning up.
inline constexpr std::chrono::seconds kBurnReadyWait{60};

// Waits until the drive is ready for a burn, so that a drive without a disc, or one still
// becoming ready, is told apart from a failed write. On failure the writer reports
// "Error : Drive Not Ready : <result name>" through OnStatus; the result is returned.
TScsiError WaitForDriveBeforeBurn(TCDBurner& Burner, std::chrono::milliseconds Limit = kBurnReadyWait);

// Blocks of 2352 bytes the track takes on the disc: the sample bytes it holds, a partial last
// block counted whole (as the audio burn writes them).
std::int64_t AudioBlocksOfTrack(TCDTrack& Track);
// Whether tracks 0 .. TrackCount-1 of the writer's list fit in the free blocks the drive
// reports (a drive that cannot tell is trusted). When they do not, the writer reports
// "Error : Audio larger than disc (N blocks needed, M free)" through OnStatus: the audio burn
// itself would write until the disc is full and leave it ruined.
bool AudioTracksFitDisc(TCDBurner& Burner, std::int32_t TrackCount);

// After a failed job -------------------------------------------------------------------------

enum class TBurnFailure {
    Interrupted,       // stopped on request
    NotReady,          // no disc, or the drive never became ready
    WriteParameters,   // the drive refused mode page 05h
    Input,             // the image or the audio tracks cannot be burnt as they are
    Write,             // a WRITE(10) failed or the drive's buffer never drained
    Closing,           // SYNCHRONIZE CACHE, CLOSE TRACK or CLOSE SESSION failed
};

// Which step ended a job that returned false, from its status lines (in the order sent): the
// last line that names a cause decides. A job without such a line counts as a write failure.
TBurnFailure ClassifyBurnFailure(const std::vector<std::string>& StatusLines, bool Interrupted);
// The text a failed job ends with: its last status line, or the result name of LastError when
// it sent none.
std::string BurnFailureText(const std::vector<std::string>& StatusLines, TScsiError LastError);

// Drive access -------------------------------------------------------------------------------

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

// Wave files as audio tracks -------------------------------------------------------------------

// The file name without folder and extension: the title of a track made from it.
std::string TrackTitleOfFile(const std::string& FileName);
// Appends an entry to Tracks linked to the file (its samples are read as the burn goes), titled
// (and named) after the file. A file that cannot be read, or is not a regular file (a FIFO, a
// device), raises EStreamError at once (nothing is appended then).
TCDTrackItem& AddWaveFileTrack(TCDTrackList& Tracks, const std::string& FileName);
// Whether the track's samples are CD audio as a CD player plays them: PCM, 44,100 samples a
// second, 16 bits, two channels. Any other wave would play as noise when burnt unchanged.
bool IsCDAudioFormat(TCDTrack& Track);
