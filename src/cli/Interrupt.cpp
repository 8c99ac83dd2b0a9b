#include "cli/Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "cli/ExitCodes.h"

namespace cli {

namespace {

std::atomic<std::atomic<bool>*> gCancelTarget{nullptr};
std::atomic<const char*> gMessage{nullptr};
constexpr char kDefaultMessage[] =
    "\nInterrupted: stopping after the current command (press Ctrl-C again to quit at once)\n";
volatile sig_atomic_t gSignal = 0;

static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);

void OnSignal(int signo) {
    if (gSignal != 0) {
        // Second request: leave now.
        signal(signo, SIG_DFL);
        raise(signo);
        return;
    }
    gSignal = signo;
    if (auto* flag = gCancelTarget.load()) flag->store(true);
    const char* message = gMessage.load();
    if (!message) message = kDefaultMessage;
    [[maybe_unused]] auto written = write(STDERR_FILENO, message, std::strlen(message));
}

}  // namespace

void SetCancelTarget(std::atomic<bool>* flag, const char* message) {
    gMessage.store(message);
    gCancelTarget.store(flag);
    // A signal that came before the job started still stops it.
    if (flag && gSignal != 0) flag->store(true);
}

void InstallInterruptHandlers(bool job) {
    signal(SIGPIPE, SIG_IGN);
    if (!job) return;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;   // a read of the image must not fail with EINTR
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return gSignal != 0; }
int InterruptSignal() { return gSignal; }
int InterruptExitCode() { return gSignal == SIGTERM ? kExitTerminated : kExitInterrupted; }

}  // namespace cli
