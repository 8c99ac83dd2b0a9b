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

std::atomic<std::atomic<bool>*> gCancelTarget{nullptr};
std::atomic<const char*> gMessage{nullptr};
constexpr char kDefaultMessage[] =
    "\nInterrupted: stopping after the current command (press Ctrl-C again to quit at once)\n";
// The POSIX number of what came (SIGINT, SIGTERM), so exit codes follow the Linux program.
std::atomic<int> gSignal{0};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    const int signo = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
    if (gSignal.load() != 0) {
        // Second request: leave now.
        ::ExitProcess(signo == SIGTERM ? kExitTerminated : kExitInterrupted);
    }
    gSignal.store(signo);
    if (auto* flag = gCancelTarget.load()) flag->store(true);
    const char* message = gMessage.load();
    if (!message) message = kDefaultMessage;
    [[maybe_unused]] auto written = ::_write(2, message, static_cast<unsigned>(std::strlen(message)));
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process when the handler returns; give the job the few seconds the
        // system allows to flush the drive's cache and unlock the tray.
        ::Sleep(4000);
    }
    return TRUE;
}

}  // namespace

void SetCancelTarget(std::atomic<bool>* flag, const char* message) {
    gMessage.store(message);
    gCancelTarget.store(flag);
    // A Ctrl-C that came before the job started still stops it.
    if (flag && gSignal.load() != 0) flag->store(true);
}

void InstallInterruptHandlers(bool job) {
    // Windows has no SIGPIPE: a write to a closed pipe fails and the program goes on.
    if (!job) return;
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool Interrupted() { return gSignal.load() != 0; }
int InterruptSignal() { return gSignal.load(); }
int InterruptExitCode() { return gSignal.load() == SIGTERM ? kExitTerminated : kExitInterrupted; }

}  // namespace cli
