#pragma once

#include <gtest/gtest.h>

#include "platform/VirtualDevice.h"
#include "platform/WinApi.h"

// Every test starts from a machine without kernel optical drives or virtual devices, so the
// build host's own /dev/sr* never leaks into the results.
class PlatformTest : public testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        win::DetachAllVirtualDevices();
        win::SetKernelDevicePathsForTesting({});
        win::SetScsiTraceSink(nullptr);
        win::ResetVersionForTesting();
    }
};
