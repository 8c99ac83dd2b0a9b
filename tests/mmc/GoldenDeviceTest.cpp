// Every CDB of the unit, byte for byte, as the drive receives it through the real frame.
#include "GoldenCdbTable.h"
#include "MmcDeviceFixture.h"
#include "catalog/BigEndian.h"
#include "catalog/Commands.h"

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
    // The command table says what goes out: the CDB's length, which way data moves, and the
    // length field where it counts bytes.
    const kvcat::Command* command = kvcat::CommandByOpcode(g.cdb.at(0));
    ASSERT_NE(command, nullptr);
    SCOPED_TRACE(command->name);
    EXPECT_EQ(g.cdb.size(), command->cdbLength);
    EXPECT_EQ(g.dataLength != 0, command->direction != kvcat::DataDirection::None);
    if (g.dataLength != 0) {
        EXPECT_EQ(DirectionOf(g.direction) == win::ScsiRequest::Direction::Out, command->direction == kvcat::DataDirection::Out);
    }
    if (command->lengthUnit == kvcat::LengthUnit::Bytes && command->lengthWidth == 2) {
        EXPECT_EQ(kvbe::Load16(&g.cdb[command->lengthOffset]), g.dataLength);
    }
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
