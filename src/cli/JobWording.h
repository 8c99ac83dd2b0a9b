// How keelvane-cli names a job's waits and a failed job's step.
#pragma once

#include <string>

#include "burner/CDBurner.h"

namespace cli {

// The phase for scripts: "drive-ready", "buffer", "sync-cache", "close-track", "close-session",
// "blank", "format".
const char* WaitPhaseName(TWaitPhase Phase);
// What is waited for, for people: "waiting for the drive", "closing session", ...
const char* WaitPhaseLabel(TWaitPhase Phase);

// The step a failed job ended at, by name: "Write Error", "Close Session Error", ...
std::string JobStepName(TJobStep Step);
// "<step name>[ at sector N] : <error name>" for a failed job's outcome; the error part only
// when the drive's result is known.
std::string JobOutcomeText(const TJobOutcome& Outcome);

}  // namespace cli
