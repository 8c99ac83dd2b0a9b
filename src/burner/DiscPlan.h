// What is in the drive and how it is written. Before a burn writes anything, the preflight asks
// the drive for its current profile (GET CONFIGURATION), the disc state (READ DISC
// INFORMATION) and the room left (READ TRACK INFORMATION, READ FORMAT CAPACITIES) and makes
// one plan of it: the medium (its row of the catalogue of media), its state and the free
// blocks, or the reason the disc cannot take the image. The burn of a plan runs the same steps
// for every medium, the row's write steps saying which apply.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "burner/CDBurner.h"
#include "catalog/Media.h"
#include "mmc/SCSIUnit.h"

// "DVD+R" (the catalogue's name of the profile's first row); "DVD-RAM" and the like for a
// profile this program knows but does not write; "profile 0012h" for any other.
std::string ProfileName(std::uint16_t Profile);

enum class TDiscState : std::uint8_t {
    Unknown,       // the drive did not say
    Blank,
    Appendable,
    Closed,
    Unformatted,   // an overwritable disc that needs FORMAT UNIT first
    Written,       // an overwritable disc that holds data
};
const char* DiscStateText(TDiscState State);

enum class TPlanVerdict : std::uint8_t {
    Burn,          // go ahead
    ReadOnly,      // a pressed disc
    NotBlank,      // a write-once disc already written
    NeedsBlank,    // a used rewritable disc (blank it first)
    TooSmall,      // the image does not fit
    Unsupported,   // a medium this program does not write
};

struct TDiscPlan {
    // True when GET CONFIGURATION answered with a profile; false: a CD writer of old, which
    // names no medium (Profile stays prNone) and is written with the CD burn, as it always was.
    bool ProfileKnown = false;
    std::uint16_t Profile = prNone;
    // The medium's row: of the profile, and of those sharing it (single and dual layer) the one
    // whose capacity holds the disc's. Null for a profile this program does not write.
    const kvcat::Medium* Medium = nullptr;
    // The Test Write bit of the row's write feature as the drive lists it: 1, 0, or -1 when
    // the drive lists no such feature (its capabilities page then says).
    std::int8_t DriveTestWrite = -1;
    TDiscState State = TDiscState::Unknown;
    bool Erasable = false;
    std::uint16_t Sessions = 0;          // sessions with data
    std::uint16_t Tracks = 0;
    bool NextWritableValid = false;
    std::uint32_t NextWritable = 0;
    std::uint16_t NextTrack = 1;         // the track a write-once burn writes and closes
    std::int64_t FreeBlocks = -1;        // -1: the drive cannot tell
    std::int64_t Capacity = -1;          // blocks of the whole disc, -1 unknown
    std::uint32_t FormatBlocks = 0;      // the format to lay down on an unformatted disc
    std::uint32_t FormatParameter = 0;   // with the type-dependent parameter the drive offered
    bool BlankFirst = false;             // a used rewritable disc to blank before the burn
    // A DVD-R in a drive without incremental recording: written disc at once into a track
    // reserved for the image (RESERVE TRACK), as the drive offers.
    bool DiscAtOnce = false;
    std::int64_t ImageBlocks = 0;
    TPlanVerdict Verdict = TPlanVerdict::Burn;
    std::string Refusal;                 // the message when Verdict is not Burn

    bool CanBurn() const { return Verdict == TPlanVerdict::Burn; }
    // "DVD+R" (the row's name); "unknown medium (the drive reports no profile)" when the drive
    // names none.
    std::string MediumName() const;
    // "Disc : DVD+R, blank, 2295104 blocks free"
    std::string StatusLine() const;
};

// The report of the disc in the drive, the same for every front end, one line each:
// "Profile       : DVD+R", then the disc status, erasable, sessions, tracks, next writable
// address, free blocks and capacity (blocks and MiB), each "unknown" or "none" when the drive
// did not say.
std::vector<std::string> DiscInfoLines(const TDiscPlan& Plan);
// The profile as the report names it: the medium, or "unknown (the drive reports no profile)".
std::string DiscProfileText(const TDiscPlan& Plan);
// One line for a main window: "DVD+R, blank, 4482 MiB free", "CD-RW, closed, 0 MiB free";
// "unknown medium, ..." for a drive that names none, the state and the room left out when the
// drive did not say them, and "no disc" for a plan never probed (a default TDiscPlan).
std::string DiscSummaryLine(const TDiscPlan& Plan);

// How every front end names the disc a burn made: "CD" for a CD and for a drive that names no
// medium, the medium's name ("DVD+R") otherwise.
std::string MediumWord(const TDiscPlan& Plan);
// The first line of a failed image burn: "Error creating CD." or "Error creating DVD+R.".
std::string CreationErrorText(const TDiscPlan& Plan);
// The end of a burn that ran to its end: "CD Creation Complete!" (or the medium's name), and
// for an image that boots "\r\nBe sure your computer can boot from your CD drive." (DVD, BD).
std::string CreationCompleteText(const TDiscPlan& Plan, bool Bootable);

// Asks the drive what it holds (nothing is written). ImageBlocks < 0: no image to fit (disc
// information only).
TDiscPlan ProbeDisc(TCDBurner& Burner, std::int64_t ImageBlocks = -1);

// The preflight of a burn: probes the disc, decides, and on a refusal leaves the tray unlocked,
// sets LastOutcome (Medium for a disc that cannot be written, Input for an image too large)
// and says why through OnStatus ("Error : <message>"). BlankAsNeeded lets a used rewritable
// disc through, marked BlankFirst. Otherwise the first status line states the plan.
TDiscPlan PlanBurn(TCDBurner& Burner, std::int64_t ImageBlocks, bool BlankAsNeeded = false);
// PlanBurn's verdict without its effects: nothing is said, the tray and LastOutcome are left
// alone. For asking every writer whether its disc could take the image.
TDiscPlan JudgeBurn(TCDBurner& Burner, std::int64_t ImageBlocks, bool BlankAsNeeded = false);
// The same for an audio burn: only a CD-R or CD-RW takes audio tracks (their size is checked
// by the audio burn's own test).
TDiscPlan PlanAudioBurn(TCDBurner& Burner, bool BlankAsNeeded = false);

// The data image burn of a plan: the row's write steps (blank or format first where the plan
// says, write parameters where the row has them, the writes, sync, closes), the same burn and
// the same events for every medium.
// The image is read through the descriptor its check opened, its bytes hashed as they are
// handed to the drive, and its identity checked before anything changes the disc and after
// the burn (see TCDBurner::BurnDataImage): a change, or burnt bytes that differ from Published,
// fail the job.
bool BurnPlannedImage(TCDBurner& Burner, const TImageFile& Image, const TPublishedDigest& Published,
                      const TDiscPlan& Plan, std::uint8_t CloseSession);
// The same for the image by its name, opened here (a missing image raises), with no published
// sum: the desktop program's burn.
bool BurnPlannedImage(TCDBurner& Burner, const std::string& FileName, const TDiscPlan& Plan,
                      std::uint8_t CloseSession);

// How `blank` makes a disc read as blank.
enum class TBlankMethod : std::uint8_t {
    Refused,      // the disc cannot be blanked (Refusal says why)
    Blank,        // BLANK: CD-RW and sequential DVD-RW (and an erasable disc of a drive that names none)
    Overwrite,    // overwritable media: the first 64 KiB (system area and volume descriptors) zeroed
    AlreadyBlank, // an overwritable disc that holds nothing yet: nothing to do
};

struct TBlankPlan {
    TDiscPlan Disc;
    TBlankMethod Method = TBlankMethod::Refused;
    std::string Refusal;
};

// The preflight of `blank` (nothing is changed): what is in the drive and how it is made
// blank, or why it cannot be. A read-only or write-once disc is refused. An overwritable disc
// (DVD+RW, DVD-RW in restricted overwrite, BD-RE) is never sent BLANK, which MMC does not
// offer for it: like the independent burners, the blank zeroes its first 64 KiB so that no
// volume descriptor is left, and the disc then reads as blank.
TBlankPlan PlanBlank(TCDBurner& Burner);

// The blocks an overwrite blank zeroes: 64 KiB from address 0.
inline constexpr std::uint32_t kOverwriteBlankBlocks = 32;

// Zeroes the first kOverwriteBlankBlocks of an overwritable disc (WRITE(10), SYNCHRONIZE
// CACHE), with the blank's status texts ("Blanking : <medium>", "Blanking Finished!") and
// progress. False after the step's error line; LastOutcome says where it stopped.
bool OverwriteBlank(TCDBurner& Burner, const TDiscPlan& Plan);

// What keeps a simulated burn of this plan from recording nothing, from the plan alone: a
// medium whose write parameters carry no Test Write (DVD+R/+RW, BD, restricted overwrite), a
// blank or format the burn would need first, a drive whose write feature says no test write.
// True (and Why set) when the simulation must be refused.
bool SimulationRefused(const TDiscPlan& Plan, std::string& Why);

// The profiles the drive can write, from its profile list (in the drive's order).
std::vector<std::uint16_t> WritableProfiles(const TScsiConfiguration& Config);
