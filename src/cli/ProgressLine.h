// The live progress line of burn and blank on a terminal: percent, sector of total, drive
// buffer, read-ahead buffer, speed in x (75 blocks/s) and time left. Time is passed in, so
// the arithmetic is tested without clocks.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace cli {

struct ProgressSample {
    int percent = 0;
    std::int64_t sector = -1;   // -1: no sectors (blanking)
    std::int64_t total = 0;     // sectors of the job
    int driveBuffer = -1;       // -1: not known
    int fileBuffer = -1;
};

// One line, without carriage return. blocksPerSecond <= 0 means "not measured yet".
std::string FormatProgressLine(const ProgressSample& sample, double blocksPerSecond);

// "1:05:09", "4:07", "0:03"; negative gives "--:--".
std::string FormatDuration(double seconds);

// Speed over a sliding window, and the redraw throttle.
class ProgressMeter {
public:
    explicit ProgressMeter(double minRedrawSeconds = 0.1, double windowSeconds = 3.0)
        : minRedraw_(minRedrawSeconds), window_(windowSeconds) {}

    void Record(double now, std::int64_t sector);
    double BlocksPerSecond() const;
    // True when a redraw is due at `now` (at most one per minRedrawSeconds); marks it done.
    bool TakeRedraw(double now);

private:
    double minRedraw_;
    double window_;
    double lastRedraw_ = -1e300;
    std::deque<std::pair<double, std::int64_t>> samples_;
};

}  // namespace cli
