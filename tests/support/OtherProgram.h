// What another program on the machine does to a drive, for tests of a job's hold on it.
#pragma once

#include <cstddef>

#include "platform/WinApi.h"

namespace kvtest {

// TEST UNIT READY straight through the platform on the program's own handle.
inline bool TestUnitReadyThrough(win::HANDLE h) {
    win::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER block{};
    block.sptd.Length = sizeof(win::SCSI_PASS_THROUGH_DIRECT);
    block.sptd.CdbLength = 6;
    block.sptd.SenseInfoLength = 32;
    block.sptd.DataIn = win::SCSI_IOCTL_DATA_UNSPECIFIED;
    block.sptd.TimeOutValue = 10;
    block.sptd.SenseInfoOffset = offsetof(win::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuf);
    win::DWORD returned = 0;
    return win::DeviceIoControl(h, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block, sizeof block,
                                &returned, nullptr) != win::FALSE;
}

}  // namespace kvtest
