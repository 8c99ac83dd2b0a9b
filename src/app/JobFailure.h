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
// The text a failed job ends with: its last status line, or the result name of LastError when
// it sent none.
std::string BurnFailureText(const std::vector<std::string>& StatusLines, TScsiError LastError);

// "CD" for a CD and for a drive that names no medium; the medium's name ("DVD+R") otherwise.
std::string MediumWord(const TDiscPlan& Plan);
// The first line of a failed image burn: "Error creating CD." or "Error creating DVD+R.".
std::string CreationErrorText(const TDiscPlan& Plan);
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
// "USB stick" or "SD card".
std::string StickKindText(const TStickTarget& Stick);
// The box after a burn onto a stick: "USB Stick Creation Complete!", the boot advice for an image
// that boots, and how the stick read back.
std::string StickCompleteText(const TBurnJobResult& Result, const TStickTarget& Stick, bool Bootable,
                              const TPublishedDigest& Published);
// What a cancelled burn left on a stick.
std::string CancelledStickText(const TBurnJobResult& Result, const TStickTarget& Stick);
// The same for a blank: before BLANK was sent nothing changed; after it, the drive finishes
// the blank by itself.
std::string CancelledBlankText(bool Sent);
