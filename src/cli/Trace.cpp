#include "cli/Trace.h"

#include "catalog/Commands.h"

#include "platform/Posix.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace cli {

namespace {

const char* StatusName(std::uint8_t status) {
    switch (status) {
    case 0x00: return "GOOD";
    case 0x02: return "CHECK CONDITION";
    case 0x04: return "CONDITION MET";
    case 0x08: return "BUSY";
    case 0x18: return "RESERVATION CONFLICT";
    case 0x28: return "TASK SET FULL";
    case 0x30: return "ACA ACTIVE";
    case 0x40: return "TASK ABORTED";
    default: return "STATUS";
    }
}

const char* SenseKeyName(unsigned key) {
    static const char* const kNames[16] = {
        "NO SENSE",        "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
        "HARDWARE ERROR",  "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
        "BLANK CHECK",     "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
        "EQUAL",           "VOLUME OVERFLOW", "MISCOMPARE",     "RESERVED"};
    return kNames[key & 0x0F];
}

}  // namespace

std::string FormatTraceLine(char letter, const win::ScsiRequest& r, bool ok) {
    char buffer[96];
    std::string line;
    line += letter;
    line += ':';
    const unsigned cdbLength = r.cdbLength <= sizeof r.cdb ? r.cdbLength : sizeof r.cdb;
    for (unsigned i = 0; i < cdbLength; ++i) {
        std::snprintf(buffer, sizeof buffer, " %02x", r.cdb[i]);
        line += buffer;
    }
    switch (r.direction) {
    case win::ScsiRequest::Direction::In: line += "  in "; break;
    case win::ScsiRequest::Direction::Out: line += "  out "; break;
    case win::ScsiRequest::Direction::None: line += "  none "; break;
    }
    line += std::to_string(r.dataLength);
    if (r.residual != 0 && r.residual <= r.dataLength)
        line += " (moved " + std::to_string(r.dataLength - r.residual) + ")";

    if (!ok) {
        line += "  transport failure";
        return line;
    }
    std::snprintf(buffer, sizeof buffer, "  %s", StatusName(r.status));
    line += buffer;
    if (r.status == 0x02 || r.senseLength > 0) {
        const std::uint8_t* s = r.sense;
        const unsigned length = r.senseLength <= sizeof r.sense ? r.senseLength : sizeof r.sense;
        const unsigned responseCode = length > 0 ? (s[0] & 0x7Fu) : 0;
        unsigned key = 0, asc = 0, ascq = 0;
        bool known = false;
        if ((responseCode == 0x70 || responseCode == 0x71) && length >= 3) {
            key = s[2] & 0x0Fu;
            asc = length > 12 ? s[12] : 0;
            ascq = length > 13 ? s[13] : 0;
            known = true;
        } else if ((responseCode == 0x72 || responseCode == 0x73) && length >= 4) {
            key = s[1] & 0x0Fu;
            asc = s[2];
            ascq = s[3];
            known = true;
        }
        if (known) {
            std::snprintf(buffer, sizeof buffer, "  sense %x/%02x/%02x %s", key, asc, ascq, SenseKeyName(key));
            line += buffer;
        } else {
            line += "  no sense data";
        }
    }
    // A short parameter list (mode pages, streaming descriptors) is shown, so that what was
    // asked of the drive (a Test Write bit, a speed) can be read from the trace; block data is not.
    constexpr unsigned kMaxParameterList = 64;
    if (r.direction == win::ScsiRequest::Direction::Out && r.data != nullptr && r.dataLength > 0 &&
        r.dataLength <= kMaxParameterList && r.cdb[0] != 0x2A && r.cdb[0] != 0xAA) {
        line += "  params";
        for (unsigned i = 0; i < r.dataLength; ++i) {
            std::snprintf(buffer, sizeof buffer, " %02x", r.data[i]);
            line += buffer;
        }
    }
    return line;
}

namespace {

struct TraceCounts {
    std::atomic<std::uint64_t> perOpcode[256];
    std::uint64_t opensBefore = 0;
    bool on = false;
};

TraceCounts& traceCounts() {
    static TraceCounts c;
    return c;
}

// Writers on several drives trace from their own threads; one line is written whole before the
// next begins (a console's text-mode write may go out in pieces).
void WriteLine(const std::string& line) {
    static std::mutex m;
    std::lock_guard lock(m);
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

std::string CommandKindName(std::uint8_t opcode) {
    if (const kvcat::Command* command = kvcat::CommandByOpcode(opcode)) return command->name;
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "opcode 0x%02x", opcode);
    return buffer;
}

std::vector<std::string> FormatTraceSummary(const std::uint64_t (&counts)[256], std::uint64_t opens) {
    std::uint64_t total = 0;
    for (std::uint64_t n : counts) total += n;
    std::vector<std::string> lines;
    lines.push_back("trace summary: " + std::to_string(total) + (total == 1 ? " command, " : " commands, ") +
                    std::to_string(opens) + (opens == 1 ? " device open" : " device opens"));
    for (unsigned op = 0; op < 256; ++op) {
        if (counts[op] == 0) continue;
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "trace summary: %02x %-30s %10llu", op,
                      CommandKindName(static_cast<std::uint8_t>(op)).c_str(),
                      static_cast<unsigned long long>(counts[op]));
        lines.emplace_back(buffer);
    }
    return lines;
}

void EnableScsiTrace(bool on) {
    auto& c = traceCounts();
    if (!on) {
        win::SetScsiTraceSink(nullptr);
        if (!c.on) return;
        c.on = false;
        std::uint64_t counts[256];
        for (unsigned op = 0; op < 256; ++op) counts[op] = c.perOpcode[op].load();
        std::string text;
        for (const auto& line : FormatTraceSummary(counts, win::DeviceOpenCount() - c.opensBefore)) text += line + "\n";
        WriteLine(text);
        return;
    }
    for (auto& n : c.perOpcode) n.store(0);
    c.opensBefore = win::DeviceOpenCount();
    c.on = true;
    win::SetScsiTraceSink([](char letter, const win::ScsiRequest& request, bool ok) {
        if (request.cdbLength > 0) traceCounts().perOpcode[request.cdb[0]].fetch_add(1, std::memory_order_relaxed);
        std::string line = "trace " + FormatTraceLine(letter, request, ok) + "\n";
        // One write per line, so trace lines never interleave with a progress redraw.
        WriteLine(line);
    });
}

}  // namespace cli
