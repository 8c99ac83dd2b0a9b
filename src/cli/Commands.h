// The commands of keelvane-cli on the engine: attach the virtual writers, scan the drives,
// pick the writer, run one command, release everything (the tray first).
#pragma once

#include <string>

#include "burner/CDBurner.h"
#include "cli/CliOptions.h"
#include "cli/ExitCodes.h"
#include "cli/Output.h"

namespace cli {

// Runs the parsed command line; returns the exit code.
int Run(const Options& options, Output& output);

// The exit code of a failed job that ended at this step (one that named no step counts as a
// write failure). A job stopped on request gets InterruptCode (130 for SIGINT, 143 for SIGTERM).
int ExitCodeOfFailure(TJobStep step, int interruptCode = kExitInterrupted);

}  // namespace cli
