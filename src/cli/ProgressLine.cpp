#include "cli/ProgressLine.h"

#include <cmath>
#include <cstdio>

namespace cli {

std::string FormatDuration(double seconds) {
    if (!(seconds >= 0) || !std::isfinite(seconds)) return "--:--";
    auto total = static_cast<std::int64_t>(std::llround(seconds));
    char buffer[32];
    if (total >= 3600)
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", static_cast<long long>(total / 3600),
                      static_cast<long long>(total / 60 % 60), static_cast<long long>(total % 60));
    else
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld", static_cast<long long>(total / 60),
                      static_cast<long long>(total % 60));
    return buffer;
}

std::string FormatProgressLine(const ProgressSample& s, double blocksPerSecond) {
    char buffer[64];
    std::string line;
    std::snprintf(buffer, sizeof buffer, "%3d%%", s.percent);
    line += buffer;
    if (s.sector >= 0) {
        std::snprintf(buffer, sizeof buffer, "  sector %lld of %lld", static_cast<long long>(s.sector),
                      static_cast<long long>(s.total));
        line += buffer;
    }
    if (s.driveBuffer >= 0) {
        std::snprintf(buffer, sizeof buffer, "  buffer %3d%%", s.driveBuffer);
        line += buffer;
    }
    if (s.fileBuffer >= 0) {
        std::snprintf(buffer, sizeof buffer, "  read-ahead %3d%%", s.fileBuffer);
        line += buffer;
    }
    if (s.sector >= 0) {
        if (blocksPerSecond > 0) {
            std::snprintf(buffer, sizeof buffer, "  %5.1fx", blocksPerSecond / 75.0);
            line += buffer;
            // Sector numbers are 0-based: after sector k, total - k - 1 are still to go.
            const double remaining = static_cast<double>(s.total - s.sector - 1);
            line += "  " + FormatDuration(remaining > 0 ? remaining / blocksPerSecond : 0) + " left";
        } else {
            line += "    --.-x  --:-- left";
        }
    }
    return line;
}

void ProgressMeter::Record(double now, std::int64_t sector) {
    // Only the ends of the window make the speed: samples closer together than a 64th of it
    // replace the newest, so a fast burn keeps a few dozen samples, not one per block.
    if (samples_.size() >= 2 && now - samples_[samples_.size() - 2].first < window_ / 64)
        samples_.back() = {now, sector};
    else
        samples_.emplace_back(now, sector);
    while (samples_.size() > 2 && samples_.front().first < now - window_) samples_.pop_front();
}

double ProgressMeter::BlocksPerSecond() const {
    if (samples_.size() < 2) return 0;
    const auto& [t0, s0] = samples_.front();
    const auto& [t1, s1] = samples_.back();
    const double dt = t1 - t0;
    if (dt < 0.25 || s1 <= s0) return 0;   // too short a span to be a speed
    return static_cast<double>(s1 - s0) / dt;
}

bool ProgressMeter::TakeRedraw(double now) {
    if (now - lastRedraw_ < minRedraw_) return false;
    lastRedraw_ = now;
    return true;
}

}  // namespace cli
