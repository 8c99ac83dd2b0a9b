// The attach syntax PATH[,option]...: strict, so a typing error never attaches a different
// drive than the one asked for.
#include <set>

#include "vdrive/VirtualWriter.h"

namespace vdrive {

namespace {

bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t& value) {
    if (text.empty() || text.size() > 12) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > max) return false;
    value = v;
    return true;
}

}  // namespace

bool ParseVirtualDriveSpec(const std::string& driveSpec, VirtualDriveOptions& options, std::string& error) {
    VirtualDriveOptions result;
    const std::string prefix = "virtual drive '" + driveSpec + "': ";
    std::size_t comma = driveSpec.find(',');
    result.path = driveSpec.substr(0, comma);
    if (result.path.empty()) {
        error = prefix + "no CUE sheet path before the options";
        return false;
    }
    // The track files are named after the sheet and written into it as FILE "name" lines: a
    // name that such a line cannot hold would burn a disc that never reads back.
    if (result.path.find_first_of("\"\n\r") != std::string::npos) {
        error = prefix + "the CUE sheet path may not contain a double quote or a line break";
        return false;
    }
    std::set<std::string> seen;
    while (comma != std::string::npos) {
        const std::size_t begin = comma + 1;
        comma = driveSpec.find(',', begin);
        const std::string item = driveSpec.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
        if (item.empty()) {
            error = prefix + "empty option";
            return false;
        }
        const std::size_t eq = item.find('=');
        const std::string name = item.substr(0, eq);
        const bool hasValue = eq != std::string::npos;
        const std::string value = hasValue ? item.substr(eq + 1) : std::string();
        if (!seen.insert(name).second) {
            error = prefix + "option " + name + " given twice";
            return false;
        }
        auto needValue = [&](const char* what) {
            error = prefix + "option " + name + " needs a value: " + name + "=" + what;
            return false;
        };
        auto badValue = [&](const char* what) {
            error = prefix + "bad value '" + value + "' for " + name + " (" + what + ")";
            return false;
        };
        std::uint64_t n = 0;
        if (name == "media") {
            if (!hasValue) return needValue("cd-r|cd-rw|dvd-r|dvd+r|dvd+rw|bd-r|bd-re|...|none");
            static const std::string known = std::string(kvcat::KeyList()) + " or none";
            if (value == "none") result.media = &kvcat::NoMedium();
            else if (const kvcat::Medium* media = kvcat::MediumByKey(value)) result.media = media;
            else return badValue(known.c_str());
        } else if (name == "speed") {
            if (!hasValue) return needValue("N");
            if (!ParseNumber(value, 255, n)) return badValue("0 for unlimited or 1 to 255");
            result.speed = static_cast<unsigned>(n);
        } else if (name == "capacity") {
            if (!hasValue) return needValue("BLOCKS");
            if (!ParseNumber(value, 0x7FFFFFFF, n) || n == 0) return badValue("1 to 2147483647 blocks");
            result.capacity = static_cast<std::uint32_t>(n);
        } else if (name == "fail-write-at") {
            if (!hasValue) return needValue("LBA");
            if (!ParseNumber(value, 0xFFFFFFFF, n)) return badValue("a block address");
            result.failWriteAt = static_cast<std::uint32_t>(n);
        } else if (name == "not-ready") {
            if (!hasValue) return needValue("K");
            if (!ParseNumber(value, 1000000, n)) return badValue("0 to 1000000 commands");
            result.notReady = static_cast<unsigned>(n);
        } else if (name == "busy-ms") {
            if (!hasValue) return needValue("N");
            if (!ParseNumber(value, 3600000, n)) return badValue("0 to 3600000 milliseconds");
            result.busyMs = static_cast<unsigned>(n);
        } else if (name == "slow-disc-ms") {
            if (!hasValue) return needValue("N");
            if (!ParseNumber(value, 60000, n)) return badValue("0 to 60000 milliseconds");
            result.slowDiscMs = static_cast<unsigned>(n);
        } else if (name == "stuck-buffer" || name == "no-rbc" || name == "bad-reply" || name == "unformatted" ||
                   name == "no-config" || name == "no-test-write") {
            if (hasValue) {
                error = prefix + "option " + name + " takes no value";
                return false;
            }
            if (name == "stuck-buffer") result.stuckBuffer = true;
            else if (name == "no-rbc") result.noReadBufferCapacity = true;
            else if (name == "unformatted") result.unformatted = true;
            else if (name == "no-config") result.noGetConfiguration = true;
            else if (name == "no-test-write") result.noTestWrite = true;
            else result.badReply = true;
        } else {
            error = prefix + "unknown option '" + name +
                    "' (known: media, speed, capacity, fail-write-at, stuck-buffer, no-rbc, not-ready, "
                    "busy-ms, slow-disc-ms, bad-reply, unformatted, no-config, no-test-write)";
            return false;
        }
    }
    options = result;
    return true;
}

}  // namespace vdrive
