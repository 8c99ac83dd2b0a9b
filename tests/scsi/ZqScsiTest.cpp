#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <future>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ScsiFixture.h"
#include "support/OtherProgram.h"
#include "scsi/zqSCSI.h"

namespace {

using namespace std::chrono_literals;
using kvtest::ScriptedReply;

TCDBurnerInfo InfoFor(std::uint8_t ha, std::uint8_t target, std::uint8_t lun = 0) {
    TCDBurnerInfo info;
    info.HaId = ha;
    info.Target = target;
    info.Lun = lun;
    return info;
}

using DeviceAccess = ScsiTest;

TEST_F(DeviceAccess, CheckConditionBecomesTheSenseKeyValue) {
    auto device = Attach("DRIVE");
    TScsiDefaults defaults;
    for (std::uint8_t key = 0; key < 16; ++key) {
        device->QueueReply(ScriptedReply::CheckCondition(key, 0x30 + key, 0x01));
        // A unit attention is asked once more (see below): this drive keeps answering it.
        if (key == 6) device->QueueReply(ScriptedReply::CheckCondition(key, 0x30 + key, 0x01));
        const std::uint8_t cdb[6] = {0x00};
        const TScsiError result = ExecScsiCommand(InfoFor(200, 0), cdb, 6, nullptr, 0, SRB_DIR_NONE, defaults);
        EXPECT_EQ(result, static_cast<TScsiError>(34 + key)) << int(key);
        // The sense bytes stay readable after the command (ASC at 12, ASCQ at 13).
        EXPECT_EQ(defaults.SenseArea[2], key);
        EXPECT_EQ(defaults.SenseArea[12], 0x30 + key);
        EXPECT_EQ(defaults.SenseArea[13], 0x01);
        EXPECT_EQ(defaults.SenseArea[14], 0) << "14 sense bytes only";
    }
    device->QueueReply(ScriptedReply::CheckCondition(5, 0x24));
    const std::uint8_t readDvdStructure[12] = {0xAD};
    EXPECT_EQ(ExecScsiCommand(InfoFor(200, 0), readDvdStructure, 12, nullptr, 0, 0, defaults),
              Err_SenseIllegalRequest);
    EXPECT_EQ(ScsiErrorToText(Err_SenseIllegalRequest), "Err_SenseIllegalRequest");
}

TEST_F(DeviceAccess, OtherFailuresAreUnknown) {
    auto device = Attach("DRIVE");
    TScsiDefaults defaults;
    const std::uint8_t cdb[6] = {0x00};
    struct Case {
        const char* what;
        ScriptedReply reply;
    } cases[] = {
        {"BUSY", ScriptedReply::Status(0x08)},
        {"RESERVATION CONFLICT", ScriptedReply::Status(0x18)},
        {"failed pass-through call", ScriptedReply::TransportFailure()},
    };
    for (const auto& c : cases) {
        device->QueueReply(c.reply);
        EXPECT_EQ(ExecScsiCommand(InfoFor(200, 0), cdb, 6, nullptr, 0, 0, defaults), Err_Unknown) << c.what;
    }
    EXPECT_EQ(ExecScsiCommand(InfoFor(200, 0), cdb, 6, nullptr, 0, 0, defaults), Err_None);
    // An address the emulation does not know never reaches a drive.
    const auto before = device->CommandCount();
    EXPECT_EQ(ExecScsiCommand(InfoFor(200, 9), cdb, 6, nullptr, 0, 0, defaults), Err_Unknown);
    EXPECT_EQ(ExecScsiCommand(InfoFor(0, 0), cdb, 6, nullptr, 0, 0, defaults), Err_Unknown);
    EXPECT_EQ(device->CommandCount(), before) << "the table is kept: no scan, and nothing reaches a drive";
}

TEST_F(DeviceAccess, DataReachesTheCallerAndTheTimeoutRecordIsNotApplied) {
    auto device = Attach("DRIVE");
    device->OnOpcode(0x5A, ScriptedReply::Good({1, 2, 3, 4}));
    TScsiDefaults defaults;
    defaults.Timeout = 1;   // milliseconds; the pass-through time-out stays at 120 seconds
    std::uint8_t buffer[8] = {};
    const std::uint8_t cdb[10] = {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 8, 0};
    EXPECT_EQ(ExecScsiCommand(InfoFor(200, 0), cdb, 10, buffer, sizeof buffer, SRB_DIR_IN, defaults), Err_None);
    EXPECT_EQ(buffer[3], 4);
    const auto last = device->Commands().back();
    EXPECT_EQ(last.timeoutSeconds, 120u);
    EXPECT_EQ(last.cdb, std::vector<std::uint8_t>(cdb, cdb + 10));
    EXPECT_EQ(last.direction, win::ScsiRequest::Direction::In);

    std::uint8_t payload[4] = {9, 8, 7, 6};
    const std::uint8_t write[10] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    EXPECT_EQ(ExecScsiCommand(InfoFor(200, 0), write, 10, payload, 4, SRB_DIR_OUT, defaults), Err_None);
    EXPECT_EQ(device->Commands().back().dataOut, std::vector<std::uint8_t>(payload, payload + 4));
}

TEST_F(DeviceAccess, FFCommandCompletesWithoutReachingADrive) {
    auto device = Attach("DRIVE");
    TScsiDefaults defaults;
    const std::uint8_t cdb[6] = {0xFF};
    EXPECT_EQ(ExecScsiCommand(InfoFor(200, 0), cdb, 6, nullptr, 0, 0, defaults), Err_None);
    EXPECT_EQ(ExecScsiCommand(InfoFor(7, 7, 7), cdb, 6, nullptr, 0, 0, defaults), Err_None)
        << "not even the address is checked";
    for (const auto& c : device->Commands()) EXPECT_EQ(c.cdb[0], 0x12) << "only scan INQUIRYs";
}

TEST_F(DeviceAccess, SenseAreaIsZeroedEvenWithoutATransport) {
    win::SetVersionForTesting(win::VER_PLATFORM_WIN32s, 1, 0);
    TScsiDefaults defaults;
    std::memset(defaults.SenseArea, 0x5A, sizeof defaults.SenseArea);
    const std::uint8_t cdb[6] = {0x00};
    EXPECT_EQ(ExecScsiCommand(InfoFor(200, 0), cdb, 6, nullptr, 0, 0, defaults), Err_Unknown);
    for (std::uint8_t b : defaults.SenseArea) ASSERT_EQ(b, 0);
    TzqSCSI scsi;
    EXPECT_FALSE(scsi.Ready);
}

TEST_F(DeviceAccess, Windows95WithoutAnAspiLibraryIsNotReady) {
    win::SetVersionForTesting(win::VER_PLATFORM_WIN32_WINDOWS, 4, 10);
    auto device = Attach("DRIVE");
    {
        TzqSCSI scsi;
        EXPECT_FALSE(scsi.Ready);
        EXPECT_EQ(AspiTransportHandle, nullptr);
    }
    TScsiDefaults defaults;
    const std::uint8_t cdb[6] = {0x00};
    EXPECT_EQ(ExecScsiCommand(InfoFor(200, 0), cdb, 6, nullptr, 0, 0, defaults), Err_Unknown);
    EXPECT_EQ(device->CommandCount(), 0u);
}

std::size_t CountOf(const kvtest::ScriptedDevice& device, std::uint8_t opcode) {
    std::size_t n = 0;
    for (const auto& c : device.Commands()) n += c.cdb[0] == opcode;
    return n;
}

TEST_F(DeviceAccess, NtConstructionScansOnlyWhenTheDrivesChanged) {
    auto first = Attach("FIRST");
    {
        TzqSCSI scsi;
        EXPECT_TRUE(scsi.Ready);
        EXPECT_EQ(scsi.AccessMethod, kAccessSpti);
        EXPECT_EQ(AspiSendCommand, &SptiSendCommand);
        EXPECT_EQ(AspiSupportInfo(), 0x01u << 8 | 201u);
        EXPECT_TRUE(SptiDriveTable.Drives[3].Used);
    }
    EXPECT_TRUE(SptiDriveTable.Drives[3].Used) << "the table outlives the command";

    // Commands to an unchanged set of drives cost the drive nothing but themselves.
    TScsiDefaults defaults;
    const std::uint8_t cdb[6] = {0x00};
    for (int i = 0; i < 5; ++i) ASSERT_EQ(ExecScsiCommand(InfoFor(200, 0), cdb, 6, nullptr, 0, 0, defaults), Err_None);
    EXPECT_EQ(CountOf(*first, 0x12), 1u);
    EXPECT_EQ(CountOf(*first, 0x00), 5u);

    // A drive added is found by the next command, a drive removed is gone at the next one.
    auto second = Attach("SECOND");
    EXPECT_EQ(ExecScsiCommand(InfoFor(200, 1), cdb, 6, nullptr, 0, 0, defaults), Err_None);
    EXPECT_EQ(CountOf(*first, 0x12), 2u);
    EXPECT_EQ(CountOf(*second, 0x12), 1u);
    win::DetachVirtualDevice(second);
    EXPECT_EQ(ExecScsiCommand(InfoFor(200, 1), cdb, 6, nullptr, 0, 0, defaults), Err_Unknown);
    EXPECT_FALSE(SptiDriveTable.Drives[4].Used);
    EXPECT_EQ(CountOf(*second, 0x00), 1u);

    // Another kernel device list is another set of drives.
    const auto scans = CountOf(*first, 0x12);
    win::SetKernelDevicePathsForTesting({});
    EXPECT_EQ(ExecScsiCommand(InfoFor(200, 0), cdb, 6, nullptr, 0, 0, defaults), Err_None);
    EXPECT_EQ(CountOf(*first, 0x12), scans) << "the same (empty) list is no change";
}

TEST_F(DeviceAccess, UnitAttentionIsAskedAgainOnceOutsideAJobAndEndsAJob) {
    auto device = Attach("DRIVE");
    TCDBurnerInfo info = InfoFor(200, 0);
    info.DriveLetter = 'D';
    TScsiDefaults defaults;
    const std::uint8_t tur[6] = {0x00};
    const auto attention = ScriptedReply::CheckCondition(6, 0x28, 0x00);
    auto send = [&] { return ExecScsiCommand(info, tur, 6, nullptr, 0, 0, defaults); };
    ASSERT_EQ(send(), Err_None);   // the scan

    struct Case {
        const char* what;
        bool inJob;
        int attentions;          // queued unit attentions
        TScsiError result;
        std::size_t reachingDrive;
    } cases[] = {
        {"query, one attention", false, 1, Err_None, 2},
        {"query, two attentions", false, 2, Err_SenseUnitAttention, 2},
        {"job, one attention", true, 1, Err_SenseUnitAttention, 1},
    };
    for (const auto& c : cases) {
        device->ClearCommands();
        for (int i = 0; i < c.attentions; ++i) device->QueueReply(attention);
        if (c.inJob) BeginDeviceJob(info);
        EXPECT_EQ(send(), c.result) << c.what;
        EXPECT_EQ(device->CommandCount(), c.reachingDrive) << c.what;
        if (!c.inJob) continue;
        // The rest of the job never reaches the drive and meets the same condition.
        EXPECT_EQ(send(), Err_SenseUnitAttention) << c.what;
        EXPECT_EQ(defaults.SenseArea[12], 0x28) << c.what;
        EXPECT_EQ(device->CommandCount(), c.reachingDrive) << c.what;
        EXPECT_TRUE(EndDeviceJob(info)) << c.what;
        EXPECT_EQ(send(), Err_None) << c.what << ": after the job the drive is asked again";
    }
    // A job that met none says so, and nested jobs end with the outermost one.
    BeginDeviceJob(info);
    BeginDeviceJob(info);
    device->QueueReply(attention);
    EXPECT_EQ(send(), Err_SenseUnitAttention);
    EXPECT_FALSE(EndDeviceJob(info)) << "the outermost job says it, once";
    EXPECT_EQ(send(), Err_SenseUnitAttention) << "the outer job still runs";
    EXPECT_TRUE(EndDeviceJob(info));
    BeginDeviceJob(info);
    EXPECT_EQ(send(), Err_None);
    EXPECT_FALSE(EndDeviceJob(info));
}

TEST_F(DeviceAccess, AHeldDriveIsOpenedOnceAndNoOtherOpenerReachesIt) {
    auto device = Attach("DRIVE");
    TCDBurnerInfo info = InfoFor(200, 0);
    info.DriveLetter = 'D';
    TScsiDefaults defaults;
    const std::uint8_t tur[6] = {0x00};
    const char* path = "\\\\.\\D:";
    const auto rw = win::GENERIC_READ | win::GENERIC_WRITE;
    const auto opens = win::DeviceOpenCount();

    ASSERT_EQ(HoldDevice(info), TDeviceHoldResult::Held);
    ASSERT_EQ(HoldDevice(info), TDeviceHoldResult::Held) << "holds nest";
    for (int i = 0; i < 10; ++i) ASSERT_EQ(ExecScsiCommand(info, tur, 6, nullptr, 0, 0, defaults), Err_None);
    EXPECT_EQ(win::DeviceOpenCount() - opens, 1u) << "the scan and every command use the held device";

    // Another program: no exclusive open, and a shared one sends nothing into the job.
    EXPECT_EQ(win::CreateFileA(path, rw, 0, nullptr, win::OPEN_EXISTING, 0, nullptr), win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), win::ERROR_SHARING_VIOLATION);
    const win::HANDLE shared = win::CreateFileA(path, rw, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                                                win::OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(shared, win::INVALID_HANDLE_VALUE);
    const auto reached = device->CommandCount();
    EXPECT_FALSE(kvtest::TestUnitReadyThrough(shared));
    EXPECT_EQ(win::GetLastErrno(), EBUSY);
    EXPECT_EQ(device->CommandCount(), reached);

    ReleaseDevice(info);
    EXPECT_EQ(win::CreateFileA(path, rw, 0, nullptr, win::OPEN_EXISTING, 0, nullptr), win::INVALID_HANDLE_VALUE)
        << "one release of two: still held";
    ReleaseDevice(info);
    EXPECT_TRUE(kvtest::TestUnitReadyThrough(shared)) << "released: the other program's turn";
    win::CloseHandle(shared);

    // Held by another program: a job's hold says the drive is in use.
    const win::HANDLE other = win::CreateFileA(path, rw, 0, nullptr, win::OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(HoldDevice(info), TDeviceHoldResult::InUse);
    win::CloseHandle(other);
    EXPECT_EQ(HoldDevice(info), TDeviceHoldResult::Held);
    ReleaseDevice(info);

    // Without a hold each command opens the drive for itself.
    const auto before = win::DeviceOpenCount();
    ASSERT_EQ(ExecScsiCommand(info, tur, 6, nullptr, 0, 0, defaults), Err_None);
    EXPECT_EQ(win::DeviceOpenCount() - before, 1u);
}

TEST_F(DeviceAccess, MissingCommandBlockIsAnInvalidArgument) {
    auto device = Attach("DRIVE");
    TScsiDefaults defaults;
    EXPECT_EQ(ExecScsiCommand(InfoFor(200, 0), nullptr, 6, nullptr, 0, 0, defaults), Err_InvalidArgument);
    EXPECT_EQ(device->CommandCount(), 0u);
}

TEST_F(DeviceAccess, CommandsFromTwoThreadsDoNotTearTheDriveTable) {
    // Both threads' commands use the process-wide drive table; unserialised, one thread's
    // rescan would strand the other's command with "no device".
    auto first = Attach("FIRST");
    auto second = Attach("SECOND");
    // Both threads start together. Not std::latch: libstdc++ 12's atomic wait without a futex
    // (the MinGW build) can miss the wake-up and leave a thread waiting for good.
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    auto run = [&](std::uint8_t target) {
        TScsiDefaults defaults;
        int failures = 0;
        {
            std::unique_lock lock(m);
            if (++arrived == 2) cv.notify_all();
            cv.wait(lock, [&] { return arrived == 2; });
        }
        for (int i = 0; i < 300; ++i) {
            const std::uint8_t cdb[6] = {0x00};
            if (ExecScsiCommand(InfoFor(200, target), cdb, 6, nullptr, 0, 0, defaults) != Err_None) ++failures;
        }
        return failures;
    };
    auto a = std::async(std::launch::async, run, 0);
    auto b = std::async(std::launch::async, run, 1);
    ASSERT_EQ(a.wait_for(120s), std::future_status::ready);
    ASSERT_EQ(b.wait_for(120s), std::future_status::ready);
    EXPECT_EQ(a.get(), 0);
    EXPECT_EQ(b.get(), 0);
}

// A gate several threads meet at; false when the others did not all come within the time.
// Not std::latch (see above), and with a time limit: a transport that serialises what should
// overlap makes the waiter give up instead of hanging the suite.
class Rendezvous {
public:
    explicit Rendezvous(int parties) : parties_(parties) {}
    bool ArriveAndWait() {
        std::unique_lock lock(m_);
        if (++arrived_ >= parties_) cv_.notify_all();
        return cv_.wait_for(lock, 10s, [&] { return arrived_ >= parties_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int arrived_ = 0;
    const int parties_;
};

TEST_F(DeviceAccess, CommandsToTwoDrivesOverlap) {
    // Each drive answers only once the other drive's command has arrived: one at a time, the
    // first would wait in vain while the second waits for it to end.
    auto first = Attach("FIRST");
    auto second = Attach("SECOND");
    Rendezvous both(2);
    std::atomic<int> metInTime{0};
    for (const auto& device : {first, second}) {
        device->SetHandler([&](const win::ScsiRequest&) {
            if (both.ArriveAndWait()) ++metInTime;
            return ScriptedReply::Good();
        });
    }
    // One found by letter, one by address only: both ways to the drive's own lock.
    TCDBurnerInfo byLetter = InfoFor(200, 0);
    byLetter.DriveLetter = 'D';
    const TCDBurnerInfo byAddress = InfoFor(200, 1);
    auto send = [](TCDBurnerInfo info) {
        TScsiDefaults defaults;
        const std::uint8_t cdb[10] = {0x2A};
        return ExecScsiCommand(info, cdb, 10, nullptr, 0, SRB_DIR_NONE, defaults);
    };
    auto a = std::async(std::launch::async, send, byLetter);
    auto b = std::async(std::launch::async, send, byAddress);
    ASSERT_EQ(a.wait_for(60s), std::future_status::ready);
    ASSERT_EQ(b.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(a.get(), Err_None);
    EXPECT_EQ(b.get(), Err_None);
    EXPECT_EQ(metInTime.load(), 2) << "each drive's command was in flight while the other's arrived";
}

TEST_F(DeviceAccess, CommandsToOneDriveNeverOverlap) {
    auto device = Attach("DRIVE");
    std::atomic<int> inFlight{0};
    std::atomic<int> most{0};
    device->SetHandler([&](const win::ScsiRequest&) {
        const int now = ++inFlight;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {}
        std::this_thread::yield();   // a window for another thread's command to come in
        --inFlight;
        return ScriptedReply::Good();
    });
    TCDBurnerInfo byLetter = InfoFor(200, 0);
    byLetter.DriveLetter = 'D';
    const TCDBurnerInfo byAddress = InfoFor(200, 0);
    constexpr int kThreads = 6;
    constexpr int kCommands = 200;
    Rendezvous start(kThreads);
    std::vector<std::future<int>> runs;
    for (int t = 0; t < kThreads; ++t) {
        // Half the threads name the drive by letter, half by address: one lock either way.
        runs.push_back(std::async(std::launch::async, [&, info = t % 2 ? byLetter : byAddress] {
            TScsiDefaults defaults;
            int failures = start.ArriveAndWait() ? 0 : 1;
            for (int i = 0; i < kCommands; ++i) {
                const std::uint8_t cdb[6] = {0x00};
                failures += ExecScsiCommand(info, cdb, 6, nullptr, 0, SRB_DIR_NONE, defaults) != Err_None;
            }
            return failures;
        }));
    }
    for (auto& run : runs) {
        ASSERT_EQ(run.wait_for(120s), std::future_status::ready);
        EXPECT_EQ(run.get(), 0);
    }
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(CountOf(*device, 0x00), std::size_t{kThreads * kCommands});
}

TEST_F(DeviceAccess, ManyDrivesKeepAnsweringThroughARescanWhileOneIsBusy) {
    // Every drive answers READ CAPACITY with its own number; one drive's command is held in
    // flight until another drive added meanwhile has been found (a scan while it is busy).
    constexpr int kDrives = 4;
    constexpr int kCommands = 150;
    for (int d = 0; d < kDrives; ++d) Attach("DRIVE" + std::to_string(d));
    std::mutex m;
    std::condition_variable cv;
    bool midway = false;
    bool rescanned = false;
    std::atomic<int> heldInTime{0};
    std::atomic<int> firstDriveCommands{0};
    for (int d = 0; d < kDrives; ++d) {
        devices[d]->SetHandler([&, d](const win::ScsiRequest&) {
            if (d == 0 && ++firstDriveCommands == kCommands / 2) {
                std::unique_lock lock(m);
                midway = true;
                cv.notify_all();
                if (cv.wait_for(lock, 10s, [&] { return rescanned; })) ++heldInTime;
            }
            return ScriptedReply::Good({0, 0, 0, static_cast<std::uint8_t>(d), 0, 0, 8, 0});
        });
    }
    Rendezvous start(kDrives);
    auto run = [&](int d) {
        TScsiDefaults defaults;
        int wrong = start.ArriveAndWait() ? 0 : 1;
        for (int i = 0; i < kCommands; ++i) {
            std::uint8_t reply[8] = {0xEE, 0xEE, 0xEE, 0xEE};
            const std::uint8_t cdb[10] = {0x25};
            const TScsiError result = ExecScsiCommand(InfoFor(200, static_cast<std::uint8_t>(d)), cdb, 10, reply,
                                                      sizeof reply, SRB_DIR_IN, defaults);
            wrong += result != Err_None || reply[3] != d;
        }
        return wrong;
    };
    std::vector<std::future<int>> runs;
    for (int d = 0; d < kDrives; ++d) runs.push_back(std::async(std::launch::async, run, d));
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return midway; }));
    }
    auto late = Attach("LATE");
    TScsiDefaults defaults;
    const std::uint8_t tur[6] = {0x00};
    EXPECT_EQ(ExecScsiCommand(InfoFor(200, kDrives), tur, 6, nullptr, 0, SRB_DIR_NONE, defaults), Err_None);
    {
        std::lock_guard lock(m);
        rescanned = true;
    }
    cv.notify_all();
    for (int d = 0; d < kDrives; ++d) {
        ASSERT_EQ(runs[d].wait_for(120s), std::future_status::ready);
        EXPECT_EQ(runs[d].get(), 0) << "drive " << d;
        EXPECT_EQ(CountOf(*devices[d], 0x25), std::size_t{kCommands}) << "drive " << d;
    }
    EXPECT_EQ(heldInTime.load(), 1) << "the new drive was found while the busy one's command was in flight";
    EXPECT_EQ(CountOf(*devices[0], 0x12), 1u) << "the busy drive was not asked again";
    EXPECT_EQ(CountOf(*late, 0x00), 1u);
}

TEST(DefaultSettings, ProcessWideRecordHasTheDocumentedDefaults) {
    EXPECT_EQ(ScsiDefaultSettings.Timeout, 1000);
    EXPECT_EQ(ScsiDefaultSettings.LongTimeout, 10000);
    EXPECT_EQ(ScsiDefaultSettings.UnitTimeout, 10000);
    EXPECT_EQ(ScsiDefaultSettings.PageControl, 0);
}

// ExecCommand against a stand-in send-command entry that records the request block.
class ExecCommandTest : public ScsiTest {
protected:
    static inline SRB_ExecSCSICmd seen;
    static inline int calls = 0;
    static inline std::uint8_t replyStatus = SS_COMP;
    static std::uint32_t Record(void* srb) {
        ++calls;
        std::memcpy(&seen, srb, sizeof seen);
        static_cast<SRB_ExecSCSICmd*>(srb)->SRB_Status = replyStatus;
        return replyStatus;
    }
    void SetUp() override {
        ScsiTest::SetUp();
        calls = 0;
        replyStatus = SS_COMP;
        std::memset(&seen, 0, sizeof seen);
    }
};

TEST_F(ExecCommandTest, RequestBlockFieldsAndLunMerge) {
    TzqSCSI scsi;
    AspiSendCommand = &Record;
    struct Case {
        std::uint8_t lun, byte1, merged;
    } cases[] = {{1, 0x1F, 0x3F}, {0, 0xE5, 0x05}, {7, 0x00, 0xE0}, {9, 0x01, 0x21}};
    for (const auto& c : cases) {
        const std::uint8_t cdb[16] = {0x28, c.byte1, 0, 0, 0, 0x10, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xEE};
        std::uint8_t buffer[2048];
        std::uint8_t targetStatus = 0xAA;
        std::uint8_t sense[SENSE_LEN];
        EXPECT_EQ(scsi.ExecCommand(3, 4, c.lun, cdb, 10, 0x08, buffer, sizeof buffer, targetStatus, sense), SS_COMP);
        EXPECT_EQ(seen.CDBByte[1], c.merged) << int(c.lun) << " " << int(c.byte1);
        EXPECT_EQ(seen.CDBByte[15], 0xEE) << "all 16 bytes are copied";
        EXPECT_EQ(seen.SRB_Cmd, SC_EXEC_SCSI_CMD);
        EXPECT_EQ(seen.SRB_HaId, 3);
        EXPECT_EQ(seen.SRB_Target, 4);
        EXPECT_EQ(seen.SRB_Lun, c.lun);
        EXPECT_EQ(seen.SRB_Flags, 0x48);
        EXPECT_EQ(seen.SRB_BufLen, 2048u);
        // Packed pointer fields are copied out before comparing (no references into them).
        const std::uint8_t* bufferPointer = seen.SRB_BufPointer;
        const void* event = seen.SRB_PostProc;
        EXPECT_EQ(bufferPointer, buffer);
        EXPECT_EQ(seen.SRB_SenseLen, 14);
        EXPECT_EQ(seen.SRB_CDBLen, 10);
        EXPECT_NE(event, nullptr);
        EXPECT_EQ(targetStatus, 0);
    }
    EXPECT_EQ(calls, 4);

    const std::uint8_t noop[16] = {0xFF};
    std::uint8_t targetStatus;
    std::uint8_t sense[SENSE_LEN];
    EXPECT_EQ(scsi.ExecCommand(0, 0, 0, noop, 6, 0, nullptr, 0, targetStatus, sense), SS_COMP);
    EXPECT_EQ(calls, 4) << "FFh never reaches the transport";
}

TEST_F(ExecCommandTest, PendingRequestIsWaitedForUntilCompletedElsewhere) {
    TzqSCSI scsi;
    static std::thread completer;
    AspiSendCommand = [](void* p) -> std::uint32_t {
        auto* srb = static_cast<SRB_ExecSCSICmd*>(p);
        srb->SRB_Status = SS_PENDING;
        completer = std::thread([srb] {
            srb->SRB_TargStat = STATUS_CHKCOND;
            srb->SenseArea[2] = 0x03;
            std::atomic_ref<std::uint8_t>(srb->SRB_Status).store(SS_ERR);
            win::SetEvent(srb->SRB_PostProc);
        });
        return SS_PENDING;
    };
    auto result = std::async(std::launch::async, [&] {
        const std::uint8_t cdb[16] = {0x2A};
        std::uint8_t targetStatus = 0;
        std::uint8_t sense[SENSE_LEN] = {};
        const std::uint8_t status = scsi.ExecCommand(0, 0, 0, cdb, 10, 0x10, nullptr, 0, targetStatus, sense);
        return std::make_tuple(status, targetStatus, sense[2]);
    });
    ASSERT_EQ(result.wait_for(60s), std::future_status::ready);
    completer.join();
    const auto [status, targetStatus, senseKey] = result.get();
    EXPECT_EQ(status, SS_ERR);
    EXPECT_EQ(targetStatus, STATUS_CHKCOND);
    EXPECT_EQ(senseKey, 0x03);
}

}  // namespace
