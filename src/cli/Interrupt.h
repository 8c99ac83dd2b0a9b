// Ctrl-C during a job, on the command line: the engine's stop request (burner/StopRequest.h)
// and the platform's handlers that report to it.
#pragma once

#include "burner/StopRequest.h"
#include "cli/ExitCodes.h"

namespace cli {

static_assert(kvstop::kExitInterrupted == kExitInterrupted && kvstop::kExitTerminated == kExitTerminated);

using kvstop::InterruptExitCode;
using kvstop::Interrupted;
using kvstop::InterruptSignal;
using kvstop::SetCancelTarget;
namespace detail {
using kvstop::detail::RecordInterrupt;
}  // namespace detail

// Ignores SIGPIPE, so that a closed pipe cannot kill a burn half way with the tray locked,
// and, for a job, installs the handlers for SIGINT and SIGTERM.
void InstallInterruptHandlers(bool job);

}  // namespace cli
