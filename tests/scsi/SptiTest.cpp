#include <cstring>
#include <string>

#include "ScsiFixture.h"
#include "scsi/scsidefs.h"

namespace {

using kvtest::ScriptedReply;
using win::ScsiRequest;

SRB_ExecSCSICmd Execute(std::uint8_t ha, std::uint8_t target, std::uint8_t lun, std::uint8_t opcode,
                        std::uint8_t flags = 0, void* buffer = nullptr, std::uint32_t length = 0) {
    SRB_ExecSCSICmd srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = ha;
    srb.SRB_Flags = flags;
    srb.SRB_Target = target;
    srb.SRB_Lun = lun;
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = static_cast<std::uint8_t*>(buffer);
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = opcode < 0x20 ? 6 : 10;
    srb.CDBByte[0] = opcode;
    return srb;
}

using Spti = ScsiTest;

TEST_F(Spti, NoDrivesMeansOneEmptyAdapter) {
    EXPECT_EQ(SptiScan(), 0);
    EXPECT_EQ(SptiDriveTable.AdapterCount, 1);
    EXPECT_EQ(SptiSupportInfo(), 0x0101u);
    auto srb = Execute(0, 0, 0, 0x00);
    EXPECT_EQ(SptiSendCommand(&srb), SS_NO_DEVICE);
    EXPECT_EQ(srb.SRB_Status, SS_NO_DEVICE);
}

TEST_F(Spti, DrivesAreEnteredUnderTheirReportedAddresses) {
    Attach("FIRST");
    Attach("SECOND");
    EXPECT_EQ(SptiScan(), 2);
    const TSptiDrive& d = SptiDriveTable.Drives[3];
    const TSptiDrive& e = SptiDriveTable.Drives[4];
    EXPECT_TRUE(d.Used);
    EXPECT_EQ(d.DriveLetterIndex, 3);
    EXPECT_EQ(d.HaId, 200);
    EXPECT_EQ(d.Target, 0);
    EXPECT_EQ(e.Target, 1);
    EXPECT_EQ(d.DeviceHandle, win::INVALID_HANDLE_VALUE) << "probe handles are closed again";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.InquiryData + 8), 8), "FIRST   ");
    EXPECT_EQ(SptiDriveTable.AdapterCount, 201);
    EXPECT_EQ(SptiFindDrive(200, 1, 0), 4);
    EXPECT_EQ(SptiFindDrive(200, 2, 0), 0);

    // The probe is the scan INQUIRY: 96 bytes, 120 seconds.
    const auto commands = devices[0]->Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].cdb, (std::vector<std::uint8_t>{0x12, 0, 0, 0, 96, 0}));
    EXPECT_EQ(commands[0].timeoutSeconds, 120u);

    SptiCloseAll();
    EXPECT_FALSE(SptiDriveTable.Drives[3].Used);
    EXPECT_EQ(SptiDriveTable.AdapterCount, 0);
    EXPECT_EQ(SptiSupportInfo(), 0xE800u);
}

TEST_F(Spti, FailedAddressQueriesGetMadeUpAddressesAboveTheRealAdapters) {
    Attach("SILENT1", false);   // D
    Attach("SILENT2", false);   // E
    Attach("REAL");             // F: port 200, target 2
    EXPECT_EQ(SptiScan(), 3);
    const auto& t = SptiDriveTable;
    EXPECT_EQ(t.Drives[3].HaId, 201);
    EXPECT_EQ(t.Drives[3].Target, 0);
    EXPECT_EQ(t.Drives[3].Lun, 0);
    EXPECT_EQ(t.Drives[4].HaId, 201);
    EXPECT_EQ(t.Drives[4].Target, 1);
    EXPECT_EQ(t.Drives[4].Lun, 0);
    EXPECT_EQ(t.Drives[5].HaId, 200);
    EXPECT_EQ(t.Drives[5].Target, 2);
    EXPECT_EQ(t.AdapterCount, 202);
    EXPECT_EQ(SptiFindDrive(201, 1, 0), 4);

    // Commands reach a drive under its made-up address.
    auto srb = Execute(201, 1, 0, 0x00);
    EXPECT_EQ(SptiSendCommand(&srb), SS_COMP);
    EXPECT_EQ(devices[1]->Commands().back().cdb[0], 0x00);
}

TEST_F(Spti, OnlyFailedAddressesGiveAdapterZeroAMadeUpNeighbour) {
    Attach("SILENT", false);
    EXPECT_EQ(SptiScan(), 1);
    EXPECT_EQ(SptiDriveTable.Drives[3].HaId, 1);
    EXPECT_EQ(SptiDriveTable.AdapterCount, 2);
}

TEST_F(Spti, DrivesThatCannotBeOpenedOrAskedAreLeftOut) {
    // D: does not exist, E: opens but answers no pass-through, F: a working device.
    win::SetKernelDevicePathsForTesting({"/nonexistent/sr0", "/dev/null"});
    Attach("WORKING");
    EXPECT_EQ(SptiScan(), 1);
    EXPECT_FALSE(SptiDriveTable.Drives[3].Used);
    EXPECT_FALSE(SptiDriveTable.Drives[4].Used);
    EXPECT_TRUE(SptiDriveTable.Drives[5].Used);
}

TEST_F(Spti, HostAdapterInquiryBytes) {
    Attach("DRIVE");
    SptiScan();
    std::uint8_t block[60];
    std::memset(block, 0xAA, sizeof block);
    block[0] = SC_HA_INQUIRY;
    block[2] = 0;
    EXPECT_EQ(SptiSendCommand(block), SS_COMP);
    EXPECT_EQ(block[1], SS_COMP);
    EXPECT_EQ(block[8], 201);
    EXPECT_EQ(block[9], 7);
    EXPECT_EQ(std::memcmp(block + 10, "zqSCSI\0\0\0\0\0\0\0\0\0\0", 16), 0);
    EXPECT_EQ(std::memcmp(block + 26, "SPTI 0\0\0\0\0\0\0\0\0\0\0", 16), 0);
    const std::uint8_t unique[13] = {7, 0, 0, 8, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(block + 42, unique, 13), 0);
    EXPECT_EQ(block[55], 0xAA) << "bytes past 54 are not touched";

    // The virtual adapter's own number is written in decimal.
    block[2] = 200;
    EXPECT_EQ(SptiSendCommand(block), SS_COMP);
    EXPECT_EQ(std::memcmp(block + 26, "SPTI 200\0\0\0\0\0\0\0\0", 16), 0);

    std::memset(block, 0xAA, sizeof block);
    block[0] = SC_HA_INQUIRY;
    block[2] = 201;   // equal to the adapter count
    EXPECT_EQ(SptiSendCommand(block), SS_INVALID_HA);
    EXPECT_EQ(block[1], SS_INVALID_HA);
    EXPECT_EQ(block[8], 201);
    EXPECT_EQ(block[9], 0xAA);
    EXPECT_EQ(block[10], 0xAA);
}

TEST_F(Spti, DeviceTypeDiskInfoAndUnsupportedRequests) {
    Attach("DRIVE");
    SptiScan();
    SRB_GDEVBlock dev{};
    dev.SRB_Cmd = SC_GET_DEV_TYPE;
    dev.SRB_HaId = 200;
    EXPECT_EQ(SptiSendCommand(&dev), SS_COMP);
    EXPECT_EQ(dev.SRB_DeviceType, DTYPE_CDROM);
    dev.SRB_Target = 5;
    EXPECT_EQ(SptiSendCommand(&dev), SS_NO_DEVICE);
    EXPECT_EQ(dev.SRB_DeviceType, DTYPE_UNKNOWN);

    SRB_GetDiskInfo disk{};
    disk.SRB_Cmd = SC_GET_DISK_INFO;
    disk.SRB_HaId = 200;
    EXPECT_EQ(SptiSendCommand(&disk), SS_COMP);
    EXPECT_EQ(disk.SRB_Int13HDriveInfo, 3) << "drive letter index of D:";
    disk.SRB_HaId = 7;
    EXPECT_EQ(SptiSendCommand(&disk), SS_COMP);
    EXPECT_EQ(disk.SRB_Int13HDriveInfo, 0);

    for (std::uint8_t code : {SC_ABORT_SRB, SC_RESET_DEV, std::uint8_t{0x05}, std::uint8_t{0x07}, std::uint8_t{0xFF}}) {
        SRB_Header header{};
        header.SRB_Cmd = code;
        EXPECT_EQ(SptiSendCommand(&header), SS_ERR) << int(code);
        EXPECT_EQ(header.SRB_Status, SS_ERR);
    }
    EXPECT_EQ(SptiSendCommand(nullptr), SS_ERR);
    EXPECT_EQ(devices[0]->CommandCount(), 1u) << "only the scan INQUIRY reached the drive";
}

TEST_F(Spti, ExecuteDirectionFollowsTheFlags) {
    auto device = Attach("DRIVE");
    SptiScan();
    device->ClearCommands();
    std::uint8_t buffer[16] = {};
    struct Case {
        std::uint8_t flags;
        ScsiRequest::Direction direction;
    } cases[] = {
        {0x08, ScsiRequest::Direction::In},   {0x48, ScsiRequest::Direction::In},
        {0x10, ScsiRequest::Direction::Out},  {0x00, ScsiRequest::Direction::None},
        {0x40, ScsiRequest::Direction::None},
    };
    for (const auto& c : cases) {
        auto srb = Execute(200, 0, 0, 0x28, c.flags, buffer, sizeof buffer);
        EXPECT_EQ(SptiSendCommand(&srb), SS_COMP);
        EXPECT_EQ(device->Commands().back().direction, c.direction) << int(c.flags);
        EXPECT_EQ(device->Commands().back().timeoutSeconds, 120u);
        EXPECT_EQ(device->Commands().back().cdb.size(), 10u);
    }
    EXPECT_EQ(SptiDriveTable.Drives[3].DeviceHandle, win::INVALID_HANDLE_VALUE)
        << "each request opens and closes the drive";
}

TEST_F(Spti, InquiryIsAnsweredFromTheTableWithinTheBuffer) {
    auto device = Attach("TABLED");
    SptiScan();
    device->ClearCommands();
    std::uint8_t big[64];
    std::memset(big, 0xCC, sizeof big);
    auto srb = Execute(200, 0, 0, 0x12, 0x08, big, sizeof big);
    EXPECT_EQ(SptiSendCommand(&srb), SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(big + 8), 6), "TABLED");
    EXPECT_EQ(big[36], 0xCC) << "36 bytes exactly";

    // A short buffer gets only what fits instead of an overrun.
    std::uint8_t small[10];
    srb = Execute(200, 0, 0, 0x12, 0x08, small, sizeof small);
    EXPECT_EQ(SptiSendCommand(&srb), SS_COMP);
    srb = Execute(200, 0, 0, 0x12, 0x08, nullptr, 0);
    EXPECT_EQ(SptiSendCommand(&srb), SS_COMP);
    EXPECT_EQ(device->CommandCount(), 0u);
}

TEST_F(Spti, ExecuteOutcomes) {
    auto device = Attach("DRIVE");
    SptiScan();
    struct Case {
        const char* what;
        ScriptedReply reply;
        std::uint8_t status;
        std::uint8_t targetStatus;
        std::uint8_t senseKey;
    } cases[] = {
        {"good", ScriptedReply::Good(), SS_COMP, 0, 0},
        {"check condition", ScriptedReply::CheckCondition(5, 0x24), SS_ERR, 2, 5},
        {"busy", ScriptedReply::Status(0x08), SS_ERR, 8, 0},
        {"transport failure", ScriptedReply::TransportFailure(), SS_ERR, 0, 0},
        {"sense with good status", [] {
             auto r = ScriptedReply::CheckCondition(1, 0x17);
             r.status = 0;
             return r;
         }(), SS_ERR, 0, 1},
    };
    for (const auto& c : cases) {
        device->QueueReply(c.reply);
        auto srb = Execute(200, 0, 0, 0x00);
        EXPECT_EQ(SptiSendCommand(&srb), c.status) << c.what;
        EXPECT_EQ(srb.SRB_TargStat, c.targetStatus) << c.what;
        EXPECT_EQ(srb.SenseArea[2], c.senseKey) << c.what;
        EXPECT_EQ(srb.SRB_HaStat, 0) << c.what;
        if (c.senseKey != 0) {
            EXPECT_EQ(srb.SenseArea[14], 0) << "at most the 14 requested sense bytes";
        }
    }
}

TEST_F(Spti, ExecuteOnADriveThatVanishedFails) {
    auto device = Attach("GONE");
    SptiScan();
    win::DetachVirtualDevice(device);
    auto srb = Execute(200, 0, 0, 0x00);
    EXPECT_EQ(SptiSendCommand(&srb), SS_ERR);
    EXPECT_EQ(srb.SRB_TargStat, 0);
}

}  // namespace
