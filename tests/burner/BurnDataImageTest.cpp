// The data image burn end to end: the writer object, the MMC layer, the device-access layer
// and the platform layer over the virtual writer, with real ISO images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <set>
#include <thread>
#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

#include "VirtualWriterFixture.h"
#include "support/OtherProgram.h"
#include "support/ScriptedDevice.h"
#include "burner/BurnJob.h"
#include "burner/BurnJobSet.h"
#include "burner/FeedPriority.h"
#include "burner/CDBurner.h"
#include "burner/DiscPlan.h"
#include "burner/ImageCheck.h"
#include "platform/VirtualDevice.h"
#include "platform/WinApi.h"
#include "scsi/zqSCSI.h"

namespace {

std::vector<std::uint8_t> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every command that reached a drive, with its status and sense key/ASC.
struct Trace {
    struct Entry {
        std::vector<std::uint8_t> cdb;
        std::uint8_t status, key, asc;
    };
    std::mutex mutex;
    std::vector<Entry> entries;

    int Count(std::uint8_t opcode)
    {
        std::lock_guard lock(mutex);
        return static_cast<int>(std::count_if(entries.begin(), entries.end(),
                                              [&](const Entry& e) { return e.cdb[0] == opcode; }));
    }
};

const std::vector<std::string> kClosedSessionLines = {
    "HardWare : Set Write Mode OK", "Finished Writing : Sync Cache", "Finished Writing : Closing Track",
    "Finished Writing : Closing Session", "Finished Writing : Job Done!"};

class VirtualBurn : public VirtualWriterFixture {
protected:
    // With a manual clock the drive's time moves 50 ms per TEST UNIT READY, so busy times
    // are seen the same way however slowly the test runs.
    void Attach(const std::string& options = "", bool manualClock = false)
    {
        if (manualClock)
            clock = std::make_shared<vdrive::ManualClock>();
        win::SetScsiTraceSink([this](char, const win::ScsiRequest& r, bool) {
            // The INQUIRY of the device-access layer's drive scan is not the burner's.
            if (r.cdb[0] == 0x12)
                return;
            if (clock && r.cdb[0] == 0x00)
                clock->Advance(std::chrono::milliseconds(50));
            std::lock_guard lock(trace.mutex);
            trace.entries.push_back({std::vector<std::uint8_t>(r.cdb, r.cdb + r.cdbLength), r.status,
                                     static_cast<std::uint8_t>(r.sense[2] & 0x0F), r.sense[12]});
        });
        ASSERT_NO_FATAL_FAILURE(AttachWriter("disc.cue", options, clock));
    }
    // The disc, flushed, holds one track whose first bytes are Bytes.
    void ExpectOneTrackStartingWith(const std::vector<std::uint8_t>& Bytes)
    {
        const vdrive::DiscState disc = writer->State();
        ASSERT_EQ(disc.tracks.size(), 1u);
        EXPECT_TRUE(writer->Flush());
        auto track = ReadAll(disc.tracks[0].file);
        track.resize(std::min(track.size(), Bytes.size()));
        EXPECT_EQ(track, Bytes);
    }
    // The drive gone and its disc's files removed: the next Attach makes a new disc.
    void RemoveDisc()
    {
        TearDown();
        for (const auto& f : std::filesystem::directory_iterator(dir.path()))
            if (f.path().filename().string().rfind("disc", 0) == 0)
                std::filesystem::remove(f.path());
    }

    // A real ISO 9660 image of a few files, made for the test.
    std::string MakeIso()
    {
        const auto src = dir.path() / "iso-root";
        std::filesystem::create_directories(src / "boot");
        WritePatternFile((src / "boot" / "kernel.img").string(), 700 * 1024 + 17);
        std::ofstream(src / "README.TXT") << "KeelVane rescue disc\n";
        const std::string iso = dir / "rescue.iso";
        const std::string cmd = "xorriso -as mkisofs -quiet -V KEELVANE -o '" + iso + "' '" + src.string() +
                                "' >'" + (dir / "xorriso.log") + "' 2>&1";
        if (std::system(cmd.c_str()) != 0)
            ADD_FAILURE() << "xorriso failed: " << cmd;
        return iso;
    }
    std::string MakeImage(std::uint64_t bytes)
    {
        const std::string path = dir / ("image-" + std::to_string(bytes) + ".bin");
        WritePatternFile(path, bytes);
        return path;
    }

    std::shared_ptr<vdrive::ManualClock> clock;
    Trace trace;
};

TEST_F(VirtualBurn, IsoBurnsAsOneClosedDataTrack)
{
    const std::string iso = MakeIso();
    const auto image = ReadAll(iso);
    ASSERT_EQ(image.size() % 2048, 0u);
    const auto blocks = static_cast<std::uint32_t>(image.size() / 2048);
    ASSERT_NO_FATAL_FAILURE(Attach());

    ASSERT_TRUE(burner->BurnDataImage(iso, 1));
    EXPECT_EQ(reports.status, kClosedSessionLines);
    EXPECT_EQ(burner->LastError, Err_None);

    // One WRITE(10) of one block per block (their addresses: the media table's cd-r row).
    ASSERT_EQ(trace.Count(0x2A), static_cast<int>(blocks));

    // Events: every block, percents within 0..100 and ending at 100, all bytes counted.
    ASSERT_EQ(reports.progress.size(), blocks);
    EXPECT_EQ(reports.progress.back(), std::make_pair(int(blocks - 1), 100));
    EXPECT_TRUE(std::is_sorted(reports.progress.begin(), reports.progress.end()));
    EXPECT_FALSE(reports.outOfRange);
    EXPECT_EQ(reports.bytesRead, std::int64_t(image.size()));
    EXPECT_EQ(reports.bufferStatusCalls, int(blocks));
    EXPECT_GE(reports.bufferProgressCalls, int(blocks) + 1);
    EXPECT_GE(reports.fileBufferCalls, int(blocks) + 1);

    // The disc: one closed data track in a closed session, byte for byte the image.
    const vdrive::DiscState disc = writer->State();
    ASSERT_EQ(disc.tracks.size(), 1u);
    EXPECT_TRUE(disc.tracks[0].closed);
    EXPECT_FALSE(disc.tracks[0].audio);
    EXPECT_EQ(disc.tracks[0].blocks, blocks);
    EXPECT_EQ(disc.closedSessions, 1);
    EXPECT_EQ(disc.status, vdrive::DiscStatus::Complete);
    EXPECT_TRUE(writer->Flush());
    EXPECT_EQ(ReadAll(disc.tracks[0].file), image);

    TScsiTOC toc;
    ASSERT_EQ(burner->ReadTOC(toc), Err_None);
    EXPECT_EQ(toc.FirstTrack, 1);
    EXPECT_EQ(toc.LastTrack, 1);
    ASSERT_EQ(toc.EntryCount, 2);
    EXPECT_EQ(toc.Entries[0].TrackNumber, 1);
    EXPECT_EQ(toc.Entries[0].StartLBA, 0u);
    EXPECT_EQ(SetToText(toc.Entries[0].Flags), "[ssqfADRposition, ssqfDataTrack]");
    EXPECT_EQ(toc.Entries[1].TrackNumber, 0xAA);
    EXPECT_EQ(toc.Entries[1].StartLBA, blocks);

    std::int64_t firstDifferent = 0;
    EXPECT_TRUE(burner->VerifyImage(iso, firstDifferent));
    EXPECT_EQ(firstDifferent, -1);
}

TEST_F(VirtualBurn, OneImageBurnsOnTwoWritersAtOnce)
{
    // Each job on its own thread holding its own writer: the engine, the device access and the
    // two virtual writers in parallel, each disc ending as the image.
    constexpr std::uint32_t kBlocks = 400;
    const std::string image = MakeImage(std::uint64_t(kBlocks) * 2048);
    ASSERT_NO_FATAL_FAILURE(Attach());
    std::string error;
    const auto second = vdrive::AttachVirtualDrive(dir / "second.cue", error);
    ASSERT_TRUE(second) << error;
    struct DetachAtEnd {
        std::shared_ptr<vdrive::VirtualWriter> w;
        ~DetachAtEnd() { vdrive::DetachVirtualDrive(w); }
    } detachSecond{second};
    list = std::make_unique<TCDBurnerList>();
    TCDBurner* burners[2] = {};
    for (int i = 0; i < list->Count(); ++i) {
        TCDBurner* b = list->Burners(i);
        if (b->Info.DriveLetter == writer->DriveLetter())
            burners[0] = b;
        if (b->Info.DriveLetter == second->DriveLetter())
            burners[1] = b;
    }
    ASSERT_TRUE(burners[0] && burners[1]);
    Reports perJob[2];
    std::thread jobs[2];
    bool burnt[2] = {};
    for (int j = 0; j < 2; ++j) {
        burners[j]->ReadyPollInterval = std::chrono::milliseconds(5);
        perJob[j].Subscribe(*burners[j]);
        jobs[j] = std::thread([&, j] { burnt[j] = burners[j]->BurnDataImage(image, 1); });
    }
    for (auto& job : jobs)
        job.join();
    for (int j = 0; j < 2; ++j) {
        EXPECT_TRUE(burnt[j]) << j;
        EXPECT_EQ(perJob[j].status, kClosedSessionLines) << j;
    }
    EXPECT_EQ(trace.Count(0x2A), 2 * static_cast<int>(kBlocks));
    const auto bytes = ReadAll(image);
    for (const auto& w : {writer, second}) {
        const vdrive::DiscState disc = w->State();
        ASSERT_EQ(disc.tracks.size(), 1u);
        EXPECT_EQ(disc.closedSessions, 1);
        EXPECT_TRUE(w->Flush());
        EXPECT_EQ(ReadAll(disc.tracks[0].file), bytes);
    }
    list.reset();
}

TEST_F(VirtualBurn, VerifyFindsTheFirstDifferentSector)
{
    ASSERT_NO_FATAL_FAILURE(Attach());
    const std::string image = MakeImage(2048 * 200);
    ASSERT_TRUE(burner->BurnDataImage(image, 1));
    std::int64_t sector = 0;
    ASSERT_TRUE(burner->VerifyImage(image, sector));
    EXPECT_EQ(sector, -1);

    // One byte changed in block 77 (inside the second READ(10) of 32 blocks).
    const std::string changed = dir / "changed.bin";
    std::filesystem::copy_file(image, changed);
    {
        std::fstream f(changed, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(2048 * 77 + 1000);
        f.put('\x5A' == PatternByte(2048 * 77 + 1000) ? '\x00' : '\x5A');
    }
    EXPECT_FALSE(burner->VerifyImage(changed, sector));
    EXPECT_EQ(sector, 77);
    EXPECT_EQ(burner->LastError, Err_None) << "a difference, not a read error";

    // An image longer than the track: the disc cannot give the sectors past its end.
    const std::string longer = MakeImage(2048 * 230);
    EXPECT_FALSE(burner->VerifyImage(longer, sector));
    EXPECT_EQ(sector, 192) << "the READ(10) of 192..223 crosses the end of the track";
    EXPECT_NE(burner->LastError, Err_None);
}

TEST_F(VirtualBurn, ProgressRunsFrom0To100ForSmallImages)
{
    ASSERT_NO_FATAL_FAILURE(Attach("media=cd-rw"));
    for (std::uint32_t blocks : {101u, 1u, 50u}) {
        SCOPED_TRACE(blocks);
        ASSERT_TRUE(burner->Blank(1, 0)) << ScsiErrorToText(burner->LastError);
        reports.progress.clear();
        ASSERT_TRUE(burner->BurnDataImage(MakeImage(2048ull * blocks), 1));
        ASSERT_EQ(reports.progress.size(), blocks);
        for (std::uint32_t i = 0; i < blocks; ++i) {
            EXPECT_EQ(reports.progress[i].first, int(i));
            const int expected = blocks == 1 ? 100 : blocks == 101 ? int(i) : int(i * 100 / (blocks - 1));
            EXPECT_EQ(reports.progress[i].second, expected) << i;
        }
    }
}

TEST_F(VirtualBurn, ImagesThatCannotBeBurntWriteNothing)
{
    ASSERT_NO_FATAL_FAILURE(Attach("capacity=100"));
    const struct {
        std::uint64_t bytes;
        std::string line;
    } cases[] = {
        {2048ull * 100 + 1, "Error : Error in Image Size"},
        {0, "Error : Error in Image Size"},
        {2048ull * 101, "Error : Image larger than disc (101 blocks needed, 100 free)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        reports.status.clear();
        EXPECT_FALSE(burner->BurnDataImage(MakeImage(c.bytes), 1));
        EXPECT_EQ(reports.status, (std::vector<std::string>{"HardWare : Set Write Mode OK", c.line}));
        EXPECT_EQ(burner->LastOutcome.Step, TJobStep::Input);
    }
    EXPECT_EQ(trace.Count(0x2A), 0);
    EXPECT_EQ(trace.Count(0x5B), 0);
    EXPECT_TRUE(writer->State().tracks.empty());

    // A missing image raises (the front end says it could not create the CD).
    EXPECT_THROW(burner->BurnDataImage(dir / "no-such.iso", 1), std::system_error);
    EXPECT_EQ(burner->LastOutcome.Step, TJobStep::Input);
    EXPECT_EQ(trace.Count(0x2A), 0);

    // An image that fits exactly is burnt.
    reports.status.clear();
    EXPECT_TRUE(burner->BurnDataImage(MakeImage(2048ull * 100), 1));
    EXPECT_EQ(reports.status, kClosedSessionLines);
}

TEST_F(VirtualBurn, CloseSessionZeroLeavesTheSessionOpen)
{
    ASSERT_NO_FATAL_FAILURE(Attach());
    ASSERT_TRUE(burner->BurnDataImage(MakeImage(2048 * 300), 0));
    EXPECT_EQ(reports.status, (std::vector<std::string>{"HardWare : Set Write Mode OK", "Finished Writing : Sync Cache",
                                                        "Finished Writing : Closing Track",
                                                        "Finished Writing : Job Done!"}));
    for (const auto& e : trace.entries) {
        if (e.cdb[0] == 0x5B) {
            EXPECT_EQ(e.cdb[2], 0x01) << "only CLOSE TRACK";
        }
    }
    const vdrive::DiscState disc = writer->State();
    ASSERT_EQ(disc.tracks.size(), 1u);
    EXPECT_TRUE(disc.tracks[0].closed);
    EXPECT_EQ(disc.closedSessions, 0);
    EXPECT_NE(disc.status, vdrive::DiscStatus::Complete);
}

TEST_F(VirtualBurn, WriteErrorStopsTheJobAtItsSector)
{
    ASSERT_NO_FATAL_FAILURE(Attach("fail-write-at=60"));
    EXPECT_FALSE(burner->BurnDataImage(MakeImage(2048 * 101), 1));
    EXPECT_EQ(reports.status, (std::vector<std::string>{"HardWare : Set Write Mode OK",
                                                        "Error : Write Error at sector 60 : Err_SenseMediumError"}));
    EXPECT_EQ(burner->LastError, Err_SenseMediumError);
    EXPECT_EQ(burner->LastOutcome.Step, TJobStep::Write);
    EXPECT_EQ(burner->LastOutcome.Sector, 60);
    EXPECT_EQ(burner->LastOutcome.Error, Err_SenseMediumError);
    ASSERT_FALSE(reports.progress.empty());
    EXPECT_EQ(reports.progress.back().first, 60) << "the failed block is still reported";
    EXPECT_EQ(trace.Count(0x2A), 61);
    EXPECT_EQ(trace.Count(0x35), 0);
    EXPECT_EQ(trace.Count(0x5B), 0);
    const vdrive::DiscState disc = writer->State();
    ASSERT_EQ(disc.tracks.size(), 1u);
    EXPECT_FALSE(disc.tracks[0].closed);
    EXPECT_EQ(disc.tracks[0].blocks, 60u);
}

TEST_F(VirtualBurn, StuckBufferEndsTheJobInBoundedTime)
{
    ASSERT_NO_FATAL_FAILURE(Attach("stuck-buffer"));
    burner->BufferStallLimit = std::chrono::milliseconds(150);
    EXPECT_FALSE(burner->BurnDataImage(MakeImage(2048 * 4000), 1));
    ASSERT_GE(reports.status.size(), 2u);
    EXPECT_EQ(reports.status.back().rfind("Error : Buffer Wait Timeout at sector ", 0), 0u) << reports.status.back();
    EXPECT_EQ(burner->LastOutcome.Step, TJobStep::BufferStall);
    EXPECT_EQ(trace.Count(0x5B), 0);
    EXPECT_LT(trace.Count(0x2A), 4000);
}

TEST_F(VirtualBurn, DriveWithoutBufferQueryIsNotWaitedFor)
{
    ASSERT_NO_FATAL_FAILURE(Attach("no-rbc"));
    ASSERT_TRUE(burner->BurnDataImage(MakeImage(2048 * 200), 1));
    EXPECT_EQ(reports.status, kClosedSessionLines);
    EXPECT_EQ(burner->GetBufferFillPercent(), 0);
}

TEST_F(VirtualBurn, BusyDriveIsWaitedForAfterClosing)
{
    ASSERT_NO_FATAL_FAILURE(Attach("busy-ms=300", true));
    ASSERT_TRUE(burner->BurnDataImage(MakeImage(2048 * 100), 1)) << reports.status.back();
    EXPECT_EQ(reports.status, kClosedSessionLines);
    // After each CLOSE (IMMED) TEST UNIT READY is polled, first answered busy (02/04), until
    // ready; only then the next SYNCHRONIZE CACHE.
    std::lock_guard lock(trace.mutex);
    int closes = 0;
    for (std::size_t i = 0; i < trace.entries.size(); ++i) {
        if (trace.entries[i].cdb[0] != 0x5B)
            continue;
        ++closes;
        ASSERT_LT(i + 1, trace.entries.size());
        EXPECT_EQ(trace.entries[i + 1].cdb[0], 0x00);
        EXPECT_EQ(trace.entries[i + 1].key, 2);
        EXPECT_EQ(trace.entries[i + 1].asc, 4);
        std::size_t j = i + 1;
        while (j < trace.entries.size() && trace.entries[j].cdb[0] == 0x00 && trace.entries[j].status != 0)
            ++j;
        ASSERT_LT(j + 1, trace.entries.size());
        EXPECT_EQ(trace.entries[j].cdb[0], 0x00) << "ends with a ready TEST UNIT READY";
        EXPECT_EQ(trace.entries[j + 1].cdb[0], 0x35);
    }
    EXPECT_EQ(closes, 2);
}

TEST_F(VirtualBurn, BlankWaitsForTheDriveAndReportsItsProgress)
{
    ASSERT_NO_FATAL_FAILURE(Attach("media=cd-rw,busy-ms=400", true));
    ASSERT_TRUE(burner->BurnDataImage(MakeImage(2048 * 50), 1));
    ASSERT_EQ(writer->State().tracks.size(), 1u);

    reports.progress.clear();
    ASSERT_TRUE(burner->Blank(0, 0)) << ScsiErrorToText(burner->LastError);
    const vdrive::DiscState disc = writer->State();
    EXPECT_TRUE(disc.tracks.empty());
    EXPECT_EQ(disc.status, vdrive::DiscStatus::Empty);
    // Progress from the sense data while the drive was busy (400 ms, polled every 50 ms of
    // the drive's time), then 100 when it is ready.
    std::vector<int> percents;
    for (const auto& p : reports.progress)
        percents.push_back(p.second);
    EXPECT_EQ(percents, (std::vector<int>{12, 24, 37, 49, 62, 74, 87, 100}));   // of 65536

    // A CD has no DVD structure: the drive's answer is returned and stored.
    TScsiDVDLayerDescriptorInfo layer;
    EXPECT_EQ(burner->GetDVDStructure(layer), Err_SenseIllegalRequest);
    EXPECT_EQ(burner->LastError, Err_SenseIllegalRequest);
}

// Several targets at once: every job's events reach the thread that runs the set, in order; a
// question (blank this disc?) is asked there and waited for; the image is checked once; a
// target that fails ends alone, and the others are verified.
TEST_F(VirtualBurn, AJobSetBurnsEveryTargetOnItsOwnThread)
{
    ASSERT_NO_FATAL_FAILURE(Attach("media=cd-rw"));
    const std::string image = MakeImage(2048 * 600);
    {
        TBurnJobOptions first;
        first.Image = image;
        first.Eject = false;
        TBurnJob job(first);
        ASSERT_TRUE(job.Burn(*burner)) << "a used disc, to be blanked by the set's burn";
    }
    std::string error;
    auto dvd = vdrive::AttachVirtualDrive(dir / "dvd.cue" + ",media=dvd+r", error);
    ASSERT_TRUE(dvd) << error;
    auto bad = vdrive::AttachVirtualDrive(dir / "bad.cue" + ",fail-write-at=100", error);
    ASSERT_TRUE(bad) << error;
    {
        TCDBurnerList writers;
        std::vector<TBurnTarget> targets;
        for (const char letter : {writer->DriveLetter(), dvd->DriveLetter(), bad->DriveLetter()})
            for (int i = 0; i < writers.Count(); ++i)
                if (writers.Burners(i)->Info.DriveLetter == letter)
                    targets.push_back(TBurnTarget{std::string(1, letter) + ":", writers.Burners(i), std::nullopt});
        ASSERT_EQ(targets.size(), 3u);

        const std::thread::id caller = std::this_thread::get_id();
        bool elsewhere = false;
        int asked = 0;
        TBurnJobOptions options;
        options.Image = image;
        options.Force = true;   // filler, no ISO 9660 image
        options.Eject = false;
        options.ConfirmBlank = [&](const TDiscPlan&) {
            elsewhere |= std::this_thread::get_id() != caller;
            ++asked;
            return true;
        };
        TBurnJobSet set(options, targets);
        std::vector<std::vector<std::string>> status(3);
        std::vector<std::size_t> ended;
        set.OnStatus = [&](std::size_t i, TJobPhase, const std::string& text) {
            elsewhere |= std::this_thread::get_id() != caller;
            status[i].push_back(text);
        };
        set.OnEnded = [&](std::size_t i) { ended.push_back(i); };
        // A job reports every block; the reports waiting together reach the front end as the newest.
        std::vector<std::int64_t> lastWritten(3, -1);
        std::vector<int> writeReports(3, 0);
        bool backwards = false;
        set.OnProgress = [&](std::size_t i, const TJobProgress& p) {
            if (p.Phase != TJobPhase::Write) return;
            backwards |= p.Sector < lastWritten[i];
            lastWritten[i] = p.Sector;
            ++writeReports[i];
        };
        ASSERT_TRUE(set.CheckImage());
        EXPECT_FALSE(set.Run()) << "one target fails";
        EXPECT_FALSE(elsewhere) << "every event and question on the caller's thread";
        EXPECT_EQ(asked, 1) << "only the used disc asks";
        EXPECT_EQ(ended.size(), 3u);
        EXPECT_EQ(set.FirstFailure(), 2u);
        EXPECT_FALSE(backwards);
        for (std::size_t i = 0; i < 2; ++i) {
            SCOPED_TRACE(targets[i].Name);
            EXPECT_EQ(lastWritten[i], 599) << "the newest report is never lost";
            EXPECT_LT(writeReports[i], 600);
            EXPECT_TRUE(set.Job(i).Result().Verified);
            EXPECT_TRUE(set.Job(i).Result().TrayUnlocked);
            EXPECT_EQ(std::count(status[i].begin(), status[i].end(), "Finished Writing : Job Done!"), 1);
        }
        EXPECT_EQ(set.Job(2).Result().Step, TJobStep::Write);
        EXPECT_TRUE(set.Job(2).Result().TrayUnlocked);
        EXPECT_EQ(std::count(status[2].begin(), status[2].end(), "Finished Writing : Job Done!"), 0);
        // Checked once: the check's lines are not repeated per target.
        EXPECT_TRUE(set.Job(1).ImageCheck().has_value());
    }
    vdrive::DetachVirtualDrive(dvd);
    vdrive::DetachVirtualDrive(bad);
}

#ifdef __linux__
// A drive whose buffer fills is fed by a real-time thread while the write lasts (where the
// program may raise it), and the thread is given back its own scheduling afterwards.
TEST_F(VirtualBurn, AFilledBufferIsFedInRealTimeWhileTheWriteLasts)
{
    // 16x takes a buffer's worth (1024 blocks) in most of a second: far slower than any feed.
    ASSERT_NO_FATAL_FAILURE(Attach("speed=16"));
    int before = -1;
    sched_param param{};
    ASSERT_EQ(pthread_getschedparam(pthread_self(), &before, &param), 0);
    // What this process may do: the lowest real-time priority, unless it is not allowed.
    bool mayRaise = false;
    {
        TFeedPriority probe;
        mayRaise = probe.Raised();
    }
    TBurnJobOptions options;
    options.Image = MakeImage(2048 * 1300);
    options.Verify = false;
    options.Eject = false;
    std::set<int> policies;
    TBurnJob job(options);
    job.OnProgress = [&](const TJobProgress& p) {
        int policy = -1;
        sched_param now{};
        pthread_getschedparam(pthread_self(), &policy, &now);
        if (p.Phase == TJobPhase::Write && p.DriveBuffer >= 50) policies.insert(policy);
    };
    ASSERT_TRUE(job.Burn(*burner)) << ScsiErrorToText(burner->LastError);
    EXPECT_EQ(policies, std::set<int>{mayRaise ? SCHED_RR : before});
    int after = -1;
    ASSERT_EQ(pthread_getschedparam(pthread_self(), &after, &param), 0);
    EXPECT_EQ(after, before) << "given back at the end of the write";
}
#endif

// A job measures its own pace: a burn's progress carries a speed once one is measured and a
// time left that falls to 0; a blank, which reports a percent only, its time left from the
// percent done so far. The job's clock is the test's, 10 ms a report, so nothing depends on how
// fast the test runs.
TEST_F(VirtualBurn, AJobsProgressCarriesItsSpeedAndTimeLeft)
{
    ASSERT_NO_FATAL_FAILURE(Attach("media=cd-rw,busy-ms=400", true));
    double now = 0;
    TBurnJobOptions options;
    options.Image = MakeImage(2048 * 300);
    options.Verify = false;
    options.Eject = false;
    options.Clock = [&now] { return now += 0.01; };
    std::vector<TJobProgress> writes;
    {
        TBurnJob job(options);
        job.OnProgress = [&](const TJobProgress& p) {
            if (p.Phase == TJobPhase::Write) writes.push_back(p);
        };
        ASSERT_TRUE(job.Burn(*burner)) << ScsiErrorToText(burner->LastError);
    }
    ASSERT_EQ(writes.size(), 300u);
    EXPECT_EQ(writes.front().BlocksPerSecond, 0) << "no speed from the first block";
    EXPECT_EQ(writes.front().SecondsLeft, -1);
    const auto measured = std::find_if(writes.begin(), writes.end(), [](const TJobProgress& p) {
        return p.BlocksPerSecond > 0;
    });
    ASSERT_NE(measured, writes.end());
    for (auto p = measured; p != writes.end(); ++p) {
        SCOPED_TRACE(p->Sector);
        EXPECT_GT(p->BlocksPerSecond, 0);
        EXPECT_NEAR(p->SpeedX, p->BlocksPerSecond / 75, 1e-9) << "a CD's x";
        EXPECT_GE(p->SecondsLeft, 0);
        if (p != measured) {
            EXPECT_LE(p->SecondsLeft, (p - 1)->SecondsLeft);
            EXPECT_GT(p->ElapsedSeconds, (p - 1)->ElapsedSeconds);
        }
    }
    EXPECT_EQ(writes.back().SecondsLeft, 0);

    // A writer that records at once (no pace) holds nothing: once twice its buffer has been
    // sent, the buffer reads empty, and the job says so rather than a fill it never had.
    {
        TBurnJobOptions big = options;
        big.Image = MakeImage(2048 * 2400);
        big.BlankAsNeeded = true;   // the disc holds the burn above
        TBurnJob job(big);
        ASSERT_TRUE(job.Burn(*burner)) << ScsiErrorToText(burner->LastError);
        EXPECT_EQ(job.Result().LowestDriveBuffer, 0);
        EXPECT_EQ(job.Result().DriveBufferEmptied, 1);
    }

    options.FastBlank = true;
    std::vector<TJobProgress> blanks;
    {
        TBurnJob job(options);
        job.OnProgress = [&](const TJobProgress& p) { blanks.push_back(p); };
        ASSERT_TRUE(job.Blank(*burner)) << ScsiErrorToText(burner->LastError);
    }
    ASSERT_GE(blanks.size(), 3u);
    EXPECT_EQ(blanks.front().SecondsLeft, -1) << "no time has passed at the first report";
    for (std::size_t i = 1; i + 1 < blanks.size(); ++i) {
        SCOPED_TRACE(blanks[i].Percent);
        EXPECT_EQ(blanks[i].Sector, -1);
        EXPECT_EQ(blanks[i].BlocksPerSecond, 0);
        EXPECT_GT(blanks[i].SecondsLeft, 0);
    }
    EXPECT_EQ(blanks.back().Percent, 100);
    EXPECT_EQ(blanks.back().SecondsLeft, 0);
}

TEST_F(VirtualBurn, DriveThatCannotWriteEndsTheJobAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(Attach("not-ready=100000"));
    EXPECT_FALSE(burner->BurnDataImage(MakeImage(2048 * 10), 1));
    EXPECT_EQ(reports.status, std::vector<std::string>{"HardWare : Set Write Mode Error"});
    EXPECT_EQ(burner->LastOutcome.Step, TJobStep::WriteParameters);
    EXPECT_EQ(trace.Count(0x2A), 0);
}

TEST_F(VirtualBurn, DiscThatCannotBeWrittenFailsAtTheFirstBlock)
{
    // A DVD-ROM takes the write parameters and has no free blocks to tell; its first WRITE
    // fails, and nothing more is sent.
    ASSERT_NO_FATAL_FAILURE(Attach("media=dvd-rom"));
    EXPECT_FALSE(burner->BurnDataImage(MakeImage(2048 * 10), 1));
    EXPECT_EQ(reports.status, (std::vector<std::string>{"HardWare : Set Write Mode OK",
                                                        "Error : Write Error at sector 0 : Err_SenseIllegalRequest"}));
    EXPECT_EQ(trace.Count(0x2A), 1);
    EXPECT_EQ(trace.Count(0x35), 0);
    EXPECT_EQ(trace.Count(0x5B), 0);
    EXPECT_TRUE(writer->State().tracks.empty());
}

TEST_F(VirtualBurn, ImageShrinkingDuringTheBurnIsAnError)
{
    ASSERT_NO_FATAL_FAILURE(Attach());
    const std::string path = MakeImage(2048ull * 1500);
    burner->OnProgress = [&](int i, int) {
        if (i == 10)
            std::filesystem::resize_file(path, 2048ull * 1000);
    };
    EXPECT_FALSE(burner->BurnDataImage(path, 1));
    EXPECT_EQ(reports.status.back(), "Error : Read Error at sector 1000 : the image ended early");
    EXPECT_EQ(trace.Count(0x2A), 1000);
    EXPECT_EQ(trace.Count(0x5B), 0);
}

// Every wait calls OnWait with its phase and the step's status line, and a stop request made
// there ends the job at that call: the tray released, the outcome Interrupted.
TEST_F(VirtualBurn, EveryWaitCallsBackAndStopsOnRequest)
{
    struct Case {
        const char* options;
        bool blank;
        std::optional<TWaitPhase> stopAt;   // none: the job runs to its end
        const char* lastStatus;             // how the job's last status line starts
    };
    const Case cases[] = {
        {"busy-ms=300", false, std::nullopt, "Finished Writing : Job Done!"},
        {"busy-ms=300", false, TWaitPhase::CloseTrack,
         "Cancelled : Stopped waiting for the drive at \"Finished Writing : Closing Track\""},
        {"busy-ms=300", false, TWaitPhase::CloseSession,
         "Cancelled : Stopped waiting for the drive at \"Finished Writing : Closing Session\""},
        {"stuck-buffer", false, TWaitPhase::Buffer, "Cancelled : Writing stopped at sector "},
        {"media=cd-rw,busy-ms=400", true, TWaitPhase::Blank, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options + std::string(c.stopAt ? " stopped" : ""));
        RemoveDisc();   // each case on a fresh disc
        trace.entries.clear();
        reports = Reports();
        ASSERT_NO_FATAL_FAILURE(Attach(c.options, true));
        burner->WaitCallbackInterval = std::chrono::milliseconds(0);
        std::vector<TWaitInfo> waits;
        burner->OnWait = [&](const TWaitInfo& w) {
            // The step is the status line the job sent last.
            EXPECT_EQ(w.Step, reports.status.empty() ? std::string() : reports.status.back());
            waits.push_back(w);
            if (c.stopAt == w.Phase)
                burner->Cancel();
        };
        const bool done = c.blank ? burner->Blank(0, 0) : burner->BurnDataImage(MakeImage(2048 * 100), 1);
        EXPECT_EQ(done, !c.stopAt);
        EXPECT_FALSE(burner->CancelRequested.load());
        if (!c.blank) {
            ASSERT_FALSE(reports.status.empty());
            EXPECT_EQ(reports.status.back().rfind(c.lastStatus, 0), 0u) << reports.status.back();
        }
        std::vector<TWaitPhase> phases;
        for (const TWaitInfo& w : waits)
            if (phases.empty() || phases.back() != w.Phase)
                phases.push_back(w.Phase);
        if (!c.stopAt) {
            EXPECT_EQ(burner->LastOutcome.Step, TJobStep::None);
            // Each IMMED close is waited for, with OnWait between its polls.
            EXPECT_NE(std::find(phases.begin(), phases.end(), TWaitPhase::CloseTrack), phases.end());
            EXPECT_NE(std::find(phases.begin(), phases.end(), TWaitPhase::CloseSession), phases.end());
            EXPECT_NE(std::find(phases.begin(), phases.end(), TWaitPhase::SyncCache), phases.end());
            continue;
        }
        ASSERT_FALSE(phases.empty());
        EXPECT_EQ(phases.back(), *c.stopAt);
        EXPECT_EQ(burner->LastOutcome.Step, TJobStep::Interrupted);
        // Nothing after the stop but the flush of an open track and the tray's release.
        std::lock_guard lock(trace.mutex);
        ASSERT_FALSE(trace.entries.empty());
        EXPECT_EQ(trace.entries.back().cdb[0], 0x1E);
    }
}

TEST_F(VirtualBurn, CancelStopsAfterTheCurrentBlock)
{
    ASSERT_NO_FATAL_FAILURE(Attach());
    burner->OnProgress = [&](int i, int) {
        if (i == 10)
            burner->Cancel();
    };
    EXPECT_FALSE(burner->BurnDataImage(MakeImage(2048 * 101), 1));
    EXPECT_EQ(reports.status.back(), "Cancelled : Writing stopped at sector 11 of 101, the track is left open");
    EXPECT_EQ(trace.Count(0x2A), 11);
    EXPECT_EQ(trace.Count(0x5B), 0);
    std::lock_guard lock(trace.mutex);
    ASSERT_GE(trace.entries.size(), 2u);
    EXPECT_EQ(trace.entries[trace.entries.size() - 2].cdb[0], 0x35);
    EXPECT_EQ(trace.entries.back().cdb[0], 0x1E);
    EXPECT_EQ(trace.entries.back().cdb[4], 0);
    EXPECT_FALSE(burner->CancelRequested.load());
}

// What a burn costs the drive: per block one WRITE(10) and one READ BUFFER CAPACITY, a handful
// of commands around them, the drive scan's INQUIRY before everything else, one device open.
TEST_F(VirtualBurn, ABurnSendsTwoCommandsPerBlockThroughOneOpen)
{
    constexpr int kBlocks = 5000;
    const std::string image = MakeImage(std::uint64_t(kBlocks) * 2048);
    ASSERT_NO_FATAL_FAILURE(Attach());
    // The job runs on this thread: the sink needs no lock.
    std::vector<std::uint8_t> sent;
    win::SetScsiTraceSink([&sent](char, const win::ScsiRequest& r, bool) { sent.push_back(r.cdb[0]); });
    // The tear-down still sends commands (the tray release): the sink must not outlive `sent`.
    struct SinkGuard {
        ~SinkGuard() { win::SetScsiTraceSink(nullptr); }
    } sinkGuard;
    const auto opens = win::DeviceOpenCount();
    ASSERT_TRUE(burner->BurnDataImage(image, 1));
    EXPECT_EQ(win::DeviceOpenCount() - opens, 1u);

    const auto count = [&](std::uint8_t op) { return std::count(sent.begin(), sent.end(), op); };
    EXPECT_EQ(count(0x2A), kBlocks);
    EXPECT_EQ(count(0x5C), kBlocks + 1) << "one per block, and the gauge's last look";
    EXPECT_LE(std::ptrdiff_t(sent.size()) - 2 * kBlocks, 16) << "a handful besides (13 today)";
    EXPECT_LE(count(0x12), 1);
    const auto firstOther = std::find_if(sent.begin(), sent.end(), [](std::uint8_t op) { return op != 0x12; });
    EXPECT_EQ(std::find(firstOther, sent.end(), std::uint8_t(0x12)), sent.end()) << "no INQUIRY after the scan";

    // The next job finds the table as it was: no scan, one open again.
    sent.clear();
    std::int64_t firstDifferent = 0;
    const auto verifyOpens = win::DeviceOpenCount();
    EXPECT_TRUE(burner->VerifyImage(image, firstDifferent));
    EXPECT_EQ(win::DeviceOpenCount() - verifyOpens, 1u);
    EXPECT_EQ(count(0x12), 0);
}

// The NT family's transport by name: with the system's own version query deciding (nothing
// overridden), the device-access object takes the pass-through emulation, every command of the
// burn and of its verify reaches the writer through DeviceIoControl on its handle, and the disc
// holds the image byte for byte. On Windows this is the real call under Wine.
class SptiBurn : public VirtualBurn {};

TEST_F(SptiBurn, TheNtFamilyBurnsThroughThePassThroughIoctlByteForByte)
{
    win::OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(win::GetVersionExA(&version));
    ASSERT_EQ(version.dwPlatformId, win::VER_PLATFORM_WIN32_NT);

    constexpr std::uint32_t kBlocks = 600;
    const std::string image = MakeImage(std::uint64_t(kBlocks) * 2048);
    ASSERT_NO_FATAL_FAILURE(Attach());
    {
        TzqSCSI scsi;
        EXPECT_TRUE(scsi.Ready);
        EXPECT_EQ(scsi.AccessMethod, kAccessSpti);
        EXPECT_EQ(scsi.LibraryVersion, nullptr);
    }
    ASSERT_TRUE(burner->BurnDataImage(image, 1));
    EXPECT_EQ(reports.status, kClosedSessionLines);
    EXPECT_EQ(ScsiErrorToText(burner->LastError), "Err_None");
    EXPECT_EQ(trace.Count(0x2A), static_cast<int>(kBlocks));
    for (const auto& e : trace.entries)
        EXPECT_EQ(e.status, 0) << "opcode " << int(e.cdb[0]);

    const vdrive::DiscState disc = writer->State();
    ASSERT_EQ(disc.tracks.size(), 1u);
    EXPECT_TRUE(disc.tracks[0].closed);
    EXPECT_EQ(disc.status, vdrive::DiscStatus::Complete);
    EXPECT_TRUE(writer->Flush());
    EXPECT_EQ(ReadAll(disc.tracks[0].file), ReadAll(image));

    std::int64_t firstDifferent = 0;
    EXPECT_TRUE(burner->VerifyImage(image, firstDifferent));
    EXPECT_EQ(firstDifferent, -1);
    std::uint32_t blocksRead = 0;
    for (const auto& e : trace.entries)
        if (e.cdb[0] == 0x28)
            blocksRead += (std::uint32_t(e.cdb[7]) << 8) | e.cdb[8];
    EXPECT_EQ(blocksRead, kBlocks) << "the verify read every block back through the same path";
}

TEST_F(VirtualBurn, ASecondOpenerCannotSendCommandsIntoABurn)
{
    const std::string image = MakeImage(300 * 2048);
    ASSERT_NO_FATAL_FAILURE(Attach());
    const char* path = "\\\\.\\D:";
    const auto rw = win::GENERIC_READ | win::GENERIC_WRITE;
    bool exclusiveRefused = false, sharedOpened = false, commandRefused = false;
    burner->OnProgress = [&](int i, int) {
        if (i != 100)
            return;
        exclusiveRefused = win::CreateFileA(path, rw, 0, nullptr, win::OPEN_EXISTING, 0, nullptr) ==
                               win::INVALID_HANDLE_VALUE &&
                           win::GetLastError() == win::ERROR_SHARING_VIOLATION;
        const win::HANDLE shared = win::CreateFileA(path, rw, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                                                    win::OPEN_EXISTING, 0, nullptr);
        sharedOpened = shared != win::INVALID_HANDLE_VALUE;
        commandRefused = sharedOpened && !kvtest::TestUnitReadyThrough(shared) && win::GetLastErrno() == EBUSY;
        win::CloseHandle(shared);
    };
    ASSERT_TRUE(burner->BurnDataImage(image, 1));
    EXPECT_TRUE(exclusiveRefused);
    EXPECT_TRUE(sharedOpened);
    EXPECT_TRUE(commandRefused);
    EXPECT_EQ(reports.status, kClosedSessionLines) << "the burn itself is unaffected";
    EXPECT_TRUE(writer->Flush());
    EXPECT_EQ(ReadAll(writer->State().tracks.at(0).file), ReadAll(image));

    // After the job the drive is free again.
    const win::HANDLE after = win::CreateFileA(path, rw, 0, nullptr, win::OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(after, win::INVALID_HANDLE_VALUE);
    win::CloseHandle(after);
}

TEST_F(VirtualBurn, ADriveHeldByAnotherProgramRefusesTheJobBeforeAnythingIsSent)
{
    const std::string image = MakeImage(20 * 2048);
    ASSERT_NO_FATAL_FAILURE(Attach());
    const win::HANDLE other = win::CreateFileA("\\\\.\\D:", win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                                               win::OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, win::INVALID_HANDLE_VALUE);
    struct Job {
        const char* what;
        std::function<bool()> run;
    } jobs[] = {
        {"burn", [&] { return burner->BurnDataImage(image, 1); }},
        {"blank", [&] { return burner->Blank(0, 0); }},
        {"verify", [&] {
             std::int64_t first = 0;
             return burner->VerifyImage(image, first);
         }},
    };
    for (const auto& job : jobs) {
        reports.status.clear();
        burner->LastOutcome = TJobOutcome {};
        EXPECT_FALSE(job.run()) << job.what;
        EXPECT_EQ(burner->LastOutcome.Step, TJobStep::InUse) << job.what;
        EXPECT_EQ(reports.status, std::vector<std::string> {"Error : D: is in use by another program"}) << job.what;
    }
    EXPECT_TRUE(trace.entries.empty()) << "nothing reached the drive";
    win::CloseHandle(other);
    EXPECT_TRUE(burner->BurnDataImage(image, 1));
}

// The writer behind a proxy that answers one WRITE(10) with UNIT ATTENTION, MEDIUM MAY HAVE
// CHANGED, as a drive does after a disc swap or a reset.
class AttentionAtWrite : public win::VirtualScsiDevice {
public:
    AttentionAtWrite(std::shared_ptr<win::VirtualScsiDevice> Inner, int AtWrite) : inner(std::move(Inner)), at(AtWrite)
    {
    }
    bool Execute(win::ScsiRequest& r) override
    {
        if (attentionGiven)
            ++afterAttention;
        if (r.cdb[0] == 0x2A && ++writes == at) {
            attentionGiven = true;
            return kvtest::CheckCondition(r, 0x06, 0x28);
        }
        return inner->Execute(r);
    }
    std::string DevicePath() const override { return inner->DevicePath(); }

    std::shared_ptr<win::VirtualScsiDevice> inner;
    int at;
    int writes = 0;
    bool attentionGiven = false;
    int afterAttention = 0;
};

TEST_F(VirtualBurn, UnitAttentionDuringTheBurnEndsTheJobAndSaysSo)
{
    const std::string image = MakeImage(200 * 2048);
    ASSERT_NO_FATAL_FAILURE(Attach());
    list.reset();
    win::DetachVirtualDevice(writer);
    auto proxy = std::make_shared<AttentionAtWrite>(writer, 50);
    ASSERT_EQ(win::AttachVirtualDevice(proxy), 'D');
    struct Detach {
        std::shared_ptr<AttentionAtWrite> proxy;
        ~Detach() { win::DetachVirtualDevice(proxy); }
    } detach {proxy};
    list = std::make_unique<TCDBurnerList>();
    burner = list->Burners(0);
    ASSERT_NE(burner, nullptr);
    reports.Subscribe(*burner);

    EXPECT_FALSE(burner->BurnDataImage(image, 1));
    EXPECT_TRUE(proxy->attentionGiven);
    EXPECT_EQ(proxy->afterAttention, 0) << "nothing of the job reached the drive after it";
    EXPECT_EQ(burner->LastOutcome.Step, TJobStep::NotReady);
    EXPECT_EQ(burner->LastOutcome.Error, Err_SenseUnitAttention);
    EXPECT_EQ(burner->LastError, Err_SenseUnitAttention);
    ASSERT_FALSE(reports.status.empty());
    EXPECT_EQ(reports.status.back(),
              "Error : Unit Attention : the medium was changed or the drive was reset; the job is ended");

    // Outside the job the drive is asked again: the tray is released.
    EXPECT_TRUE(burner->UnlockMedium());
    EXPECT_GT(proxy->afterAttention, 0);
}

}  // namespace

// Media: the preflight plan and one write strategy per medium --------------------------------

namespace media {

// One row per medium of the catalogue a virtual disc can be made of (and variants of a row).
struct StrategyCase {
    const char* options;                 // attach options
    const char* disc;                    // the plan's first status line, before the burn
    int writeType;                       // of the write parameters' MODE SELECT; -1: none sent
    std::vector<std::uint8_t> closes;    // close functions of CLOSE TRACK/SESSION, in order
    bool formats;                        // FORMAT UNIT before the first WRITE
    int blocksPerWrite;
    const char* after;                   // the disc state the probe reports after the burn
};

const StrategyCase kStrategyCases[] = {
    {"media=cd-r", "Disc : CD-R, blank, 359849 blocks free", 1, {1, 2}, false, 1, "closed"},
    {"media=cd-rw", "Disc : CD-RW, blank, 359849 blocks free", 1, {1, 2}, false, 1, "closed"},
    {"media=dvd-r", "Disc : DVD-R, blank, 2295104 blocks free", 0, {1, 2}, false, 16, "closed"},
    {"media=dvd-rw", "Disc : DVD-RW, blank, 2295104 blocks free", 0, {1, 2}, false, 16, "closed"},
    {"media=dvd+r", "Disc : DVD+R, blank, 2295104 blocks free", -1, {1, 2, 5}, false, 16, "closed"},
    {"media=dvd+r-dl", "Disc : DVD+R DL, blank, 4173824 blocks free", -1, {1, 2, 6}, false, 16, "closed"},
    {"media=bd-r", "Disc : BD-R, blank, 12219392 blocks free", -1, {1, 2, 6}, false, 32, "closed"},
    {"media=bd-r-dl", "Disc : BD-R DL, blank, 24438784 blocks free", -1, {1, 2, 6}, false, 32, "closed"},
    // A formatted disc the drive calls complete, but nothing is on it yet: it reads as blank.
    {"media=dvd+rw", "Disc : DVD+RW, blank, 2295104 blocks free", -1, {}, false, 16, "written"},
    {"media=dvd+rw,unformatted", "Disc : DVD+RW, unformatted, 2295104 blocks free", -1, {}, true, 16, "written"},
    {"media=dvd-rw-ro,unformatted", "Disc : DVD-RW (restricted overwrite), unformatted, 2295104 blocks free", -1,
     {}, true, 16, "written"},
    {"media=bd-re", "Disc : BD-RE, blank, 12219392 blocks free", -1, {}, false, 32, "written"},
    {"media=bd-re-dl", "Disc : BD-RE DL, blank, 24438784 blocks free", -1, {}, false, 32, "written"},
    {"media=bd-re,unformatted", "Disc : BD-RE, unformatted, 12219392 blocks free", -1, {}, true, 32, "written"},
};

std::uint32_t LbaOf(const std::vector<std::uint8_t>& cdb)
{
    return (std::uint32_t(cdb[2]) << 24) | (cdb[3] << 16) | (cdb[4] << 8) | cdb[5];
}

}  // namespace media

TEST_F(VirtualBurn, EveryRecordableMediumBurnsWithItsOwnStrategy)
{
    // Every writable medium of the catalogue has its row here.
    const auto hasRow = [](const std::string& key) {
        return std::any_of(std::begin(media::kStrategyCases), std::end(media::kStrategyCases), [&](const auto& c) {
            return (c.options + std::string(",")).rfind("media=" + key + ",", 0) == 0;
        });
    };
    for (const kvcat::Medium& m : kvcat::Media())
        EXPECT_TRUE(!m.Writable() || !m.key || hasRow(m.key)) << m.name << " has no row in the table";
    const std::string image = MakeImage(2048 * 100 + 2048 * 3);   // 103 blocks: a partial last piece
    const auto bytes = ReadAll(image);
    for (const media::StrategyCase& c : media::kStrategyCases) {
        SCOPED_TRACE(c.options);
        RemoveDisc();
        trace.entries.clear();
        reports = Reports();
        ASSERT_NO_FATAL_FAILURE(Attach(c.options));

        const TDiscPlan plan = PlanBurn(*burner, 103);
        ASSERT_TRUE(plan.CanBurn()) << plan.Refusal;
        // Burnt from the descriptor its check opened, against the sum published for it.
        const TImageFile opened(image);
        std::string error;
        TPublishedDigest published;
        published.Found = true;
        published.Hex = DigestFile(image, TDigestKind::Sha256, nullptr, error);
        ASSERT_TRUE(BurnPlannedImage(*burner, opened, published, plan, 1)) << reports.status.back();
        EXPECT_EQ(burner->BurntSha256, published.Hex);
        EXPECT_EQ(burner->BurntPublishedHex, published.Hex);
        EXPECT_TRUE(burner->LastOutcome.Succeeded());
        ASSERT_FALSE(reports.status.empty());
        EXPECT_EQ(reports.status.front(), c.disc);
        EXPECT_EQ(reports.status.back(), "Finished Writing : Job Done!");

        // The strategy as the drive saw it.
        std::vector<std::uint8_t> closes;
        int writes = 0, formatsBeforeWrite = 0, modeSelects = 0;
        std::uint32_t nextLba = 0;
        for (const auto& e : trace.entries) {
            if (e.cdb[0] == 0x5B) closes.push_back(e.cdb[2] & 0x07);
            if (e.cdb[0] == 0x55) ++modeSelects;
            if (e.cdb[0] == 0x04 && writes == 0) ++formatsBeforeWrite;
            if (e.cdb[0] == 0x2A) {
                EXPECT_EQ(media::LbaOf(e.cdb), nextLba);
                const int count = (e.cdb[7] << 8) | e.cdb[8];
                EXPECT_EQ(count, std::min(c.blocksPerWrite, int(103 - nextLba)));
                nextLba += static_cast<std::uint32_t>(count);
                ++writes;
            }
            EXPECT_EQ(e.status, 0) << "opcode " << int(e.cdb[0]) << " refused";
        }
        EXPECT_EQ(nextLba, 103u);
        EXPECT_EQ(closes, c.closes);
        EXPECT_EQ(modeSelects > 0, c.writeType >= 0);
        EXPECT_EQ(formatsBeforeWrite, c.formats ? 1 : 0);
        if (c.writeType >= 0) {
            // The row's write type, data block type 8.
            std::uint8_t page[60] = {};
            std::uint32_t length = sizeof page;
            ASSERT_EQ(ScsiGetModePage(burner->Info, 0x05, page, length, burner->CommandSettings), Err_None);
            EXPECT_EQ(page[2] & 0x0F, c.writeType);
            EXPECT_EQ(page[4], 8);
        }
        EXPECT_FALSE(reports.outOfRange);
        ASSERT_FALSE(reports.progress.empty());
        EXPECT_EQ(reports.progress.back(), std::make_pair(102, 100));
        EXPECT_EQ(reports.bytesRead, std::int64_t(bytes.size()));

        std::int64_t firstDifferent = 0;
        EXPECT_TRUE(burner->VerifyImage(opened, published, firstDifferent));
        EXPECT_EQ(burner->ReadBackSha256, published.Hex);
        EXPECT_EQ(burner->PublishedComparison, "the disc matches the published SHA-256");
        ExpectOneTrackStartingWith(bytes);
        EXPECT_STREQ(DiscStateText(ProbeDisc(*burner).State), c.after);
    }
}

// The image is read once, through the descriptor its check opened: bytes changed in place
// after the check are burnt, but the burn fails for them, and so does a change of the file's
// size or modification time, on the CD path and on every other.
TEST_F(VirtualBurn, AnImageThatChangesWhileItIsBurntFailsTheBurn)
{
    // Past the first read-ahead (1000 blocks), so the change is read after the burn has begun.
    constexpr std::uint64_t kBlocks = 1100;
    constexpr std::uint64_t kChanged = 2048 * 1050 + 7;
    enum class Change { None, BytesKeepingTheTime, Size, BeforeTheBurn };
    struct Case {
        const char* what;
        const char* media;
        Change change;
        TDigestKind published;
        bool burnt;
        TJobStep step;
        std::string lastLine;   // "<burnt>" and "<published>" stand for the sums
    };
    const std::string kBytes = "Error : the image changed while it was burnt : SHA-256 of the bytes burnt <burnt>, published <published>";
    const std::vector<Case> cases = {
        {"unchanged", "media=cd-r", Change::None, TDigestKind::Sha256, true, TJobStep::None, "Finished Writing : Job Done!"},
        {"bytes, CD", "media=cd-r", Change::BytesKeepingTheTime, TDigestKind::Sha256, false, TJobStep::ImageChanged, kBytes},
        {"bytes, DVD+R", "media=dvd+r", Change::BytesKeepingTheTime, TDigestKind::Sha256, false, TJobStep::ImageChanged,
         kBytes},
        {"bytes, MD5 published", "media=dvd-r", Change::BytesKeepingTheTime, TDigestKind::Md5, false,
         TJobStep::ImageChanged, "Error : the image changed while it was burnt : MD5 of the bytes burnt <burnt>, published <published>"},
        {"size, CD", "media=cd-r", Change::Size, TDigestKind::Sha256, false, TJobStep::ImageChanged,
         "Error : the image changed while it was burnt : its size changed"},
        {"size, BD-R", "media=bd-r", Change::Size, TDigestKind::Sha256, false, TJobStep::ImageChanged,
         "Error : the image changed while it was burnt : its size changed"},
        {"before the burn, CD", "media=cd-r", Change::BeforeTheBurn, TDigestKind::Sha256, false, TJobStep::Input,
         "Error : the image changed after it was checked : its size changed; nothing was written"},
        {"before the burn, DVD-RW", "media=dvd-rw", Change::BeforeTheBurn, TDigestKind::Sha256, false, TJobStep::Input,
         "Error : the image changed after it was checked : its size changed; nothing was written"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveDisc();
        trace.entries.clear();
        reports = Reports();
        ASSERT_NO_FATAL_FAILURE(Attach(c.media));
        const std::string image = MakeImage(2048 * kBlocks);
        std::string error;
        TPublishedDigest published;
        published.Found = true;
        published.Kind = c.published;
        published.Hex = DigestFile(image, c.published, nullptr, error);
        const TImageFile opened(image);
        const TDiscPlan plan = PlanBurn(*burner, kBlocks);
        ASSERT_TRUE(plan.CanBurn()) << plan.Refusal;

        const auto change = [&] {
            const auto time = std::filesystem::last_write_time(image);
            std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
            if (c.change == Change::BytesKeepingTheTime) {
                f.seekp(static_cast<std::streamoff>(kChanged));
                f.put(static_cast<char>(PatternByte(kChanged) ^ 0xFF));
            } else {
                f.seekp(0, std::ios::end);
                f.put('+');
            }
            f.close();
            // Its time put back, as a copy tool or a careful hand would: only the sum tells.
            if (c.change == Change::BytesKeepingTheTime) std::filesystem::last_write_time(image, time);
        };
        if (c.change == Change::BeforeTheBurn) change();
        bool changed = false;
        burner->OnProgress = [&](int index, int) {
            if (index >= 3 && c.change != Change::None && c.change != Change::BeforeTheBurn && !changed) {
                change();
                changed = true;
            }
        };
        EXPECT_EQ(BurnPlannedImage(*burner, opened, published, plan, 1), c.burnt);
        EXPECT_EQ(burner->LastOutcome.Step, c.step) << reports.status.back();
        std::string line = c.lastLine;
        if (const auto at = line.find("<burnt>"); at != std::string::npos) {
            line.replace(at, 7, burner->BurntPublishedHex);
            line.replace(line.find("<published>"), 11, published.Hex);
        }
        ASSERT_FALSE(reports.status.empty());
        EXPECT_EQ(reports.status.back(), line);

        // What the burn handed to the drive is what its sums say, and what the disc holds.
        auto bytes = ReadAll(image);
        bytes.resize(2048 * kBlocks);
        TDigest sha(TDigestKind::Sha256), kind(c.published);
        sha.Update(bytes.data(), bytes.size());
        kind.Update(bytes.data(), bytes.size());
        if (c.change == Change::BeforeTheBurn) {
            EXPECT_TRUE(burner->BurntSha256.empty());
            for (const std::uint8_t opcode : {0x55, 0x2A, 0x5B, 0x04, 0xA1, 0x53})
                EXPECT_EQ(trace.Count(opcode), 0) << "opcode " << int(opcode);
            continue;
        }
        EXPECT_EQ(burner->BurntSha256, sha.FinalHex());
        const std::string burntKind = kind.FinalHex();
        EXPECT_EQ(burner->BurntPublishedHex, burntKind);
        EXPECT_EQ(burntKind == published.Hex, c.change != Change::BytesKeepingTheTime);
        ExpectOneTrackStartingWith(bytes);

        // The verify holds the disc to the published sum, and to nothing once the file changed.
        std::int64_t firstDifferent = 0;
        const bool verified = burner->VerifyImage(opened, published, firstDifferent);
        EXPECT_EQ(firstDifferent, -1);
        switch (c.change) {
        case Change::None:
            EXPECT_TRUE(verified);
            EXPECT_EQ(burner->PublishedComparison, "the disc matches the published SHA-256");
            break;
        case Change::BytesKeepingTheTime:
            EXPECT_FALSE(verified);
            EXPECT_EQ(burner->LastOutcome.Step, TJobStep::Verify);
            EXPECT_EQ(burner->PublishedComparison, std::string("the disc does not match the published ") +
                                                       DigestName(c.published));
            break;
        case Change::Size:
        case Change::BeforeTheBurn:
            EXPECT_FALSE(verified);
            EXPECT_EQ(burner->LastOutcome.Step, TJobStep::ImageChanged);
            EXPECT_TRUE(burner->ReadBackSha256.empty());
            break;
        }
    }
}

TEST_F(VirtualBurn, DiscsThatCannotTakeTheImageAreRefusedBeforeAnyWrite)
{
    const std::string image = MakeImage(2048 * 10);
    struct Case {
        const char* options;
        bool burnFirst;        // a burn makes the disc used first
        bool blankAsNeeded;
        TPlanVerdict verdict;
        const char* message;
    };
    const Case cases[] = {
        {"media=cd-rom", false, false, TPlanVerdict::ReadOnly, "The disc in D: is a CD-ROM and cannot be written."},
        {"media=dvd-rom", false, false, TPlanVerdict::ReadOnly, "The disc in D: is a DVD-ROM and cannot be written."},
        {"media=bd-rom", false, false, TPlanVerdict::ReadOnly, "The disc in D: is a BD-ROM and cannot be written."},
        {"media=cd-r", true, false, TPlanVerdict::NotBlank,
         "The disc in D: is not blank (closed CD-R, 1 session). Insert a blank disc."},
        {"media=dvd+r", true, true, TPlanVerdict::NotBlank,
         "The disc in D: is not blank (closed DVD+R, 1 session). Insert a blank disc."},
        {"media=cd-rw", true, false, TPlanVerdict::NeedsBlank, "The disc in D: is not blank. Blank it first."},
        {"media=dvd-rw", true, false, TPlanVerdict::NeedsBlank, "The disc in D: is not blank. Blank it first."},
        {"media=cd-r,capacity=9", false, false, TPlanVerdict::TooSmall,
         "Image larger than disc (10 blocks needed, 9 free)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        RemoveDisc();
        ASSERT_NO_FATAL_FAILURE(Attach(c.options));
        if (c.burnFirst) {
            ASSERT_TRUE(BurnPlannedImage(*burner, image, PlanBurn(*burner, 10), 1));
        }
        trace.entries.clear();
        reports = Reports();

        const TDiscPlan plan = PlanBurn(*burner, 10, c.blankAsNeeded);
        EXPECT_EQ(plan.Verdict, c.verdict);
        EXPECT_EQ(plan.Refusal, c.message);
        EXPECT_EQ(reports.status, std::vector<std::string>{std::string("Error : ") + c.message});
        EXPECT_EQ(burner->LastOutcome.Step, c.verdict == TPlanVerdict::TooSmall ? TJobStep::Input : TJobStep::Medium);
        EXPECT_FALSE(BurnPlannedImage(*burner, image, plan, 1));
        // Nothing written, no write parameters, no tray lock.
        EXPECT_EQ(trace.Count(0x2A), 0);
        EXPECT_EQ(trace.Count(0x55), 0);
        EXPECT_EQ(trace.Count(0x5B), 0);
        // Refused before anything that changes the disc: the tray was never locked, so nothing
        // releases it either (a mounted disc's or another program's lock is not ours).
        EXPECT_EQ(trace.Count(0x1E), 0);
        EXPECT_FALSE(burner->TrayLockedByUs());
    }
}

TEST_F(VirtualBurn, UsedRewritableDiscIsBlankedFirstWhenAsked)
{
    const std::string first = MakeImage(2048 * 20);
    const std::string second = MakeImage(2048 * 7);
    for (const char* options : {"media=cd-rw", "media=dvd-rw"}) {
        SCOPED_TRACE(options);
        RemoveDisc();
        ASSERT_NO_FATAL_FAILURE(Attach(options));
        ASSERT_TRUE(BurnPlannedImage(*burner, first, PlanBurn(*burner, 20), 1));
        reports = Reports();
        trace.entries.clear();

        const TDiscPlan plan = PlanBurn(*burner, 7, true);
        ASSERT_TRUE(plan.CanBurn()) << plan.Refusal;
        EXPECT_TRUE(plan.BlankFirst);
        ASSERT_TRUE(BurnPlannedImage(*burner, second, plan, 1));
        ASSERT_GE(reports.status.size(), 3u);
        EXPECT_EQ(reports.status[1].rfind("Blanking : ", 0), 0u);
        EXPECT_EQ(reports.status[2], "Blanking Finished!");
        // The blank's own progress reached 100 before the first block was written.
        const auto firstWrite = std::find_if(reports.progress.begin(), reports.progress.end(),
                                             [](const auto& p) { return p.first > 0; });
        EXPECT_NE(std::find(reports.progress.begin(), firstWrite, std::make_pair(0, 100)), firstWrite);
        std::int64_t firstDifferent = 0;
        EXPECT_TRUE(burner->VerifyImage(second, firstDifferent));
        EXPECT_EQ(writer->State().tracks.size(), 1u);
    }
}

// A job locks the tray from its first command that changes the disc to its end and releases it
// on every path: a burn that ends well, one whose write fails, one stopped on request, one whose
// image ends early, on a CD and on a DVD, and a blank before a burn (one lock over both).
TEST_F(VirtualBurn, AJobLocksTheTrayAndReleasesItOnEveryPath)
{
    struct Case {
        const char* name;
        const char* options;
        bool blankFirst;        // a used disc blanked before the burn
        int cancelAtBlock;      // -1: none
        bool missingImage;      // the image cannot be opened: the burn raises before the job
        bool burned;
    };
    const Case cases[] = {
        {"cd-r burnt", "media=cd-r", false, -1, false, true},
        {"cd-r write error", "media=cd-r,fail-write-at=6", false, -1, false, false},
        {"cd-r stopped", "media=cd-r", false, 4, false, false},
        {"cd-r image missing", "media=cd-r", false, -1, true, false},
        {"dvd+r burnt", "media=dvd+r", false, -1, false, true},
        {"dvd-r stopped", "media=dvd-r", false, 4, false, false},
        {"dvd-r write error", "media=dvd-r,fail-write-at=6", false, -1, false, false},
        {"cd-rw blanked and burnt", "media=cd-rw", true, -1, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveDisc();
        const std::string image = c.missingImage ? dir / "missing.iso" : MakeImage(2048 * 40);
        ASSERT_NO_FATAL_FAILURE(Attach(c.options));
        if (c.blankFirst) {
            ASSERT_TRUE(BurnPlannedImage(*burner, MakeImage(2048 * 3), PlanBurn(*burner, 3), 1));
        }
        trace.entries.clear();
        const TDiscPlan plan = PlanBurn(*burner, 40, c.blankFirst);
        ASSERT_TRUE(plan.CanBurn()) << plan.Refusal;
        ASSERT_EQ(plan.BlankFirst, c.blankFirst);
        ASSERT_FALSE(burner->TrayLockedByUs()) << "the preflight locks nothing";

        int ejectsRefused = 0, ejectsTried = 0;
        burner->OnProgress = [&](std::int32_t index, std::int32_t) {
            // A user pressing the eject button while the job writes: the drive refuses.
            if (index >= 2 && ejectsTried == 0) {
                ++ejectsTried;
                ejectsRefused += writer->EjectTray() ? 0 : 1;
            }
            if (c.cancelAtBlock >= 0 && index >= c.cancelAtBlock)
                burner->Cancel();
        };
        bool burned = false, raised = false;
        try {
            burned = BurnPlannedImage(*burner, image, plan, 1);
        } catch (const std::exception&) {
            raised = true;
        }
        EXPECT_EQ(burned, c.burned) << (reports.status.empty() ? "" : reports.status.back());
        EXPECT_EQ(raised, c.missingImage);
        EXPECT_EQ(ejectsTried, c.missingImage ? 0 : 1);
        EXPECT_EQ(ejectsRefused, ejectsTried) << "the tray was not locked while the job wrote";
        EXPECT_FALSE(burner->TrayLockedByUs());

        // One PREVENT (1) before anything that changes the disc, one ALLOW (0) as the last command.
        std::vector<std::vector<std::uint8_t>> sent;
        {
            std::lock_guard lock(trace.mutex);
            for (const auto& e : trace.entries) sent.push_back(e.cdb);
        }
        std::vector<std::uint8_t> prevents;
        for (const auto& cdb : sent)
            if (cdb[0] == 0x1E)
                prevents.push_back(cdb[4]);
        const auto locked = std::find_if(sent.begin(), sent.end(), [](const auto& cdb) { return cdb[0] == 0x1E; });
        const auto firstChange = std::find_if(sent.begin(), sent.end(), [](const auto& cdb) {
            return cdb[0] == 0x55 || cdb[0] == 0x2A || cdb[0] == 0xA1 || cdb[0] == 0x04 || cdb[0] == 0x5B;
        });
        if (c.missingImage) {
            // The image is opened before the job starts: nothing that changes the disc was sent,
            // so nothing was locked either.
            EXPECT_TRUE(prevents.empty());
            EXPECT_EQ(firstChange, sent.end());
            continue;
        }
        EXPECT_EQ(prevents, (std::vector<std::uint8_t>{1, 0}));
        EXPECT_LT(locked, firstChange);
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back(), (std::vector<std::uint8_t>{0x1E, 0, 0, 0, 0, 0}));
        // And the tray opens again.
        EXPECT_TRUE(writer->EjectTray());
        writer->CloseTray();
    }
}

// The CD burn after the preflight is the CD burn of old, command for command and line for line.
TEST_F(VirtualBurn, CdBurnAfterThePreflightIsUnchanged)
{
    const std::string image = MakeImage(2048 * 5);
    ASSERT_NO_FATAL_FAILURE(Attach("media=cd-r"));
    ASSERT_TRUE(burner->BurnDataImage(image, 1));
    std::vector<std::vector<std::uint8_t>> oldTrace;
    for (const auto& e : trace.entries) oldTrace.push_back(e.cdb);

    RemoveDisc();
    trace.entries.clear();
    reports = Reports();
    ASSERT_NO_FATAL_FAILURE(Attach("media=cd-r"));
    const TDiscPlan plan = PlanBurn(*burner, 5);
    const std::size_t preflight = trace.entries.size();
    ASSERT_TRUE(BurnPlannedImage(*burner, image, plan, 1));

    // The preflight asks and writes nothing: GET CONFIGURATION, READ DISC and TRACK INFORMATION.
    std::vector<std::uint8_t> asked;
    for (std::size_t i = 0; i < preflight; ++i) asked.push_back(trace.entries[i].cdb[0]);
    EXPECT_EQ(asked, (std::vector<std::uint8_t>{0x46, 0x51, 0x52}));
    std::vector<std::vector<std::uint8_t>> newTrace;
    for (std::size_t i = preflight; i < trace.entries.size(); ++i) newTrace.push_back(trace.entries[i].cdb);
    EXPECT_EQ(newTrace, oldTrace);

    std::vector<std::string> expected = {"Disc : CD-R, blank, 359849 blocks free"};
    expected.insert(expected.end(), kClosedSessionLines.begin(), kClosedSessionLines.end());
    EXPECT_EQ(reports.status, expected);
    // Today's CD burn, as a golden sequence: the tray locked, write parameters, free blocks, 5
    // one-block writes each with a buffer query, then sync, close track (IMMED) and session
    // (IMMED) with syncs, and the tray released.
    std::vector<std::uint8_t> ops;
    for (const auto& c : newTrace)
        if (c[0] != 0x00 && c[0] != 0x5C) ops.push_back(c[0]);
    EXPECT_EQ(ops, (std::vector<std::uint8_t>{0x1E, 0x5A, 0x5A, 0x55, 0x52, 0x2A, 0x2A, 0x2A, 0x2A, 0x2A, 0x35, 0x5B,
                                              0x35, 0x5B, 0x35, 0x1E}));
    ASSERT_FALSE(newTrace.empty());
    EXPECT_EQ(newTrace.front(), (std::vector<std::uint8_t>{0x1E, 0, 0, 0, 1, 0})) << "prevent";
    EXPECT_EQ(newTrace.back(), (std::vector<std::uint8_t>{0x1E, 0, 0, 0, 0, 0})) << "allow";
    EXPECT_FALSE(burner->TrayLockedByUs());
}

// A rescue image of today (1.5 GB) fits a DVD+R and a BD-R (a CD's room, 359849 blocks, is the
// media table's cd-r row). The image is sparse, the drive of unlimited speed.
TEST_F(VirtualBurn, LargeImageBurnsOnDvdAndBd)
{
    const std::string image = dir / "large.iso";
    constexpr std::uint64_t kBytes = 1536ull * 1024 * 1024;
    { std::ofstream(image, std::ios::binary); }
    std::filesystem::resize_file(image, kBytes);
    constexpr std::int64_t kBlocks = kBytes / 2048;

    for (const char* options : {"media=dvd+r", "media=bd-r"}) {
        SCOPED_TRACE(options);
        RemoveDisc();
        ASSERT_NO_FATAL_FAILURE(Attach(options));
        burner->OnBufferProgress = nullptr;   // one buffer query per piece is enough here
        const TDiscPlan plan = PlanBurn(*burner, kBlocks);
        ASSERT_TRUE(plan.CanBurn()) << plan.Refusal;
        ASSERT_TRUE(BurnPlannedImage(*burner, image, plan, 1)) << reports.status.back();
        EXPECT_TRUE(writer->Flush());
        const vdrive::DiscState disc = writer->State();
        ASSERT_EQ(disc.tracks.size(), 1u);
        EXPECT_EQ(disc.tracks[0].blocks, std::uint32_t(kBlocks));
        EXPECT_EQ(std::filesystem::file_size(disc.tracks[0].file), kBytes);
        EXPECT_STREQ(DiscStateText(ProbeDisc(*burner).State), "closed");
        std::filesystem::remove(disc.tracks[0].file);
    }
}
