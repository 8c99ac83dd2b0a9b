// A scripted drive attached through the platform, so the unit's commands pass the real frame
// (ExecScsiCommand, TzqSCSI, the pass-through emulation, DeviceIoControl) on their way to it.
#pragma once

#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "mmc/SCSIUnit.h"
#include "platform/VirtualDevice.h"
#include "support/ScriptedDevice.h"

namespace mmctest {

using Bytes = std::vector<std::uint8_t>;

// MODE SENSE(10) reply: header, BlockDescriptors bytes of descriptors (filled with EEh so a
// decoder that mistakes them for the page shows it), then the page. The mode data length is
// the true one unless told otherwise.
inline Bytes ModeReply(const Bytes& page, std::uint16_t blockDescriptors = 0, int modeDataLength = -1,
                       int blockDescriptorLength = -1) {
    Bytes r(8, 0);
    r.insert(r.end(), blockDescriptors, 0xEE);
    r.insert(r.end(), page.begin(), page.end());
    const auto mdl = static_cast<std::uint16_t>(modeDataLength >= 0 ? modeDataLength : int(r.size()) - 2);
    const auto bdl = static_cast<std::uint16_t>(blockDescriptorLength >= 0 ? blockDescriptorLength : blockDescriptors);
    r[0] = static_cast<std::uint8_t>(mdl >> 8);
    r[1] = static_cast<std::uint8_t>(mdl);
    r[6] = static_cast<std::uint8_t>(bdl >> 8);
    r[7] = static_cast<std::uint8_t>(bdl);
    return r;
}

class MmcDeviceTest : public testing::Test {
protected:
    void SetUp() override {
        Clean();
        device = std::make_shared<kvtest::ScriptedDevice>();
        const char letter = win::AttachVirtualDevice(device);
        ASSERT_NE(letter, 0);
        const win::ScsiDeviceAddress a = win::VirtualDeviceAddress(*device);
        info.DriveLetter = letter;
        info.HaId = a.port;
        info.Target = a.target;
        info.Lun = a.lun;
        info.PackedAddress = (std::uint32_t{a.port} << 24) | (std::uint32_t{a.target} << 16) |
                             (std::uint32_t(((a.lun & 7) << 5) | (letter & 0x1F)) << 8);
    }
    void TearDown() override { Clean(); }
    static void Clean() {
        win::DetachAllVirtualDevices();
        win::SetKernelDevicePathsForTesting({});
        win::ResetVersionForTesting();
    }

    // The commands the unit sent, without the INQUIRY of the frame's drive scan.
    std::vector<kvtest::RecordedCommand> Sent() const {
        std::vector<kvtest::RecordedCommand> out;
        for (auto& c : device->Commands())
            if (!c.cdb.empty() && c.cdb[0] != 0x12) out.push_back(c);
        return out;
    }
    std::vector<Bytes> SentCdbs() const {
        std::vector<Bytes> out;
        for (auto& c : Sent()) out.push_back(c.cdb);
        return out;
    }

    std::shared_ptr<kvtest::ScriptedDevice> device;
    TCDBurnerInfo info;
    TScsiDefaults defaults;
};

}  // namespace mmctest
