#include "burner/BurnJob.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "burner/CDBufferedStream.h"
#include "burner/FeedPriority.h"
#include "burner/WaveTracks.h"
#include "burner/JobScope.h"
#include "burner/WriteSpeed.h"

namespace {

constexpr std::int64_t kSectorBytes = 2048;

TStatusTextFilter gFilter = nullptr;

std::string Filtered(const std::string& Text) { return gFilter ? gFilter(Text) : Text; }

}  // namespace

void SetStatusTextFilterForTesting(TStatusTextFilter Filter) { gFilter = Filter; }

// The writer's events go through the job for its life (and to the handlers a front end had
// assigned before, which keep firing as they did); the writer keeps none of them afterwards.
class TBurnJob::Subscription {
public:
    Subscription(TBurnJob& Job, TCDBurner& Burner, bool FileBuffer) : B(Burner)
    {
        if (Job.FOptions.HoldDrive) Hold.emplace(Burner.Info);
        const auto status = B.OnStatus;
        const auto progress = B.OnProgress;
        const auto buffer = B.OnBufferProgress;
        const auto fileBuffer = B.OnFileBufferProgress;
        const auto wait = B.OnWait;
        TBurnJob* job = &Job;
        B.OnPhase = [job](TJobPhase Phase, bool Done) {
            if (Done) job->FEndsProgress = true;
            else job->Phase(Phase);
        };
        B.OnStatus = [job, status](const std::string& Text) {
            // The audio burn keeps each line on a fresh line; the data burn its close steps and
            // the end of a blank or format it needed.
            if (!job->FBlankCommand && (job->FAudio || job->FPhase == TJobPhase::Close || job->FEndsProgress))
                job->EndProgress();
            job->FEndsProgress = false;
            job->Status(Text);
            if (status) status(Text);
        };
        B.OnProgress = [job, progress](std::int32_t Index, std::int32_t Percent) {
            job->WriterProgress(Index, Percent);
            if (progress) progress(Index, Percent);
        };
        TCDBurner* burner = &B;
        B.OnBufferProgress = [job, buffer, burner](std::int32_t Percent) {
            job->FSample.DriveBuffer = Percent;
            TBurnJobResult& r = job->FResult;
            if (job->FPhase == TJobPhase::Write && r.SectorsSent < r.Sectors) {
                // A drive whose buffer fills is slower than its feed: from then on the feed must
                // not wait for the machine (a drive that takes all at once needs no hurry).
                if (!job->FFeedPriority && Percent >= 50) job->FFeedPriority = std::make_unique<TFeedPriority>();
                job->FBufferHealth.Record(Percent, r.SectorsSent * kSectorBytes, burner->BufferLength);
                r.LowestDriveBuffer = job->FBufferHealth.Lowest();
                r.DriveBufferEmptied = job->FBufferHealth.EmptyEvents();
            }
            if (buffer) buffer(Percent);
        };
        if (FileBuffer || fileBuffer)
            B.OnFileBufferProgress = [job, fileBuffer, FileBuffer](std::int32_t Percent) {
                if (FileBuffer) job->FSample.FileBuffer = Percent;
                if (fileBuffer) fileBuffer(Percent);
            };
        B.OnWait = [job, wait](const TWaitInfo& Wait) {
            if (job->OnWait) {
                TWaitInfo shown = Wait;
                shown.Step = Filtered(Wait.Step);
                shown.Action = StepAction(shown.Step);
                job->OnWait(shown);
            }
            if (wait) wait(Wait);
        };
    }
    ~Subscription()
    {
        UnsubscribeEvents(B);
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    TCDBurner& B;
    // The drive is held open from the wait for the disc to the eject, one open for all of it.
    std::optional<TDeviceHold> Hold;
};

TBurnJob::TBurnJob(TBurnJobOptions Options) : FOptions(std::move(Options)) {}
TBurnJob::~TBurnJob() = default;

void TBurnJob::Phase(TJobPhase Phase)
{
    // Only the write is fed in a hurry.
    if (Phase != TJobPhase::Write) FFeedPriority.reset();
    FPhase = Phase;
    if (OnPhase) OnPhase(Phase);
}

void TBurnJob::Status(const std::string& Text)
{
    if (OnStatus) OnStatus(FPhase, Filtered(Text));
}

double TBurnJob::Now() const
{
    if (FOptions.Clock) return FOptions.Clock();
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void TBurnJob::Progress(const TJobProgress& Progress)
{
    const double now = Now();
    if (!FRateStarted || Progress.Phase != FRatePhase) {
        FRate = kvrate::TRateMeter();
        FRateStarted = true;
        FRatePhase = Progress.Phase;
        FRateStart = now;
    }
    TJobProgress shown = Progress;
    if (shown.Sector >= 0) {
        FRate.Record(now, shown.Sector);
        shown.BlocksPerSecond = FRate.BlocksPerSecond();
    }
    shown.ElapsedSeconds = now - FRateStart;
    shown.SecondsLeft =
        kvrate::SecondsLeft(shown.Sector, shown.Total, shown.Percent, shown.BlocksPerSecond, shown.ElapsedSeconds);
    // The image's check reads the file, not the disc: it has no x of the disc.
    if (FResult.Plan.Medium && shown.Phase != TJobPhase::Checksum)
        shown.SpeedX = kvrate::SpeedX(shown.BlocksPerSecond, FResult.Plan.Medium->family);
    if (OnProgress) OnProgress(shown);
}

void TBurnJob::EndProgress()
{
    FRateStarted = false;
    if (OnProgressEnd) OnProgressEnd();
}

void TBurnJob::WriterProgress(std::int32_t Index, std::int32_t Percent)
{
    // A blank or format reports the drive's own progress, without sectors.
    if (FBlankCommand || FPhase == TJobPhase::Blank || (!FAudio && FPhase == TJobPhase::Format)) {
        TJobProgress prep;
        prep.Phase = FPhase;
        prep.Percent = Percent;
        Progress(prep);
        return;
    }
    FSample.Phase = FPhase;
    FSample.Sector = Index;
    // The share of the sectors done: the writer's own percent (the one the progress window
    // shows) reaches 100 well before the last sector of a small image; an audio burn's
    // addresses run on over all its tracks.
    FSample.Percent = FSample.Total > 0 ? static_cast<int>((std::int64_t(Index) + 1) * 100 / FSample.Total) : Percent;
    if (FAudio || FPhase == TJobPhase::Write) FResult.SectorsSent = std::int64_t(Index) + 1;
    Progress(FSample);
}

bool TBurnJob::Fail(TBurnJobEnd End, TJobStep Step)
{
    FResult.End = End;
    FResult.Step = Step;
    return false;
}

void TBurnJob::ShareImageCheck(const TBurnJob& Checked)
{
    FImageOpened = Checked.FImageOpened;
    FImage = Checked.FImage;
    FCheck = Checked.FCheck;
    FResult.Image = Checked.FResult.Image;
    FResult.ImageOpenError = Checked.FResult.ImageOpenError;
}

std::string TBurnJob::ImageChangeText() const { return FImage ? FImage->Changed() : std::string(); }

bool TBurnJob::CheckImage()
{
    FResult.Image = FOptions.Image;
    FImageOpened = true;
    // Opened once: the check, the burn and the verify read this descriptor. An image that
    // cannot be opened is left to the burn, which says why before the drive is touched.
    try {
        FImage = std::make_shared<TImageFile>(FOptions.Image);
    } catch (const std::system_error& e) {
        FResult.ImageOpenError = e.code().message();
        return true;
    }
    if (!FOptions.CheckImage) return true;
    TImageCheckOptions checkOptions;
    checkOptions.Force = FOptions.Force;
    checkOptions.ExpectedSha256 = FOptions.ExpectedSha256;
    checkOptions.Stop = &CheckStop;
    FPhase = TJobPhase::Checksum;
    checkOptions.OnSumsSearched = [&](const TPublishedDigest& Published) {
        for (const TSkippedSums& skipped : Published.Skipped) Status(skipped.Line());
        if (Published.Found) Status("Checksum : computing the image's checksum");
    };
    TJobProgress sample;
    sample.Phase = TJobPhase::Checksum;
    sample.Total = (FImage->Size() + kSectorBytes - 1) / kSectorBytes;
    const TImageCheck check =
        CheckImageBeforeBurn(*FImage, checkOptions, [&](std::int64_t Done, std::int64_t Total) {
            sample.Sector = (Done + kSectorBytes - 1) / kSectorBytes - 1;
            sample.Percent = Total > 0 ? static_cast<int>(Done * 100 / Total) : 100;
            Progress(sample);
            return !Stopped();
        });
    EndProgress();
    FCheck = check;
    switch (check.Verdict) {
    case TImageVerdict::Ok:
        if (!check.ChecksumLine.empty()) Status(check.ChecksumLine);
        FPhase = TJobPhase::Check;
        if (!check.Warning.empty()) Status(check.Warning);
        FPhase = TJobPhase::Setup;
        return true;
    case TImageVerdict::Stopped:
        return Fail(TBurnJobEnd::CheckStopped, TJobStep::Interrupted);
    case TImageVerdict::NotIso:
    case TImageVerdict::ChecksumMismatch:
    case TImageVerdict::Unreadable:
        break;
    }
    return Fail(TBurnJobEnd::ImageRefused, TJobStep::Input);
}

bool TBurnJob::Start(TCDBurner& Burner, const std::optional<TDeviceHold>& Hold)
{
    // Refused before anything is sent: another program's commands would come between ours.
    if (Hold && Hold->InUse()) {
        FResult.InUseText = Hold->InUseText();
        return Fail(TBurnJobEnd::InUse, TJobStep::InUse);
    }
    // A drive without a disc, or one still spinning up, is told apart from a failed write.
    const TScsiError ready = WaitForDriveBeforeBurn(Burner);
    FResult.ReadyError = ready;
    if (ready != Err_None && Burner.LastOutcome.Step != TJobStep::Interrupted)
        return Fail(TBurnJobEnd::NotReady, TJobStep::NotReady);
    if (ready != Err_None || Stopped()) {
        FResult.TrayUnlocked = Burner.UnlockMedium();
        FResult.UnlockError = Burner.LastError;
        return Fail(TBurnJobEnd::StoppedBeforeStart, TJobStep::Interrupted);
    }
    return true;
}

bool TBurnJob::ApplySpeed(TCDBurner& Burner)
{
    if (!FOptions.SpeedGiven) return true;
    const TMediumFamily family = MediumFamilyOf(Burner);
    std::uint32_t reported = 0;
    if (!SetWriteSpeed(Burner, FOptions.Speed, family, reported)) {
        FResult.SpeedError = Burner.LastError;
        return false;
    }
    FResult.WriteSpeedKBs = reported;
    Status(reported ? "Write Speed : " + SpeedText(reported, family) + " (" + std::to_string(reported) + " kB/s, " +
                          FamilyName(family) + ")"
                    : std::string("Write Speed : set; the drive does not report it"));
    return true;
}

bool TBurnJob::PlanAndPrepare(TCDBurner& Burner, std::int64_t ImageBlocks)
{
    const auto plan = [&](bool BlankAsNeeded) {
        return FAudio ? PlanAudioBurn(Burner, BlankAsNeeded) : PlanBurn(Burner, ImageBlocks, BlankAsNeeded);
    };
    // What is in the drive decides how it is written, or that it is not written at all.
    FResult.Plan = plan(FOptions.BlankAsNeeded);
    if (FResult.Plan.Verdict == TPlanVerdict::NeedsBlank && FOptions.ConfirmBlank) {
        if (!FOptions.ConfirmBlank(FResult.Plan)) {
            FResult.BlankDeclined = true;
            return Fail(TBurnJobEnd::PlanRefused, TJobStep::Medium);
        }
        FResult.Plan = plan(true);
    }
    if (!FResult.Plan.CanBurn()) {
        EndProgress();
        FResult.TrayUnlocked = true;
        return Fail(TBurnJobEnd::PlanRefused,
                    FResult.Plan.Verdict == TPlanVerdict::TooSmall ? TJobStep::Input : TJobStep::Medium);
    }
    Burner.SimulateWrite = FOptions.Simulate;
    if (FOptions.Simulate) {
        if (!CanSimulate(Burner, FResult.Plan, FResult.Message)) {
            Burner.LastOutcome = TJobOutcome{TJobStep::Medium, -1, Burner.LastError};
            Burner.UnlockMedium();
            return Fail(TBurnJobEnd::CannotSimulate, TJobStep::Medium);
        }
        Status("Simulation : the drive writes in test mode; nothing is recorded");
    }
    if (!ApplySpeed(Burner)) {
        Burner.UnlockMedium();
        FResult.LastError = Burner.LastError;
        return Fail(TBurnJobEnd::SpeedRefused, TJobStep::NotReady);
    }
    return true;
}

void TBurnJob::Verify(TCDBurner& Burner)
{
    const std::int64_t sectors = FResult.Sectors;
    Phase(TJobPhase::Verify);
    FSample = TJobProgress();
    FSample.Total = sectors;
    // The verify compares the disc with the image as the burn found it; a file changed since
    // (rewritten, truncated, grown) would be compared in part or with other bytes.
    bool changed = !FImage->Changed().empty();
    bool readable = true;
    bool verified = false;
    std::int64_t firstDifferent = -1;
    if (!changed) {
        Status("Verify : Reading the track back");
        try {
            verified = Burner.VerifyImage(*FImage, FPublished, firstDifferent);
        } catch (const std::exception& e) {
            readable = false;
            FResult.VerifyRaised = true;
            FResult.Message = e.what();
        }
        EndProgress();
        changed = readable && Burner.LastOutcome.Step == TJobStep::ImageChanged;
        if (changed) verified = false;
    }
    FResult.ChangedAtVerify = changed;
    if (changed) {
        firstDifferent = -1;
        Fail(TBurnJobEnd::Failed, TJobStep::ImageChanged);
        Status("Verify : The image changed since the burn started; the disc was not compared with it");
    } else if (!readable) {
        Fail(TBurnJobEnd::Raised, TJobStep::Input);
    } else if (verified) {
        Status("Verify : " + std::to_string(sectors) + " sectors equal the image");
        Status("Verify : SHA-256 of the disc " + Burner.ReadBackSha256);
        if (!Burner.PublishedComparison.empty()) Status("Verify : " + Burner.PublishedComparison);
    } else if (Burner.LastOutcome.Step == TJobStep::Interrupted) {
        Fail(TBurnJobEnd::Failed, TJobStep::Interrupted);
    } else {
        Fail(TBurnJobEnd::Failed, TJobStep::Verify);
        if (Burner.LastError != Err_None)
            Status("Verify : Read Error at sector " + std::to_string(firstDifferent) + " : " +
                   ScsiErrorToText(Burner.LastError));
        else if (firstDifferent >= 0)
            Status("Verify : Sector " + std::to_string(firstDifferent) + " differs from the image");
        else
            Status("Verify : " + Burner.PublishedComparison);
    }
    FResult.Verified = verified;
    if (verified) FResult.ReadBackSha256 = Burner.ReadBackSha256;
    FResult.FirstDifferentSector = firstDifferent;
}

// A burn whose bytes were not the published ones: the disc is read back for its own sum, so
// that the user sees what it holds (there is no image left to compare it with).
void TBurnJob::ReadBackChangedImage(TCDBurner& Burner)
{
    Phase(TJobPhase::Verify);
    FSample = TJobProgress();
    FSample.Total = FResult.Sectors;
    Status("Verify : Reading the track back for its SHA-256 (the image changed: it is not compared)");
    std::string sha256;
    if (Burner.ReadBackDigest(FResult.Sectors, sha256)) {
        FResult.ReadBackSha256 = sha256;
        Status("Verify : SHA-256 of the disc " + sha256);
    } else if (Burner.LastOutcome.Step == TJobStep::Interrupted) {
        Fail(TBurnJobEnd::Failed, TJobStep::Interrupted);
    } else {
        Status("Verify : Read Error at sector " + std::to_string(Burner.LastOutcome.Sector) + " : " +
               ScsiErrorToText(Burner.LastError));
    }
    EndProgress();
}

void TBurnJob::Finish(TCDBurner& Burner)
{
    FFeedPriority.reset();
    // Never leave the tray locked, whatever happened (the writer releases it again when freed).
    FResult.EndPhase = FPhase;
    if (FOptions.HoldDrive) {
        FResult.TrayUnlocked = Burner.UnlockMedium();
        FResult.UnlockError = Burner.LastError;
    } else {
        // Each engine call kept its own lock: the tray is unlocked when none is left.
        FResult.TrayUnlocked = !Burner.TrayLockedByUs();
    }
    if (OnReport) OnReport(FResult);
    if (!FOptions.Eject) return;
    Phase(TJobPhase::Eject);
    FResult.Ejected = Burner.Eject(true);
    if (!FResult.Ejected) Status("Eject : " + ScsiErrorToText(Burner.LastError));
}

bool TBurnJob::Burn(TCDBurner& Burner)
{
    FResult.Image = FOptions.Image;
    // A missing image is refused before the drive is touched.
    if (FImageOpened && !FImage) return Fail(TBurnJobEnd::ImageMissing, TJobStep::Input);
    std::error_code error;
    const auto size = std::filesystem::file_size(std::filesystem::path(FOptions.Image), error);
    const std::int64_t imageBytes = FImage ? FImage->Size() : error ? 0 : static_cast<std::int64_t>(size);
    FResult.Sectors = imageBytes / kSectorBytes;
    // The burnt bytes must have the sum the check found them to have.
    if (FCheck && FCheck->Published.Found && !FCheck->ActualHex.empty()) FPublished = FCheck->Published;
    FPhase = TJobPhase::Setup;
    FSample = TJobProgress();
    FSample.Total = FResult.Sectors;

    Subscription job(*this, Burner, true);
    if (!Start(Burner, job.Hold)) return false;
    if (!PlanAndPrepare(Burner, (imageBytes + kSectorBytes - 1) / kSectorBytes)) return false;

    bool burned = false;
    try {
        const std::uint8_t close = FOptions.KeepSessionOpen ? 0 : 1;
        burned = FImage ? BurnPlannedImage(Burner, *FImage, FPublished, FResult.Plan, close)
                        : BurnPlannedImage(Burner, FOptions.Image, FResult.Plan, close);
    } catch (const std::exception& e) {
        FResult.Raised = true;
        FResult.Message = e.what();
        EndProgress();
        Fail(TBurnJobEnd::Raised, TJobStep::Input);
    }
    EndProgress();
    FResult.Written = burned;
    FResult.Outcome = Burner.LastOutcome;
    if (!FResult.Raised && !burned) Fail(TBurnJobEnd::Failed, FResult.Outcome.Step);

    // A simulation recorded nothing: there is nothing to read back.
    if (FResult.End == TBurnJobEnd::Done && FImage && FOptions.Verify && !FOptions.Simulate) Verify(Burner);
    FResult.LastError = Burner.LastError;
    FResult.BurntSha256 = Burner.BurntSha256;
    FResult.BurntPublishedHex = Burner.BurntPublishedHex;
    FResult.PublishedComparison = Burner.PublishedComparison;
    FResult.ImageChanged = FResult.Outcome.Step == TJobStep::ImageChanged || FResult.ChangedAtVerify;

    if (!burned && !FResult.Raised && FResult.Outcome.Step == TJobStep::ImageChanged && FImage &&
        FImage->Changed().empty() && FOptions.Verify)
        ReadBackChangedImage(Burner);
    Finish(Burner);
    return FResult.End == TBurnJobEnd::Done;
}

bool TBurnJob::BurnAudio(TCDBurner& Burner, std::int32_t TrackCount)
{
    FAudio = true;
    FResult.Sectors = 0;
    for (std::int32_t t = 0; t < TrackCount; ++t) FResult.Sectors += AudioBlocksOfTrack(*Burner.Tracks.Items(t).CDTrack());
    FPhase = TJobPhase::Setup;
    FSample = TJobProgress();
    FSample.Total = FResult.Sectors;

    Subscription job(*this, Burner, false);
    if (!Start(Burner, job.Hold)) return false;
    if (!PlanAndPrepare(Burner, -1)) return false;
    bool burned = true;
    {
        // A blank first locks the tray, and it stays locked into the burn.
        std::optional<TTrayLock> blankAndBurn;
        if (FResult.Plan.BlankFirst) {
            if (FOptions.HoldDrive) blankAndBurn.emplace(Burner);
            Phase(TJobPhase::Blank);
            Burner.OnStatus("Blanking : " + FResult.Plan.MediumName());
            burned = Burner.Blank(0, 0);
            EndProgress();
            Burner.OnStatus(burned ? std::string("Blanking Finished!")
                                   : "Error : Blank Error : " + ScsiErrorToText(Burner.LastError));
        }
        if (burned) {
            try {
                burned = Burner.BurnAudioTracks(TrackCount);
            } catch (const std::exception& e) {
                burned = false;
                EndProgress();
                FResult.Raised = true;
                FResult.Message = e.what();
                Fail(TBurnJobEnd::Raised, TJobStep::Input);
            }
        }
        EndProgress();
        FResult.Written = burned;
        FResult.Outcome = Burner.LastOutcome;
        if (!FResult.Raised && !burned) Fail(TBurnJobEnd::Failed, FResult.Outcome.Step);
    }
    FResult.LastError = Burner.LastError;
    Finish(Burner);
    return FResult.End == TBurnJobEnd::Done;
}

bool TBurnJob::Blank(TCDBurner& Burner)
{
    FBlankCommand = true;
    FPhase = TJobPhase::Blank;
    Subscription job(*this, Burner, false);
    // A disc still spinning up is waited for, as before a burn.
    const TScsiError ready = WaitForDriveBeforeBurn(Burner);
    if (ready != Err_None) {
        FResult.ReadyError = ready;
        if (Burner.LastOutcome.Step == TJobStep::Interrupted)
            return Fail(TBurnJobEnd::StoppedBeforeStart, TJobStep::Interrupted);
        // NOT READY, MEDIUM NOT PRESENT (3Ah): nothing to blank.
        FResult.NoDisc = Burner.NoDiscSensed();
        return Fail(TBurnJobEnd::NotReady, TJobStep::NotReady);
    }
    // What the disc is decides how it is blanked, or that it is not, before anything changes it.
    const TBlankPlan plan = PlanBlank(Burner);
    FResult.Plan = plan.Disc;
    FResult.BlankMethod = plan.Method;
    FResult.BlankRefusal = plan.Refusal;
    if (plan.Method == TBlankMethod::Refused) return Fail(TBurnJobEnd::BlankRefused, TJobStep::Medium);
    if (plan.Method == TBlankMethod::AlreadyBlank) return true;
    if (!ApplySpeed(Burner)) {
        FResult.LastError = Burner.LastError;
        return Fail(TBurnJobEnd::SpeedRefused, TJobStep::NotReady);
    }
    const bool ok = plan.Method == TBlankMethod::Overwrite
                        ? OverwriteBlank(Burner, plan.Disc)
                        : Burner.Blank(FOptions.FastBlank ? kBlankMinimal : kBlankFull, 0);
    FResult.LastError = Burner.LastError;
    FResult.Outcome = Burner.LastOutcome;
    if (ok) return true;
    // A drive cannot be stopped once it blanks: a stop ended the waiting only.
    if (Burner.LastOutcome.Step == TJobStep::Interrupted) Burner.UnlockMedium();
    return Fail(TBurnJobEnd::Failed, Burner.LastOutcome.Step);
}
