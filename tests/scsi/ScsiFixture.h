#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/VirtualDevice.h"
#include "scsi/SptiUnit.h"
#include "support/ScriptedDevice.h"

// Starts every test on an NT-family machine without kernel optical drives.
class ScsiTest : public testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override {
        SptiCloseAll();
        Clean();
    }
    static void Clean() {
        win::DetachAllVirtualDevices();
        win::SetKernelDevicePathsForTesting({});
        win::SetScsiTraceSink(nullptr);
        win::ResetVersionForTesting();
    }
    std::shared_ptr<kvtest::ScriptedDevice> Attach(const std::string& vendor, bool reportsAddress = true) {
        auto device = std::make_shared<kvtest::ScriptedDevice>("scripted:" + vendor);
        device->OnOpcode(0x12, kvtest::ScriptedReply::Good(kvtest::InquiryData(vendor, "Drive")));
        device->SetReportsAddress(reportsAddress);
        EXPECT_NE(win::AttachVirtualDevice(device), 0);
        devices.push_back(device);
        return device;
    }
    std::vector<std::shared_ptr<kvtest::ScriptedDevice>> devices;
};
