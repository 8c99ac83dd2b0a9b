// Unit and recording commands against the scripted drive: time-outs after failures, the data a
// WRITE carries, the buffer capacity reply, and sense data with its progress indication.
#include <cstring>
#include <memory>

#include "MmcDeviceFixture.h"
#include "catalog/BigEndian.h"

namespace {

using mmctest::Bytes;

class UnitRecordingTest : public mmctest::MmcDeviceTest {};

TEST_F(UnitRecordingTest, TimeoutHoldsItsValueAfterFailedCommands) {
    device->SetHandler([](const win::ScsiRequest&) { return kvtest::ScriptedReply::CheckCondition(0x03, 0x0C); });
    defaults.Timeout = 4321;
    std::uint8_t block[2048] = {};
    EXPECT_EQ(ScsiWriteBlocks(info, 16, 1, block, sizeof block, defaults), Err_SenseMediumError);
    EXPECT_EQ(defaults.Timeout, 4321);
    EXPECT_EQ(ScsiStartStopUnit(info, false, true, true, defaults), Err_SenseMediumError);
    EXPECT_EQ(defaults.Timeout, 4321);
    TScsiDVDLayerDescriptorInfo dvd;
    EXPECT_EQ(ScsiReadDVDLayerDescriptor(info, dvd, defaults), Err_SenseMediumError);
    EXPECT_EQ(defaults.Timeout, 4321);

    device->SetHandler([](const win::ScsiRequest&) { return kvtest::ScriptedReply::TransportFailure(); });
    EXPECT_EQ(ScsiWriteBlocks(info, 16, 1, block, sizeof block, defaults), Err_Unknown);
    EXPECT_EQ(defaults.Timeout, 4321);
}

TEST_F(UnitRecordingTest, WriteCarriesTheCallersBlock) {
    std::uint8_t block[2048];
    for (std::size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_EQ(ScsiWriteBlocks(info, 0x00ABCDEF, 1, block, sizeof block, defaults), Err_None);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].cdb, (Bytes{0x2A, 0, 0x00, 0xAB, 0xCD, 0xEF, 0, 0, 1, 0}));
    EXPECT_EQ(sent[0].dataOut, Bytes(block, block + sizeof block));
}

TEST_F(UnitRecordingTest, BufferCapacityReplyAndItsFailure) {
    device->OnOpcode(0x5C, kvtest::ScriptedReply::Good({0x00, 0x0A, 0, 0, 0x00, 0x20, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
                                                        0x77, 0x77}));
    std::uint8_t reply[14];
    std::memset(reply, 0xCC, sizeof reply);
    ASSERT_EQ(ScsiReadBufferCapacity(info, reply, defaults), Err_None);
    EXPECT_EQ(kvbe::Load32(reply + 4), 2097152u);
    EXPECT_EQ(kvbe::Load32(reply + 8), 1048576u);
    EXPECT_EQ(reply[12], 0xCC);   // twelve bytes, no more

    device->OnOpcode(0x5C, kvtest::ScriptedReply::CheckCondition(0x05, 0x20));
    std::memset(reply, 0xCC, sizeof reply);
    EXPECT_EQ(ScsiReadBufferCapacity(info, reply, defaults), Err_SenseIllegalRequest);
    EXPECT_EQ(Bytes(reply, reply + 12), Bytes(12, 0));
    EXPECT_EQ(ScsiReadBufferCapacity(info, nullptr, defaults), Err_InvalidArgument);
}

TEST_F(UnitRecordingTest, FailedReadLeavesZeros) {
    device->OnOpcode(0x28, kvtest::ScriptedReply::CheckCondition(0x03, 0x11));
    std::uint8_t block[2048];
    std::memset(block, 0xCC, sizeof block);
    EXPECT_EQ(ScsiRead10(info, 5, 1, block, sizeof block, defaults), Err_SenseMediumError);
    EXPECT_TRUE(std::all_of(block, block + sizeof block, [](std::uint8_t b) { return b == 0; }));
}

TEST_F(UnitRecordingTest, SenseOfAFailedCommandIsLeftInTheSenseArea) {
    device->OnOpcode(0x2A, kvtest::ScriptedReply::CheckCondition(0x05, 0x21, 0x02));
    std::uint8_t block[2048] = {};
    EXPECT_EQ(ScsiWriteBlocks(info, 999999, 1, block, sizeof block, defaults), Err_SenseIllegalRequest);
    const TScsiSense s = ScsiDecodeSense(defaults.SenseArea, 14);
    EXPECT_EQ(s.Key, 0x05);
    EXPECT_EQ(s.Asc, 0x21);
    EXPECT_EQ(s.Ascq, 0x02);
    EXPECT_FALSE(s.ProgressValid);
}

TEST_F(UnitRecordingTest, RequestSenseReportsBlankingProgress) {
    Bytes sense(18, 0);
    sense[0] = 0x70;
    sense[2] = 0x02;
    sense[7] = 10;
    sense[12] = 0x04;
    sense[13] = 0x04;   // format in progress
    sense[15] = 0x80;
    sense[16] = 0x40;
    sense[17] = 0x00;
    device->OnOpcode(0x03, kvtest::ScriptedReply::Good(sense));
    TScsiSense s;
    ASSERT_EQ(ScsiRequestSense(info, s, defaults), Err_None);
    EXPECT_EQ(s.Key, 0x02);
    EXPECT_EQ(s.Asc, 0x04);
    EXPECT_EQ(s.Ascq, 0x04);
    EXPECT_TRUE(s.ProgressValid);
    EXPECT_EQ(s.Progress, 0x4000);

    device->OnOpcode(0x03, kvtest::ScriptedReply::CheckCondition(0x04));
    EXPECT_EQ(ScsiRequestSense(info, s, defaults), Err_SenseHardwareError);
    EXPECT_EQ(s.Key, 0);
    EXPECT_FALSE(s.ProgressValid);
}

TEST(SenseDecoding, FixedAndDescriptorFormats) {
    struct Case {
        const char* name;
        Bytes sense;
        std::uint32_t length;
        TScsiSense want;
    };
    const Case cases[] = {
        {"not ready with progress", {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x07, 0, 0x80, 0xFF, 0xFF},
         18, {0x02, 0x04, 0x07, true, 0xFFFF}},
        {"no sense with progress, deferred", {0x71, 0, 0x00, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x12, 0x34},
         18, {0x00, 0, 0, true, 0x1234}},
        {"SKSV without progress meaning (illegal request field pointer)",
         {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00, 0, 0xC0, 0x00, 0x02}, 18, {0x05, 0x24, 0, false, 0}},
        {"SKSV clear", {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x01, 0, 0x00, 0x40, 0x00}, 18,
         {0x02, 0x04, 0x01, false, 0}},
        {"fourteen bytes as the frame keeps them", {0xF0, 0, 0x63, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x01}, 14,
         {0x03, 0x3A, 0x01, false, 0}},
        {"short", {0x70, 0, 0x06}, 3, {0x06, 0, 0, false, 0}},
        {"nothing", {}, 0, {}},
        {"descriptor format with progress", {0x72, 0x02, 0x04, 0x04, 0, 0, 0, 8, 0x02, 0x06, 0, 0, 0x80, 0x20, 0x00, 0},
         16, {0x02, 0x04, 0x04, true, 0x2000}},
        {"descriptor format, descriptor running past the data", {0x72, 0x02, 0x04, 0x04, 0, 0, 0, 0xFF, 0x02, 0x06, 0, 0},
         12, {0x02, 0x04, 0x04, false, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Exactly `length` bytes on the heap, so ASan sees any read past them.
        std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[c.length ? c.length : 1]);
        std::copy(c.sense.begin(), c.sense.end(), bytes.get());
        const TScsiSense s = ScsiDecodeSense(c.length ? bytes.get() : nullptr, c.length);
        EXPECT_EQ(s.Key, c.want.Key);
        EXPECT_EQ(s.Asc, c.want.Asc);
        EXPECT_EQ(s.Ascq, c.want.Ascq);
        EXPECT_EQ(s.ProgressValid, c.want.ProgressValid);
        EXPECT_EQ(s.Progress, c.want.Progress);
    }
}

}  // namespace
