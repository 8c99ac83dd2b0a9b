// The device-access object on the Windows 95 family: which ASPI library it loads, and
// commands through that library, including requests the library completes later.
//
// Each suite runs in its own process with its own library directory on the search path
// (see CMakeLists.txt): AspiBoth, AspiAsapiOnly, AspiNone.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "TestAspiControl.h"
#include "VersionBlob.h"
#include "burner/CDBurner.h"
#include "burner/CDBurners.h"
#include "platform/VersionResource.h"
#include "scsi/VersionInfo.h"
#include "scsi/wnaspi32.h"
#include "scsi/zqSCSI.h"
#include "support/ScriptedDevice.h"
#include "vdrive/VirtualWriter.h"

using kvtest::ScriptedDevice;
using kvtest::ScriptedReply;

namespace {

constexpr std::uint32_t kWaitMs = 30000;   // safety bound only; never reached when all is well

// The version the device-access object reads from the library it loaded. An ELF library
// carries no version resource; the Windows builds of the test libraries carry one
// (TestAspiLibrary.rc), read from the DLL file through the system's version functions.
struct ExpectedVersion {
    const char* fileVersion;
    const char* companyName;
};
#ifdef _WIN32
constexpr ExpectedVersion kWnaspiVersion{"4.60 (1021)", "KeelVane test suite"};
constexpr ExpectedVersion kAsapiVersion{"2.1.0.7", "KeelVane test suite"};
#else
constexpr ExpectedVersion kWnaspiVersion{"", ""};
constexpr ExpectedVersion kAsapiVersion{"", ""};
#endif

// The control entries of one test library, resolved from the module LoadLibraryA gives.
struct TestLibrary {
    win::HMODULE module = nullptr;
    KvTestAspiSetDeviceFn SetDevice = nullptr;
    KvTestAspiDeferEveryFn DeferEvery = nullptr;
    KvTestAspiHoldNextFn HoldNext = nullptr;
    KvTestAspiWaitHeldFn WaitHeld = nullptr;
    KvTestAspiReleaseFn Release = nullptr;
    KvTestAspiDrainFn Drain = nullptr;
    KvTestAspiRefuseNextFn RefuseNext = nullptr;
    KvTestAspiStatsFn Stats = nullptr;
    KvTestAspiResetFn Reset = nullptr;
    KvTestAspiNameFn Name = nullptr;

    explicit TestLibrary(const char* file) : module(win::LoadLibraryA(file)) {
        if (module == nullptr) return;
        auto get = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(win::GetProcAddress(module, name));
        };
        get(SetDevice, "KvTestAspiSetDevice");
        get(DeferEvery, "KvTestAspiDeferEvery");
        get(HoldNext, "KvTestAspiHoldNext");
        get(WaitHeld, "KvTestAspiWaitHeld");
        get(Release, "KvTestAspiRelease");
        get(Drain, "KvTestAspiDrain");
        get(RefuseNext, "KvTestAspiRefuseNext");
        get(Stats, "KvTestAspiStatsOf");
        get(Reset, "KvTestAspiReset");
        get(Name, "KvTestAspiName");
    }
    bool Usable() const { return module != nullptr && Reset != nullptr && Name != nullptr; }
    win::FARPROC Entry(const char* name) const { return win::GetProcAddress(module, name); }
};

TCDBurnerInfo Writer(std::uint8_t ha = 0, std::uint8_t target = 0, std::uint8_t lun = 0) {
    TCDBurnerInfo info;
    info.HaId = ha;
    info.Target = target;
    info.Lun = lun;
    info.DriveLetter = 'D';
    return info;
}

// Commands with their scripted replies and the result the frame must give.
struct ResultCase {
    const char* name;
    ScriptedReply reply;
    TScsiError expected;
};

std::vector<ResultCase> ResultCases() {
    return {
        {"good", ScriptedReply::Good({1, 2, 3, 4}), Err_None},
        {"illegal request", ScriptedReply::CheckCondition(0x05, 0x24, 0x00), Err_SenseIllegalRequest},
        {"not ready", ScriptedReply::CheckCondition(0x02, 0x04, 0x01), Err_SenseNotReady},
        {"unit attention", ScriptedReply::CheckCondition(0x06, 0x28, 0x00), Err_SenseUnitAttention},
        {"medium error", ScriptedReply::CheckCondition(0x03, 0x0C, 0x00), Err_SenseMediumError},
        {"busy", ScriptedReply::Status(0x08), Err_Unknown},
        {"transport failure", ScriptedReply::TransportFailure(), Err_Unknown},
    };
}

// Sets the Windows 95 family and places a scripted drive at (0, 0, 0) and (0, 0, 1) in the
// library this process is expected to use. On Windows nothing is overridden: Wine runs these
// programs as Windows 98 (tests/windows/wine-run.sh.in), and the system's answer decides.
class AspiFixture : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef _WIN32
        win::OSVERSIONINFOA version{};
        version.dwOSVersionInfoSize = sizeof version;
        ASSERT_TRUE(win::GetVersionExA(&version));
        ASSERT_EQ(version.dwPlatformId, win::VER_PLATFORM_WIN32_WINDOWS)
            << "the system reports version " << version.dwMajorVersion << "." << version.dwMinorVersion
            << " of the NT family, not the 9x family";
#else
        win::SetVersionForTesting(win::VER_PLATFORM_WIN32_WINDOWS, 4, 10);
#endif
        drive = std::make_shared<ScriptedDevice>("aspi:0");
        lun1 = std::make_shared<ScriptedDevice>("aspi:1");
    }
    void TearDown() override {
        for (TestLibrary* lib : placed) {
            EXPECT_TRUE(lib->Drain(kWaitMs)) << "a request was left pending";
            lib->Reset();
        }
        win::ResetVersionForTesting();
    }
    void Place(TestLibrary& lib) {
        ASSERT_TRUE(lib.Usable());
        lib.Reset();
        lib.SetDevice(0, 0, 0, drive.get());
        lib.SetDevice(0, 0, 1, lun1.get());
        placed.push_back(&lib);
    }
    TScsiError Inquiry(std::vector<std::uint8_t>& data, const TCDBurnerInfo& info = Writer()) {
        const std::uint8_t cdb[6] = {0x12, 0, 0, 0, 96, 0};
        data.assign(96, 0);
        return ExecScsiCommand(info, cdb, 6, data.data(), 96, SRB_DIR_IN, defaults);
    }

    std::shared_ptr<ScriptedDevice> drive;
    std::shared_ptr<ScriptedDevice> lun1;
    std::vector<TestLibrary*> placed;
    TScsiDefaults defaults;
};

// Every result case, once answered at once and once completed later from the library's thread.
void CheckResultMapping(TestLibrary& lib, ScriptedDevice& drive, TScsiDefaults& defaults) {
    for (const bool later : {false, true}) {
        lib.DeferEvery(later ? 1 : 0);
        for (const auto& c : ResultCases()) {
            SCOPED_TRACE(std::string(c.name) + (later ? " (completed later)" : " (at once)"));
            const auto before = lib.Stats();
            drive.QueueReply(c.reply);
            const std::uint8_t cdb[10] = {0x51, 0, 0, 0, 0, 0, 0, 0, 32, 0};   // READ DISC INFORMATION
            std::uint8_t buffer[32] = {};
            // Within a job, as a burn sends it: a unit attention is the job's end, not asked again.
            BeginDeviceJob(Writer());
            const TScsiError result = ExecScsiCommand(Writer(), cdb, 10, buffer, sizeof buffer, SRB_DIR_IN, defaults);
            EndDeviceJob(Writer());
            EXPECT_EQ(ScsiErrorToText(result), ScsiErrorToText(c.expected));
            const auto after = lib.Stats();
            EXPECT_EQ(after.executeRequests, before.executeRequests + 1);
            EXPECT_EQ(after.pendingReturns, before.pendingReturns + (later ? 1u : 0u));
            if (c.reply.status == 0x02) {
                EXPECT_EQ(defaults.SenseArea[2], c.reply.sense[2]);    // sense key
                EXPECT_EQ(defaults.SenseArea[12], c.reply.sense[12]);  // ASC
                EXPECT_EQ(defaults.SenseArea[13], c.reply.sense[13]);  // ASCQ
            }
            if (c.expected == Err_None) {
                EXPECT_EQ(buffer[3], 4);
            }
        }
    }
    lib.DeferEvery(0);
}

}  // namespace

// Both libraries present -------------------------------------------------------------------

class AspiBoth : public AspiFixture {
protected:
    TestLibrary wnaspi{"wnaspi32.dll"};
    TestLibrary asapi{"asapi.dll"};
};

TEST_F(AspiBoth, TheFirstLibraryIsUsedWithItsAspiEntries) {
    Place(wnaspi);
    Place(asapi);
    ASSERT_STREQ(wnaspi.Name(), "wnaspi32.dll");
    ASSERT_STREQ(asapi.Name(), "asapi.dll");
    {
        TzqSCSI scsi;
        EXPECT_TRUE(scsi.Ready);
        EXPECT_EQ(scsi.AccessMethod, 0);
        EXPECT_EQ(AspiTransportHandle, wnaspi.module);
        EXPECT_EQ(reinterpret_cast<win::FARPROC>(AspiSendCommand), wnaspi.Entry("SendASPI32Command"));
        EXPECT_EQ(reinterpret_cast<win::FARPROC>(AspiSupportInfo), wnaspi.Entry("GetASPI32SupportInfo"));
        EXPECT_EQ(AspiSupportInfo(), 0x0101u);   // completed, one adapter
        // The version is read, not shown.
        ASSERT_NE(scsi.LibraryVersion, nullptr);
        EXPECT_EQ(scsi.LibraryVersion->FileVersion, kWnaspiVersion.fileVersion);
        EXPECT_EQ(scsi.LibraryVersion->CompanyName, kWnaspiVersion.companyName);
    }
    std::vector<std::uint8_t> data;
    EXPECT_EQ(Inquiry(data), Err_None);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[8]), 8), "KEELVANE");
    EXPECT_EQ(wnaspi.Stats().executeRequests, 1u);
    EXPECT_EQ(asapi.Stats().executeRequests, 0u);
}

TEST_F(AspiBoth, TheStartUpLoadHoldsTheLibraryForTheProcess) {
    // "WNASPI32.dll" was loaded before main; it is the same module as "wnaspi32.dll".
    ASSERT_TRUE(wnaspi32::WNASPI32Loaded);
    EXPECT_EQ(wnaspi32::WNASPI32Handle, wnaspi.module);
    EXPECT_EQ(reinterpret_cast<win::FARPROC>(wnaspi32::SendASPI32Command), wnaspi.Entry("SendASPI32Command"));
    EXPECT_EQ(reinterpret_cast<win::FARPROC>(wnaspi32::GetASPI32SupportInfo),
              wnaspi.Entry("GetASPI32SupportInfo"));
    // Releasing the start-up reference leaves the library usable through other loads.
    wnaspi32::FreeWNASPI32();
    EXPECT_FALSE(wnaspi32::WNASPI32Loaded);
    EXPECT_EQ(wnaspi32::SendASPI32Command, nullptr);
    Place(wnaspi);
    std::vector<std::uint8_t> data;
    EXPECT_EQ(Inquiry(data), Err_None);
    wnaspi32::LoadWNASPI32();
    EXPECT_TRUE(wnaspi32::WNASPI32Loaded);
    EXPECT_EQ(wnaspi32::WNASPI32Handle, wnaspi.module);
}

TEST_F(AspiBoth, ResultsMapAlikeWhetherCompletedAtOnceOrLater) {
    Place(wnaspi);
    CheckResultMapping(wnaspi, *drive, defaults);
}

TEST_F(AspiBoth, APendingRequestIsWaitedForUntilTheLibrarySignalsIt) {
    Place(wnaspi);
    std::vector<std::uint8_t> reply(64);
    for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(i * 3 + 1);
    drive->OnOpcode(0x3C, ScriptedReply::Good(reply));   // READ BUFFER

    wnaspi.HoldNext();
    std::vector<std::uint8_t> buffer(64, 0);
    auto result = std::async(std::launch::async, [&] {
        const std::uint8_t cdb[10] = {0x3C, 0x02, 0, 0, 0, 0, 0, 0, 64, 0};
        return ExecScsiCommand(Writer(), cdb, 10, buffer.data(), 64, SRB_DIR_IN, defaults);
    });
    ASSERT_TRUE(wnaspi.WaitHeld(kWaitMs));
    // A caller that did not wait would return now, with the request still pending; give it
    // the chance before the library completes the request.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    wnaspi.Release();
    ASSERT_EQ(result.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    EXPECT_EQ(result.get(), Err_None);
    EXPECT_EQ(buffer, reply);
    EXPECT_EQ(wnaspi.Stats().pendingReturns, 1u);
}

// A library may refuse a request outright, returning its status without writing the block:
// the status byte then still reads 00h (pending) and no event comes. The refusal is the
// request's result; the command must not wait for a completion that never comes.
TEST_F(AspiBoth, ARefusedRequestEndsAtOnceWithoutWaitingForTheEvent) {
    Place(wnaspi);
    ASSERT_NE(wnaspi.RefuseNext, nullptr);
    const std::uint8_t cdbs[][10] = {
        {0x00},                                  // TEST UNIT READY, no data
        {0x51, 0, 0, 0, 0, 0, 0, 0, 32, 0},      // READ DISC INFORMATION, data in
    };
    for (const auto& cdb : cdbs) {
        SCOPED_TRACE(int(cdb[0]));
        wnaspi.RefuseNext(1);
        std::uint8_t buffer[32] = {};
        const bool dataIn = cdb[0] != 0x00;
        auto result = std::async(std::launch::async, [&] {
            return ExecScsiCommand(Writer(), cdb, 10, dataIn ? buffer : nullptr, dataIn ? sizeof buffer : 0,
                                   dataIn ? SRB_DIR_IN : SRB_DIR_NONE, defaults);
        });
        ASSERT_EQ(result.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready)
            << "the command waited for an event the library never sets";
        EXPECT_EQ(result.get(), Err_Unknown);
        EXPECT_EQ(drive->CommandCount(), 0u) << "the refused request reached the drive";
    }
    // The next request is carried out again.
    std::vector<std::uint8_t> data;
    EXPECT_EQ(Inquiry(data), Err_None);
}

TEST_F(AspiBoth, TheRequestBlockCarriesAddressLunFlagsAndEvent) {
    Place(wnaspi);
    struct Case {
        const char* name;
        std::uint8_t lun;
        std::uint8_t byte1;
        std::uint32_t direction;
        std::uint8_t expectedByte1;
        std::uint8_t expectedFlags;
    };
    const Case cases[] = {
        {"LUN 1 merged into byte 1", 1, 0x1F, SRB_DIR_IN, 0x3F, 0x48},
        {"LUN 0 clears the top bits", 0, 0xE5, SRB_DIR_OUT, 0x05, 0x50},
        {"no data", 0, 0x00, SRB_DIR_NONE, 0x00, 0x40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice& target = c.lun == 1 ? *lun1 : *drive;
        target.ClearCommands();
        std::uint8_t cdb[10] = {0x2A, c.byte1, 0, 0, 0, 9, 0, 0, 1, 0};
        std::vector<std::uint8_t> data(2048, 0x5A);
        const TScsiError result =
            ExecScsiCommand(Writer(0, 0, c.lun), cdb, 10, c.direction == SRB_DIR_NONE ? nullptr : data.data(),
                            c.direction == SRB_DIR_NONE ? 0 : 2048, c.direction, defaults);
        EXPECT_EQ(result, Err_None);
        const auto stats = wnaspi.Stats();
        EXPECT_EQ(stats.lastCdb[1], c.expectedByte1);
        EXPECT_EQ(stats.lastFlags, c.expectedFlags);
        EXPECT_EQ(stats.lastCdbLen, 10);
        EXPECT_EQ(stats.lastSenseLen, 14);
        EXPECT_TRUE(stats.lastHadEvent);
        ASSERT_EQ(target.CommandCount(), 1u);
        const auto sent = target.Commands().front();
        EXPECT_EQ(sent.cdb.size(), 10u);
        if (c.direction == SRB_DIR_OUT) {
            EXPECT_EQ(sent.dataOut, data);
        }
    }
    // An address without a device: the library answers "no device".
    std::vector<std::uint8_t> data;
    EXPECT_EQ(Inquiry(data, Writer(0, 5, 0)), Err_Unknown);
    // Operation code FFh completes without reaching the library.
    const auto before = wnaspi.Stats().executeRequests;
    const std::uint8_t noop[6] = {0xFF, 0, 0, 0, 0, 0};
    EXPECT_EQ(ExecScsiCommand(Writer(), noop, 6, nullptr, 0, SRB_DIR_NONE, defaults), Err_None);
    EXPECT_EQ(wnaspi.Stats().executeRequests, before);
}

TEST_F(AspiBoth, ADataImageBurnsThroughTheLibraryOntoTheVirtualWriter) {
    // The writer list finds the drive through the pass-through interface; every command of
    // the burn then travels through the ASPI library, a quarter of them completed later.
    Place(wnaspi);
    kvtest::TempDir dir;
    win::SetKernelDevicePathsForTesting({});
    std::string error;
    auto writer = vdrive::AttachVirtualDrive(dir.Path() + "/disc.cue", error);
    ASSERT_TRUE(writer) << error;
    const win::ScsiDeviceAddress address = win::VirtualDeviceAddress(*writer);
    wnaspi.SetDevice(address.port, address.target, address.lun, writer.get());
    wnaspi.DeferEvery(4);

    kvtest::Bytes image(300 * 2048);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>((i * 131) ^ (i >> 11));
    const std::string imageFile = dir.Write("image.bin", image);
    // --trace's view: every command the library carried, once, under the drive's letter.
    struct Traced {
        std::mutex mutex;
        std::map<std::uint8_t, int> perOpcode;
        std::set<char> letters;
        int failed = 0;
    } traced;
    win::SetScsiTraceSink([&traced](char letter, const win::ScsiRequest& r, bool ok) {
        std::lock_guard lock(traced.mutex);
        ++traced.perOpcode[r.cdb[0]];
        traced.letters.insert(letter);
        if (!ok) ++traced.failed;
    });
    {
        TCDBurnerList list;
        TCDBurner* burner = nullptr;
        for (int i = 0; i < list.Count(); ++i)
            if (list.Burners(i)->Info.DriveLetter == writer->DriveLetter()) burner = list.Burners(i);
        ASSERT_NE(burner, nullptr);
        burner->ReadyPollInterval = std::chrono::milliseconds(1);
        EXPECT_TRUE(burner->BurnDataImage(imageFile, 1));
        EXPECT_EQ(ScsiErrorToText(burner->LastError), "Err_None");
        std::int64_t firstDifferent = 0;
        EXPECT_TRUE(burner->VerifyImage(imageFile, firstDifferent));
        EXPECT_EQ(firstDifferent, -1);
    }
    win::SetScsiTraceSink(nullptr);
    const auto stats = wnaspi.Stats();
    EXPECT_GT(stats.executeRequests, 600u);   // a WRITE(10) and a READ(10) per block at least
    EXPECT_EQ(stats.pendingReturns, stats.executeRequests / 4);
    int tracedTotal = 0;
    for (const auto& [opcode, n] : traced.perOpcode) tracedTotal += n;
    EXPECT_EQ(traced.perOpcode[0x2A], 300);   // one WRITE(10) per block, none twice
    // Every request the library carried, and on top at most the scan's INQUIRYs through the
    // pass-through, which are traced there.
    EXPECT_GE(tracedTotal, static_cast<int>(stats.executeRequests));
    EXPECT_LE(tracedTotal - static_cast<int>(stats.executeRequests), traced.perOpcode[0x12]);
    EXPECT_EQ(traced.failed, 0);
    EXPECT_EQ(traced.letters, std::set<char>{writer->DriveLetter()});

    ASSERT_TRUE(wnaspi.Drain(kWaitMs));
    wnaspi.SetDevice(address.port, address.target, address.lun, nullptr);
    const vdrive::DiscState disc = writer->State();
    ASSERT_EQ(disc.tracks.size(), 1u);
    EXPECT_TRUE(disc.tracks[0].closed);
    EXPECT_EQ(disc.status, vdrive::DiscStatus::Complete);
    EXPECT_TRUE(writer->Flush());
    std::ifstream track(disc.tracks[0].file, std::ios::binary);
    EXPECT_EQ(kvtest::Bytes(std::istreambuf_iterator<char>(track), std::istreambuf_iterator<char>()), image);
    vdrive::DetachVirtualDrive(writer);
    win::ResetKernelDevicePathsForTesting();
}

// Only "asapi.dll" present ----------------------------------------------------------------

class AspiAsapiOnly : public AspiFixture {
protected:
    TestLibrary asapi{"asapi.dll"};
};

TEST_F(AspiAsapiOnly, TheAsapiLibraryIsUsedWithItsAsapiEntries) {
    EXPECT_EQ(win::LoadLibraryA("wnaspi32.dll"), nullptr);
    EXPECT_FALSE(wnaspi32::WNASPI32Loaded);
    Place(asapi);
    ASSERT_STREQ(asapi.Name(), "asapi.dll");
    // The library offers only the ASAPI names.
    EXPECT_EQ(asapi.Entry("SendASPI32Command"), nullptr);
    {
        TzqSCSI scsi;
        EXPECT_TRUE(scsi.Ready);
        EXPECT_EQ(scsi.AccessMethod, 1);
        EXPECT_EQ(AspiTransportHandle, asapi.module);
        EXPECT_EQ(reinterpret_cast<win::FARPROC>(AspiSendCommand), asapi.Entry("SendASAPI32Command"));
        EXPECT_EQ(reinterpret_cast<win::FARPROC>(AspiSupportInfo), asapi.Entry("GetASAPI32SupportInfo"));
        ASSERT_NE(scsi.LibraryVersion, nullptr);
        EXPECT_EQ(scsi.LibraryVersion->FileVersion, kAsapiVersion.fileVersion);
        EXPECT_EQ(scsi.LibraryVersion->CompanyName, kAsapiVersion.companyName);
    }
    std::vector<std::uint8_t> data;
    EXPECT_EQ(Inquiry(data), Err_None);
    EXPECT_EQ(asapi.Stats().executeRequests, 1u);
}

TEST_F(AspiAsapiOnly, ResultsMapAlikeWhetherCompletedAtOnceOrLater) {
    Place(asapi);
    CheckResultMapping(asapi, *drive, defaults);
}

// Neither library present ------------------------------------------------------------------

class AspiNone : public AspiFixture {};

TEST_F(AspiNone, NoTransportAndEveryCommandYieldsErrUnknown) {
    EXPECT_FALSE(wnaspi32::WNASPI32Loaded);
    EXPECT_EQ(wnaspi32::SendASPI32Command, nullptr);
    {
        TzqSCSI scsi;
        EXPECT_FALSE(scsi.Ready);
        EXPECT_EQ(scsi.LibraryVersion, nullptr);
        EXPECT_EQ(AspiTransportHandle, nullptr);
        EXPECT_EQ(AspiSendCommand, nullptr);
    }
    struct Case {
        std::uint8_t cdb[10];
        std::uint32_t direction;
    };
    const Case cases[] = {
        {{0x00}, SRB_DIR_NONE},                            // TEST UNIT READY
        {{0x12, 0, 0, 0, 96}, SRB_DIR_IN},                 // INQUIRY
        {{0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, SRB_DIR_OUT},  // WRITE(10)
        {{0xFF}, SRB_DIR_NONE},                            // the no-op needs a transport too
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.cdb[0]));
        std::memset(defaults.SenseArea, 0xEE, sizeof defaults.SenseArea);
        std::vector<std::uint8_t> buffer(2048, 0);
        EXPECT_EQ(ExecScsiCommand(Writer(), c.cdb, 10, c.direction == SRB_DIR_NONE ? nullptr : buffer.data(),
                                  c.direction == SRB_DIR_NONE ? 0 : 2048, c.direction, defaults),
                  Err_Unknown);
        for (std::uint8_t b : defaults.SenseArea) ASSERT_EQ(b, 0);
    }
}
