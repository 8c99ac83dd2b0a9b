// Stop requests on Linux: SIGINT and SIGTERM handlers.
#include "cli/Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace cli {

namespace {

void OnSignal(int signo) {
    const char* message = detail::RecordInterrupt(signo);
    if (!message) {
        // Second request: leave now.
        signal(signo, SIG_DFL);
        raise(signo);
        return;
    }
    [[maybe_unused]] auto written = write(STDERR_FILENO, message, std::strlen(message));
}

}  // namespace

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

}  // namespace cli
