#include "burner/ProgressRate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kvrate {

void TRateMeter::Record(double Now, std::int64_t Sector) {
    // Only the ends of the window make the speed: samples closer together than a 64th of it
    // replace the newest, so a fast burn keeps a few dozen samples, not one per block.
    if (FSamples.size() >= 2 && Now - FSamples[FSamples.size() - 2].first < FWindow / 64)
        FSamples.back() = {Now, Sector};
    else
        FSamples.emplace_back(Now, Sector);
    while (FSamples.size() > 2 && FSamples.front().first < Now - FWindow) FSamples.pop_front();
}

double TRateMeter::BlocksPerSecond() const {
    if (FSamples.size() < 2) return 0;
    const auto& [t0, s0] = FSamples.front();
    const auto& [t1, s1] = FSamples.back();
    const double dt = t1 - t0;
    if (dt < 0.25 || s1 <= s0) return 0;   // too short a span to be a speed
    return static_cast<double>(s1 - s0) / dt;
}

void TBufferHealth::Record(int FillPercent, std::int64_t BytesSent, std::int64_t BufferBytes) {
    if (FillPercent < 0) return;   // the drive did not answer
    const auto lower = [FillPercent](int& lowest) {
        if (lowest < 0 || FillPercent < lowest) lowest = FillPercent;
    };
    FFell = FFell || (FPeak >= 90 && FillPercent < FPeak);
    FPeak = std::max(FPeak, FillPercent);
    if (FFell) lower(FLowestFallen);
    const bool sentTwice = BufferBytes > 0 && BytesSent >= 2 * BufferBytes;
    if (sentTwice) lower(FLowestSent);
    if (!FFell && !sentTwice) return;
    const bool empty = FillPercent == 0;
    if (empty && !FEmpty) ++FEmptyEvents;
    FEmpty = empty;
}

int TBufferHealth::Lowest() const {
    if (FEmptyEvents > 0) return 0;
    if (FFell) return FLowestFallen;
    if (FPeak >= 90) return FPeak;
    return FLowestSent;
}

bool TRedrawThrottle::Take(double Now) {
    if (Now - FLast < FMin) return false;
    FLast = Now;
    return true;
}

double SecondsLeft(std::int64_t Sector, std::int64_t Total, int Percent, double BlocksPerSecond,
                   double ElapsedSeconds) {
    if (Sector >= 0) {
        if (BlocksPerSecond <= 0) return -1;
        // Sector numbers are 0-based: after sector k, Total - k - 1 are still to go.
        const double remaining = static_cast<double>(Total - Sector - 1);
        return remaining > 0 ? remaining / BlocksPerSecond : 0;
    }
    if (Percent >= 100) return 0;
    if (Percent <= 0 || ElapsedSeconds <= 0) return -1;
    return ElapsedSeconds * (100 - Percent) / Percent;
}

double SpeedX(double BlocksPerSecond, kvcat::Family Family) {
    if (BlocksPerSecond <= 0) return 0;
    // A CD's x counts blocks (75 a second whatever their size); the others count bytes.
    if (Family == kvcat::Family::CD) return BlocksPerSecond / 75.0;
    return BlocksPerSecond * 2048.0 / (kvcat::SpeedsOf(Family).exactKbsPerX * 1000.0);
}

double MegabytesPerSecond(double BlocksPerSecond) {
    return BlocksPerSecond * 2048 / 1e6;
}

std::string FormatDuration(double Seconds) {
    if (!(Seconds >= 0) || !std::isfinite(Seconds)) return "--:--";
    auto total = static_cast<std::int64_t>(std::llround(Seconds));
    char buffer[32];
    if (total >= 3600)
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", static_cast<long long>(total / 3600),
                      static_cast<long long>(total / 60 % 60), static_cast<long long>(total % 60));
    else
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld", static_cast<long long>(total / 60),
                      static_cast<long long>(total % 60));
    return buffer;
}

}  // namespace kvrate
