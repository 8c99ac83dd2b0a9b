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

// Where a rescue image may lie, in the order the folders are searched.
enum class TImagePlace {
    BesideProgram,   // the program's own folder (a build folder, or a copy the user made)
    InstalledData,   // the data folder of the installation the program belongs to
    UserData,        // the user's own data folder, for an image dropped in without root
};

// A place and its folder, with the trailing separator.
struct TImageFolder {
    TImagePlace Place;
    std::string Folder;
};

// The folders searched for the images of the program in Folder: Folder itself; the installed
// data folder found from it (<prefix>/share/keelvane/ for a program in <prefix>/bin/, so that a
// relocated or staged installation finds its own); then $XDG_DATA_HOME/keelvane/, by default
// ~/.local/share/keelvane/ (left out when no home folder is known).
std::vector<TImageFolder> RescueImageFolders(const std::string& Folder);

// The image found, or the one the burn command takes when none is.
struct TRescueImage {
    std::string Path;
    TImagePlace Place = TImagePlace::BesideProgram;
    bool Found = false;
};
// The first folder holding "Keelvane.iso" or "KeelvaneDemo.iso" wins, the rescue image before
// the demo image in each. When neither lies anywhere: "KeelvaneDemo.iso" beside the program,
// not found.
TRescueImage FindRescueImage(const std::string& Folder);
// "beside the program", "in the installed data folder", "in the user's data folder".
const char* ImagePlaceText(TImagePlace Place);

// The image the burn command takes (FindRescueImage's path). Folder ends with a separator.
std::string RescueImagePath(const std::string& Folder);
// Whether an image lies in any of the folders (the test that enables the burn button).
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

// Empties all seven event slots: after a job, so that the writer keeps no handler of a front
// end that may be gone.
void UnsubscribeEvents(TCDBurner& Burner);

// Before a job -------------------------------------------------------------------------------

// How long a burn waits for a disc that is still spinning up.
inline constexpr std::chrono::seconds kBurnReadyWait{60};

// Waits until the drive is ready for a job (a burn or a blank), so that a drive without a
// disc, or one still becoming ready, is told apart from a failed write; OnWait comes
// meanwhile, and a stop request ends the wait (Err_Aborted, the tray released). On failure the
// writer reports "Error : Drive Not Ready : <result name>" through OnStatus and its
// LastOutcome says NotReady (Interrupted when stopped); the result is returned.
TScsiError WaitForDriveBeforeBurn(TCDBurner& Burner, std::chrono::milliseconds Limit = kBurnReadyWait);

// Blocks of 2352 bytes the track takes on the disc: the sample bytes it holds, a partial last
// block counted whole (as the audio burn writes them).
std::int64_t AudioBlocksOfTrack(TCDTrack& Track);

// While a job waits on the drive -----------------------------------------------------------------

// The phase for scripts: "drive-ready", "buffer", "sync-cache", "close-track", "close-session",
// "blank", "format".
const char* WaitPhaseName(TWaitPhase Phase);
// What is waited for, for people: "waiting for the drive", "closing session", ...
const char* WaitPhaseLabel(TWaitPhase Phase);

// After a failed job -------------------------------------------------------------------------

// The step a failed job ended at, by name: "Write Error", "Close Session Error", ...
std::string JobStepName(TJobStep Step);
// "<step name>[ at sector N] : <error name>" for a failed job's outcome; the error part only
// when the drive's result is known.
std::string JobOutcomeText(const TJobOutcome& Outcome);
// Whether the outcome is a drive without a disc: a NOT READY answer that is no busy drive.
bool NoDiscOutcome(const TJobOutcome& Outcome);
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
