// The writer list: drive letters, INQUIRY texts cut by position, addresses, failed opens.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <tuple>

#include "ScriptedDrive.h"
#include "TempDir.h"
#include "burner/CDBurners.h"

namespace {

class BurnerList : public ::testing::Test {
protected:
    void TearDown() override
    {
        win::DetachAllVirtualDevices();
        win::ResetKernelDevicePathsForTesting();
    }
    std::shared_ptr<ScriptedDrive> Attach(const std::string& identity)
    {
        auto d = std::make_shared<ScriptedDrive>();
        d->SetIdentity(identity);
        EXPECT_NE(win::AttachVirtualDevice(d), 0);
        return d;
    }
};

TEST_F(BurnerList, NoOpticalDriveGivesAnEmptyList)
{
    win::SetKernelDevicePathsForTesting({});
    TCDBurnerList list;
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Burners(0), nullptr);
    EXPECT_EQ(list.Burners(-1), nullptr);
}

TEST_F(BurnerList, InquiryTextsAreCutByPosition)
{
    win::SetKernelDevicePathsForTesting({});
    const struct {
        std::string identity;
        std::string vendor, product, revision, vendorSpecific, displayName;
    } cases[] = {
        // Blank-padded fields keep their blanks: 8 + 1 + 16 = 25 characters.
        {"KEELVAN PADDED WRITER   1.0 ", "KEELVAN ", "PADDED WRITER   ", "1.0 ", "", "KEELVAN  PADDED WRITER   "},
        {"VENDOR01PRODUCT-NAME-16CH2.01VENDOR-SPECIFIC-20CHEXTRA", "VENDOR01", "PRODUCT-NAME-16C", "H2.0",
         "1VENDOR-SPECIFIC-20C", "VENDOR01 PRODUCT-NAME-16C"},
        // A zero byte ends the text: the later fields are empty.
        {std::string("ABC\0\0\0\0\0PRODUCT", 15), "ABC", "", "", "", "ABC "},
        {"SHORT", "SHORT", "", "", "", "SHORT "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.vendor);
        auto drive = Attach(c.identity);
        {
            TCDBurnerList list;
            ASSERT_EQ(list.Count(), 1);
            TCDBurnerInfo info;
            list.Burners(0)->GetInfo(info);
            EXPECT_EQ(info.VendorId, c.vendor);
            EXPECT_EQ(info.ProductId, c.product);
            EXPECT_EQ(info.Revision, c.revision);
            EXPECT_EQ(info.VendorSpecific, c.vendorSpecific);
            EXPECT_EQ(info.DisplayName, c.displayName);
            EXPECT_EQ(list.ScanTable().Rows[0].FullName, c.vendor + c.product + c.revision);
            EXPECT_NE(info.DeviceHandle, nullptr);
        }
        win::DetachAllVirtualDevices();
    }
}

TEST_F(BurnerList, OrderAddressesAndDrivesThatCannotBeAsked)
{
    TempDir dir;
    // D: cannot be opened at all; E: opens (a plain file) but does not answer the INQUIRY.
    const std::string notADevice = dir / "not-a-device";
    std::ofstream(notADevice) << "x";
    win::SetKernelDevicePathsForTesting({(dir / "missing-sr0"), notADevice});
    auto first = Attach("FIRST   WRITER ONE      1.00");
    auto second = Attach("SECOND  WRITER TWO      2.00");

    TCDBurnerList list;
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list.Burners(4), nullptr);
    EXPECT_EQ(list.Burners(-1), nullptr);

    const char letters[] = {'D', 'E', 'F', 'G'};
    const char* names[] = {" ", " ", "FIRST    WRITER ONE      ", "SECOND   WRITER TWO      "};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        TCDBurner* b = list.Burners(i);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->Info.DriveIndex, i);
        EXPECT_EQ(b->Info.DriveLetter, letters[i]);
        EXPECT_EQ(b->Info.DisplayName, names[i]);
        EXPECT_EQ(b->LastError, Err_None);
    }

    const TDriveScanTable& table = list.ScanTable();
    EXPECT_EQ(table.Count, 4);
    EXPECT_EQ(table.Rows[0].OpenErrno, ENOENT) << "kept for the front end";
    EXPECT_EQ(list.OpenErrno(0), ENOENT);
    EXPECT_EQ(list.OpenErrno(4), 0);
    EXPECT_EQ(table.Rows[0].Handle, nullptr);
    EXPECT_EQ(table.Rows[1].OpenErrno, 0);
    EXPECT_EQ(table.Rows[1].Handle, nullptr) << "no INQUIRY answer: the handle is not recorded";
    EXPECT_EQ(list.Burners(0)->Info.PackedAddress, MakePackedAddress(0, 0, 0, 'D'));

    // The virtual writers report addresses of their own, packed with their letters.
    for (int i : {2, 3}) {
        const TCDBurnerInfo& info = list.Burners(i)->Info;
        const auto address = win::VirtualDeviceAddress(i == 2 ? *first : *second);
        EXPECT_EQ(info.HaId, address.port);
        EXPECT_EQ(info.Target, address.target);
        EXPECT_EQ(info.Lun, address.lun);
        EXPECT_EQ(info.PackedAddress, MakePackedAddress(address.port, address.target, address.lun, letters[i]));
    }
    EXPECT_NE(list.Burners(2)->Info.Target, list.Burners(3)->Info.Target);
}

// A drive whose address query fails, as some drivers' does.
class AddresslessDrive : public ScriptedDrive {
public:
    bool ReportsAddress() const override { return false; }
};

TEST_F(BurnerList, ADriveWithoutAnAddressIsNeverConfusedWithAnother)
{
    win::SetKernelDevicePathsForTesting({});
    auto first = std::make_shared<AddresslessDrive>();
    first->SetIdentity("FIRST   NO ADDRESS      1.00");
    ASSERT_NE(win::AttachVirtualDevice(first), 0);
    auto second = Attach("SECOND  WRITER TWO      2.00");

    TCDBurnerList list;
    ASSERT_EQ(list.Count(), 2);
    const TCDBurnerInfo& a = list.Burners(0)->Info;
    const TCDBurnerInfo& b = list.Burners(1)->Info;
    // The list gives the first drive the address the transport reaches it by.
    std::uint8_t port = 0xFF, target = 0xFF, lun = 0xFF;
    ASSERT_TRUE(TransportAddressOfDrive(a.DriveLetter, port, target, lun));
    EXPECT_EQ(a.HaId, port);
    EXPECT_EQ(a.Target, target);
    EXPECT_EQ(a.Lun, lun);
    EXPECT_NE(std::tie(a.HaId, a.Target, a.Lun), std::tie(b.HaId, b.Target, b.Lun));

    // Each writer's command reaches its own drive only.
    for (int i : {0, 1}) {
        SCOPED_TRACE(i);
        const int before[] = {first->Count(0x00), second->Count(0x00)};
        list.Burners(i)->WaitUntilReady(std::chrono::milliseconds(0));
        EXPECT_EQ(first->Count(0x00) - before[0], i == 0 ? 1 : 0);
        EXPECT_EQ(second->Count(0x00) - before[1], i == 1 ? 1 : 0);
    }
}

TEST_F(BurnerList, OpenModeFollowsTheSystemVersion)
{
    // A sysfs attribute without a write method refuses read-write opens even to root, as a
    // device node without write permission does; read-only opens succeed.
    const std::string readOnly = "/sys/kernel/mm/transparent_hugepage/hpage_pmd_size";
    if (!std::filesystem::exists(readOnly))
        GTEST_SKIP() << readOnly << " not present";
    win::SetKernelDevicePathsForTesting({readOnly});
    const struct {
        win::DWORD platform, major, minor;
        int openErrno;
    } cases[] = {
        {win::VER_PLATFORM_WIN32_NT, 5, 0, EACCES},     // Windows 2000 and later: read and write
        {win::VER_PLATFORM_WIN32_NT, 6, 1, EACCES},
        {win::VER_PLATFORM_WIN32_NT, 4, 0, 0},          // older: read only
        {win::VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.platform << " " << c.major << "." << c.minor);
        win::SetVersionForTesting(c.platform, c.major, c.minor);
        TCDBurnerList list;
        ASSERT_EQ(list.Count(), 1);
        EXPECT_EQ(list.OpenErrno(0), c.openErrno);
        EXPECT_EQ(list.Burners(0)->Info.DisplayName, " ");
    }
    win::ResetVersionForTesting();
}

TEST_F(BurnerList, DestructionReleasesTheTraysItLockedInListOrder)
{
    win::SetKernelDevicePathsForTesting({});
    std::vector<std::string> journal;
    std::vector<std::shared_ptr<ScriptedDrive>> drives;
    for (const char* n : {"a", "b", "c"}) {
        drives.push_back(Attach("KEELVANEDRIVE"));
        drives.back()->name = n;
        drives.back()->journal = &journal;
    }
    {
        TCDBurnerList list;
        ASSERT_EQ(list.Count(), 3);
        // Only the trays this program locked are released: b's and c's, not a's.
        ASSERT_TRUE(list.Burners(1)->LockMedium());
        ASSERT_TRUE(list.Burners(2)->LockMedium());
        journal.clear();
    }
    // 30 = 1Eh, PREVENT ALLOW MEDIUM REMOVAL.
    EXPECT_EQ(journal, (std::vector<std::string>{"b:30", "c:30"}));
    EXPECT_EQ(drives[0]->Count(0x1E), 0) << "a's tray was never locked";
    for (std::size_t i = 1; i < drives.size(); ++i)
        EXPECT_EQ(drives[i]->Commands().back()[4], 0);
}

// A drive another program holds (here: an exclusive handle, as a mount or another burner has
// one) hears nothing from the scan, not even INQUIRY, nor from the command layer's own scan
// when a command goes to another drive; it is listed, marked in use, with its address.
TEST_F(BurnerList, ABusyDriveIsListedWithoutACommand)
{
    win::SetKernelDevicePathsForTesting({});
    auto busy = Attach("BUSY    WRITER ONE      1.00");
    auto free = Attach("FREE    WRITER TWO      2.00");
    const win::HANDLE other = win::CreateFileA("\\\\.\\D:", win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                                               win::OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, win::INVALID_HANDLE_VALUE);
    {
        TCDBurnerList list;
        ASSERT_EQ(list.Count(), 2);
        EXPECT_TRUE(list.ScanTable().Rows[0].InUse);
        EXPECT_FALSE(list.ScanTable().Rows[1].InUse);
        EXPECT_EQ(list.Burners(0)->Info.DisplayName, " ") << "a virtual drive has no record to name it by";
        EXPECT_EQ(list.Burners(1)->Info.DisplayName, "FREE     WRITER TWO      ");
        EXPECT_NE(list.ScanTable().Rows[0].Handle, nullptr) << "listed as accessible";
        list.Burners(1)->WaitUntilReady(std::chrono::milliseconds(0));
        EXPECT_EQ(free->Count(0x00), 1);
    }
    EXPECT_TRUE(busy->Commands().empty()) << "the busy drive heard " << busy->Commands().size() << " commands";
    win::CloseHandle(other);
    TCDBurnerList again;
    EXPECT_FALSE(again.ScanTable().Rows[0].InUse);
    EXPECT_EQ(again.Burners(0)->Info.DisplayName, "BUSY     WRITER ONE      ");
    EXPECT_EQ(busy->Count(0x12), 1);
}

TEST(BurnerListAddress, PackedAddressLayout)
{
    EXPECT_EQ(MakePackedAddress(1, 0, 0, 'E'), 0x01000500u);
    EXPECT_EQ(MakePackedAddress(2, 3, 1, 'Z'), 0x02033A00u);
    EXPECT_EQ(MakePackedAddress(0, 0, 9, 'A'), 0x00002100u) << "LUN keeps three bits";
}

TEST_F(BurnerList, WriterKeepsItsInfoWhenTheSourceRecordIsGone)
{
    auto info = std::make_unique<TCDBurnerInfo>();
    info->DriveIndex = 3;
    info->DriveLetter = 'H';
    info->VendorId = std::string(40, 'v');
    info->ProductId = "P";
    info->DisplayName = info->VendorId + " P";
    const TCDBurnerInfo copy = *info;
    TCDBurner burner(*info);
    info.reset();
    TCDBurnerInfo out;
    burner.GetInfo(out);
    EXPECT_EQ(out, copy);
    EXPECT_EQ(burner.LastError, Err_None);
}

}  // namespace
