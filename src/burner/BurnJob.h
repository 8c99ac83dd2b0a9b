// One burn job of a writer from start to end, the same for every front end: the image check
// (through the descriptor the burn and the verify read), the drive held and waited for, the
// preflight and plan, a blank or format the disc needs, simulation and speed, the write, the
// close, the read-back verify, the tray unlocked and the disc ejected. A front end maps its
// options onto TBurnJobOptions and the typed events onto its own output; it reads no status
// text and decides nothing the job decides.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "burner/CDBurner.h"
#include "burner/DiscPlan.h"
#include "burner/ImageCheck.h"
#include "burner/JobScope.h"
#include "burner/ProgressRate.h"

struct TStickTarget;

struct TBurnJobOptions {
    std::string Image;              // the data image (a burn of audio tracks takes none)
    bool CheckImage = true;         // check the image (ISO 9660, published sums) before the drive
    bool Force = false;             // burn an image that is no ISO 9660 image as it is
    std::string ExpectedSha256;     // a sum given by the user, before any published one
    bool Simulate = false;          // Test Write: the drive records nothing
    bool SpeedGiven = false;
    std::uint32_t Speed = 0;        // x; 0: the drive's maximum
    bool Verify = true;             // read the disc back and compare it with the image
    bool Eject = true;
    bool KeepSessionOpen = false;
    bool BlankAsNeeded = false;     // a used rewritable disc is blanked first
    bool FastBlank = false;         // `blank`: the minimal blank
    // The drive is held open, exclusively, from the wait for the disc to the eject (a drive
    // another program has is refused before anything is sent), a blank before an audio burn
    // keeps the tray locked into the burn, and the tray is released at the end whatever
    // happened. Off: each engine call opens the drive and keeps its tray lock itself.
    bool HoldDrive = true;
    // Asked when the disc needs a blank and BlankAsNeeded is not given: true blanks it. Unset:
    // the job is refused.
    std::function<bool(const TDiscPlan& Plan)> ConfirmBlank;
    // Whether a stop was asked for while the job could not yet pass it to the writer.
    std::function<bool()> StopRequested;
    // Seconds on a monotonic clock, for the speed and time left of the progress. Unset: the
    // steady clock (tests give their own).
    std::function<double()> Clock;
    // A stick: write an image without a partition table all the same (it boots from no stick).
    bool AllowNonHybrid = false;
};

// How far a job came, for the front ends' messages and exit codes.
enum class TBurnJobEnd : std::uint8_t {
    Done,              // ran to its end (a blank: blanked, or already blank)
    ImageMissing,      // the image could not be opened (ImageOpenError says why)
    ImageRefused,      // the image check refused it (Check says why)
    CheckStopped,      // stopped while the image was checked
    InUse,             // another program has the drive; nothing was sent
    NotReady,          // the drive did not become ready (NoDisc tells a missing disc)
    StoppedBeforeStart,// stopped before anything was written
    PlanRefused,       // the disc cannot take the job (Plan says why)
    BlankRefused,      // `blank`: the disc cannot be blanked (BlankPlan says why)
    CannotSimulate,    // a simulation was asked for that the drive or disc cannot do
    SpeedRefused,      // the drive refused the write speed
    Raised,            // the burn or the verify could not read the image (Message)
    Failed,            // the job ended at Step (the writer's outcome)
    NotHybrid,         // a stick: the image has no partition table (Message); nothing was written
    CannotOpen,        // a stick: it could not be opened (Message: why, and what to do)
    TooSmall,          // a stick: the image is larger than the stick (Message); nothing was written
};

// The typed result of a job; filled as it goes (complete when Run returns, and all but
// Ejected when the Eject phase starts).
struct TBurnJobResult {
    TBurnJobEnd End = TBurnJobEnd::Done;
    bool Succeeded() const { return End == TBurnJobEnd::Done; }
    std::string Image;
    std::string ImageOpenError;         // ImageMissing: why it could not be opened
    std::string InUseText;              // InUse: "D: is in use by another program"
    TScsiError SpeedError = Err_None;   // SpeedRefused: the drive's answer
    bool BlankDeclined = false;         // PlanRefused: the user would not have the disc blanked
    bool Written = false;               // the write ran to its end
    bool ChangedAtVerify = false;       // the verify found the image changed since the burn began
    TJobPhase EndPhase = TJobPhase::Setup;   // the phase the job was in when the tray was unlocked
    std::string BurntSha256;            // of the bytes handed to the drive
    std::string BurntPublishedHex;      // the same, of the published sum's kind
    std::string PublishedComparison;    // how the disc compared with the published sum
    TJobStep Step = TJobStep::None;     // the step that decides the exit code of a failed job
    TJobOutcome Outcome;                // the writer's outcome of the burn itself
    std::string Message;                // Raised: the exception's text; CannotSimulate: why
    bool NoDisc = false;                // NotReady: the drive said MEDIUM NOT PRESENT
    TScsiError ReadyError = Err_None;   // NotReady: the drive's answer
    bool Raised = false;                // the burn itself raised (Message)
    bool VerifyRaised = false;          // the verify could not read the image again (Message)
    std::int64_t Sectors = 0;           // of the image (blocks of all tracks for audio)
    std::int64_t SectorsSent = 0;       // handed to the drive in the write phase
    TScsiError LastError = Err_None;    // the writer's result after the burn and verify
    bool Verified = false;
    bool ImageChanged = false;          // since the burn started, found by the verify
    std::string ReadBackSha256;         // of a verified disc, or of a changed image's disc
    std::int64_t FirstDifferentSector = -1;
    bool TrayUnlocked = false;
    TScsiError UnlockError = Err_None;
    bool Ejected = false;
    std::int64_t WriteSpeedKBs = -1;    // what the drive reported after the speed was set
    // The drive buffer's health while the write fed it (kvrate::TBufferHealth): the lowest fill
    // in percent (-1: never filled, or not reported), and how often it was found empty.
    int LowestDriveBuffer = -1;
    int DriveBufferEmptied = 0;
    TDiscPlan Plan;                     // PlanRefused, and the blank command's disc
    TBlankMethod BlankMethod = TBlankMethod::Refused;
    std::string BlankRefusal;
    std::string Warning;                // a stick: the kernel did not re-read its partition table
};

// One progress report: sector (-1 when the step reports a percent only), total, percent and
// the two buffers (-1: not reported), and the pace, measured by the job from the start of the
// step's progress (a new phase, or the progress after an OnProgressEnd, starts again).
struct TJobProgress {
    TJobPhase Phase = TJobPhase::Setup;
    std::int64_t Sector = -1;
    std::int64_t Total = 0;
    int Percent = 0;
    int DriveBuffer = -1;
    int FileBuffer = -1;
    double BlocksPerSecond = 0;   // over the last few seconds; 0: not measured yet (or no sectors)
    double SpeedX = 0;            // the same in the disc's x (0 when not measured, or no disc known)
    double ElapsedSeconds = 0;    // since the step's progress began
    double SecondsLeft = -1;      // -1: not known yet
};

// Tests: every status line a job sends (the writer's and its own) passes through this filter
// first, so that a test can prove no front end reads the wording. Null: as sent.
using TStatusTextFilter = std::string (*)(const std::string& Text);
void SetStatusTextFilterForTesting(TStatusTextFilter Filter);

class TBurnJob {
public:
    explicit TBurnJob(TBurnJobOptions Options);
    ~TBurnJob();
    TBurnJob(const TBurnJob&) = delete;
    TBurnJob& operator=(const TBurnJob&) = delete;

    // Events: empty until assigned.
    std::function<void(TJobPhase Phase, const std::string& Text)> OnStatus;
    std::function<void(const TJobProgress& Progress)> OnProgress;
    // The live progress of a step is complete (a front end keeps it on screen).
    std::function<void()> OnProgressEnd;
    std::function<void(const TWaitInfo& Wait)> OnWait;
    std::function<void(TJobPhase Phase)> OnPhase;
    // The result is complete but for the eject: after the tray is unlocked, before the eject.
    std::function<void(const TBurnJobResult& Result)> OnReport;

    // Before any drive is touched: opens the image once (the burn and the verify read the same
    // descriptor) and checks it when CheckImage is set. False when the job cannot go on (Result
    // says why); an image that cannot be opened is left to Burn, which refuses it before the
    // drive is touched. Without this call Burn opens the image by its name only to write it (a
    // missing image raises then, after the wait and the plan: Result().Raised).
    bool CheckImage();
    // Set by a stop request while the image is checked.
    std::atomic<bool> CheckStop{false};
    const std::optional<TImageCheck>& ImageCheck() const { return FCheck; }

    // The data burn of the image on Burner, the audio burn of the first TrackCount tracks of
    // Burner.Tracks, the blank of the disc in Burner. True when the job ran to its end.
    bool Burn(TCDBurner& Burner);
    bool BurnAudio(TCDBurner& Burner, std::int32_t TrackCount);
    bool Blank(TCDBurner& Burner);
    // The burn of the image on a USB stick, an SD card or a virtual stick: the image must be a
    // hybrid one (unless AllowNonHybrid), then write, flush, the partition table re-read, and
    // the read-back verify as for a disc. Built into kv_stick (StickJob.cpp).
    bool BurnStick(const TStickTarget& Target);

    const TBurnJobResult& Result() const { return FResult; }
    const TBurnJobOptions& Options() const { return FOptions; }
    // Takes the image check of Checked (its verdict, published sum and descriptor) instead of
    // a check of its own: several jobs burn one image, opened and checked once.
    void ShareImageCheck(const TBurnJob& Checked);
    // The published sum the burnt bytes must have (empty when none was checked).
    const TPublishedDigest& Published() const { return FPublished; }
    // Why the image changed during the burn, when it did ("its size changed"), else empty.
    std::string ImageChangeText() const;

private:
    friend class TBurnJobSet;   // records what a job's thread raised
    class Subscription;
    void Phase(TJobPhase Phase);
    void Status(const std::string& Text);
    void Progress(const TJobProgress& Progress);
    void EndProgress();
    bool Stopped() const { return FOptions.StopRequested && FOptions.StopRequested(); }
    bool Fail(TBurnJobEnd End, TJobStep Step);
    // Holds the drive and waits for it: false after Result says why.
    bool Start(TCDBurner& Burner, const std::optional<TDeviceHold>& Hold);
    // The plan, then simulation and speed: false after Result says why (the tray unlocked).
    bool PlanAndPrepare(TCDBurner& Burner, std::int64_t ImageBlocks);
    bool ApplySpeed(TCDBurner& Burner);
    void WriterProgress(std::int32_t Index, std::int32_t Percent);
    void Verify(TCDBurner& Burner);
    void ReadBackChangedImage(TCDBurner& Burner);
    void Finish(TCDBurner& Burner);

    TBurnJobOptions FOptions;
    TBurnJobResult FResult;
    std::optional<TImageCheck> FCheck;
    std::shared_ptr<TImageFile> FImage;   // shared by the jobs of one image
    bool FImageOpened = false;    // CheckImage tried to open the image
    TPublishedDigest FPublished;
    TJobPhase FPhase = TJobPhase::Setup;
    TJobProgress FSample;
    bool FEndsProgress = false;   // the next status line ends the live progress
    bool FAudio = false;
    bool FBlankCommand = false;
    kvrate::TBufferHealth FBufferHealth;
    // The feeding thread's real-time scheduling while a write keeps a buffer full.
    std::unique_ptr<class TFeedPriority> FFeedPriority;
    // The pace of the step's progress: restarted by a new phase or after the end of a progress.
    double Now() const;
    kvrate::TRateMeter FRate;
    bool FRateStarted = false;
    TJobPhase FRatePhase = TJobPhase::Setup;
    double FRateStart = 0;
};
