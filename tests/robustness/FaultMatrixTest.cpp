// The fault matrix: a virtual writer that fails at each step of a burn, and what comes of it
// for the user (the status lines and messages of keelvane-cli, its exit code) and for the disc
// (what the drive holds afterwards). Whatever fails, the job must stop at that step, say which
// step and sector, never claim a finished disc, never write past the failure, and still try to
// release the tray.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>

#include "Rig.h"
#include "burner/CDBurner.h"
#include "burner/CDBurners.h"
#include "cli/ExitCodes.h"
#include "scsi/SCSITypes.h"

namespace {

using robust::Fault;
using robust::Rig;

constexpr std::uint32_t kBlocks = 6;   // block 3 is the middle one

const std::string kNotReady = ScsiErrorToText(Err_SenseNotReady);
const std::string kMediumError = ScsiErrorToText(Err_SenseMediumError);

std::vector<std::string> BurnArgs(const std::string& image, bool verify = true, bool eject = true) {
    // The images are a few blocks of noise, not ISO 9660: --force lets them reach the drive.
    std::vector<std::string> args{"burn", image, "--force"};
    if (!verify) args.push_back("--no-verify");
    if (!eject) args.push_back("--no-eject");
    return args;
}

// What the disc holds after the job: blocks of track 1 (-1: no track), whether the track
// was closed, how many sessions are closed.
struct DiscAfter {
    int blocks;
    bool trackClosed;
    int closedSessions;
};

void ExpectDisc(Rig& rig, const std::string& image, const DiscAfter& want) {
    const vdrive::DiscState disc = rig.Disc();
    if (want.blocks <= 0) {
        // Nothing was written: no track, or at most an empty one that was never closed.
        for (const auto& t : disc.tracks) {
            EXPECT_EQ(t.blocks, 0u);
            EXPECT_FALSE(t.closed);
        }
    } else {
        ASSERT_EQ(disc.tracks.size(), 1u);
        EXPECT_TRUE(rig.TrackHolds(image, static_cast<std::uint32_t>(want.blocks)));
        EXPECT_EQ(disc.tracks[0].closed, want.trackClosed);
    }
    EXPECT_EQ(disc.closedSessions, want.closedSessions);
}

// ---- The drive stops answering (its disc is gone) from one step of the burn on ----------------

struct NotReadyCase {
    const char* step;
    std::uint8_t opcode;
    int nth;
    int exitCode;
    std::string says;   // a status line or message the user sees
    DiscAfter disc;
};

class DriveGoneAtStep : public ::testing::TestWithParam<NotReadyCase> {};

TEST_P(DriveGoneAtStep, JobStopsThereAndSaysSo) {
    const NotReadyCase& c = GetParam();
    Rig rig;
    const std::string image = rig.Image(kBlocks);
    rig.Drive().Add(Fault{c.opcode, c.nth, robust::kMediumNotPresent, true, nullptr});

    const robust::CliRun run = robust::RunCli(BurnArgs(image));
    SCOPED_TRACE(std::string("step: ") + c.step + "\n--- stdout\n" + run.out + "--- stderr\n" + run.err);

    EXPECT_EQ(run.rc, c.exitCode);
    EXPECT_TRUE(run.Says(c.says));
    EXPECT_EQ(run.Says("CD Creation Complete!"), c.exitCode == cli::kExitOk);
    // "Job Done!" only once the session is closed and flushed.
    EXPECT_EQ(run.Says("Finished Writing : Job Done!"), c.exitCode == cli::kExitOk || c.exitCode == cli::kExitVerify);
    // Whatever happened, the tray is not left locked (the drive opens it), or, when the drive
    // was gone by the time the job released it, the program says so.
    EXPECT_TRUE(rig.Writer().EjectTray() || run.Says("the tray could not be unlocked: "));
    // Never a write after a failed one.
    const auto ops = rig.Drive().Opcodes();
    EXPECT_LE(rig.Drive().Count(0x2A), static_cast<int>(kBlocks));
    ExpectDisc(rig, image, c.disc);
}

const std::string kBurnFailed = "keelvane-cli: the burn failed: ";

// A ready check the drive answers with something other than NOT READY (a hardware error, or a
// driver that refuses the request) is not blamed on a missing disc.
TEST(ReadyCheckFails, OnlyNotReadyIsCalledAMissingDisc) {
    const struct {
        robust::Sense sense;
        std::string says;
    } cases[] = {
        {robust::kMediumNotPresent, "the drive is not ready (no disc?): " + kNotReady},
        {robust::kMediumError, "the drive did not become ready: " + ScsiErrorToText(Err_SenseMediumError)},
    };
    for (const auto& c : cases) {
        Rig rig;
        const std::string image = rig.Image(kBlocks);
        rig.Drive().Add(Fault{0x00, 1, c.sense, true, nullptr});
        const robust::CliRun run = robust::RunCli(BurnArgs(image));
        SCOPED_TRACE("--- stdout\n" + run.out + "--- stderr\n" + run.err);
        EXPECT_EQ(run.rc, cli::kExitCommandFailed);
        EXPECT_TRUE(run.Says(c.says));
        EXPECT_EQ(run.Says("no disc?"), c.sense.key == 0x02);
        EXPECT_EQ(rig.Drive().Count(0x2A), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, DriveGoneAtStep,
    ::testing::Values(
        NotReadyCase{"ready check", 0x00, 1, cli::kExitCommandFailed, "Error : Drive Not Ready : " + kNotReady, {-1, false, 0}},
        NotReadyCase{"mode sense", 0x5A, 1, cli::kExitWriteParameters, "HardWare : Set Write Mode Error", {-1, false, 0}},
        NotReadyCase{"mode select", 0x55, 1, cli::kExitWriteParameters, "HardWare : Set Write Mode Error", {-1, false, 0}},
        // The preflight asks first (GET CONFIGURATION, READ DISC and TRACK INFORMATION); a drive
        // gone then is found at the write parameters.
        NotReadyCase{"preflight profile", 0x46, 1, cli::kExitWriteParameters, "HardWare : Set Write Mode Error", {-1, false, 0}},
        NotReadyCase{"preflight track", 0x52, 1, cli::kExitWriteParameters, "HardWare : Set Write Mode Error", {-1, false, 0}},
        NotReadyCase{"free blocks", 0x52, 2, cli::kExitWrite, "Error : Write Error at sector 0 : " + kNotReady, {-1, false, 0}},
        NotReadyCase{"first write", 0x2A, 1, cli::kExitWrite, "Error : Write Error at sector 0 : " + kNotReady, {-1, false, 0}},
        NotReadyCase{"middle write", 0x2A, 4, cli::kExitWrite, "Error : Write Error at sector 3 : " + kNotReady, {3, false, 0}},
        NotReadyCase{"last write", 0x2A, 6, cli::kExitWrite, "Error : Write Error at sector 5 : " + kNotReady, {5, false, 0}},
        NotReadyCase{"buffer query", 0x5C, 1, cli::kExitWrite, "Error : Write Error at sector 1 : " + kNotReady, {1, false, 0}},
        NotReadyCase{"first sync", 0x35, 1, cli::kExitClosing, "Error : Sync Cache Error : " + kNotReady, {6, false, 0}},
        NotReadyCase{"close track", 0x5B, 1, cli::kExitClosing, "Error : Close Track Error : " + kNotReady, {6, false, 0}},
        NotReadyCase{"wait after close track", 0x00, 2, cli::kExitClosing, "Error : Close Track Error : " + kNotReady, {6, true, 0}},
        NotReadyCase{"second sync", 0x35, 2, cli::kExitClosing, "Error : Sync Cache Error : " + kNotReady, {6, true, 0}},
        NotReadyCase{"close session", 0x5B, 2, cli::kExitClosing, "Error : Close Session Error : " + kNotReady, {6, true, 0}},
        NotReadyCase{"wait after close session", 0x00, 3, cli::kExitClosing, "Error : Close Session Error : " + kNotReady, {6, true, 1}},
        NotReadyCase{"third sync", 0x35, 3, cli::kExitClosing, "Error : Sync Cache Error : " + kNotReady, {6, true, 1}},
        NotReadyCase{"verify", 0x28, 1, cli::kExitVerify, "Verify : Read Error at sector 0 : " + kNotReady, {6, true, 1}},
        // The tray is locked before the write parameters and released when the burn ends: a
        // drive gone at the lock is found at the write parameters; one gone at the release
        // cannot be read back, and the program's own release says so.
        NotReadyCase{"lock", 0x1E, 1, cli::kExitWriteParameters, "HardWare : Set Write Mode Error", {-1, false, 0}},
        NotReadyCase{"unlock", 0x1E, 2, cli::kExitVerify, "the tray could not be unlocked: " + kNotReady, {6, true, 1}},
        NotReadyCase{"eject", 0x1B, 1, cli::kExitOk, "Eject : " + kNotReady, {6, true, 1}}),
    [](const ::testing::TestParamInfo<NotReadyCase>& info) {
        std::string name = info.param.step;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

// ---- A write error at the first, a middle and the last block ------------------------------------

TEST(WriteError, StopsAtTheFailedBlockAndKeepsWhatWasWritten) {
    for (std::uint32_t bad : {0u, kBlocks / 2, kBlocks - 1}) {
        SCOPED_TRACE("fail-write-at=" + std::to_string(bad));
        Rig rig("fail-write-at=" + std::to_string(bad));
        const std::string image = rig.Image(kBlocks);
        const robust::CliRun run = robust::RunCli(BurnArgs(image));
        SCOPED_TRACE(run.out + run.err);

        const std::string line = "Error : Write Error at sector " + std::to_string(bad) + " : " + kMediumError;
        EXPECT_EQ(run.rc, cli::kExitWrite);
        EXPECT_TRUE(run.Says(line));
        EXPECT_TRUE(run.Says(kBurnFailed + line));
        EXPECT_FALSE(run.Says("Finished Writing"));
        EXPECT_FALSE(run.Says("CD Creation Complete!"));
        EXPECT_EQ(rig.Drive().Count(0x2A), static_cast<int>(bad) + 1);   // nothing written after it
        EXPECT_EQ(rig.Drive().Count(0x5B), 0);                           // no track closed over it
        EXPECT_GE(rig.Drive().Count(0x1E), 1);
        ExpectDisc(rig, image, {static_cast<int>(bad), false, 0});
    }
}

// ---- CLOSE TRACK fails, the drive answers everything else ----------------------------------------

TEST(CloseTrackFails, NoSessionIsClosedOverAnOpenTrack) {
    Rig rig;
    const std::string image = rig.Image(kBlocks);
    rig.Drive().Add(Fault{0x5B, 1, robust::kMediumError, false, nullptr});
    const robust::CliRun run = robust::RunCli(BurnArgs(image));
    SCOPED_TRACE(run.out + run.err);

    EXPECT_EQ(run.rc, cli::kExitClosing);
    EXPECT_TRUE(run.Says("Error : Close Track Error : " + kMediumError));
    EXPECT_FALSE(run.Says("Finished Writing : Closing Session"));
    EXPECT_FALSE(run.Says("CD Creation Complete!"));
    EXPECT_EQ(rig.Drive().Count(0x5B), 1);   // no CLOSE SESSION after it
    EXPECT_EQ(rig.Drive().Count(0x28), 0);   // nor a verify of a disc known to be unfinished
    // The data reached the disc before the close failed (SYNCHRONIZE CACHE came first).
    ExpectDisc(rig, image, {static_cast<int>(kBlocks), false, 0});
}

// ---- Eject refused ------------------------------------------------------------------------------

TEST(EjectFails, AFinishedDiscIsStillASuccess) {
    Rig rig;
    const std::string image = rig.Image(kBlocks);
    rig.Drive().Add(Fault{0x1B, 1, robust::kRemovalPrevented, false, nullptr});
    const robust::CliRun run = robust::RunCli(BurnArgs(image));
    SCOPED_TRACE(run.out + run.err);

    EXPECT_EQ(run.rc, cli::kExitOk);
    EXPECT_TRUE(run.Says("CD Creation Complete!"));
    EXPECT_TRUE(run.Says("Eject : " + ScsiErrorToText(Err_SenseIllegalRequest)));
    ExpectDisc(rig, image, {static_cast<int>(kBlocks), true, 1});
}

TEST(EjectFails, TheEjectCommandReportsIt) {
    Rig rig;
    rig.Drive().Add(Fault{0x1B, 1, robust::kRemovalPrevented, false, nullptr});
    const robust::CliRun run = robust::RunCli({"eject"});
    SCOPED_TRACE(run.out + run.err);
    EXPECT_EQ(run.rc, cli::kExitCommandFailed);
    EXPECT_TRUE(run.Says(ScsiErrorToText(Err_SenseIllegalRequest)));
}

// ---- A drive without READ BUFFER CAPACITY --------------------------------------------------------

TEST(NoBufferQuery, BurnsWithoutWaitingForTheBuffer) {
    Rig rig("no-rbc");
    const std::string image = rig.Image(kBlocks);
    const robust::CliRun run = robust::RunCli(BurnArgs(image));
    SCOPED_TRACE(run.out + run.err);
    EXPECT_EQ(run.rc, cli::kExitOk);
    EXPECT_TRUE(run.Says("Verify : " + std::to_string(kBlocks) + " sectors equal the image"));
    // Each failed query is asked once per block at most: the burner does not poll a drive
    // that cannot answer.
    EXPECT_LE(rig.Drive().Count(0x5C), static_cast<int>(2 * kBlocks + 1));
    ExpectDisc(rig, image, {static_cast<int>(kBlocks), true, 1});
}

// ---- A buffer that never frees -------------------------------------------------------------------

TEST(StuckBuffer, TheWaitIsBoundedAndDoesNotSpin) {
    Rig rig("stuck-buffer");
    const std::string image = rig.Image(kBlocks);
    TCDBurnerList list;
    TCDBurner* burner = nullptr;
    for (int i = 0; i < list.Count(); ++i)
        if (list.Burners(i)->Info.DriveLetter == rig.Letter()) burner = list.Burners(i);
    ASSERT_NE(burner, nullptr);
    constexpr auto kLimit = std::chrono::milliseconds(150);
    constexpr auto kPoll = std::chrono::milliseconds(5);
    burner->BufferStallLimit = kLimit;
    burner->BufferPollInterval = kPoll;
    std::vector<std::string> status;
    burner->OnStatus = [&](const std::string& s) { status.push_back(s); };
    burner->OnBufferProgress = [](std::int32_t percent) { ASSERT_TRUE(percent >= 0 && percent <= 100); };

    EXPECT_FALSE(burner->BurnDataImage(image, 1));
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.back(), "Error : Buffer Wait Timeout at sector 0 : the drive's buffer did not drain");
    EXPECT_EQ(burner->LastError, Err_CommandTimeout);
    // The wait sleeps between polls: at most one poll per interval (each poll sleeps first).
    EXPECT_LE(rig.Drive().Count(0x5C), static_cast<int>(kLimit / kPoll) + 3);
    EXPECT_EQ(rig.Drive().Count(0x2A), 1);
    ExpectDisc(rig, image, {1, false, 0});
}

// ---- The image cannot be read to its end ---------------------------------------------------------

TEST(ImageUnreadable, ShrunkWhileBurning) {
    // More than one read-ahead piece (1000 blocks), shrunk after the tenth write, while the
    // first piece is being burnt: the second piece comes up short.
    constexpr std::uint32_t kLarge = 1200;
    constexpr std::uint32_t kLeft = 1100;
    Rig rig;
    const std::string image = rig.Image(kLarge);
    const std::vector<std::uint8_t> original = robust::ReadFile(image);
    rig.Drive().Add(Fault{0x2A, 10, std::nullopt, false, [&] {
                              ASSERT_EQ(::truncate(image.c_str(), off_t(kLeft) * 2048 + 1000), 0);
                          }});
    const robust::CliRun run = robust::RunCli(BurnArgs(image));
    SCOPED_TRACE(run.out + run.err);

    EXPECT_EQ(run.rc, cli::kExitImage);
    EXPECT_TRUE(run.Says("Error : Read Error at sector " + std::to_string(kLeft)));
    EXPECT_FALSE(run.Says("CD Creation Complete!"));
    EXPECT_EQ(rig.Drive().Count(0x2A), static_cast<int>(kLeft));
    EXPECT_EQ(rig.Drive().Count(0x5B), 0);
    // What was written is the image as it was.
    const std::string copy = rig.Folder() / "original.iso";
    std::ofstream(copy, std::ios::binary).write(reinterpret_cast<const char*>(original.data()),
                                                static_cast<std::streamsize>(original.size()));
    ExpectDisc(rig, copy, {static_cast<int>(kLeft), false, 0});
}

// A regular file whose read fails in the kernel: a sysfs attribute that has no value to show
// (the link speed of the loopback device answers EINVAL). A FUSE file system or a failing
// block device would be nearer to a bad medium, but need privileges a test does not have.
std::string UnreadableRegularFile() {
    for (const char* path : {"/sys/class/net/lo/speed", "/sys/class/net/lo/duplex"}) {
        struct stat st {};
        if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 2048 || st.st_size % 2048 != 0) continue;
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char byte;
        const ssize_t n = ::read(fd, &byte, 1);
        ::close(fd);
        if (n < 0) return path;
    }
    return {};
}

TEST(ImageUnreadable, ReadFailsInTheKernel) {
    const std::string path = UnreadableRegularFile();
    if (path.empty()) GTEST_SKIP() << "no regular file whose read fails on this system";
    Rig rig;
    const robust::CliRun run = robust::RunCli(BurnArgs(path));
    SCOPED_TRACE(run.out + run.err);
    EXPECT_EQ(run.rc, cli::kExitImage);
    EXPECT_TRUE(run.Says("Error creating CD.") || run.Says("Error : Read Error at sector 0"));
    EXPECT_FALSE(run.Says("CD Creation Complete!"));
    EXPECT_EQ(rig.Drive().Count(0x2A), 0);
    ExpectDisc(rig, path, {-1, false, 0});
}

// ---- An image larger than the disc ---------------------------------------------------------------

TEST(ImageLargerThanDisc, IsRefusedBeforeAnyWrite) {
    Rig rig("capacity=100");
    const std::string image = rig.Image(150);
    const robust::CliRun run = robust::RunCli(BurnArgs(image));
    SCOPED_TRACE(run.out + run.err);
    EXPECT_EQ(run.rc, cli::kExitImage);
    EXPECT_TRUE(run.Says("Error : Image larger than disc (150 blocks needed, 100 free)"));
    EXPECT_EQ(rig.Drive().Count(0x2A), 0);
    ExpectDisc(rig, image, {-1, false, 0});
}

TEST(ImageLargerThanDisc, AnImageThatJustFitsIsBurnt) {
    Rig rig("capacity=100");
    const std::string image = rig.Image(100);
    const robust::CliRun run = robust::RunCli(BurnArgs(image));
    SCOPED_TRACE(run.out + run.err);
    EXPECT_EQ(run.rc, cli::kExitOk);
    ExpectDisc(rig, image, {100, true, 1});
}

// ---- A drive that is still becoming ready when the burn starts -----------------------------------

TEST(BecomingReady, TheBurnWaitsForTheDrive) {
    Rig rig("not-ready=3");
    const std::string image = rig.Image(kBlocks);
    const robust::CliRun run = robust::RunCli(BurnArgs(image));
    SCOPED_TRACE(run.out + run.err);
    EXPECT_EQ(run.rc, cli::kExitOk);
    EXPECT_TRUE(run.Says("CD Creation Complete!"));
    ExpectDisc(rig, image, {static_cast<int>(kBlocks), true, 1});
}

// ---- A drive whose buffer is full answers a WRITE with LONG WRITE IN PROGRESS ----------------------

TEST(LongWriteInProgress, TheBlockIsSentAgain) {
    constexpr robust::Sense kLongWrite{0x02, 0x04, 0x08};
    Rig rig;
    const std::string image = rig.Image(kBlocks);
    rig.Drive().Add(Fault{0x2A, 3, kLongWrite, false, nullptr});
    rig.Drive().Add(Fault{0x2A, 4, kLongWrite, false, nullptr});
    const robust::CliRun run = robust::RunCli(BurnArgs(image));
    SCOPED_TRACE(run.out + run.err);
    EXPECT_EQ(run.rc, cli::kExitOk);
    EXPECT_TRUE(run.Says("CD Creation Complete!"));
    // Block 2 went three times: refused twice while the drive was busy, then taken.
    EXPECT_EQ(rig.Drive().Count(0x2A), static_cast<int>(kBlocks) + 2);
    ExpectDisc(rig, image, {static_cast<int>(kBlocks), true, 1});
}

}  // namespace
