#include "app/JobFailure.h"

#include <filesystem>

#include "burner/WriteSpeed.h"

bool NoDiscOutcome(const TJobOutcome& Outcome)
{
    return Outcome.Step == TJobStep::NotReady && Outcome.Error == Err_SenseNotReady;
}

std::string NotReadyLine(const TCDBurner& Burner)
{
    return Burner.NoDiscSensed() ? "No disc in the drive" : "The drive is not ready";
}

std::string BurnFailureText(const std::vector<std::string>& StatusLines, TScsiError LastError)
{
    return StatusLines.empty() ? ScsiErrorToText(LastError) : StatusLines.back();
}

std::string WriterFailureText(const std::vector<std::string>& StatusLines, const TJobOutcome& Outcome,
                              TScsiError LastError)
{
    const std::string reason = BurnFailureText(StatusLines, LastError);
    return NoDiscOutcome(Outcome) ? "No disc in the drive.\r\n" + reason : reason;
}

namespace {

std::string TrayText(const TBurnJobResult& Result)
{
    return Result.TrayUnlocked ? std::string("The tray is unlocked.")
                               : "The tray could not be unlocked: " + ScsiErrorToText(Result.UnlockError) + ".";
}

}  // namespace

std::string BurnCompleteText(const TBurnJobResult& Result, bool Bootable, bool Simulated,
                             const TPublishedDigest& Published)
{
    if (Simulated)
        return kSimulationFinished;
    std::string text = CreationCompleteText(Result.Plan, Bootable);
    if (Result.Verified) {
        text += "\r\nThe disc was read back: it equals the image";
        if (Published.Found)
            // The list's name is enough: it lies beside the image.
            text += std::string(" and its published ") + DigestName(Published.Kind) + " (" +
                    std::filesystem::path(Published.Source).filename().string() + ")";
        text += ".";
    }
    return text;
}

std::string ReadBackFailureText(const TBurnJobResult& Result)
{
    if (!Result.Written || Result.Verified || Result.End != TBurnJobEnd::Failed)
        return {};
    if (Result.ChangedAtVerify)
        return "The image changed since the burn started: the disc holds what was read then and was not verified.";
    if (Result.FirstDifferentSector >= 0)
        return "The disc was read back: sector " + std::to_string(Result.FirstDifferentSector) +
               " differs from the image.";
    if (!Result.PublishedComparison.empty())
        return "The disc was read back: it does not equal the published image: " + Result.PublishedComparison;
    if (Result.VerifyRaised)
        return "The image could not be read again to verify the disc: " + Result.Message;
    return {};
}

std::string CancelledJobText(const TBurnJobResult& Result, bool Started)
{
    // Stopped during the image check: the drive was never asked anything.
    if (!Started || Result.End == TBurnJobEnd::CheckStopped)
        return "Nothing was written: the disc is as it was.";
    if (Result.End == TBurnJobEnd::StoppedBeforeStart ||
        (Result.SectorsSent == 0 && Result.EndPhase != TJobPhase::Close && Result.EndPhase != TJobPhase::Verify))
        return "Nothing was written: the disc is as it was. " + TrayText(Result);
    if (Result.EndPhase == TJobPhase::Verify)
        return "The disc is complete but was not verified. " + TrayText(Result);
    if (Result.EndPhase == TJobPhase::Close)
        return "All " + std::to_string(Result.Sectors) +
               " sectors were written; the drive finishes the close it has started by itself. " + TrayText(Result);
    const bool rewritable = Result.Plan.Medium && Result.Plan.Medium->Rewritable();
    return "The disc was written in part (" + std::to_string(Result.SectorsSent) + " of " +
           std::to_string(Result.Sectors) + " sectors) and will not start a computer" +
           (rewritable ? std::string("; blank it to use it again. ") : std::string(". ")) + TrayText(Result);
}

std::string CancelledBlankText(bool Sent)
{
    if (!Sent)
        return "Nothing was blanked: the disc is as it was.";
    return "The drive finishes a blank it has started by itself; wait until it is ready before using the disc.";
}

std::string StickCompleteText(const TBurnJobResult& Result, const TStickTarget& Stick, bool Bootable,
                              const TPublishedDigest& Published)
{
    const std::string kind = StickKind(Stick);
    std::string text = StickCreationCompleteText(Stick, Bootable);
    if (Result.Verified) {
        text += "\r\nThe " + kind + " was read back: it equals the image";
        if (Published.Found)
            text += std::string(" and its published ") + DigestName(Published.Kind) + " (" +
                    std::filesystem::path(Published.Source).filename().string() + ")";
        text += ".";
    }
    if (!Result.Warning.empty())
        text += "\r\n" + Result.Warning;
    return text;
}

std::string CancelledStickText(const TBurnJobResult& Result, const TStickTarget& Stick)
{
    const std::string kind = StickKind(Stick);
    if (Result.SectorsSent == 0 && Result.EndPhase != TJobPhase::Verify)
        return "Nothing was written: the " + kind + " is as it was.";
    if (Result.EndPhase == TJobPhase::Verify)
        return "The " + kind + " is complete but was not verified.";
    return "The " + kind + " was written in part (" + std::to_string(Result.SectorsSent) + " of " +
           std::to_string(Result.Sectors) + " sectors): it is incomplete and will not start a computer.";
}

namespace {

// A box's text on one line: its line breaks become spaces.
std::string OneLine(const std::string& Text)
{
    std::string line;
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] != '\r' && Text[i] != '\n') {
            line += Text[i];
        } else if (!line.empty() && line.back() != ' ') {
            line += ' ';
        }
    }
    return line;
}

}  // namespace

TTargetResult TargetResultOf(const TBurnJobResult& Result, const std::vector<std::string>& StatusLines,
                             const TStickTarget* Stick, const TJobOutcome& Outcome, TScsiError LastError,
                             bool Simulated, bool StopAsked)
{
    TTargetResult t;
    if (Result.Succeeded()) {
        t.End = TTargetEnd::Done;
        if (Simulated) {
            t.Text = std::string("done: ") + kSimulationFinished;
            return t;
        }
        t.Text = Result.Verified ? "done, read back equal to the image" : "done";
        if (Result.LowestDriveBuffer >= 0)
            t.Text += " (lowest drive buffer fill " + std::to_string(Result.LowestDriveBuffer) + "%)";
        if (!Result.Warning.empty())
            t.Text += "; " + OneLine(Result.Warning);
        return t;
    }
    // The texts of the boxes a single burn ends with, each on one line.
    if (StopAsked && Result.Step == TJobStep::Interrupted) {
        t.End = TTargetEnd::Cancelled;
        t.Text = "cancelled: " + (Stick ? CancelledStickText(Result, *Stick) : CancelledJobText(Result, true));
        return t;
    }
    std::string why;
    if (Stick) {
        const std::string readBack = ReadBackFailureText(Result);
        why = "Error creating the " + StickKind(*Stick) + ".\r\n" + (readBack.empty() ? Result.Message : readBack);
    } else if (Result.End == TBurnJobEnd::CannotSimulate) {
        why = "This burn cannot be simulated: " + Result.Message;
    } else if (Result.End == TBurnJobEnd::PlanRefused) {
        why = Result.Plan.Refusal;
    } else if (Result.End == TBurnJobEnd::InUse) {
        why = Result.InUseText;
    } else if (Result.Raised && !Result.VerifyRaised) {
        why = CreationErrorText(Result.Plan) + "\r\nImage file " + Result.Image + ": " + Result.Message;
    } else {
        const std::string readBack = ReadBackFailureText(Result);
        why = CreationErrorText(Result.Plan) + "\r\n" +
              (readBack.empty() ? WriterFailureText(StatusLines, Outcome, LastError) : readBack);
    }
    t.Text = "failed: " + OneLine(why);
    return t;
}
