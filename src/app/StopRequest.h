// Ctrl-C and SIGTERM in the desktop program, as the engine's stop request (burner/
// StopRequest.h) handles them: the running job stops at its next safe point (it flushes the
// drive and releases the tray itself, as on a Cancel), the messages of its end go to the
// terminal instead of a box nobody is there to answer, and the program then leaves with 130
// (SIGINT) or 143 (SIGTERM), as the command line program does. A second request ends the
// program at once.
#pragma once

class QObject;

namespace app {

// Installs the SIGINT and SIGTERM handlers; the request reaches the event loop through a
// notifier owned by Context.
void InstallStopHandlers(QObject* Context);

}  // namespace app
