#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "PlatformFixture.h"
#include "support/ScriptedDevice.h"

namespace {

using kvtest::ScriptedDevice;

std::string DriveStrings() {
    char buffer[105] = {};
    const win::DWORD n = win::GetLogicalDriveStringsA(sizeof buffer, buffer);
    return std::string(buffer, n);
}

using Drives = PlatformTest;

TEST_F(Drives, OnlyTheRootWithoutOpticalDevices) {
    EXPECT_EQ(DriveStrings(), std::string("C:\\\0", 4));
    EXPECT_EQ(win::GetDriveTypeA("C:\\"), win::DRIVE_FIXED);
    EXPECT_EQ(win::GetDriveTypeA("D:\\"), win::DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(win::DevicePathOfLetter('D'), "");
}

TEST_F(Drives, KernelDevicesComeFirstThenVirtualOnesInAttachOrder) {
    // Paths that do not exist still get their letters: the writer list must see them.
    win::SetKernelDevicePathsForTesting({"/nonexistent/sr0", "/nonexistent/sr1"});
    auto first = std::make_shared<ScriptedDevice>("virtual:first");
    auto second = std::make_shared<ScriptedDevice>("virtual:second");
    EXPECT_EQ(win::AttachVirtualDevice(first), 'F');
    EXPECT_EQ(win::AttachVirtualDevice(second), 'G');
    EXPECT_EQ(win::AttachVirtualDevice(first), 'F') << "attaching twice keeps the one letter";

    EXPECT_EQ(DriveStrings(), std::string("C:\\\0D:\\\0E:\\\0F:\\\0G:\\\0", 20));
    for (const char* root : {"D:\\", "E:\\", "F:\\", "g:\\", "G:"})
        EXPECT_EQ(win::GetDriveTypeA(root), win::DRIVE_CDROM) << root;
    for (const char* root : {"A:\\", "B:\\", "H:\\", "Z:\\", "", "1:\\", "GG:\\", "G:\\x"})
        EXPECT_EQ(win::GetDriveTypeA(root), win::DRIVE_NO_ROOT_DIR) << root;

    EXPECT_EQ(win::DevicePathOfLetter('D'), "/nonexistent/sr0");
    EXPECT_EQ(win::DevicePathOfLetter('E'), "/nonexistent/sr1");
    EXPECT_EQ(win::DevicePathOfLetter('F'), "virtual:first");
    EXPECT_EQ(win::DevicePathOfLetter('g'), "virtual:second");

    win::DetachVirtualDevice(first);
    EXPECT_EQ(win::DevicePathOfLetter('F'), "virtual:second") << "later devices move up";
    EXPECT_EQ(win::GetDriveTypeA("G:\\"), win::DRIVE_NO_ROOT_DIR);
}

TEST_F(Drives, TheDriveSetGenerationMovesOnlyWhenTheDevicesChange) {
    win::SetKernelDevicePathsForTesting({"/nonexistent/sr0"});
    auto device = std::make_shared<ScriptedDevice>("virtual:gen");
    const auto start = win::OpticalDriveSetGeneration();
    DriveStrings();
    win::GetDriveTypeA("D:\\");
    EXPECT_EQ(win::OpticalDriveSetGeneration(), start) << "looking is no change";

    struct Step {
        const char* what;
        std::function<void()> act;
        bool changes;
    } steps[] = {
        {"attach", [&] { win::AttachVirtualDevice(device); }, true},
        {"attach again", [&] { win::AttachVirtualDevice(device); }, false},
        {"same kernel list", [] { win::SetKernelDevicePathsForTesting({"/nonexistent/sr0"}); }, false},
        {"another kernel list", [] { win::SetKernelDevicePathsForTesting({"/nonexistent/sr1"}); }, true},
        {"detach", [&] { win::DetachVirtualDevice(device); }, true},
        {"detach again", [&] { win::DetachVirtualDevice(device); }, false},
        {"detach all of none", [] { win::DetachAllVirtualDevices(); }, false},
    };
    for (const auto& step : steps) {
        const auto before = win::OpticalDriveSetGeneration();
        step.act();
        EXPECT_EQ(win::OpticalDriveSetGeneration() != before, step.changes) << step.what;
    }
    EXPECT_EQ(win::MountPointOfLetter('D'), "") << "a path that is no block device is not mounted";
    win::AttachVirtualDevice(device);
    EXPECT_EQ(win::MountPointOfLetter('E'), "") << "a virtual device is never mounted";
}

TEST_F(Drives, ShortBufferGetsTheRequiredSize) {
    win::SetKernelDevicePathsForTesting({"/nonexistent/sr0"});
    // "C:\<0>D:\<0><0>": 9 bytes needed, 8 reported on success.
    EXPECT_EQ(win::GetLogicalDriveStringsA(0, nullptr), 9u);
    char small[8];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(win::GetLogicalDriveStringsA(sizeof small, small), 9u);
    EXPECT_EQ(small[0], 'x') << "nothing is written into a short buffer";
    char exact[9];
    EXPECT_EQ(win::GetLogicalDriveStringsA(sizeof exact, exact), 8u);
    EXPECT_EQ(std::string(exact, 9), std::string("C:\\\0D:\\\0\0", 9));
}

TEST_F(Drives, LettersStopAtZ) {
    std::vector<std::string> paths;
    for (int i = 0; i < 22; ++i) paths.push_back("/nonexistent/sr" + std::to_string(i));
    win::SetKernelDevicePathsForTesting(paths);   // D..Y
    auto last = std::make_shared<ScriptedDevice>();
    auto tooMany = std::make_shared<ScriptedDevice>();
    EXPECT_EQ(win::AttachVirtualDevice(last), 'Z');
    EXPECT_EQ(win::AttachVirtualDevice(tooMany), 0) << "no letter left: not attached";
    EXPECT_EQ(win::VirtualDeviceAddress(*tooMany).port, 0);
    char buffer[105];
    EXPECT_EQ(win::GetLogicalDriveStringsA(sizeof buffer, buffer), 24u * 4u);
}

TEST_F(Drives, OpenFailuresSayWhyAndKeepErrno) {
    win::SetKernelDevicePathsForTesting({"/nonexistent/sr0", "/proc"});
    struct Case {
        const char* name;
        win::DWORD error;
        int errnoValue;
    } cases[] = {
        {"\\\\.\\D:", win::ERROR_FILE_NOT_FOUND, ENOENT},   // vanished device
        {"\\\\.\\E:", win::ERROR_GEN_FAILURE, EISDIR},      // cannot be opened read-write
        {"\\\\.\\F:", win::ERROR_FILE_NOT_FOUND, ENOENT},   // no drive at that letter
        {"\\\\.\\C:", win::ERROR_FILE_NOT_FOUND, ENOENT},   // the root file system is no device
        {"D:", win::ERROR_FILE_NOT_FOUND, ENOENT},
        {"\\\\.\\D:\\", win::ERROR_FILE_NOT_FOUND, ENOENT},
        {"", win::ERROR_FILE_NOT_FOUND, ENOENT},
    };
    for (const auto& c : cases) {
        win::SetLastError(0);
        EXPECT_EQ(win::CreateFileA(c.name, win::GENERIC_READ | win::GENERIC_WRITE, 3, nullptr,
                                   win::OPEN_EXISTING, 0, nullptr),
                  win::INVALID_HANDLE_VALUE)
            << c.name;
        EXPECT_EQ(win::GetLastError(), c.error) << c.name;
        EXPECT_EQ(win::GetLastErrno(), c.errnoValue) << c.name;
    }
    EXPECT_EQ(win::CreateFileA(nullptr, win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING, 0, nullptr),
              win::INVALID_HANDLE_VALUE);
}

TEST_F(Drives, PermissionDeniedIsReportedAsAccessDenied) {
    if (geteuid() == 0) GTEST_SKIP() << "root opens any file";
    const std::string path = testing::TempDir() + "kv_platform_noaccess";
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0000);
    ASSERT_GE(fd, 0);
    ::close(fd);
    win::SetKernelDevicePathsForTesting({path});
    EXPECT_EQ(win::CreateFileA("\\\\.\\D:", win::GENERIC_READ, 1, nullptr, win::OPEN_EXISTING, 0, nullptr),
              win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
    EXPECT_EQ(win::GetLastErrno(), EACCES);
    ::unlink(path.c_str());
}

TEST_F(Drives, ReadOnlyAccessOpensWhatReadWriteCannot) {
    // A directory opens read-only but not for writing; this is the open-mode fallback.
    win::SetKernelDevicePathsForTesting({"/proc"});
    EXPECT_EQ(win::CreateFileA("\\\\.\\D:", win::GENERIC_READ | win::GENERIC_WRITE, 3, nullptr,
                               win::OPEN_EXISTING, 0, nullptr),
              win::INVALID_HANDLE_VALUE);
    win::HANDLE h = win::CreateFileA("\\\\.\\d:", win::GENERIC_READ, 1, nullptr, win::OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
    EXPECT_NE(h, nullptr);
    EXPECT_TRUE(win::CloseHandle(h));
}

// A drive another program holds is named from what the kernel recorded at attach time: a
// captured sysfs tree (the padded INQUIRY fields, one line each) stands for /sys.
TEST_F(Drives, ABusyDriveIsNamedFromTheKernelsRecord) {
    char pattern[] = "/tmp/kv-sysfs-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    const auto put = [&](const std::string& device, const std::string& attribute, const std::string& text) {
        const std::string folder = root + "/class/block/" + device + "/device";
        ASSERT_EQ(std::system(("mkdir -p '" + folder + "'").c_str()), 0);
        const int fd = ::open((folder + "/" + attribute).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
    };
    put("sr0", "vendor", "QEMU    \n");
    put("sr0", "model", "QEMU DVD-ROM    \n");
    put("sr0", "rev", "2.5+\n");
    put("sr1", "vendor", "HL-DT-ST\n");
    put("sr1", "model", "DVDRAM GH24NSD1 \n");   // no rev: an older kernel
    put("sr2", "vendor", "OVERLONGVENDORNAME\n");
    put("sr2", "model", "A MODEL FAR LONGER THAN SIXTEEN\n");
    put("sr2", "rev", "1.00 and more\n");
    struct Case {
        std::string device;
        bool known;
        std::string vendor, product, revision;
    } cases[] = {
        {"/dev/sr0", true, "QEMU    ", "QEMU DVD-ROM    ", "2.5+"},
        {"/dev/sr1", true, "HL-DT-ST", "DVDRAM GH24NSD1 ", ""},
        {"/dev/sr2", true, "OVERLONG", "A MODEL FAR LONG", "1.00"},
        {"/dev/sr3", false, "", "", ""},
        {"/dev/..", false, "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        win::DriveIdentity identity;
        EXPECT_EQ(win::KernelDriveIdentity(root, c.device, identity), c.known);
        EXPECT_EQ(identity.vendor, c.vendor);
        EXPECT_EQ(identity.product, c.product);
        EXPECT_EQ(identity.revision, c.revision);
    }
    // By letter, under the root a test sets; a virtual drive has no record.
    win::SetKernelDevicePathsForTesting({"/dev/sr1"});
    win::SetSysfsRootForTesting(root);
    win::DriveIdentity byLetter;
    EXPECT_TRUE(win::KnownDriveIdentity('D', byLetter));
    EXPECT_EQ(byLetter.product, "DVDRAM GH24NSD1 ");
    EXPECT_FALSE(win::KnownDriveIdentity('E', byLetter));
    win::SetSysfsRootForTesting("");
    EXPECT_EQ(std::system(("rm -rf '" + root + "'").c_str()), 0);
}

}  // namespace
