// How the desktop program words a job's end: the completion box that fits the medium, what a
// cancelled job left on the disc, and what a failed job ended with.
#pragma once

#include <string>
#include <vector>

#include "burner/BurnJob.h"
#include "burner/CDBurner.h"
#include "stick/StickWriter.h"

// Whether the outcome is a drive without a disc: a NOT READY answer that is no busy drive.
bool NoDiscOutcome(const TJobOutcome& Outcome);
// A writer's panel line after its last command found it not ready: "No disc in the drive", or
// "The drive is not ready" (busy, or failing).
std::string NotReadyLine(const TCDBurner& Burner);
// The text a failed job ends with: its last status line, or the result name of LastError when
// it sent none.
std::string BurnFailureText(const std::vector<std::string>& StatusLines, TScsiError LastError);
// The same after a plain sentence for a drive without a disc: how a failed job on a writer ends,
// from the writer's last outcome and result.
std::string WriterFailureText(const std::vector<std::string>& StatusLines, const TJobOutcome& Outcome,
                              TScsiError LastError);

// The box after a burn that ran to its end: "CD Creation Complete!" (or the medium's name),
// the boot advice for an image that boots, and how the disc read back. A simulation says that
// nothing was written.
std::string BurnCompleteText(const TBurnJobResult& Result, bool Bootable, bool Simulated,
                             const TPublishedDigest& Published);
// Why a burn whose write ended failed at its read-back (empty when it did not fail there).
std::string ReadBackFailureText(const TBurnJobResult& Result);
// What a cancelled burn left: nothing written, a disc written in part, a close the drive
// finishes itself, or a complete disc not verified; then the tray. Started: the job got past
// the image check.
std::string CancelledJobText(const TBurnJobResult& Result, bool Started);
// The box after a burn onto a stick: "USB Stick Creation Complete!", the boot advice for an image
// that boots, and how the stick read back.
std::string StickCompleteText(const TBurnJobResult& Result, const TStickTarget& Stick, bool Bootable,
                              const TPublishedDigest& Published);
// What a cancelled burn left on a stick.
std::string CancelledStickText(const TBurnJobResult& Result, const TStickTarget& Stick);
// The same for a blank: before BLANK was sent nothing changed; after it, the drive finishes
// the blank by itself.
std::string CancelledBlankText(bool Sent);

// How one target of a burn onto several ended, for its row and the summary box.
enum class TTargetEnd : std::uint8_t { Done, Cancelled, Failed };
struct TTargetResult {
    TTargetEnd End = TTargetEnd::Failed;
    // "done, read back equal to the image (lowest drive buffer fill 97%)", "failed: " and the
    // reason the single burn's box gives, "cancelled: " and what the target was left with; one
    // line.
    std::string Text;
};
// Writer null for a stick. Lines: the target's status lines; LastError and Outcome the
// writer's after its job. StopAsked: the user stopped the burns.
TTargetResult TargetResultOf(const TBurnJobResult& Result, const std::vector<std::string>& StatusLines,
                             const TStickTarget* Stick, const TJobOutcome& Outcome, TScsiError LastError,
                             bool Simulated, bool StopAsked);
