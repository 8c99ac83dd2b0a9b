// The live progress line of burn and blank on a terminal: percent, sector of total, drive
// buffer, read-ahead buffer, speed in x (75 blocks/s) and time left. The speed is the job's
// (burner/ProgressRate.h measures it), so the arithmetic is tested without clocks.
#pragma once

#include <cstdint>
#include <string>

#include "burner/ProgressRate.h"

namespace cli {

using kvrate::FormatDuration;

struct ProgressSample {
    int percent = 0;
    std::int64_t sector = -1;   // -1: no sectors (blanking)
    std::int64_t total = 0;     // sectors of the job
    int driveBuffer = -1;       // -1: not known
    int fileBuffer = -1;
    double blocksPerSecond = 0; // <= 0: not measured yet
    bool megabytes = false;     // a stick has no x: its pace in MB/s
};

// One line, without carriage return.
std::string FormatProgressLine(const ProgressSample& sample);

}  // namespace cli
