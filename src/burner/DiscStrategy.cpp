// The data image burn of a plan. A CD takes the CD burn as it always ran; every other medium
// runs the steps below, its table row saying which of them apply, with the CD burn's events,
// status texts, stop on the first failed write, waits after IMMED, bounded buffer wait and
// capacity check.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <optional>
#include <vector>

#include "burner/CDBufferedStream.h"
#include "burner/DiscPlan.h"
#include "burner/JobScope.h"

namespace {

constexpr std::uint8_t kDataBlockMode1 = 8;
constexpr std::uint8_t kWriteTypeDiscAtOnce = 2;
// Track mode 5 (data, recorded incrementally); multi-session 00b: the session is closed for good.
constexpr std::uint8_t kTrackModeDvdData = 5;
constexpr std::int32_t kBlockSize = 2048;
// Blanking type 0 (the whole disc), as the blank command sends it.
constexpr std::uint8_t kBlankWholeDisc = 0;

}  // namespace

class TDiscWriter {
public:
    TDiscWriter(TCDBurner& Burner, const TDiscPlan& Plan) : B(Burner), P(Plan), Row(*Plan.Strategy) {}

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
    bool Prepare(std::int64_t Blocks, std::uint32_t& Origin);
    bool Format();
    bool WriteImage(TCDBufferedStream& Stream, std::int64_t Blocks, std::uint32_t Origin);
    bool Close(std::uint8_t CloseSession);
    bool CloseWith(TScsiCloseFunction Function, const char* Step, TJobStep JobStep);

    TCDBurner& B;
    TDiscPlan P;
    const TMediumStrategy& Row;
};

bool TDiscWriter::Format() {
    B.Phase(TJobPhase::Format);
    B.Status("Formatting : " + P.MediumName());
    B.LastError = ScsiFormatUnit(B.Info, P.FormatBlocks, Row.FormatType, 0, P.FormatParameter, true, B.CommandSettings);
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

// Write parameters where the row has them, a format where the disc needs one; Origin is the
// first address to write.
bool TDiscWriter::Prepare(std::int64_t Blocks, std::uint32_t& Origin) {
    if (Row.SetsWriteParameters) {
        const std::uint8_t type = P.DiscAtOnce ? kWriteTypeDiscAtOnce : Row.WriteType;
        // A simulation sets Test Write: the drive then goes through every step and records nothing.
        if (!B.SetWriteParameters(type, kDataBlockMode1, kTrackModeDvdData, 0, 0, 0, B.SimulateWrite, true)) {
            B.Status("HardWare : Set Write Mode Error");
            return Fail(TJobStep::WriteParameters);
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
    }
    if (Row.FormatsWhenUnformatted && P.State == TDiscState::Unformatted && !Format()) return false;
    Origin = Row.Overwritable || !P.NextWritableValid ? 0 : P.NextWritable;
    return true;
}

bool TDiscWriter::WriteImage(TCDBufferedStream& Stream, std::int64_t Blocks, std::uint32_t Origin) {
    const std::int32_t perWrite = std::max<std::int32_t>(1, Row.BlocksPerWrite);
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(perWrite) * kBlockSize);
    std::int64_t total = 0;
    for (std::int64_t i = 0; i < Blocks; i += perWrite) {
        if (B.CancelRequested.load(std::memory_order_relaxed)) {
            B.StopOnCancel(i, Blocks);
            return Fail(TJobStep::Interrupted, Origin + i);
        }
        const auto count = static_cast<std::int32_t>(std::min<std::int64_t>(perWrite, Blocks - i));
        const std::int32_t bytes = count * kBlockSize;
        std::int32_t got = 0;
        try {
            got = Stream.Read(chunk.data(), bytes);
        } catch (const std::exception& e) {
            B.Status("Error : Read Error at sector " + std::to_string(i) + " : " + e.what());
            return Fail(TJobStep::Input, i);
        }
        total += got;
        if (got != bytes) {
            B.Status("Error : Read Error at sector " + std::to_string(i + got / kBlockSize) +
                     " : the image ended early");
            return Fail(TJobStep::Input, i + got / kBlockSize);
        }
        const std::int64_t lba = Origin + i;
        const bool written = B.WriteBlocks(static_cast<std::uint32_t>(lba), static_cast<std::uint16_t>(count),
                                           static_cast<std::uint32_t>(bytes), chunk.data());

        // Reported for every piece handed to the drive, also a failed one, as the CD burn does.
        const std::int64_t last = i + count - 1;
        if (B.OnProgress)
            B.OnProgress(static_cast<std::int32_t>(last), TCDBurner::ProgressPercent(last, Blocks - 1));
        if (B.OnBytesRead) B.OnBytesRead(total);
        bool queried = false;
        TCDBurner::BufferState buffer = B.ReportBufferGauge(queried);
        if (B.OnBufferStatus) B.OnBufferStatus(B.BufferLength, B.BufferFree);
        const std::int32_t filePercent = Stream.FillPercent();
        if (B.OnFileBufferProgress) B.OnFileBufferProgress(filePercent);

        if (!written) {
            B.StepError("Write Error", lba, B.LastError);
            return Fail(TJobStep::Write, lba);
        }
        if (!queried) buffer = B.QueryBuffer();
        // Room for the next piece; a drive buffer smaller than one piece is waited on until empty.
        const std::uint32_t needed = std::min<std::uint32_t>(static_cast<std::uint32_t>(bytes),
                                                             buffer.Answered ? buffer.Length : 0u);
        if (B.WaitForBufferRoom(needed, buffer, filePercent) == TCDBurner::WaitResult::Stalled) {
            B.StopOnStall(lba);
            return Fail(TJobStep::BufferStall, lba);
        }
    }
    if (B.CancelRequested.load(std::memory_order_relaxed)) {
        B.StopOnCancel(Blocks, Blocks);
        return Fail(TJobStep::Interrupted, Origin + Blocks);
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

    if (Row.StopsBackgroundFormat) {
        // A drive that formats in the background (DVD+RW) keeps doing so after the write; the
        // disc reads elsewhere only once that is ended (close function 010b with track 0).
        TScsiDiscInformation disc;
        if (B.ReadDiscInformation(disc) && (disc.BackgroundFormat == 1 || disc.BackgroundFormat == 2)) {
            B.Status("Finished Writing : Stopping Background Format");
            if (!CloseWith(TScsiCloseFunction::Session, "Close Session Error", TJobStep::CloseSession)) return false;
        }
    }
    if (Row.ClosesTrack) {
        B.Status("Finished Writing : Closing Track");
        if (!B.CloseTrackAndWait(static_cast<std::uint8_t>(P.NextTrack))) return false;
        if (!B.SyncStep()) return false;
    }
    if (CloseSession == 1 && Row.ClosesSession) {
        B.Status("Finished Writing : Closing Session");
        if (!B.CloseSessionAndWait()) return false;
        if (!B.SyncStep()) return false;
    }
    if (CloseSession == 1 && Row.Finalizes) {
        B.Status("Finished Writing : Finalizing Disc");
        if (!CloseWith(Row.FinalizeFunction, "Close Session Error", TJobStep::CloseSession)) return false;
    }
    return true;
}

bool TDiscWriter::Run(const TImageFile& Image, const TPublishedDigest& Published, std::uint8_t CloseSession) {
    TCDBufferedStream stream(Image);
    TCDBurner::BurntHash hash(stream, Published);
    if (!stream.SetBlockSize(kBlockSize) || stream.BlockCount() == 0) {
        B.Status("Error : Error in Image Size");
        return Fail(TJobStep::Input);
    }
    const std::int64_t blocks = stream.BlockCount();
    if (P.FreeBlocks >= 0 && blocks > P.FreeBlocks) {
        B.Status("Error : Image larger than disc (" + std::to_string(blocks) + " blocks needed, " +
                 std::to_string(P.FreeBlocks) + " free)");
        return Fail(TJobStep::Input);
    }

    std::uint32_t origin = 0;
    // Locked from the write parameters (or the format) to the end of the job.
    TTrayLock tray(B);
    if (!Prepare(blocks, origin)) return false;
    B.Phase(TJobPhase::Write);
    B.Status("Writing : " + std::to_string(blocks) + " blocks from sector " + std::to_string(origin));
    if (!WriteImage(stream, blocks, origin)) return false;
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
    const std::uint32_t perWrite = std::max<std::uint32_t>(1, Row.BlocksPerWrite);
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
    if (Plan.Strategy == nullptr || !Plan.Strategy->Overwritable) {
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
    if (Plan.Strategy == nullptr || Plan.Strategy->TestWriteFeature == 0) {
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
        std::snprintf(feature, sizeof feature, "%04Xh", static_cast<unsigned>(Plan.Strategy->TestWriteFeature));
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
    if (!Plan.CanBurn() || Plan.Strategy == nullptr || (Burner.SimulateWrite && SimulationRefused(Plan, why))) {
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
    if (Plan.Strategy->CdTrackAtOnce) return Burner.BurnDataImage(Image, Published, CloseSession);
    return writer.Run(Image, Published, CloseSession);
}

bool BurnPlannedImage(TCDBurner& Burner, const std::string& FileName, const TDiscPlan& Plan,
                      std::uint8_t CloseSession) {
    Burner.LastOutcome = TJobOutcome{TJobStep::Input, -1, Err_None};   // a missing image raises to the caller
    const TImageFile image(FileName);
    return BurnPlannedImage(Burner, image, TPublishedDigest(), Plan, CloseSession);
}
