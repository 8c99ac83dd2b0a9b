// How fast a job goes and how long it has left: the speed over a sliding window of its
// progress, the time left from the sectors still to go (or from the percent of a step that
// reports no sectors), the speed in the medium's x, and the redraw throttle of a live display.
// Time is passed in, so all of it is tested without clocks.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "catalog/Media.h"

namespace kvrate {

// Blocks per second over the last WindowSeconds of progress.
class TRateMeter {
public:
    explicit TRateMeter(double WindowSeconds = 3.0) : FWindow(WindowSeconds) {}

    // Sector is the last one done, Now in seconds on any monotonic clock.
    void Record(double Now, std::int64_t Sector);
    // 0 until a quarter of a second of progress has been seen.
    double BlocksPerSecond() const;

private:
    double FWindow;
    std::deque<std::pair<double, std::int64_t>> FSamples;
};

// The health of a drive's buffer while a write feeds it, as burners end with it: the lowest fill
// seen once the buffer had filled, and how many times it was found empty (each run of empty
// readings once: with buffer underrun protection the drive then waits for data; without, the
// write fails). The buffer has filled when its fill, having reached at least 90%, first falls:
// the readings of the climb (90, 91, ... 100 as a fast feed tops it up) are the start, not lows.
// A buffer that never fell from its top kept that top; one that never reached 90% (a drive
// faster than its feed) is judged from the readings once twice its size was sent. Once empty,
// the lowest is 0, also when that was before the top. Readings after the last block was sent
// (the drain before the close) are not given: an emptying buffer is the end of the feed, not a
// fault.
class TBufferHealth {
public:
    void Record(int FillPercent, std::int64_t BytesSent, std::int64_t BufferBytes);
    // -1 until the buffer has filled.
    int Lowest() const;
    int EmptyEvents() const { return FEmptyEvents; }

private:
    int FPeak = -1;
    bool FFell = false;          // from a top of at least 90%
    int FLowestFallen = -1;      // since then
    int FLowestSent = -1;        // since twice the buffer was sent
    bool FEmpty = false;
    int FEmptyEvents = 0;
};

// At most one redraw per MinSeconds.
class TRedrawThrottle {
public:
    explicit TRedrawThrottle(double MinSeconds = 0.1) : FMin(MinSeconds) {}
    // True when a redraw is due at Now; marks it done.
    bool Take(double Now);

private:
    double FMin;
    double FLast = -1e300;
};

// Seconds left: from the sectors still to go after Sector (0-based) of Total at
// BlocksPerSecond; for a step without sectors (Sector < 0) from the percent done in
// ElapsedSeconds. -1 when it cannot be told yet (no speed measured, nothing done).
double SecondsLeft(std::int64_t Sector, std::int64_t Total, int Percent, double BlocksPerSecond,
                   double ElapsedSeconds);

// The speed in the family's x: a CD's 1x is 75 blocks a second, a DVD's 1,385 kB/s and a BD's
// 4,495 kB/s of 2048-byte blocks.
double SpeedX(double BlocksPerSecond, kvcat::Family Family);
// A stick's pace, which has no x: megabytes (10^6 bytes) a second of 2048-byte blocks.
double MegabytesPerSecond(double BlocksPerSecond);

// "1:05:09", "4:07", "0:03"; negative gives "--:--".
std::string FormatDuration(double Seconds);

}  // namespace kvrate
