// The commands of keelvane-cli on the engine: attach the virtual writers, scan the drives,
// pick the writer, run one command, release everything (the tray first).
#pragma once

#include <string>

#include "cli/CliOptions.h"
#include "cli/Output.h"

namespace cli {

// Runs the parsed command line; returns the exit code.
int Run(const Options& options, Output& output);

// The rescue image beside the program: "Keelvane.iso" if it exists in `folder`, otherwise
// "KeelvaneDemo.iso" whether or not that exists. `folder` ends with a separator.
std::string RescueImagePath(const std::string& folder);
// The folder of the running program, with its trailing separator.
std::string ProgramFolder();

// The advice printed for a drive the user may not open (EACCES/EPERM on its device);
// `groupName` is the group with read-write access to it, empty when there is none.
std::string PermissionAdvice(const std::string& devicePath, const std::string& groupName);

}  // namespace cli
