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
#include <system_error>

#include "TempDir.h"
#include "burner/CDBurner.h"
#include "burner/CDBurners.h"
#include "platform/VirtualDevice.h"
#include "vdrive/VirtualWriter.h"

namespace {

std::vector<std::uint8_t> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What a job reported through the writer's events.
struct Reports {
    std::vector<std::string> status;
    std::vector<std::pair<int, int>> progress;
    std::int64_t bytesRead = -1;
    int bufferProgressCalls = 0;
    int bufferStatusCalls = 0;
    int fileBufferCalls = 0;
    bool outOfRange = false;

    void Subscribe(TCDBurner& b)
    {
        b.OnStatus = [this](const std::string& s) { status.push_back(s); };
        b.OnProgress = [this](int i, int p) {
            progress.emplace_back(i, p);
            outOfRange |= p < 0 || p > 100;
        };
        b.OnBytesRead = [this](std::int64_t total) { bytesRead = total; };
        b.OnBufferProgress = [this](int p) {
            ++bufferProgressCalls;
            outOfRange |= p < 0 || p > 100;
        };
        b.OnBufferStatus = [this](int, int) { ++bufferStatusCalls; };
        b.OnFileBufferProgress = [this](int p) {
            ++fileBufferCalls;
            outOfRange |= p < 0 || p > 100;
        };
    }
};

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

class VirtualBurn : public ::testing::Test {
protected:
    // With a manual clock the drive's time moves 50 ms per TEST UNIT READY, so busy times
    // are seen the same way however slowly the test runs.
    void Attach(const std::string& options = "", bool manualClock = false)
    {
        win::SetKernelDevicePathsForTesting({});
        std::string error;
        if (manualClock)
            clock = std::make_shared<vdrive::ManualClock>();
        writer = vdrive::AttachVirtualDrive(dir / "disc.cue" + (options.empty() ? "" : "," + options), error, clock);
        ASSERT_TRUE(writer) << error;
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
        list = std::make_unique<TCDBurnerList>();
        for (int i = 0; i < list->Count(); ++i)
            if (list->Burners(i)->Info.DriveLetter == writer->DriveLetter())
                burner = list->Burners(i);
        ASSERT_NE(burner, nullptr);
        burner->ReadyPollInterval = std::chrono::milliseconds(5);
        reports.Subscribe(*burner);
    }
    void TearDown() override
    {
        list.reset();
        win::SetScsiTraceSink(nullptr);
        if (writer)
            vdrive::DetachVirtualDrive(writer);
        win::ResetKernelDevicePathsForTesting();
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

    TempDir dir;
    std::shared_ptr<vdrive::ManualClock> clock;
    std::shared_ptr<vdrive::VirtualWriter> writer;
    std::unique_ptr<TCDBurnerList> list;
    TCDBurner* burner = nullptr;
    Reports reports;
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

    // One WRITE(10) of one block per block, at addresses 0 .. n-1.
    ASSERT_EQ(trace.Count(0x2A), static_cast<int>(blocks));
    std::uint32_t expectedLba = 0;
    for (const auto& e : trace.entries) {
        if (e.cdb[0] == 0x2A) {
            const std::uint32_t lba = (std::uint32_t(e.cdb[2]) << 24) | (e.cdb[3] << 16) | (e.cdb[4] << 8) | e.cdb[5];
            EXPECT_EQ(lba, expectedLba++);
            EXPECT_EQ(e.cdb[8], 1);
        }
    }

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
    }
    EXPECT_EQ(trace.Count(0x2A), 0);
    EXPECT_EQ(trace.Count(0x5B), 0);
    EXPECT_TRUE(writer->State().tracks.empty());

    // A missing image raises (the front end says it could not create the CD).
    EXPECT_THROW(burner->BurnDataImage(dir / "no-such.iso", 1), std::system_error);
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

TEST_F(VirtualBurn, DriveThatCannotWriteEndsTheJobAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(Attach("not-ready=100000"));
    EXPECT_FALSE(burner->BurnDataImage(MakeImage(2048 * 10), 1));
    EXPECT_EQ(reports.status, std::vector<std::string>{"HardWare : Set Write Mode Error"});
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

// A drive reached only through another program's handle: TEST UNIT READY through the platform.
bool OtherProgramTestUnitReady(win::HANDLE h)
{
    win::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER block {};
    block.sptd.Length = sizeof(win::SCSI_PASS_THROUGH_DIRECT);
    block.sptd.CdbLength = 6;
    block.sptd.SenseInfoLength = 32;
    block.sptd.DataIn = win::SCSI_IOCTL_DATA_UNSPECIFIED;
    block.sptd.TimeOutValue = 10;
    block.sptd.SenseInfoOffset = offsetof(win::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuf);
    win::DWORD returned = 0;
    return win::DeviceIoControl(h, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block, sizeof block,
                                &returned, nullptr) != win::FALSE;
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
        commandRefused = sharedOpened && !OtherProgramTestUnitReady(shared) && win::GetLastErrno() == EBUSY;
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
            r.status = 2;
            std::memset(r.sense, 0, sizeof r.sense);
            r.sense[0] = 0x70;
            r.sense[2] = 0x06;
            r.sense[7] = 10;
            r.sense[12] = 0x28;
            r.senseLength = 18;
            r.residual = r.dataLength;
            return true;
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
