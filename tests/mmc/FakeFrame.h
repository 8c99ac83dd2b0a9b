// Stands in for the device-access frame in the tests that look at exactly what the unit hands
// to ExecScsiCommand: the CDB before the frame merges its own LUN, the buffer, and the state of
// TScsiDefaults while the command runs.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "scsi/zqSCSI.h"

namespace fakeframe {

struct Call {
    std::vector<std::uint8_t> cdb;
    std::uint32_t bufLen = 0;
    std::uint32_t direction = 0;
    bool hasBuffer = false;
    bool bufferZeroed = false;     // data-in buffer all zero when the command went out
    std::int32_t timeout = 0;      // Defaults.Timeout while the command ran
    std::uint8_t pageControl = 0;
};

// Fills the data-in buffer and decides the result; default: Err_None without data.
using Responder = std::function<TScsiError(const Call&, std::uint8_t* buffer, std::uint32_t length)>;

void Reset(Responder responder = nullptr);
const std::vector<Call>& Calls();

}  // namespace fakeframe
