// The writer's operations against a scripted device whose answers each case sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "ScriptedDrive.h"
#include "burner/CDBurner.h"
#include "burner/CDBurners.h"
#include "burner/DiscPlan.h"

namespace {

class ScriptedWriter : public ::testing::Test {
protected:
    void SetUp() override
    {
        win::SetKernelDevicePathsForTesting({});
        drive = std::make_shared<ScriptedDrive>();
        drive->SetIdentity("KEELVANESCRIPTED DRIVE  1.00");
        letter = win::AttachVirtualDevice(drive);
        ASSERT_NE(letter, 0);
        list = std::make_unique<TCDBurnerList>();
        ASSERT_EQ(list->Count(), 1);
        burner = list->Burners(0);
        ASSERT_NE(burner, nullptr);
        ASSERT_EQ(burner->Info.DriveLetter, letter);
    }
    void TearDown() override
    {
        list.reset();
        win::DetachAllVirtualDevices();
        win::ResetKernelDevicePathsForTesting();
    }

    std::shared_ptr<ScriptedDrive> drive;
    char letter = 0;
    std::unique_ptr<TCDBurnerList> list;
    TCDBurner* burner = nullptr;
};

TEST(CDBurnerArithmetic, ProgressPercentStaysWithin0To100)
{
    const struct {
        std::int64_t index, last;
        std::int32_t percent;
    } cases[] = {
        {0, 0, 100},                                        // a single block is all of the job
        {0, 1, 0},         {1, 1, 100},                     // two blocks
        {0, 99, 0},        {50, 99, 50},    {99, 99, 100},  // 100 blocks: divisor would be 0
        {0, 100, 0},       {1, 100, 1},     {100, 100, 100},   // 101 blocks: divisor 1
        {150, 199, 100},   {199, 199, 100},                 // divisor 1 overshoots: clamped
        {15350, 153599, 10}, {153599, 153599, 100},         // a 300 MiB image
    };
    for (const auto& c : cases)
        EXPECT_EQ(TCDBurner::ProgressPercent(c.index, c.last), c.percent) << c.index << " of " << c.last;
}

TEST_F(ScriptedWriter, BufferFillPercentAndFreeBytes)
{
    EXPECT_EQ(burner->BufferLength, 0);
    EXPECT_EQ(burner->BufferFree, 0);
    const struct {
        bool supported;
        std::uint32_t length, free;
        std::int32_t percent, freeReported;
    } cases[] = {
        {true, 4194304, 4194304, 0, 4194304},
        {true, 4194304, 0, 100, 0},
        {true, 2097152, 1048576, 50, 1048576},
        {true, 99, 0, 0, 0},            // a buffer under 100 bytes has no percent steps
        {true, 0, 0, 0, 0},
        {true, 1000, 5000, 0, 5000},    // more free than the buffer holds: not negative
        {false, 4194304, 0, 0, 0},      // failed query: a zero reply
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.length << "/" << c.free << (c.supported ? "" : " unsupported"));
        drive->rbcSupported = c.supported;
        drive->bufferLength = c.length;
        drive->bufferFree = c.free;
        EXPECT_EQ(burner->GetBufferFillPercent(), c.percent);
        EXPECT_EQ(burner->BufferLength, c.supported ? std::int32_t(c.length) : 0);
        EXPECT_EQ(burner->BufferFree, c.supported ? std::int32_t(c.free) : 0);
        EXPECT_EQ(burner->GetBufferFree(), c.freeReported);
    }
}

TEST_F(ScriptedWriter, CapabilitiesReport)
{
    EXPECT_EQ(burner->GetCapabilitiesReport(),
              (std::vector<std::string>{"-- Device Reading Methods --", "-- Device Writing Methods --",
                                        "-- Device Extended Methods --"}));

    // Every bit set: the unreported capabilities (audio, CD-DA, lock ...) add no line.
    std::fill(drive->capabilities.begin() + 2, drive->capabilities.begin() + 8, 0xFF);
    EXPECT_EQ(burner->GetCapabilitiesReport(),
              (std::vector<std::string>{
                  "-- Device Reading Methods --",
                  "    Read CD-R media",
                  "    Read CD-RW media",
                  "    Read CD-R written using fixed packets",
                  "    Read DVD-ROM media",
                  "    Read DVD-R / DVD-RW media",
                  "    Read DVD-RAM media",
                  "-- Device Writing Methods --",
                  "    Write CD-R media",
                  "    Write CD-RW media",
                  "    Write DVD-R / DVD-RW media",
                  "    Write DVD-RAM media",
                  "    Write in test mode",
                  "    Can Use Burn Proof",
                  "-- Device Extended Methods --",
                  "        Capable to read Mode 2 Form 1 (CD-XA format)",
                  "        Capable to read Mode 2 Form 2 (CD-XA format)",
                  "        Capable to read PhotoCD format (multiple sessions)",
                  "       Capable to read CD disc bar code",
              }));

    // A CD-R writer reading CD-R and CD-RW, with BUFE and multisession.
    std::fill(drive->capabilities.begin(), drive->capabilities.end(), 0);
    drive->capabilities[2] = 0x03;
    drive->capabilities[3] = 0x01;
    drive->capabilities[4] = 0xC1;   // BUFE, multisession, audio play
    EXPECT_EQ(burner->GetCapabilitiesReport(),
              (std::vector<std::string>{"-- Device Reading Methods --", "    Read CD-R media", "    Read CD-RW media",
                                        "-- Device Writing Methods --", "    Write CD-R media",
                                        "    Can Use Burn Proof", "-- Device Extended Methods --",
                                        "        Capable to read PhotoCD format (multiple sessions)"}));
}

TEST_F(ScriptedWriter, SpeedsReport)
{
    auto speed = [&](int offset, int x) {
        const int kBps = x * 17646 / 100;
        drive->capabilities[offset] = static_cast<std::uint8_t>(kBps >> 8);
        drive->capabilities[offset + 1] = static_cast<std::uint8_t>(kBps);
    };
    speed(8, 48);
    speed(14, 40);
    speed(18, 24);
    speed(20, 16);
    const std::vector<std::string> expected = {
        "-- Device Reading Speeds --",  "       Current Read Speed = 40",  "       Maximum Read Speed = 48",
        "-- Device Writing Speeds --", "       Current Write Speed = 16", "       Maximum Write Speed = 24",
    };
    EXPECT_EQ(burner->GetSpeedsReport(), expected);
}

TEST_F(ScriptedWriter, WaitUntilReadyTreatsOnlyAsc04AsBusy)
{
    burner->ReadyPollInterval = std::chrono::milliseconds(1);
    std::vector<int> progress;
    burner->OnProgress = [&](int index, int percent) {
        EXPECT_EQ(index, 0);
        progress.push_back(percent);
    };

    drive->testUnitReady = {{2, 4, 8}, {2, 4, 7}, {2, 4, 1}};
    drive->progress = 32768;
    drive->cdbs.clear();
    EXPECT_EQ(burner->WaitUntilReady(std::chrono::seconds(30), true), Err_None);
    EXPECT_EQ(drive->Count(0x00), 4);
    EXPECT_EQ(progress, (std::vector<int>{50, 100}));

    // A unit attention is reported once and cleared; it is no reason to give up.
    drive->testUnitReady = {{6, 0x28, 0}, {2, 4, 1}};
    drive->cdbs.clear();
    EXPECT_EQ(burner->WaitUntilReady(std::chrono::seconds(30)), Err_None);
    EXPECT_EQ(drive->Count(0x00), 3);

    // No disc is no reason to wait.
    drive->testUnitReady = {{2, 0x3A, 0}, {2, 4, 1}};
    drive->cdbs.clear();
    EXPECT_EQ(burner->WaitUntilReady(std::chrono::seconds(30)), Err_SenseNotReady);
    EXPECT_EQ(burner->LastError, Err_SenseNotReady);
    EXPECT_EQ(drive->Count(0x00), 1);

    // A drive busy for good: bounded.
    drive->testUnitReady.assign(100000, {2, 4, 8});
    EXPECT_EQ(burner->WaitUntilReady(std::chrono::milliseconds(30)), Err_CommandTimeout);
}

TEST_F(ScriptedWriter, BlankIsImmediateAndWaitsForTheDrive)
{
    burner->ReadyPollInterval = std::chrono::milliseconds(1);
    drive->testUnitReady = {{2, 4, 7}, {2, 4, 7}};
    drive->progress = 16384;
    std::vector<int> progress;
    burner->OnProgress = [&](int, int percent) { progress.push_back(percent); };
    drive->cdbs.clear();
    EXPECT_TRUE(burner->Blank(0, 0));
    // The tray is locked for the blank and released after it.
    ASSERT_GE(drive->Commands().size(), 3u);
    EXPECT_EQ(drive->Commands()[0], (std::vector<std::uint8_t>{0x1E, 0, 0, 0, 1, 0}));
    EXPECT_EQ(drive->Commands()[1], (std::vector<std::uint8_t>{0xA1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(drive->Commands().back(), (std::vector<std::uint8_t>{0x1E, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(burner->TrayLockedByUs());
    EXPECT_EQ(drive->Count(0x00), 3) << "polled until ready";
    EXPECT_EQ(progress, (std::vector<int>{25, 100}));

    // A drive that refuses the blank: the failure is stored and nothing is waited for.
    drive->blankSupported = false;
    drive->cdbs.clear();
    progress.clear();
    EXPECT_FALSE(burner->Blank(1, 0));
    EXPECT_EQ(burner->LastError, Err_SenseIllegalRequest) << "the release keeps the blank's result";
    ASSERT_EQ(drive->Commands().size(), 3u);
    EXPECT_EQ(drive->Commands()[1][1], 0x11);
    EXPECT_EQ(drive->Commands()[2][4], 0);
    EXPECT_TRUE(progress.empty());
}

// The tray of a mounted disc or of another burner is not ours to release: a writer that never
// locked it sends nothing when it goes, one that did releases it, once.
TEST_F(ScriptedWriter, DestructionReleasesOnlyATrayItLocked)
{
    drive->cdbs.clear();
    EXPECT_TRUE(burner->UnlockMedium()) << "nothing to release is no failure";
    EXPECT_TRUE(drive->Commands().empty());
    ASSERT_TRUE(burner->LockMedium());
    EXPECT_TRUE(burner->TrayLockedByUs());
    ASSERT_EQ(drive->Commands().size(), 1u);
    EXPECT_EQ(drive->Commands()[0], (std::vector<std::uint8_t>{0x1E, 0, 0, 0, 1, 0}));
    drive->cdbs.clear();
    list.reset();
    ASSERT_EQ(drive->Commands().size(), 1u);
    EXPECT_EQ(drive->Commands()[0][0], 0x1E);
    EXPECT_EQ(drive->Commands()[0][4], 0) << "prevent must be 0";
}

TEST_F(ScriptedWriter, DestructionOfAWriterThatLockedNothingSendsNothing)
{
    drive->cdbs.clear();
    list.reset();
    EXPECT_TRUE(drive->Commands().empty());
}

}  // namespace

// A CD writer of old answers neither GET CONFIGURATION nor READ DISC/TRACK INFORMATION: it is
// a CD writer as it always was, its burn the CD burn, its capabilities report unchanged.
TEST_F(ScriptedWriter, DriveWithoutProfilesIsACdWriter)
{
    std::vector<std::string> status;
    burner->OnStatus = [&](const std::string& s) { status.push_back(s); };
    const TDiscPlan plan = PlanBurn(*burner, 100);
    EXPECT_TRUE(plan.CanBurn()) << plan.Refusal;
    EXPECT_FALSE(plan.ProfileKnown);
    EXPECT_EQ(plan.Medium, kvcat::MediumByProfile(prCDR));
    EXPECT_EQ(plan.FreeBlocks, -1);
    // The drive names no medium, and neither does the plan.
    EXPECT_EQ(plan.Profile, prNone);
    EXPECT_EQ(status, std::vector<std::string>{"Disc : unknown medium (the drive reports no profile), unknown"});
    EXPECT_EQ(DiscSummaryLine(plan), "unknown medium");
    for (const auto& cdb : drive->cdbs) EXPECT_NE(cdb[0], 0x2A);
    const auto report = burner->GetCapabilitiesReport();
    EXPECT_EQ(std::count(report.begin(), report.end(), std::string("-- Device Writing Profiles --")), 0);
}

TEST(DiscPlanText, SummaryLineOfTheDisc)
{
    struct Case {
        bool profileKnown;
        std::uint16_t profile;
        TDiscState state;
        std::int64_t freeBlocks;
        const char* line;
    };
    const Case cases[] = {
        {true, prDVDPlusR, TDiscState::Blank, 2295104, "DVD+R, blank, 4482 MiB free"},
        {true, prCDRW, TDiscState::Closed, 0, "CD-RW, closed, 0 MiB free"},
        {true, prBDRE, TDiscState::Unformatted, -1, "BD-RE, unformatted"},
        {true, prDVDRAM, TDiscState::Unknown, -1, "DVD-RAM"},
        {true, 0x0112, TDiscState::Appendable, 511, "profile 0112h, appendable, 0 MiB free"},
        {false, prNone, TDiscState::Blank, 359848, "unknown medium, blank, 702 MiB free"},
    };
    for (const Case& c : cases) {
        TDiscPlan plan;
        plan.ProfileKnown = c.profileKnown;
        plan.Profile = c.profile;
        // A drive that names no profile is planned as a CD writer's disc, as ProbeDisc does.
        plan.Medium = kvcat::MediumByProfile(c.profileKnown ? c.profile : std::uint16_t{prCDR});
        plan.State = c.state;
        plan.FreeBlocks = c.freeBlocks;
        EXPECT_EQ(DiscSummaryLine(plan), c.line);
    }
    EXPECT_EQ(DiscSummaryLine(TDiscPlan()), "no disc");
}

TEST(MediaCatalogue, EveryRowIsFoundAndEveryWritableRowComplete)
{
    for (const kvcat::Medium& row : kvcat::Media()) {
        SCOPED_TRACE(row.name);
        // A disc of the row's capacity is planned as the row; reports call the profile by its name.
        EXPECT_EQ(kvcat::MediumByProfileAndCapacity(row.profile, row.capacity), &row);
        EXPECT_EQ(ProfileName(row.profile), kvcat::MediumByProfile(row.profile)->name);
        if (!row.Writable()) continue;
        const kvcat::WriteSteps& steps = row.steps;
        EXPECT_GE(steps.blocksPerWrite, 1);
        // A medium is either closed (write-once) or overwritten in place, never both.
        EXPECT_NE(row.Overwritable(), steps.closesTrack);
        EXPECT_FALSE(steps.finalizes && !steps.closesSession);
        // Test Write lives in the write parameters: a medium written without them has none.
        EXPECT_EQ(steps.testWriteFeature != 0, steps.setsWriteParameters);
    }
    for (std::uint16_t profile : {prDVDPlusR, prDVDPlusRW, prDVDRWRestricted, prBDRSequential, prBDRE}) {
        TDiscPlan plan;
        plan.ProfileKnown = true;
        plan.Profile = profile;
        plan.Medium = kvcat::MediumByProfile(profile);
        std::string why;
        EXPECT_TRUE(SimulationRefused(plan, why)) << ProfileName(profile);
        EXPECT_NE(why.find("cannot be written in test mode"), std::string::npos) << why;
    }
    // A medium with test write: refused only where a blank or format would come first, or the
    // drive's feature says no; a drive that lists no feature is left to its capabilities page.
    TDiscPlan dash;
    dash.ProfileKnown = true;
    dash.Profile = prDVDRSequential;
    dash.Medium = kvcat::MediumByProfile(prDVDRSequential);
    std::string why;
    EXPECT_FALSE(SimulationRefused(dash, why)) << why;
    dash.DriveTestWrite = 1;
    EXPECT_FALSE(SimulationRefused(dash, why)) << why;
    dash.DriveTestWrite = 0;
    EXPECT_TRUE(SimulationRefused(dash, why));
    EXPECT_NE(why.find("feature 002Fh offers no test write"), std::string::npos) << why;
    dash.DriveTestWrite = 1;
    dash.BlankFirst = true;
    EXPECT_TRUE(SimulationRefused(dash, why));
    EXPECT_NE(why.find("blanked first"), std::string::npos) << why;
    EXPECT_EQ(kvcat::MediumByProfile(prDVDRAM), nullptr);
    EXPECT_EQ(ProfileName(prDVDRAM), "DVD-RAM");
    EXPECT_EQ(ProfileName(0x0123), "profile 0123h");
}
