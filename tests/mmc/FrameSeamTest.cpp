// What the unit hands to ExecScsiCommand: CDBs with the LUN of PackedAddress merged (the
// scripted device only ever sits at LUN 0, where the frame overwrites those bits), the
// time-outs in force while a command runs, and data-in buffers cleared before every send.
#include <cstring>

#include <gtest/gtest.h>

#include "FakeFrame.h"
#include "GoldenCdbTable.h"
#include "catalog/BigEndian.h"
#include "mmc/SCSIUnit.h"

namespace {

// Adapter 1, target 2, drive letter D, with the given LUN in bits 13-15.
TCDBurnerInfo InfoWithLun(std::uint8_t lun, std::uint32_t optionBits = 0) {
    TCDBurnerInfo info;
    info.HaId = 1;
    info.Target = 2;
    info.Lun = lun;
    info.DriveLetter = 'D';
    info.PackedAddress = (1u << 24) | (2u << 16) | (std::uint32_t(((lun & 7) << 5) | ('D' & 0x1F)) << 8) | optionBits;
    return info;
}

class GoldenLunTest : public testing::TestWithParam<mmctest::GoldenCdb> {};

TEST_P(GoldenLunTest, UnitMergesTheLunOfPackedAddressIntoBuilderCommandsOnly) {
    const mmctest::GoldenCdb& g = GetParam();
    for (std::uint8_t lun : {0, 1, 5}) {
        SCOPED_TRACE(int(lun));
        fakeframe::Reset();
        TScsiDefaults defaults;
        g.send(InfoWithLun(lun), defaults);
        std::vector<std::uint8_t> expected = g.cdb;
        if (g.lunInByte1) expected[1] = static_cast<std::uint8_t>(expected[1] | (lun << 5));
        ASSERT_EQ(fakeframe::Calls().size(), g.sends);
        for (const auto& call : fakeframe::Calls()) {
            EXPECT_EQ(call.cdb, expected);
            EXPECT_EQ(call.direction, g.direction);
            EXPECT_EQ(call.bufLen, g.dataLength);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllCommands, GoldenLunTest, testing::ValuesIn(mmctest::GoldenCdbTable()),
                         mmctest::GoldenName);

TEST(CdbBuilders, MergeLunAndBigEndianFields) {
    struct Case { std::uint8_t byte1; std::uint32_t packed; std::uint8_t want; };
    const Case cases[] = {
        {0x08, 0x00000000, 0x08}, {0x08, 0x00002000, 0x28}, {0x1F, 0x00002000, 0x3F},
        {0xE5, 0x00000000, 0x05}, {0xFF, 0x0000E000, 0xFF}, {0x00, 0xFFFF1FFF, 0x00},
    };
    for (const Case& c : cases) EXPECT_EQ(ScsiMergeLUN(c.byte1, c.packed), c.want) << int(c.byte1);

    std::uint8_t b[9] = {};
    kvbe::Store16(b, 0x0102), kvbe::Store32(b + 2, 0x00012345), kvbe::Store24(b + 6, 0xABCDEF);
    EXPECT_EQ(std::vector<std::uint8_t>(b, b + 9), (std::vector<std::uint8_t>{1, 2, 0, 1, 0x23, 0x45, 0xAB, 0xCD, 0xEF}));
    EXPECT_TRUE(kvbe::Load16(b) == 0x0102 && kvbe::Load32(b + 2) == 0x00012345 && kvbe::Load24(b + 6) == 0xABCDEF);

    fakeframe::Reset();
    TScsiDefaults d;
    ScsiSendCDB10(InfoWithLun(0), 0x99, 0x00, 0x00012345, 0x77, 0x0102, nullptr, 0, SRB_DIR_NONE, d);
    ScsiSendCDB6(InfoWithLun(2), 0x98, 0x1ABCDE, 0x44, nullptr, 0, SRB_DIR_NONE, d);
    ASSERT_EQ(fakeframe::Calls().size(), 2u);
    EXPECT_EQ(fakeframe::Calls()[0].cdb,
              (std::vector<std::uint8_t>{0x99, 0, 0x00, 0x01, 0x23, 0x45, 0x77, 0x01, 0x02, 0}));
    // Address bits 21-23 give way to the LUN.
    EXPECT_EQ(fakeframe::Calls()[1].cdb, (std::vector<std::uint8_t>{0x98, 0x5A, 0xBC, 0xDE, 0x44, 0}));
}

TEST(TimeoutSwap, LongCommandsRunWithTheirTimeoutAndRestoreItAlsoAfterFailure) {
    struct Case {
        const char* name;
        std::function<void(TScsiDefaults&)> send;
        std::vector<std::int32_t> timeouts;   // per send
    };
    std::uint8_t block[2048] = {};
    const TCDBurnerInfo info = InfoWithLun(0);
    const Case cases[] = {
        {"write", [&](TScsiDefaults& d) { ScsiWriteBlocks(info, 0, 1, block, 2048, d); }, {777}},
        {"eject", [&](TScsiDefaults& d) { ScsiStartStopUnit(info, false, true, true, d); }, {555}},
        {"dvd", [&](TScsiDefaults& d) {
             TScsiDVDLayerDescriptorInfo dvd;
             ScsiReadDVDLayerDescriptor(info, dvd, d);
         }, {777, 123}},
        {"blank keeps Timeout", [&](TScsiDefaults& d) { ScsiBlank(info, 0, 0, d); }, {123}},
        {"close track keeps Timeout", [&](TScsiDefaults& d) { ScsiCloseTrack(info, 1, d); }, {123}},
    };
    for (TScsiError answer : {Err_None, Err_SenseMediumError, Err_Unknown}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " answer " + std::to_string(answer));
            fakeframe::Reset([answer](const fakeframe::Call&, std::uint8_t*, std::uint32_t) { return answer; });
            TScsiDefaults d;
            d.Timeout = 123;
            d.LongTimeout = 777;
            d.UnitTimeout = 555;
            c.send(d);
            ASSERT_EQ(fakeframe::Calls().size(), c.timeouts.size());
            for (std::size_t i = 0; i < c.timeouts.size(); ++i) EXPECT_EQ(fakeframe::Calls()[i].timeout, c.timeouts[i]);
            EXPECT_EQ(d.Timeout, 123);
        }
    }
}

TEST(BufferClearing, EveryDataInBufferIsZeroWhenTheCommandGoesOut) {
    const TCDBurnerInfo info = InfoWithLun(1);
    // A responder that scribbles over every buffer, so leftovers of one command would show in
    // the next one's check.
    fakeframe::Reset([](const fakeframe::Call&, std::uint8_t* buffer, std::uint32_t length) {
        if (buffer != nullptr) std::memset(buffer, 0xA5, length);
        return Err_None;
    });
    TScsiDefaults d;
    std::uint8_t area[2048];
    std::memset(area, 0xEE, sizeof area);
    TScsiTOC toc;
    TScsiDVDLayerDescriptorInfo dvd;
    TScsiDiscInformation disc;
    TScsiTrackInformation track;
    TScsiSense sense;
    TScsiDriveSpeeds speeds;
    std::string text;
    ScsiRead10(info, 0, 1, area, sizeof area, d);
    std::memset(area, 0xEE, sizeof area);
    ScsiReadBufferCapacity(info, area, d);
    std::memset(area, 0xEE, sizeof area);
    ScsiModeSense(info, 0x2A, area, 100, d);
    std::memset(area, 0xEE, sizeof area);
    ScsiReadTOC(info, false, 0, 0, area, 804, d);
    ScsiReadTOCInfo(info, toc, d);
    ScsiReadDVDLayerDescriptor(info, dvd, d);
    ScsiReadDiscInformation(info, disc, d);
    ScsiReadTrackInformation(info, 1, 0xFF, track, d);
    ScsiRequestSense(info, sense, d);
    ScsiGetSpeeds(info, speeds, d);
    ScsiGetWriterParametersText(info, text, d);
    std::size_t dataIn = 0;
    for (const auto& call : fakeframe::Calls()) {
        if (call.direction != SRB_DIR_IN || call.bufLen == 0) continue;
        ++dataIn;
        EXPECT_TRUE(call.bufferZeroed) << "opcode " << int(call.cdb[0]);
    }
    EXPECT_EQ(dataIn, 12u);
}

TEST(ModeOptionBits, Bit1SendsModeSenseWithoutDbdAndBit0TheSixByteForms) {
    TScsiDefaults d;
    std::uint8_t area[64] = {};
    fakeframe::Reset();
    ScsiModeSense(InfoWithLun(0, 0x02), 0x2A, area, 34, d);
    ASSERT_EQ(fakeframe::Calls().size(), 1u);
    EXPECT_EQ(fakeframe::Calls()[0].cdb, (std::vector<std::uint8_t>{0x5A, 0x00, 0x2A, 0, 0, 0, 0, 0x00, 0x22, 0}));

    // 6-byte forms: the reply has a 4-byte header with 8-bit lengths.
    fakeframe::Reset([](const fakeframe::Call& call, std::uint8_t* buffer, std::uint32_t length) {
        if (call.cdb[0] == 0x1A && length >= 4 + 8 + 6) {
            const std::uint8_t reply[] = {3 + 8 + 6, 0, 0, 8, 1, 1, 1, 1, 1, 1, 1, 1,
                                          0x05, 0x04, 0x01, 0x04, 0x08, 0x00};
            std::memcpy(buffer, reply, sizeof reply);
        }
        return Err_None;
    });
    std::uint8_t page[6] = {};
    std::uint32_t length = 52;
    ASSERT_EQ(ScsiSetModePage(InfoWithLun(1, 0x01), 0x05, page, length, d), Err_None);
    ASSERT_EQ(fakeframe::Calls().size(), 2u);
    EXPECT_EQ(fakeframe::Calls()[0].cdb, (std::vector<std::uint8_t>{0x1A, 0x28, 0x05, 0x00, 60, 0}));
    EXPECT_EQ(fakeframe::Calls()[1].cdb, (std::vector<std::uint8_t>{0x15, 0x30, 0x00, 0x00, 4 + 6, 0}));
    EXPECT_EQ(length, 6u);   // page length byte 4: the whole 6-byte page is replaced

    length = 10;
    ASSERT_EQ(ScsiGetModePage(InfoWithLun(0, 0x01), 0x05, page, length, d), Err_None);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(page, page + 4), (std::vector<std::uint8_t>{0x05, 0x04, 0x01, 0x04}));
}

}  // namespace
