#include "app/StopRequest.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "app/AppServices.h"
#include "burner/StopRequest.h"

namespace app {

namespace {

std::atomic<bool> gStoppedJob{false};   // a job was running when the request came
int gWakePipe[2] = {-1, -1};

static_assert(std::atomic<bool>::is_always_lock_free);

void OnSignal(int signo)
{
    const bool job = kvstop::HasCancelTarget();
    if (!kvstop::detail::RecordInterrupt(signo)) {
        signal(signo, SIG_DFL);
        raise(signo);
        return;
    }
    gStoppedJob.store(job);
    const char wake = 1;
    [[maybe_unused]] auto written = write(gWakePipe[1], &wake, 1);
}

// Messages after a stop: printed, and every question answered No (nothing new is started).
class TStoppingMessageBoxes : public IMessageBoxes {
public:
    void Show(QWidget*, const QString& text, Kind) override
    {
        std::fprintf(stderr, "keelvane: %s\n", qPrintable(DisplayLineBreaks(text)));
    }
    bool Ask(QWidget*, const QString& text) override
    {
        std::fprintf(stderr, "keelvane: question (answered No: stopping): %s\n", qPrintable(DisplayLineBreaks(text)));
        return false;
    }
};

TStoppingMessageBoxes gStoppingBoxes;

void OnStopRequest()
{
    char drained[16];
    while (read(gWakePipe[0], drained, sizeof drained) > 0) {
    }
    const bool job = gStoppedJob.load() || kvstop::HasCancelTarget();
    std::fprintf(stderr, "\nkeelvane: %s: %s (press Ctrl-C again to quit at once)\n",
                 kvstop::InterruptSignal() == SIGTERM ? "stopped by SIGTERM" : "interrupted",
                 job ? "stopping the job at its next safe point" : "closing");
    SetMessageBoxes(&gStoppingBoxes);
    // Leaves the main loop (and any question open now) once the job's handler has returned.
    QCoreApplication::exit(kvstop::InterruptExitCode());
}

}  // namespace

void InstallStopHandlers(QObject* Context)
{
    if (gWakePipe[0] >= 0 || pipe2(gWakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(gWakePipe[0], QSocketNotifier::Read, Context);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { OnStopRequest(); });
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;   // a read of the image must not fail with EINTR
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace app
