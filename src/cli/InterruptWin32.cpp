// Ctrl-C on Windows: a console control handler. It runs on a thread of its own, so the first
// event only sets the flags; returning TRUE keeps the process alive. A second Ctrl-C, or the
// console closing, ends the program at once.
#include "cli/Interrupt.h"

#include <io.h>

#include <csignal>
#include <cstring>

#include "cli/ExitCodes.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace cli {

namespace {

BOOL WINAPI OnConsoleEvent(DWORD event) {
    const int signo = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
    const char* message = detail::RecordInterrupt(signo);
    // Second request: leave now.
    if (!message) ::ExitProcess(signo == SIGTERM ? kExitTerminated : kExitInterrupted);
    [[maybe_unused]] auto written = ::_write(2, message, static_cast<unsigned>(std::strlen(message)));
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process when the handler returns; give the job the few seconds the
        // system allows to flush the drive's cache and unlock the tray.
        ::Sleep(4000);
    }
    return TRUE;
}

}  // namespace

void InstallInterruptHandlers(bool job) {
    // Windows has no SIGPIPE: a write to a closed pipe fails and the program goes on.
    if (!job) return;
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace cli
