// What a stop request does, the same on Linux and Windows and for both front ends; the
// platform's handler only receives the request and reports it here.
#include "burner/StopRequest.h"

#include <csignal>

namespace kvstop {

namespace {

std::atomic<std::atomic<bool>*> gCancelTarget{nullptr};
std::atomic<const char*> gMessage{nullptr};
constexpr char kDefaultMessage[] =
    "\nInterrupted: stopping after the current command (press Ctrl-C again to quit at once)\n";
std::atomic<int> gSignal{0};   // the POSIX number of what came (SIGINT, SIGTERM)

// Set from a signal handler: every one of them must be lock-free.
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);

}  // namespace

namespace detail {

const char* RecordInterrupt(int signo) {
    int none = 0;
    if (!gSignal.compare_exchange_strong(none, signo)) return nullptr;
    if (auto* flag = gCancelTarget.load()) flag->store(true);
    const char* message = gMessage.load();
    return message ? message : kDefaultMessage;
}

}  // namespace detail

void SetCancelTarget(std::atomic<bool>* flag, const char* message) {
    gMessage.store(message);
    gCancelTarget.store(flag);
    // A request that came before the job started still stops it.
    if (flag && gSignal.load() != 0) flag->store(true);
}

bool HasCancelTarget() { return gCancelTarget.load() != nullptr; }

bool Interrupted() { return gSignal.load() != 0; }
int InterruptSignal() { return gSignal.load(); }
int InterruptExitCode() { return gSignal.load() == SIGTERM ? kExitTerminated : kExitInterrupted; }

}  // namespace kvstop
