// kv_timer_probe THRESHOLD_MS: on every processor, a thread pinned to it sleeps 1 ms at a time
// until SIGINT or SIGTERM; then prints how late the wake-ups came, for bench/run.sh:
//   probe_wakeups=N probe_max_ms=M probe_over=K probe_policy=fifo|other probe_cpus=C
// A paced writer's feed sees the same lateness: a wake-up later than the time a drive takes to
// drain a tenth of its buffer (about 26 ms at 52x) leaves the buffer under 90% full whatever the
// burner does. Run at a real-time priority when allowed, so that what it sees is the machine's
// (a virtual processor not run by its host, interrupts held off), not other processes' share.
// One thread per processor: a host that stops one virtual processor leaves the others' sleepers
// on time, and a feed may be on any of them.
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int) { gStop.store(true); }

double Ms(const timespec& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6; }

struct Lateness {
    long wakeups = 0, over = 0;
    double worst = 0;
    bool fifo = false;
};

void Probe(int cpu, double threshold, Lateness& out)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    sched_param param{};
    param.sched_priority = 10;
    out.fifo = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    timespec before{}, after{};
    const timespec period{0, 1000000};
    clock_gettime(CLOCK_MONOTONIC, &before);
    while (!gStop.load()) {
        clock_nanosleep(CLOCK_MONOTONIC, 0, &period, nullptr);
        clock_gettime(CLOCK_MONOTONIC, &after);
        const double late = Ms(after) - Ms(before) - 1.0;
        ++out.wakeups;
        out.worst = std::max(out.worst, late);
        if (late > threshold) ++out.over;
        before = after;
    }
}

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
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    sched_getaffinity(0, sizeof allowed, &allowed);
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &allowed)) cpus.push_back(c);
    std::vector<Lateness> seen(cpus.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < cpus.size(); ++i) threads.emplace_back(Probe, cpus[i], threshold, std::ref(seen[i]));
    for (std::thread& t : threads) t.join();

    Lateness all;
    all.fifo = true;
    for (const Lateness& l : seen) {
        all.wakeups += l.wakeups;
        all.over += l.over;
        all.worst = std::max(all.worst, l.worst);
        all.fifo = all.fifo && l.fifo;
    }
    std::printf("probe_wakeups=%ld probe_max_ms=%.1f probe_over=%ld probe_policy=%s probe_cpus=%zu\n", all.wakeups,
                all.worst, all.over, all.fifo ? "fifo" : "other", cpus.size());
    return 0;
}
