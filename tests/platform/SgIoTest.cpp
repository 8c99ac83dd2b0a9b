#include <gtest/gtest.h>

#include <cstring>

#include "platform/SgIo.h"

namespace {

using win::SCSI_PASS_THROUGH_DIRECT;

SCSI_PASS_THROUGH_DIRECT Block(std::uint8_t dataIn, std::uint32_t length, void* buffer) {
    SCSI_PASS_THROUGH_DIRECT s{};
    s.Length = sizeof s;
    s.CdbLength = 10;
    s.SenseInfoLength = 24;
    s.DataIn = dataIn;
    s.DataTransferLength = length;
    s.TimeOutValue = 120;
    s.DataBuffer = buffer;
    s.SenseInfoOffset = 48;
    s.Cdb[0] = 0x2A;
    return s;
}

TEST(SgIo, DirectionLengthAndBufferFollowTheBlock) {
    std::uint8_t data[64];
    struct Case {
        std::uint8_t dataIn;
        std::uint32_t length;
        int direction;
    } cases[] = {
        {win::SCSI_IOCTL_DATA_IN, 64, SG_DXFER_FROM_DEV},
        {win::SCSI_IOCTL_DATA_OUT, 64, SG_DXFER_TO_DEV},
        {win::SCSI_IOCTL_DATA_UNSPECIFIED, 64, SG_DXFER_NONE},
        {win::SCSI_IOCTL_DATA_IN, 0, SG_DXFER_NONE},
        {win::SCSI_IOCTL_DATA_OUT, 0, SG_DXFER_NONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "DataIn " << int(c.dataIn) << " length " << c.length);
        auto sptd = Block(c.dataIn, c.length, data);
        std::uint8_t sense[32];
        const sg_io_hdr hdr = win::BuildSgIoHdr(sptd, sense);
        EXPECT_EQ(hdr.interface_id, 'S');
        EXPECT_EQ(hdr.dxfer_direction, c.direction);
        if (c.direction == SG_DXFER_NONE) {
            EXPECT_EQ(hdr.dxfer_len, 0u);
            EXPECT_EQ(hdr.dxferp, nullptr);
        } else {
            EXPECT_EQ(hdr.dxfer_len, c.length);
            EXPECT_EQ(hdr.dxferp, data);
        }
        EXPECT_EQ(hdr.cmd_len, 10);
        EXPECT_EQ(hdr.cmdp, sptd.Cdb);
        EXPECT_EQ(hdr.sbp, sense);
        EXPECT_EQ(hdr.mx_sb_len, 24);
    }
}

TEST(SgIo, TimeoutSecondsBecomeMillisecondsAndSaturate) {
    auto sptd = Block(2, 0, nullptr);
    for (auto [seconds, ms] : {std::pair<std::uint32_t, unsigned>{120, 120000},
                               {2, 2000},
                               {0, 0},
                               {0xFFFFFFFFu, 0xFFFFFFFFu}}) {
        sptd.TimeOutValue = seconds;
        EXPECT_EQ(win::BuildSgIoHdr(sptd, nullptr).timeout, ms) << seconds;
    }
}

TEST(SgIo, NoSenseBufferMeansNoSenseRequested) {
    auto sptd = Block(2, 0, nullptr);
    EXPECT_EQ(win::BuildSgIoHdr(sptd, nullptr).mx_sb_len, 0);
}

sg_io_hdr Completed(std::uint32_t length, int direction) {
    sg_io_hdr h;
    std::memset(&h, 0, sizeof h);
    h.dxfer_direction = direction;
    h.dxfer_len = length;
    h.mx_sb_len = 24;
    return h;
}

TEST(SgIo, CompletionWritesStatusSenseLengthAndMovedBytes) {
    SCSI_PASS_THROUGH_DIRECT sptd = Block(1, 100, nullptr);
    sg_io_hdr h = Completed(100, SG_DXFER_FROM_DEV);
    h.status = 0x02;
    h.sb_len_wr = 18;
    h.resid = 64;
    h.driver_status = 0x08;   // DRIVER_SENSE: sense data came back, not a failure
    EXPECT_TRUE(win::CompleteFromSgIoHdr(h, sptd));
    EXPECT_EQ(sptd.ScsiStatus, 0x02);
    EXPECT_EQ(sptd.SenseInfoLength, 18);
    EXPECT_EQ(sptd.DataTransferLength, 36u);
}

TEST(SgIo, ResidualAndSenseLengthAreBounded) {
    SCSI_PASS_THROUGH_DIRECT sptd = Block(1, 100, nullptr);
    sg_io_hdr h = Completed(100, SG_DXFER_FROM_DEV);
    h.resid = 500;
    h.sb_len_wr = 200;   // more than asked for
    EXPECT_TRUE(win::CompleteFromSgIoHdr(h, sptd));
    EXPECT_EQ(sptd.DataTransferLength, 0u);
    EXPECT_EQ(sptd.SenseInfoLength, 24);

    h.resid = -5;
    EXPECT_TRUE(win::CompleteFromSgIoHdr(h, sptd));
    EXPECT_EQ(sptd.DataTransferLength, 100u);

    h = Completed(0, SG_DXFER_NONE);
    EXPECT_TRUE(win::CompleteFromSgIoHdr(h, sptd));
    EXPECT_EQ(sptd.DataTransferLength, 0u);
}

TEST(SgIo, HostAndDriverErrorsAreTransportFailures) {
    struct Case {
        unsigned short host;
        unsigned short driver;
        bool ok;
    } cases[] = {
        {0, 0, true},      {0, 0x08, true},   // DRIVER_SENSE
        {0x01, 0, false},                     // DID_NO_CONNECT
        {0x03, 0, false},                     // DID_TIME_OUT
        {0, 0x06, false},                     // DRIVER_TIMEOUT
        {0, 0x02, false},                     // DRIVER_BUSY
        {0, 0x18, true},                      // retry suggestion bits alone are no error
    };
    for (const auto& c : cases) {
        SCSI_PASS_THROUGH_DIRECT sptd = Block(2, 0, nullptr);
        sg_io_hdr h = Completed(0, SG_DXFER_NONE);
        h.host_status = c.host;
        h.driver_status = c.driver;
        EXPECT_EQ(win::CompleteFromSgIoHdr(h, sptd), c.ok) << c.host << "/" << c.driver;
    }
}

}  // namespace
