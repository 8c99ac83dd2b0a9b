// The data image burn: one sequence of steps for every medium, the catalogue row's write steps
// saying which apply and with what (a CD's track at once page and sizes asked after it, a
// DVD-R's incremental page, formats, closes, finalizes), with one write loop, one set of
// events and status texts, stop on the first failed write, waits after IMMED, bounded buffer
// wait and capacity check.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "burner/CDBufferedStream.h"
#include "burner/DiscPlan.h"
#include "burner/JobScope.h"

namespace {

constexpr std::uint8_t kDataBlockMode1 = 8;
constexpr std::uint8_t kWriteTypeDiscAtOnce = 2;
constexpr std::int32_t kBlockSize = TImageBlocks::kBlockSize;
// Blanking type 0 (the whole disc), as the blank command sends it.
constexpr std::uint8_t kBlankWholeDisc = 0;

}  // namespace

class TDiscWriter {
public:
    TDiscWriter(TCDBurner& Burner, const TDiscPlan& Plan)
        : B(Burner), P(Plan), Steps(Plan.Medium->steps) {}

    bool Run(const TImageFile& Image, const TPublishedDigest& Published, std::uint8_t CloseSession);
    // Blanks a used rewritable disc and asks it again where to write.
    bool BlankFirst();
    bool ImageAsChecked(const TImageFile& Image) { return B.ImageAsChecked(Image); }
    // Zeroes the start of an overwritable disc, so that it holds no volume descriptor.
    bool OverwriteStart();

private:
    bool Fail(TJobStep Step, std::int64_t Sector = -1) {
        B.LastOutcome = TJobOutcome{Step, Sector, B.LastError};
        return false;
    }
    // The image's size, against the room the disc has (FreeBlocks < 0: the drive cannot tell).
    bool Fits(bool Aligned, std::int64_t Blocks, std::int64_t FreeBlocks);
    bool SetWriteParameters(std::int64_t Blocks);
    bool Format();
    bool Close(std::uint8_t CloseSession);
    bool CloseWith(TScsiCloseFunction Function, const char* Step, TJobStep JobStep);

    TCDBurner& B;
    TDiscPlan P;
    const kvcat::WriteSteps& Steps;
};

bool TDiscWriter::Fits(bool Aligned, std::int64_t Blocks, std::int64_t FreeBlocks) {
    // An empty image would only close an empty track: refused like a misfit size.
    if (!Aligned || Blocks == 0) {
        B.SetOutcome(TJobStep::Input);
        B.Status("Error : Error in Image Size");
        return false;
    }
    if (FreeBlocks >= 0 && Blocks > FreeBlocks) {
        B.SetOutcome(TJobStep::Input);
        B.Status("Error : Image larger than disc (" + std::to_string(Blocks) + " blocks needed, " +
                 std::to_string(FreeBlocks) + " free)");
        return false;
    }
    return true;
}

bool TDiscWriter::Format() {
    B.Phase(TJobPhase::Format);
    B.Status("Formatting : " + P.MediumName());
    B.LastError = ScsiFormatUnit(B.Info, P.FormatBlocks, Steps.formatType, 0, P.FormatParameter, true, B.CommandSettings);
    // Its progress comes as a blank's does, from the sense data while the drive is busy.
    if (B.LastError == Err_None && B.WaitReady(B.BlankWaitLimit, TWaitPhase::Format, true) == Err_Aborted)
        return B.StopWaitOnCancel();
    if (B.LastError != Err_None) {
        B.StepError(TJobStep::Format, "Format Error", -1, B.LastError);
        return false;
    }
    B.Phase(TJobPhase::Format, true);
    B.Status("Formatting Finished!");
    return true;
}

// Mode page 05h with the row's write type, Mode 1 blocks; a DVD-R disc at once also reserves
// the image's track.
bool TDiscWriter::SetWriteParameters(std::int64_t Blocks) {
    const std::uint8_t type = P.DiscAtOnce ? kWriteTypeDiscAtOnce : Steps.writeType;
    // A simulation sets Test Write: the drive then goes through every step and records nothing.
    if (!B.SetWriteParameters(type, kDataBlockMode1, Steps.trackMode, 0, 0, Steps.audioPause, B.SimulateWrite,
                              true)) {
        B.SetOutcome(TJobStep::WriteParameters, -1, B.LastError);
        B.Status("HardWare : Set Write Mode Error");
        return false;
    }
    B.Phase(TJobPhase::Write);
    B.Status("HardWare : Set Write Mode OK");
    if (P.DiscAtOnce) {
        B.LastError = ScsiReserveTrack(B.Info, static_cast<std::uint32_t>(Blocks), B.CommandSettings);
        if (B.LastError != Err_None) {
            B.StepError("Reserve Track Error", -1, B.LastError);
            return Fail(TJobStep::WriteParameters);
        }
    }
    return true;
}

bool TDiscWriter::CloseWith(TScsiCloseFunction Function, const char* Step, TJobStep JobStep) {
    B.LastError = ScsiCloseTrackSession(B.Info, true, Function, 0, B.CommandSettings);
    if (B.LastError == Err_None && B.WaitReady(B.ReadyWaitLimit, TWaitPhase::CloseSession) == Err_Aborted)
        return B.StopWaitOnCancel();
    if (B.LastError != Err_None) {
        B.StepError(JobStep, Step, -1, B.LastError);
        return false;
    }
    return true;
}

bool TDiscWriter::Close(std::uint8_t CloseSession) {
    // The steps below set the outcome themselves: a stop during one of their waits is a stop,
    // not a failed close.
    B.Phase(TJobPhase::Close);
    B.Status("Finished Writing : Sync Cache");
    if (!B.SyncStep()) return false;

    if (Steps.stopsBackgroundFormat) {
        // A drive that formats in the background (DVD+RW) keeps doing so after the write; the
        // disc reads elsewhere only once that is ended (close function 010b with track 0).
        TScsiDiscInformation disc;
        if (B.ReadDiscInformation(disc) && (disc.BackgroundFormat == 1 || disc.BackgroundFormat == 2)) {
            B.Status("Finished Writing : Stopping Background Format");
            if (!CloseWith(TScsiCloseFunction::Session, "Close Session Error", TJobStep::CloseSession)) return false;
        }
    }
    if (Steps.closesTrack) {
        B.Status("Finished Writing : Closing Track");
        const std::uint16_t track = Steps.fromStart ? 1 : P.NextTrack;
        if (!B.CloseTrackAndWait(static_cast<std::uint8_t>(track))) return false;
        if (!B.SyncStep()) return false;
    }
    if (CloseSession == 1 && Steps.closesSession) {
        B.Status("Finished Writing : Closing Session");
        if (!B.CloseSessionAndWait()) return false;
        if (!B.SyncStep()) return false;
    }
    if (CloseSession == 1 && Steps.finalizes) {
        B.Status("Finished Writing : Finalizing Disc");
        if (!CloseWith(static_cast<TScsiCloseFunction>(Steps.finalizeFunction), "Close Session Error",
                       TJobStep::CloseSession))
            return false;
    }
    return true;
}

bool TDiscWriter::Run(const TImageFile& Image, const TPublishedDigest& Published, std::uint8_t CloseSession) {
    B.StepText.clear();
    TCDBufferedStream stream(Image);
    TCDBurner::BurntHash hash(stream, Published);
    TImageBlocks source(stream);
    const bool aligned = stream.SetBlockSize(kBlockSize);
    const std::int64_t blocks = stream.BlockCount();
    if (!Steps.sizesAfterParameters && !Fits(aligned, blocks, P.FreeBlocks)) return false;

    // Locked from the write parameters (or the format) to the end of the job.
    TTrayLock tray(B);
    if (Steps.setsWriteParameters && !SetWriteParameters(blocks)) return false;
    // The room left depends on the write parameters: asked of the drive once they are set. A
    // drive that cannot tell does not stop the burn.
    if (Steps.sizesAfterParameters && !Fits(aligned, blocks, B.GetFreeBlocks())) return false;
    if (Steps.formatsWhenUnformatted && P.State == TDiscState::Unformatted && !Format()) return false;
    const std::uint32_t origin = Steps.fromStart || !P.NextWritableValid ? 0 : P.NextWritable;
    B.Phase(TJobPhase::Write);
    if (Steps.saysWhere)
        B.Status("Writing : " + std::to_string(blocks) + " blocks from sector " + std::to_string(origin));

    TCDBurner::WriteRun run;
    run.Origin = origin;
    run.Blocks = blocks;
    run.JobBlocks = blocks;
    run.BlocksPerWrite = Steps.blocksPerWrite;
    run.RoomNeeded = Steps.roomBeforeWrite;
    std::int64_t bytesRead = 0;
    if (!B.WriteFrom(source, run, bytesRead)) return false;
    if (B.CancelRequested.load(std::memory_order_relaxed)) {
        B.StopOnCancel(blocks, blocks);
        B.LastOutcome.Sector = origin + blocks;
        return false;
    }
    if (B.OnBufferProgress) B.OnBufferProgress(B.GetBufferFillPercent());
    if (!Close(CloseSession)) return false;
    if (B.OnFileBufferProgress) B.OnFileBufferProgress(stream.FillPercent());
    if (!B.ImageBurntAsPublished(Image, Published, hash)) return false;
    B.Status("Finished Writing : Job Done!");
    return true;
}

bool TDiscWriter::BlankFirst() {
    B.Phase(TJobPhase::Blank);
    B.Status("Blanking : " + P.MediumName());
    if (!B.Blank(kBlankWholeDisc, 0)) {
        // Blank set the outcome (a stop on request, no disc, or the blank's own failure).
        if (B.LastOutcome.Step != TJobStep::Interrupted) B.StepError("Blank Error", -1, B.LastError);
        return false;
    }
    B.Phase(TJobPhase::Blank, true);
    B.Status("Blanking Finished!");
    // The blank changed the disc: its next writable address and room are asked again.
    const TDiscPlan blanked = ProbeDisc(B, P.ImageBlocks);
    P.State = blanked.State;
    P.NextWritableValid = blanked.NextWritableValid;
    P.NextWritable = blanked.NextWritable;
    P.NextTrack = blanked.NextTrack;
    P.FreeBlocks = blanked.FreeBlocks;
    P.BlankFirst = false;
    return true;
}

bool TDiscWriter::OverwriteStart() {
    B.Phase(TJobPhase::Blank);
    B.Status("Blanking : " + P.MediumName() + " : overwriting the first 64 KiB with zeros");
    const std::uint32_t blocks = std::min<std::uint32_t>(
        kOverwriteBlankBlocks, P.Capacity > 0 ? static_cast<std::uint32_t>(P.Capacity) : kOverwriteBlankBlocks);
    const std::uint32_t perWrite = std::max<std::uint32_t>(1, Steps.blocksPerWrite);
    const std::vector<std::uint8_t> zeros(static_cast<std::size_t>(perWrite) * kBlockSize, 0);
    for (std::uint32_t lba = 0; lba < blocks; lba += perWrite) {
        const auto count = static_cast<std::uint16_t>(std::min(perWrite, blocks - lba));
        if (!B.WriteBlocks(lba, count, count * static_cast<std::uint32_t>(kBlockSize), zeros.data())) {
            B.StepError("Blank Error", lba, B.LastError);
            return Fail(TJobStep::Blank, lba);
        }
        if (B.OnProgress)
            B.OnProgress(0, TCDBurner::ProgressPercent(lba + count - 1, static_cast<std::int64_t>(blocks) - 1));
    }
    // The zeros are on the disc, not in the drive's buffer, before the blank is called done.
    B.LastError = ScsiSynchronizeCache(B.Info, B.CommandSettings);
    if (B.LastError != Err_None) {
        B.StepError("Blank Error", -1, B.LastError);
        return Fail(TJobStep::Blank);
    }
    return true;
}

bool OverwriteBlank(TCDBurner& Burner, const TDiscPlan& Plan) {
    Burner.LastOutcome = TJobOutcome{};
    if (Plan.Medium == nullptr || !Plan.Medium->Overwritable()) {
        Burner.LastOutcome.Step = TJobStep::Medium;
        return false;
    }
    TJobScope job(Burner);
    if (job.Refused()) return false;
    TTrayLock tray(Burner);   // while the start of the disc is overwritten
    return TDiscWriter(Burner, Plan).OverwriteStart();
}

bool SimulationRefused(const TDiscPlan& Plan, std::string& Why) {
    const std::string medium = Plan.MediumName();
    if (Plan.Medium == nullptr || Plan.Medium->steps.testWriteFeature == 0) {
        Why = medium + " media cannot be written in test mode: a simulated burn is not possible on this disc";
        return true;
    }
    // Blanking and formatting have no test mode: they would change the disc for real.
    if (Plan.BlankFirst) {
        Why = "the disc would be blanked first, and a blank is never simulated: a simulated burn is not possible "
              "on this disc";
        return true;
    }
    if (Plan.State == TDiscState::Unformatted) {
        Why = "the disc would be formatted first, and a format is never simulated: a simulated burn is not "
              "possible on this disc";
        return true;
    }
    if (Plan.DriveTestWrite == 0) {
        char feature[8];
        std::snprintf(feature, sizeof feature, "%04Xh", static_cast<unsigned>(Plan.Medium->steps.testWriteFeature));
        Why = "the drive cannot write " + medium + " media in test mode (its feature " + feature +
              " offers no test write): a simulated burn is not possible";
        return true;
    }
    return false;
}

bool BurnPlannedImage(TCDBurner& Burner, const TImageFile& Image, const TPublishedDigest& Published,
                      const TDiscPlan& Plan, std::uint8_t CloseSession) {
    Burner.LastOutcome = TJobOutcome{};
    Burner.BurntSha256.clear();
    Burner.BurntPublishedHex.clear();
    std::string why;
    // A simulation that could not keep its promise is never started, whoever asked for it.
    if (!Plan.CanBurn() || Plan.Medium == nullptr || (Burner.SimulateWrite && SimulationRefused(Plan, why))) {
        Burner.LastOutcome.Step = TJobStep::Medium;
        return false;
    }
    // One scope over the blank and the burn, so a unit attention anywhere in them ends the job
    // and is reported once.
    TJobScope job(Burner);
    if (job.Refused()) return false;
    TDiscWriter writer(Burner, Plan);
    // Nothing changes the disc, not even a blank, for an image that is no longer the one checked.
    if (!writer.ImageAsChecked(Image)) return false;
    // A blank first locks the tray already, and it stays locked into the burn.
    std::optional<TTrayLock> tray;
    if (Plan.BlankFirst) tray.emplace(Burner);
    if (Plan.BlankFirst && !writer.BlankFirst()) return false;
    return writer.Run(Image, Published, CloseSession);
}

bool BurnPlannedImage(TCDBurner& Burner, const std::string& FileName, const TDiscPlan& Plan,
                      std::uint8_t CloseSession) {
    Burner.LastOutcome = TJobOutcome{TJobStep::Input, -1, Err_None};   // a missing image raises to the caller
    const TImageFile image(FileName);
    return BurnPlannedImage(Burner, image, TPublishedDigest(), Plan, CloseSession);
}

bool TCDBurner::BurnDataImage(const std::string& FileName, std::uint8_t CloseSession) {
    BurntSha256.clear();
    BurntPublishedHex.clear();
    SetOutcome(TJobStep::Input);   // a missing image raises to the caller
    const TImageFile image(FileName);
    return BurnDataImage(image, TPublishedDigest(), CloseSession);
}

bool TCDBurner::BurnDataImage(const TImageFile& Image, const TPublishedDigest& Published, std::uint8_t CloseSession) {
    BurntSha256.clear();
    BurntPublishedHex.clear();
    TJobScope job(*this);
    if (job.Refused()) return false;
    LastOutcome = TJobOutcome();
    if (!ImageAsChecked(Image)) return false;
    // No plan: the disc is taken for a CD-R, whose steps ask the drive for the room left.
    TDiscPlan plan;
    plan.Medium = kvcat::MediumByProfile(prCDR);
    return TDiscWriter(*this, plan).Run(Image, Published, CloseSession);
}
