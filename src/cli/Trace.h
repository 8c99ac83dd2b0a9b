// --trace: one line per SCSI command on standard error, written by a sink installed in the
// device access path (win::SetScsiTraceSink), so every command of every layer shows up.
#pragma once

#include <string>

#include "platform/VirtualDevice.h"

namespace cli {

// "D: 2a 00 00 00 00 10 00 00 01 00  out 2048  CHECK CONDITION  sense 3/0c/00 MEDIUM ERROR"
std::string FormatTraceLine(char letter, const win::ScsiRequest& request, bool ok);

// Installs (true) or removes (false) the sink that writes those lines to standard error.
void EnableScsiTrace(bool on);

}  // namespace cli
