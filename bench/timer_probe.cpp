// kv_timer_probe THRESHOLD_MS: sleeps 1 ms at a time until SIGINT or SIGTERM, then prints how late
// its wake-ups came, for bench/run.sh:
//   probe_wakeups=N probe_max_ms=M probe_over=K probe_policy=fifo|other
// A paced writer's feed sees the same lateness: a wake-up later than the time a drive takes to
// drain a tenth of its buffer (about 26 ms at 52x) leaves the buffer under 90% full whatever the
// burner does. Run at a real-time priority when allowed, so that what it sees is the machine's
// (a virtual processor not run by its host, interrupts held off), not other processes' share.
#include <sched.h>
#include <time.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int) { gStop.store(true); }

double Ms(const timespec& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6; }

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kv_timer_probe THRESHOLD_MS\n");
        return 2;
    }
    const double threshold = std::atof(argv[1]);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    sched_param param{};
    param.sched_priority = 10;
    const bool fifo = sched_setscheduler(0, SCHED_FIFO, &param) == 0;

    long wakeups = 0, over = 0;
    double worst = 0;
    timespec before{}, after{};
    const timespec period{0, 1000000};
    clock_gettime(CLOCK_MONOTONIC, &before);
    while (!gStop.load()) {
        clock_nanosleep(CLOCK_MONOTONIC, 0, &period, nullptr);
        clock_gettime(CLOCK_MONOTONIC, &after);
        const double late = Ms(after) - Ms(before) - 1.0;
        ++wakeups;
        if (late > worst) worst = late;
        if (late > threshold) ++over;
        before = after;
    }
    std::printf("probe_wakeups=%ld probe_max_ms=%.1f probe_over=%ld probe_policy=%s\n", wakeups, worst, over,
                fifo ? "fifo" : "other");
    return 0;
}
