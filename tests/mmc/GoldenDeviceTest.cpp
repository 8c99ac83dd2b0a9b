// Every CDB of the unit, byte for byte, as the drive receives it through the real frame.
#include "GoldenCdbTable.h"
#include "MmcDeviceFixture.h"

namespace {

using mmctest::GoldenCdb;

class GoldenDeviceTest : public mmctest::MmcDeviceTest, public testing::WithParamInterface<GoldenCdb> {};

win::ScsiRequest::Direction DirectionOf(std::uint32_t srb) {
    if (srb == SRB_DIR_IN) return win::ScsiRequest::Direction::In;
    if (srb == SRB_DIR_OUT) return win::ScsiRequest::Direction::Out;
    return win::ScsiRequest::Direction::None;
}

TEST_P(GoldenDeviceTest, DriveReceivesExactlyTheCdb) {
    const GoldenCdb& g = GetParam();
    EXPECT_EQ(g.send(info, defaults), Err_None);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), g.sends);
    for (const auto& c : sent) {
        EXPECT_EQ(c.cdb, g.cdb);
        EXPECT_EQ(c.dataLength, g.dataLength);
        if (g.dataLength != 0) {
            EXPECT_EQ(c.direction, DirectionOf(g.direction));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllCommands, GoldenDeviceTest, testing::ValuesIn(mmctest::GoldenCdbTable()),
                         mmctest::GoldenName);

}  // namespace
