// Runs a program with its output captured and a deadline, and can send it SIGINT once a
// given number of lines containing a marker have come out. Bounded in every case: a child
// that outlives its deadline is killed.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kvtest {

struct RunResult {
    int exitCode = -1;   // -1 when killed by a signal
    int signal = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct RunOptions {
    std::chrono::seconds timeout{120};
    std::string workingDirectory;
    // Send SIGINT once `interruptAfterLines` lines of standard output contain `interruptMarker`.
    std::string interruptMarker;
    int interruptAfterLines = 0;
    int interruptSignal = 2;   // SIGINT
};

RunResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = RunOptions());

}  // namespace kvtest
