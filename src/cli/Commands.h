// The commands of keelvane-cli on the engine: attach the virtual writers, scan the drives,
// pick the writer, run one command, release everything (the tray first).
#pragma once

#include <string>

#include "burner/FrontEndSupport.h"
#include "cli/CliOptions.h"
#include "cli/Output.h"

namespace cli {

// Runs the parsed command line; returns the exit code.
int Run(const Options& options, Output& output);

// The exit code of a burn that ended early for this reason.
int ExitCodeOfFailure(TBurnFailure failure);

}  // namespace cli
