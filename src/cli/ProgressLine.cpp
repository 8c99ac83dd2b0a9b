#include "cli/ProgressLine.h"

#include <cstdio>

namespace cli {

std::string FormatProgressLine(const ProgressSample& s) {
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
        if (s.blocksPerSecond > 0) {
            // Every disc in CD x, as the line always showed it; a stick in MB/s.
            if (s.megabytes)
                std::snprintf(buffer, sizeof buffer, "  %5.1f MB/s", kvrate::MegabytesPerSecond(s.blocksPerSecond));
            else
                std::snprintf(buffer, sizeof buffer, "  %5.1fx", s.blocksPerSecond / 75.0);
            line += buffer;
            line += "  " + FormatDuration(kvrate::SecondsLeft(s.sector, s.total, s.percent, s.blocksPerSecond, 0)) +
                    " left";
        } else {
            line += s.megabytes ? "   --.- MB/s  --:-- left" : "    --.-x  --:-- left";
        }
    }
    return line;
}

}  // namespace cli
