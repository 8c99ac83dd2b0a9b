// --trace: one line per SCSI command on standard error, written by a sink installed in the
// device access path (win::SetScsiTraceSink), so every command of every layer shows up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/VirtualDevice.h"

namespace cli {

// "D: 2a 00 00 00 00 10 00 00 01 00  out 2048  CHECK CONDITION  sense 3/0c/00 MEDIUM ERROR"
std::string FormatTraceLine(char letter, const win::ScsiRequest& request, bool ok);

// Installs (true) or removes (false) the sink that writes those lines to standard error.
// Removing it after it was installed writes what the run cost: the commands sent per kind and
// the device opens.
void EnableScsiTrace(bool on);

// The name of a command by its operation code ("WRITE(10)"), or "opcode 0xNN".
std::string CommandKindName(std::uint8_t opcode);
// The summary lines --trace ends with, from counts per operation code and the opens.
std::vector<std::string> FormatTraceSummary(const std::uint64_t (&counts)[256], std::uint64_t opens);

}  // namespace cli
