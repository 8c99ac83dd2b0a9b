#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "PlatformFixture.h"
#include "support/ScriptedDevice.h"

namespace {

using kvtest::ScriptedDevice;
using kvtest::ScriptedReply;
using win::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER;

constexpr win::DWORD kBlockSize = sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER);
constexpr win::DWORD kSenseOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuf);

win::HANDLE Open(char letter) {
    const char name[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
    return win::CreateFileA(name, win::GENERIC_READ | win::GENERIC_WRITE,
                            win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                            win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The INQUIRY the writer scan sends: 100 bytes in, 2 seconds, sense length 24.
SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER Inquiry(std::uint8_t* data, std::uint32_t length = 100) {
    SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER b{};
    b.sptd.Length = sizeof b.sptd;
    b.sptd.CdbLength = 6;
    b.sptd.SenseInfoLength = 24;
    b.sptd.DataIn = win::SCSI_IOCTL_DATA_IN;
    b.sptd.DataTransferLength = length;
    b.sptd.TimeOutValue = 2;
    b.sptd.DataBuffer = data;
    b.sptd.SenseInfoOffset = kSenseOffset;
    b.sptd.Cdb[0] = 0x12;
    b.sptd.Cdb[4] = static_cast<std::uint8_t>(length);
    return b;
}

win::BOOL Send(win::HANDLE h, SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER& b, win::DWORD in = kBlockSize,
               win::DWORD out = kBlockSize) {
    win::DWORD returned = 0;
    return win::DeviceIoControl(h, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, in, &b, out, &returned, nullptr);
}

class PassThrough : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        device = std::make_shared<ScriptedDevice>("virtual:pt");
        ASSERT_EQ(win::AttachVirtualDevice(device), 'D');
        handle = Open('D');
        ASSERT_NE(handle, win::INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        win::CloseHandle(handle);
        PlatformTest::TearDown();
    }
    std::shared_ptr<ScriptedDevice> device;
    win::HANDLE handle = nullptr;
};

TEST_F(PassThrough, WriterScanInquiryReachesAVirtualDevice) {
    std::uint8_t data[100] = {};
    auto block = Inquiry(data);
    ASSERT_TRUE(Send(handle, block));
    EXPECT_EQ(block.sptd.ScsiStatus, 0);
    EXPECT_EQ(block.sptd.SenseInfoLength, 0);
    EXPECT_EQ(block.sptd.DataTransferLength, 96u) << "the device delivered 96 of 100 bytes";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 8), "KEELVANE");

    const auto commands = device->Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].cdb, (std::vector<std::uint8_t>{0x12, 0, 0, 0, 100, 0}));
    EXPECT_EQ(commands[0].direction, win::ScsiRequest::Direction::In);
    EXPECT_EQ(commands[0].dataLength, 100u);
    EXPECT_EQ(commands[0].timeoutSeconds, 2u);
}

TEST_F(PassThrough, CheckConditionDeliversSenseAtTheOffset) {
    device->QueueReplyFor(0x12, ScriptedReply::CheckCondition(0x05, 0x24, 0x00));
    std::uint8_t data[100] = {};
    auto block = Inquiry(data);
    block.SenseBuf[20] = 0xEE;   // beyond the 18 delivered bytes: must stay
    ASSERT_TRUE(Send(handle, block)) << "a CHECK CONDITION is a completed call";
    EXPECT_EQ(block.sptd.ScsiStatus, 0x02);
    EXPECT_EQ(block.sptd.SenseInfoLength, 18);
    EXPECT_EQ(block.SenseBuf[0], 0x70);
    EXPECT_EQ(block.SenseBuf[2], 0x05);
    EXPECT_EQ(block.SenseBuf[12], 0x24);
    EXPECT_EQ(block.SenseBuf[20], 0xEE);

    // Sense is cut to what the caller asked for.
    device->QueueReplyFor(0x12, ScriptedReply::CheckCondition(0x02, 0x3A));
    block = Inquiry(data);
    block.sptd.SenseInfoLength = 4;
    ASSERT_TRUE(Send(handle, block));
    EXPECT_EQ(block.sptd.SenseInfoLength, 4);
    EXPECT_EQ(block.SenseBuf[2], 0x02);
    EXPECT_EQ(block.SenseBuf[4], 0x00);
}

TEST_F(PassThrough, DataOutAndNoDataDirections) {
    std::uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    auto block = Inquiry(payload, sizeof payload);
    block.sptd.Cdb[0] = 0x2A;
    block.sptd.CdbLength = 10;
    block.sptd.DataIn = win::SCSI_IOCTL_DATA_OUT;
    ASSERT_TRUE(Send(handle, block));
    EXPECT_EQ(block.sptd.DataTransferLength, 8u);

    auto none = Inquiry(nullptr, 0);
    none.sptd.Cdb[0] = 0x00;
    none.sptd.DataIn = win::SCSI_IOCTL_DATA_UNSPECIFIED;
    ASSERT_TRUE(Send(handle, none));

    const auto commands = device->Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].direction, win::ScsiRequest::Direction::Out);
    EXPECT_EQ(commands[0].dataOut, std::vector<std::uint8_t>(payload, payload + 8));
    EXPECT_EQ(commands[0].cdb.size(), 10u);
    EXPECT_EQ(commands[1].direction, win::ScsiRequest::Direction::None);
}

TEST_F(PassThrough, TransportFailuresReturnFalse) {
    std::uint8_t data[100];
    device->QueueReplyFor(0x12, ScriptedReply::TransportFailure());
    auto block = Inquiry(data);
    EXPECT_FALSE(Send(handle, block));
    EXPECT_EQ(win::GetLastError(), win::ERROR_GEN_FAILURE);

    struct Throwing : ScriptedDevice {
        bool Execute(win::ScsiRequest&) override { throw std::runtime_error("device fault"); }
    };
    auto throwing = std::make_shared<Throwing>();
    ASSERT_EQ(win::AttachVirtualDevice(throwing), 'E');
    win::HANDLE h = Open('E');
    block = Inquiry(data);
    EXPECT_FALSE(Send(h, block));
    win::CloseHandle(h);
}

TEST_F(PassThrough, ADetachedDeviceFailsLikeAVanishedDrive) {
    win::DetachVirtualDevice(device);
    std::uint8_t data[100];
    auto block = Inquiry(data);
    EXPECT_FALSE(Send(handle, block));
    EXPECT_EQ(win::GetLastErrno(), ENODEV);
    EXPECT_EQ(device->CommandCount(), 0u);
}

TEST_F(PassThrough, MalformedBlocksAreRefusedBeforeTheDevice) {
    std::uint8_t data[100];
    struct Case {
        const char* what;
        void (*mutate)(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER&);
        win::DWORD in;
        win::DWORD out;
    } cases[] = {
        {"sense past the in buffer", [](auto& b) { b.sptd.SenseInfoLength = 40; }, kBlockSize, kBlockSize},
        {"sense inside the structure", [](auto& b) { b.sptd.SenseInfoOffset = 8; }, kBlockSize, kBlockSize},
        {"huge sense offset", [](auto& b) { b.sptd.SenseInfoOffset = 0xFFFFFFF0u; }, kBlockSize, kBlockSize},
        {"short in buffer", [](auto&) {}, sizeof(win::SCSI_PASS_THROUGH_DIRECT) - 1, kBlockSize},
        {"sense past the out buffer", [](auto&) {}, kBlockSize, kSenseOffset + 10},
        {"zero CDB length", [](auto& b) { b.sptd.CdbLength = 0; }, kBlockSize, kBlockSize},
        {"CDB longer than 16", [](auto& b) { b.sptd.CdbLength = 17; }, kBlockSize, kBlockSize},
        {"bad direction", [](auto& b) { b.sptd.DataIn = 3; }, kBlockSize, kBlockSize},
        {"data without buffer", [](auto& b) { b.sptd.DataBuffer = nullptr; }, kBlockSize, kBlockSize},
    };
    for (const auto& c : cases) {
        auto block = Inquiry(data);
        c.mutate(block);
        EXPECT_FALSE(Send(handle, block, c.in, c.out)) << c.what;
        EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER) << c.what;
    }
    EXPECT_EQ(device->CommandCount(), 0u);
    win::DWORD returned;
    EXPECT_FALSE(win::DeviceIoControl(handle, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, nullptr, 0, nullptr,
                                      0, &returned, nullptr));
    EXPECT_FALSE(win::DeviceIoControl(handle, 0x12345, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_SUPPORTED);
}

TEST_F(PassThrough, SeparateOutBufferReceivesTheResults) {
    device->QueueReplyFor(0x12, ScriptedReply::CheckCondition(0x03, 0x0C));
    std::uint8_t data[100];
    auto in = Inquiry(data);
    SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER out{};
    win::DWORD returned = 0;
    ASSERT_TRUE(win::DeviceIoControl(handle, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &in, kBlockSize, &out,
                                     kBlockSize, &returned, nullptr));
    EXPECT_EQ(out.sptd.ScsiStatus, 2);
    EXPECT_EQ(out.sptd.SenseInfoLength, 18);
    EXPECT_EQ(out.SenseBuf[2], 3);
    EXPECT_EQ(returned, kSenseOffset + 18);
    EXPECT_EQ(in.sptd.ScsiStatus, 0) << "the in block is left alone";
}

TEST_F(PassThrough, TraceSinkSeesEveryCommandWithItsOutcome) {
    struct Seen {
        char letter;
        std::uint8_t opcode;
        std::uint8_t status;
        std::uint8_t senseKey;
        bool ok;
    };
    std::vector<Seen> seen;
    win::SetScsiTraceSink([&](char letter, const win::ScsiRequest& r, bool ok) {
        seen.push_back({letter, r.cdb[0], r.status, static_cast<std::uint8_t>(r.sense[2] & 0x0f), ok});
    });
    std::uint8_t data[100];
    device->QueueReplyFor(0x12, ScriptedReply::Good());
    device->QueueReplyFor(0x12, ScriptedReply::CheckCondition(0x06, 0x28));
    device->QueueReplyFor(0x12, ScriptedReply::TransportFailure());
    for (int i = 0; i < 3; ++i) {
        auto block = Inquiry(data);
        Send(handle, block);
    }
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].letter, 'D');
    EXPECT_TRUE(seen[0].ok);
    EXPECT_EQ(seen[1].status, 2);
    EXPECT_EQ(seen[1].senseKey, 6);
    EXPECT_TRUE(seen[1].ok);
    EXPECT_FALSE(seen[2].ok);
    EXPECT_EQ(seen[2].opcode, 0x12);
}

TEST_F(PassThrough, IoctlErrorsOnKernelDevicesFailCleanly) {
    // /dev/null opens like a device but answers no SCSI ioctl: the "device that vanished"
    // and "not a SCSI device" cases.
    win::SetKernelDevicePathsForTesting({"/dev/null"});
    win::HANDLE h = Open('D');
    ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::DevicePathOfLetter('E'), "virtual:pt");
    std::vector<char> traced;
    win::SetScsiTraceSink([&](char letter, const win::ScsiRequest&, bool ok) {
        if (!ok) traced.push_back(letter);
    });
    std::uint8_t data[100];
    auto block = Inquiry(data);
    EXPECT_FALSE(Send(h, block));
    EXPECT_EQ(win::GetLastErrno(), ENOTTY);
    EXPECT_EQ(traced, std::vector<char>{'D'});

    win::SCSI_ADDRESS address{};
    address.Length = sizeof address;
    win::DWORD returned;
    EXPECT_FALSE(win::DeviceIoControl(h, win::IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address,
                                      sizeof address, &returned, nullptr));
    EXPECT_TRUE(win::CloseHandle(h));
}

TEST_F(PassThrough, VirtualAddressesAreUniqueAndOptional) {
    auto second = std::make_shared<ScriptedDevice>("virtual:second");
    auto silent = std::make_shared<ScriptedDevice>("virtual:silent");
    silent->SetReportsAddress(false);
    ASSERT_EQ(win::AttachVirtualDevice(second), 'E');
    ASSERT_EQ(win::AttachVirtualDevice(silent), 'F');

    auto query = [](win::HANDLE h, win::SCSI_ADDRESS& a, win::DWORD size = sizeof(win::SCSI_ADDRESS)) {
        a = {};
        a.Length = sizeof a;
        win::DWORD returned = 0;
        return win::DeviceIoControl(h, win::IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, size, &returned, nullptr);
    };
    win::SCSI_ADDRESS a{};
    ASSERT_TRUE(query(handle, a));
    EXPECT_EQ(a.Length, 8u);
    EXPECT_EQ(a.PortNumber, 200);
    EXPECT_EQ(a.TargetId, 0);
    EXPECT_EQ(a.Lun, 0);
    EXPECT_FALSE(query(handle, a, 7));
    EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);

    win::HANDLE h2 = Open('E');
    ASSERT_TRUE(query(h2, a));
    EXPECT_EQ(a.PortNumber, 200);
    EXPECT_EQ(a.TargetId, 1);
    EXPECT_EQ(win::VirtualDeviceAddress(*second).target, 1);

    win::HANDLE h3 = Open('F');
    EXPECT_FALSE(query(h3, a));

    // A device attached after a detach takes the free number, never a held one.
    win::DetachVirtualDevice(device);
    auto third = std::make_shared<ScriptedDevice>();
    win::AttachVirtualDevice(third);
    EXPECT_EQ(win::VirtualDeviceAddress(*third).target, 0);
    auto fourth = std::make_shared<ScriptedDevice>();
    win::AttachVirtualDevice(fourth);
    EXPECT_EQ(win::VirtualDeviceAddress(*fourth).target, 3);
    EXPECT_FALSE(query(handle, a)) << "the detached device no longer answers";

    win::CloseHandle(h2);
    win::CloseHandle(h3);
}

}  // namespace
