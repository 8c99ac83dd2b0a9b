// Ctrl-C during a job: the first SIGINT (or SIGTERM) asks the running writer to stop after the
// command in progress; the job then flushes the drive's cache and releases the tray itself.
// A second one ends the program at once (the kernel unlocks the door of a real drive when
// the device is closed).
#pragma once

#include <atomic>

namespace cli {

// What the handler stops: the writer's cancel flag (a lock-free atomic, so setting it is
// safe in a signal handler), and the line it prints (a string that outlives the job).
void SetCancelTarget(std::atomic<bool>* flag, const char* message = nullptr);

// Ignores SIGPIPE, so that a closed pipe cannot kill a burn half way with the tray locked,
// and, for a job, installs the handlers for SIGINT and SIGTERM.
void InstallInterruptHandlers(bool job);

bool Interrupted();
int InterruptSignal();
// The exit code of a job stopped by the signal that came: 143 for SIGTERM, 130 otherwise.
int InterruptExitCode();

namespace detail {
// For the platform's handler: records a stop request (signo SIGINT or SIGTERM), sets the
// cancel target and returns the line to print; nullptr when a request came already, and the
// handler ends the program at once. Safe in a signal handler.
const char* RecordInterrupt(int signo);
}  // namespace detail

}  // namespace cli
