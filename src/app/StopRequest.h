// Ctrl-C and SIGTERM in the desktop program. The running job is asked to stop at its next safe
// point (it flushes the drive and releases the tray itself, as on a Cancel), the messages of its
// end go to the terminal instead of a box nobody is there to answer, and the program then
// leaves with 130 (SIGINT) or 143 (SIGTERM), as the command line program does. A second
// request ends the program at once.
#pragma once

#include <atomic>

class QObject;

namespace app {

// Installs the SIGINT and SIGTERM handlers; the request reaches the event loop through a
// notifier owned by Context.
void InstallStopHandlers(QObject* Context);

// The running job's cancel flag (a lock-free atomic, set from the handler itself, so a job
// that is busy in a drive command sees the request without the event loop); nullptr between jobs.
void SetJobCancelFlag(std::atomic<bool>* Flag);

bool StopRequested();
// 143 after SIGTERM, 130 after SIGINT.
int StopExitCode();

}  // namespace app
