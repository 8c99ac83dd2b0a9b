// Reaching the drives: the drive box entry, the advice for a drive the user may not open, and
// on a virtual writer the write-mode presets, the wait for the disc before a job and a drive
// without access problems.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "VirtualWriterFixture.h"
#include "burner/DriveAccess.h"
#include "burner/JobScope.h"
#include "burner/WriteParameters.h"

namespace {

TEST(DriveAccess, DriveBoxEntryKeepsTheDisplayNameAsReported)
{
    TCDBurnerInfo info;
    info.DriveLetter = 'E';
    info.DisplayName = "KEELVANE VIRTUAL WRITER  ";
    EXPECT_EQ(DriveBoxEntry(info), "E:\\  [ KEELVANE VIRTUAL WRITER  ]");
}

TEST(DriveAccess, PermissionAdvice)
{
#ifdef _WIN32
    // Windows gives pass-through to administrators: no group and no sudo to advise.
    const std::string advice = PermissionAdvice("\\\\.\\D:", "cdrom", "keelvane-cli");
    EXPECT_EQ(advice, "You have no permission to use \\\\.\\D:: SCSI pass-through needs administrator rights; "
                      "run keelvane-cli as administrator.");
    const std::string noProgram = PermissionAdvice("\\\\.\\D:", "");
    EXPECT_EQ(noProgram.find("run "), std::string::npos) << noProgram;
    EXPECT_EQ(noProgram.back(), '.');
#else
    const std::string advice = PermissionAdvice("/dev/sr0", "cdrom");
    EXPECT_NE(advice.find("/dev/sr0"), std::string::npos);
    EXPECT_NE(advice.find("sudo usermod -aG cdrom \"$USER\""), std::string::npos) << advice;
    // No usable group: never advise joining root's group; the program is offered with sudo
    // only where that makes sense (a command line).
    const std::string none = PermissionAdvice("/dev/sr1", "", "keelvane-cli");
    EXPECT_NE(none.find("\"cdrom\" group"), std::string::npos) << none;
    EXPECT_NE(none.find("run keelvane-cli with sudo."), std::string::npos) << none;
    EXPECT_EQ(none.find("usermod"), std::string::npos) << none;
    const std::string noProgram = PermissionAdvice("/dev/sr1", "");
    EXPECT_EQ(noProgram.find("sudo"), std::string::npos) << noProgram;
    EXPECT_EQ(noProgram.back(), '.');

    // A device of group root, or one its group may not write, has no group to join.
    TempDir dir;
    const std::string device = dir / "sr0";
    std::fclose(std::fopen(device.c_str(), "w"));
    EXPECT_EQ(DeviceAccessGroup(device), "");
    EXPECT_EQ(DeviceAccessGroup(dir / "missing"), "");
#endif
}

// On a virtual writer: the two presets land in mode page 05h, and the wait before a burn tells
// a drive without a disc from one that only needs a moment.
class OnAVirtualWriter : public VirtualWriterFixture {
protected:
    void Attach(const std::string& options)
    {
        // A disc of its own each time: an existing CUE sheet keeps its medium.
        ASSERT_NO_FATAL_FAILURE(AttachWriter("disc" + std::to_string(++discs) + ".cue", options));
        ASSERT_EQ(list->Count(), 1);
    }

    int discs = 0;
};

TEST_F(OnAVirtualWriter, WriteModePresetsReachThePage)
{
    ASSERT_NO_FATAL_FAILURE(Attach(""));
    std::string text;
    ASSERT_TRUE(SetWriteMode(*burner, kCDDAWriteParameters));
    ASSERT_TRUE(burner->GetWriterParameters(text));
    EXPECT_NE(text.find("Track At Once"), std::string::npos) << text;
    const std::string cdda = text;
    ASSERT_TRUE(SetWriteMode(*burner, kDataWriteParameters));
    EXPECT_EQ(burner->LastError, Err_None);
    ASSERT_TRUE(burner->GetWriterParameters(text));
    EXPECT_NE(text, cdda) << "the data preset changes the page again";
}

TEST_F(OnAVirtualWriter, WaitBeforeABurn)
{
    // Becoming ready (NOT READY 04h/01h) is waited for, without a status line.
    ASSERT_NO_FATAL_FAILURE(Attach("not-ready=3"));
    EXPECT_EQ(WaitForDriveBeforeBurn(*burner), Err_None);
    EXPECT_TRUE(reports.status.empty());
    TearDown();

    ASSERT_NO_FATAL_FAILURE(Attach("media=none"));
    EXPECT_EQ(WaitForDriveBeforeBurn(*burner), Err_SenseNotReady);
    EXPECT_EQ(reports.status, std::vector<std::string>{"Error : Drive Not Ready : Err_SenseNotReady"});
    EXPECT_EQ(burner->LastOutcome.Step, TJobStep::NotReady);
    EXPECT_EQ(burner->LastOutcome.Error, Err_SenseNotReady) << "a drive without a disc";
    TearDown();

    // A drive that never becomes ready is waited for with OnWait between the polls, and a stop
    // request ends the wait at the next call.
    ASSERT_NO_FATAL_FAILURE(Attach("not-ready=1000000"));
    std::vector<TWaitInfo> waits;
    burner->WaitCallbackInterval = std::chrono::milliseconds(0);
    burner->OnWait = [&](const TWaitInfo& w) {
        waits.push_back(w);
        if (waits.size() == 3)
            burner->Cancel();
    };
    EXPECT_EQ(WaitForDriveBeforeBurn(*burner), Err_Aborted);
    ASSERT_EQ(waits.size(), 3u);
    EXPECT_EQ(waits.front().Phase, TWaitPhase::DriveReady);
    EXPECT_LE(waits.front().Elapsed, waits.back().Elapsed);
    EXPECT_EQ(burner->LastOutcome.Step, TJobStep::Interrupted);
    EXPECT_FALSE(burner->CancelRequested.load()) << "the next job starts afresh";
    EXPECT_EQ(reports.status.back(), "Cancelled : Stopped waiting for the drive to become ready");
}

TEST_F(OnAVirtualWriter, AnOpenedDriveHasNoAccessProblem)
{
    ASSERT_NO_FATAL_FAILURE(Attach(""));
    EXPECT_FALSE(DriveAccessProblem(*list, 0).Exists());
    EXPECT_FALSE(DriveAccessProblem(*list, 1).Exists());
    EXPECT_FALSE(DriveAccessProblem(*list, -1).Exists());
}

}  // namespace
