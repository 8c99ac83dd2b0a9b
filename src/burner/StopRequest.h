// A stop request (Ctrl-C, SIGTERM, a console's close) for the job that runs, the same for every
// front end and platform: the first request sets the running job's cancel flag, so the job stops
// at its next safe point (it flushes the drive's cache and releases the tray itself), and
// decides the exit code; the front end's handler only receives the request and reports it here.
// A second request ends the program at once (the kernel unlocks the door of a real drive when
// the device is closed).
#pragma once

#include <atomic>

namespace kvstop {

// The exit codes of a job that was stopped: SIGINT (Ctrl-C), SIGTERM.
inline constexpr int kExitInterrupted = 130;
inline constexpr int kExitTerminated = 143;

// What a request stops: the job's cancel flag (a lock-free atomic, so setting it is safe in a
// signal handler), and the line the handler prints (a string that outlives the job); nullptr
// between jobs. A request that came before the job started still stops it.
void SetCancelTarget(std::atomic<bool>* flag, const char* message = nullptr);
bool HasCancelTarget();

bool Interrupted();
int InterruptSignal();
// The exit code of a job stopped by the request that came: 143 for SIGTERM, 130 otherwise.
int InterruptExitCode();

namespace detail {
// For the platform's handler: records a stop request (signo SIGINT or SIGTERM), sets the
// cancel target and returns the line to print; nullptr when a request came already, and the
// handler ends the program at once. Safe in a signal handler.
const char* RecordInterrupt(int signo);
}  // namespace detail

}  // namespace kvstop
