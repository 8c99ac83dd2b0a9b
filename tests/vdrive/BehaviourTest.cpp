// The attach syntax, the time model on a manual clock (no test sleeps) and the injected faults.
#include <map>
#include <set>

#include "VdriveFixture.h"
#include "catalog/Media.h"

using namespace vdtest;
using namespace std::chrono_literals;

namespace {

TEST(AttachSyntax, AcceptsEveryOption) {
    vdrive::VirtualDriveOptions o;
    std::string error;
    ASSERT_TRUE(vdrive::ParseVirtualDriveSpec(
        "/tmp/d.cue,media=dvd+rw,speed=16,capacity=5000,fail-write-at=7,stuck-buffer,no-rbc,not-ready=3,busy-ms=250,slow-disc-ms=20,bad-reply",
        o, error)) << error;
    EXPECT_EQ(o.path, "/tmp/d.cue");
    EXPECT_EQ(o.media, kvcat::MediumByKey("dvd+rw"));
    EXPECT_EQ(o.speed, 16u);
    EXPECT_EQ(o.capacity, 5000u);
    EXPECT_EQ(o.failWriteAt, 7u);
    EXPECT_TRUE(o.stuckBuffer && o.noReadBufferCapacity && o.badReply);
    EXPECT_EQ(o.notReady, 3u);
    EXPECT_EQ(o.busyMs, 250u);
    EXPECT_EQ(o.slowDiscMs, 20u);

    ASSERT_TRUE(vdrive::ParseVirtualDriveSpec("disc.cue", o, error));
    EXPECT_EQ(o.path, "disc.cue");
    EXPECT_EQ(o.media, nullptr);
    EXPECT_EQ(o.speed, 0u);
    EXPECT_FALSE(o.stuckBuffer);
    EXPECT_FALSE(o.unformatted);

    // Every medium of the catalogue by its key, and none for an empty drive.
    for (const kvcat::Medium& m : kvcat::Media()) {
        if (m.key == nullptr) continue;
        ASSERT_TRUE(vdrive::ParseVirtualDriveSpec(std::string("d.cue,media=") + m.key, o, error)) << error;
        EXPECT_EQ(o.media, &m);
    }
    ASSERT_TRUE(vdrive::ParseVirtualDriveSpec("d.cue,media=none", o, error)) << error;
    EXPECT_EQ(o.media, &kvcat::NoMedium());
    // An unknown one is refused with the keys in the order of the attach syntax, today's
    // media among them as they always were.
    EXPECT_FALSE(vdrive::ParseVirtualDriveSpec("d.cue,media=dvd", o, error));
    EXPECT_EQ(error, "virtual drive 'd.cue,media=dvd': bad value 'dvd' for media (" + std::string(kvcat::KeyList()) + " or none)");
    std::size_t at = 0;
    for (const char* key : {"cd-rom, cd-r, cd-rw, dvd-rom, dvd-r, dvd-rw, dvd-rw-ro, dvd+r, dvd+r-dl, dvd+rw, bd-rom",
                            "bd-r", "bd-re"}) {
        at = error.find(key, at);
        EXPECT_NE(at, std::string::npos) << key;
    }
    ASSERT_TRUE(vdrive::ParseVirtualDriveSpec("d.cue,media=bd-re,unformatted,no-config", o, error)) << error;
    EXPECT_TRUE(o.unformatted);
    EXPECT_TRUE(o.noGetConfiguration);
}

TEST_F(PlatformClean, UnformattedIsForOverwritableMediaOnly) {
    // The refusal names exactly the overwritable media of the catalogue, and each of them
    // attaches unformatted.
    std::set<std::string> overwritable;
    for (const kvcat::Medium& m : kvcat::Media())
        if (m.key != nullptr && m.Overwritable()) overwritable.insert(m.key);
    std::string error;
    for (const char* media : {"cd-r", "dvd+r", "bd-r", "dvd-rom"}) {
        SCOPED_TRACE(media);
        EXPECT_EQ(vdrive::AttachVirtualDrive(dir_ / "d.cue,unformatted,media=" + media, error), nullptr);
        const std::string head = "unformatted applies to ", tail = " only";
        const std::size_t from = error.find(head), to = error.rfind(tail);
        ASSERT_TRUE(from != std::string::npos && to != std::string::npos) << error;
        std::string list = error.substr(from + head.size(), to - from - head.size());
        for (std::size_t at; (at = list.find(" and ")) != std::string::npos;) list.replace(at, 5, ", ");
        std::set<std::string> named;
        for (std::size_t at = 0; at <= list.size();) {
            const std::size_t comma = std::min(list.find(", ", at), list.size());
            named.insert(list.substr(at, comma - at));
            at = comma + 2;
        }
        EXPECT_EQ(named, overwritable) << error;
        EXPECT_FALSE(std::filesystem::exists(dir_ / "d.cue"));
    }
    EXPECT_EQ(vdrive::AttachVirtualDrive(dir_ / "d.cue,unformatted", error), nullptr);   // a CD-R by default
    for (const std::string& media : overwritable) {
        SCOPED_TRACE(media);
        auto writer = vdrive::AttachVirtualDrive(dir_ / (media + ".cue,unformatted,media=" + media), error);
        ASSERT_NE(writer, nullptr) << error;
        EXPECT_FALSE(writer->State().formatted);
        EXPECT_EQ(writer->State().status, vdrive::DiscStatus::Empty);
    }
}

TEST(AttachSyntax, RejectsBadInputWithAMessage) {
    const struct {
        const char* driveSpec;
        const char* message;
    } cases[] = {
        {"", "no CUE sheet path"},
        {",media=cd-r", "no CUE sheet path"},
        {"d.cue,media=bluray", "bad value 'bluray' for media"},
        {"d.cue,media", "needs a value"},
        {"d.cue,speed=fast", "bad value 'fast' for speed"},
        {"d.cue,speed=-1", "bad value '-1' for speed"},
        {"d.cue,speed=256", "bad value '256' for speed"},
        {"d.cue,speed=", "bad value '' for speed"},
        {"d.cue,capacity=0", "bad value '0' for capacity"},
        {"d.cue,capacity=99999999999", "for capacity"},
        {"d.cue,fail-write-at=4294967296", "for fail-write-at"},
        {"d.cue,not-ready=1x", "for not-ready"},
        {"d.cue,busy-ms=3600001", "for busy-ms"},
        {"d.cue,slow-disc-ms=60001", "for slow-disc-ms"},
        {"d.cue,stuck-buffer=1", "takes no value"},
        {"d.cue,turbo", "unknown option 'turbo'"},
        {"d.cue,,speed=1", "empty option"},
        {"d.cue,speed=1,speed=2", "given twice"},
        {"d.cue,speed=1,", "empty option"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.driveSpec);
        vdrive::VirtualDriveOptions o;
        o.path = "unchanged";
        std::string error;
        EXPECT_FALSE(vdrive::ParseVirtualDriveSpec(c.driveSpec, o, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(o.path, "unchanged");
        EXPECT_EQ(vdrive::AttachVirtualDrive(c.driveSpec, error), nullptr);
    }
}

class Timing : public PlatformClean {
protected:
    std::shared_ptr<vdrive::ManualClock> clock_ = std::make_shared<vdrive::ManualClock>();
    std::unique_ptr<Drive> Make(const std::string& options) {
        return std::make_unique<Drive>(Route::Direct, dir_ / "disc.cue" + options, clock_);
    }
    static std::uint32_t Free(Drive& d) { return d.ReadBufferCapacity().Be32(8); }
    // The folder's files, by name, with their bytes.
    std::map<std::string, Bytes> Contents() const {
        std::map<std::string, Bytes> files;
        for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
            files[e.path().filename().string()] = ReadFile(e.path().string());
        return files;
    }
};

// 16x: 1200 blocks a second, 833333 ns a block.
constexpr auto kBlock16x = std::chrono::nanoseconds(1000000000 / 1200);

TEST_F(Timing, FullBufferMakesWriteWait) {
    auto d = Make(",speed=16");
    ASSERT_TRUE(d->SetWriteParameters(false).Good());
    for (std::uint32_t i = 0; i < 1024; ++i) ASSERT_TRUE(d->Write(i, Pattern(i, 1), 1).Good());
    EXPECT_EQ(clock_->Slept(), 0ns);   // 2 MiB fit the buffer
    EXPECT_EQ(Free(*d), 0u);
    ASSERT_TRUE(d->Write(1024, Pattern(1024, 1), 1).Good());
    EXPECT_NEAR(static_cast<double>(clock_->Slept().count()), static_cast<double>(kBlock16x.count()), 1000.0);

    clock_->Advance(100 * kBlock16x);   // 100 blocks drain
    EXPECT_NEAR(Free(*d), 100 * 2048, 2048);
    // SYNCHRONIZE CACHE returns when the buffer has drained.
    const auto before = clock_->Slept();
    ASSERT_TRUE(d->SyncCache().Good());
    EXPECT_NEAR(static_cast<double>((clock_->Slept() - before).count()), static_cast<double>((925 * kBlock16x).count()), 1e6);
    EXPECT_EQ(Free(*d), vdrive::kBufferBytes);
}

TEST_F(Timing, TheMediumWaitsForTheDiscFiles) {
    // Each write into the disc's files takes 20 ms, 24 blocks' worth at 16x: the buffer still
    // fills, as a drive's would behind a host that kept it fed, and the burn takes that longer.
    auto d = Make(",speed=16,slow-disc-ms=20");
    ASSERT_TRUE(d->SetWriteParameters(false).Good());
    for (std::uint32_t i = 0; i < 1024; ++i) ASSERT_TRUE(d->Write(i, Pattern(i, 1), 1).Good());
    EXPECT_EQ(Free(*d), 0u);
    EXPECT_EQ(clock_->Slept(), 1024 * 20ms);
    // Time the drive runs by itself still drains it.
    clock_->Advance(100 * kBlock16x);
    EXPECT_NEAR(Free(*d), 100 * 2048, 2048);
}

TEST_F(Timing, ImmedCommandsLeaveTheDriveBusy) {
    auto d = Make(",speed=16,media=cd-rw");
    ASSERT_TRUE(d->SetWriteParameters(false).Good());
    ASSERT_TRUE(d->Write(0, Pattern(0, 600), 600).Good());
    ASSERT_EQ(d->CloseTrack(1, true).Sense(), "GOOD");
    EXPECT_EQ(d->TestUnitReady().Sense(), "02/04/08");
    Reply s = d->RequestSense();
    ASSERT_EQ(s.Sense(), "GOOD");
    EXPECT_EQ(s.data[2], 0x02);
    EXPECT_EQ(s.data[12], 0x04);
    EXPECT_EQ(s.data[13], 0x08);
    EXPECT_EQ(s.data[15], 0x80);                               // progress indication valid
    EXPECT_EQ(d->In({0x12, 0, 0, 0, 36, 0}, 36).Sense(), "GOOD");   // INQUIRY still answers
    EXPECT_EQ(d->ReadToc().Sense(), "02/04/08");
    EXPECT_EQ(d->Write(600, Pattern(0, 1), 1).Sense(), "02/04/08");
    clock_->Advance(1s);   // buffer (600 blocks) and run-out (150)
    EXPECT_EQ(d->TestUnitReady().Sense(), "GOOD");

    // A full blank of an 80-minute disc at 16x takes about five minutes; progress climbs.
    ASSERT_EQ(d->CloseSession().Sense(), "GOOD");
    clock_->Advance(20s);
    ASSERT_EQ(d->Blank(0x10).Sense(), "GOOD");
    EXPECT_EQ(d->TestUnitReady().Sense(), "02/04/07");
    auto progress = [&] {
        Reply r = d->RequestSense();
        EXPECT_EQ(r.data[13], 0x07);
        EXPECT_EQ(r.data[15], 0x80);
        return r.Be16(16);
    };
    const std::uint32_t p0 = progress();
    clock_->Advance(150s);
    const std::uint32_t p1 = progress();
    EXPECT_LT(p0, 1000u);
    EXPECT_GT(p1, 30000u);
    EXPECT_LT(p1, 36000u);
    clock_->Advance(151s);
    EXPECT_EQ(d->TestUnitReady().Sense(), "GOOD");
    EXPECT_EQ(d->RequestSense().data[2], 0x00);
    EXPECT_EQ(clock_->Slept(), 0ns);   // nothing above waited

    // Without IMMED the command itself takes the time. A minimal blank takes what a real
    // drive needs for it, about half a minute at 16x, against five for the full blank.
    ASSERT_TRUE(d->Blank(0x01).Good());
    EXPECT_NEAR(std::chrono::duration<double>(clock_->Slept()).count(), 45000.0 / 1200.0, 0.01);
    EXPECT_EQ(d->TestUnitReady().Sense(), "GOOD");
}

// A full format of a DVD-RW at 4x (300 blocks a second) takes as long as writing the disc;
// with IMMED the drive answers FORMAT IN PROGRESS with a climbing progress meanwhile.
TEST_F(Timing, FormatUnitTakesItsTimeWithProgress) {
    auto d = Make(",media=dvd-rw,speed=4");
    const Bytes formatCdb = {0x04, 0x11, 0, 0, 0, 0};
    ASSERT_EQ(d->Out(formatCdb, {0, 0x02, 0, 8, 0x00, 0x23, 0x05, 0x40, 0x00, 0, 0, 16}).Sense(), "GOOD");
    EXPECT_EQ(d->TestUnitReady().Sense(), "02/04/04");
    EXPECT_EQ(d->DiscInfo().Sense(), "02/04/04");
    EXPECT_EQ(d->In({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8).Sense(), "GOOD");   // still answered
    auto progress = [&] {
        Reply r = d->RequestSense();
        EXPECT_EQ(r.data[2], 0x02);
        EXPECT_EQ(r.data[12], 0x04);
        EXPECT_EQ(r.data[13], 0x04);
        EXPECT_EQ(r.data[15], 0x80);
        return r.Be16(16);
    };
    EXPECT_LT(progress(), 100u);
    clock_->Advance(3825s);
    const std::uint32_t half = progress();
    EXPECT_GT(half, 32000u);
    EXPECT_LT(half, 33500u);
    clock_->Advance(3826s);
    EXPECT_EQ(d->TestUnitReady().Sense(), "GOOD");
    EXPECT_EQ(d->In({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8).Be16(6), 0x0013u);   // restricted overwrite now
    EXPECT_EQ(clock_->Slept(), 0ns);

    // Without IMMED the command itself takes the time: a DVD+RW's format is quick.
    auto plus = std::make_unique<Drive>(Route::Direct, dir_ / "plus.cue,media=dvd+rw,unformatted,speed=4", clock_);
    ASSERT_EQ(plus->Out(formatCdb, {0, 0, 0, 8, 0xFF, 0xFF, 0xFF, 0xFF, 0x26 << 2, 0, 0, 0}).Sense(), "GOOD");
    EXPECT_NEAR(std::chrono::duration<double>(clock_->Slept()).count(), 6750.0 / 300.0, 0.01);
    EXPECT_EQ(plus->TestUnitReady().Sense(), "GOOD");
    EXPECT_TRUE(plus->Writer().State().formatted);
}

// The chosen write speed runs the time model at the lower of it and the attach speed; the
// capabilities page and GET PERFORMANCE say what was chosen and what is offered.
TEST_F(Timing, ChosenWriteSpeedSetsTheTimeModel) {
    struct Case {
        const char* what;
        const char* attach;
        std::uint16_t askKBs;        // 0: not set
        unsigned timedX;             // x of the time model afterwards
        std::uint16_t selectedKBs;   // capabilities page, current write speed selected
        std::size_t offered;         // write speed descriptors
    };
    const std::vector<Case> cases = {
        {"8x of 52x", ",speed=52", 1412, 8, 1408, 9},
        {"8x as 176.4 kB/s counts it", ",speed=52", 1410, 8, 1408, 9},
        {"between offered speeds: the one below", ",speed=52", 1800, 8, 1408, 9},
        {"below every offered speed: the slowest", ",speed=52", 300, 4, 704, 9},
        {"faster than the drive", ",speed=16", 9000, 16, 2816, 4},
        {"max again", ",speed=52", 0xFFFF, 52, 9152, 9},
        {"unlimited drive, 24x chosen", "", 4234, 24, 4224, 9},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto d = std::make_unique<Drive>(Route::Direct, dir_ / ("speed" + std::to_string(++n) + ".cue") + c.attach, clock_);
        ASSERT_EQ(d->SetCdSpeed(c.askKBs).Sense(), "GOOD");
        const Reply speeds = d->WriteSpeeds();
        ASSERT_EQ(speeds.Sense(), "GOOD");
        EXPECT_EQ(speeds.Be32(0), 4 + 16 * c.offered);
        Reply page = d->ModeSense(0x2A);
        ASSERT_TRUE(page.Good());
        EXPECT_EQ(page.Be16(8 + 28), c.selectedKBs);
        EXPECT_EQ(page.Be16(8 + 20), c.selectedKBs);

        // 3000 blocks, then SYNCHRONIZE CACHE: the drive's time for them at the chosen speed.
        const auto before = clock_->Slept();
        ASSERT_TRUE(d->SetWriteParameters(false).Good());
        ASSERT_TRUE(d->Write(0, Pattern(0, 3000), 3000).Good());
        ASSERT_TRUE(d->SyncCache().Good());
        EXPECT_NEAR(std::chrono::duration<double>(clock_->Slept() - before).count(), 3000.0 / (75.0 * c.timedX), 0.01);
    }
}

// Test Write: every check and every second of a burn, and the disc as blank as before.
TEST_F(Timing, TestWriteRecordsNothing) {
    auto d = Make(",speed=16,media=cd-rw");
    const auto before = Contents();
    ASSERT_TRUE(d->SetWriteParameters(false, 0, true).Good());
    EXPECT_EQ(d->Write(1, Pattern(0, 1), 1).Sense(), "05/21/02");          // still only at the next address
    ASSERT_TRUE(d->Write(0, Pattern(0, 1200), 1200).Good());
    ASSERT_TRUE(d->Write(1200, Pattern(1200, 1200), 1200).Good());
    EXPECT_EQ(d->CloseTrack(2, false).Sense(), "05/24/00");               // the track being written is 1
    ASSERT_TRUE(d->CloseTrack(1, false).Good());
    ASSERT_TRUE(d->CloseSession(false).Good());
    EXPECT_EQ(d->CloseSession(false).Sense(), "05/2C/00");                 // nothing left to close
    // 2400 blocks, run-out and a first lead-in/lead-out at 16x.
    EXPECT_NEAR(std::chrono::duration<double>(clock_->Slept()).count(), (2400.0 + 150 + 11250) / 1200.0, 0.05);

    const vdrive::DiscState disc = d->Writer().State();
    EXPECT_EQ(disc.status, vdrive::DiscStatus::Empty);
    EXPECT_TRUE(disc.tracks.empty());
    EXPECT_EQ(disc.closedSessions, 0);
    EXPECT_EQ(d->ReadToc().Sense(), "05/24/00");
    EXPECT_EQ(Contents(), before) << "the sheet and every file beside it as they were";

    // The same drive then records for real, from address 0.
    ASSERT_TRUE(d->SetWriteParameters(false).Good());
    ASSERT_TRUE(d->Write(0, Pattern(0, 10), 10).Good());
    ASSERT_TRUE(d->CloseTrack(1, false).Good());
    EXPECT_EQ(d->Writer().State().tracks.size(), 1u);
}

// The other ways a disc could change under Test Write record nothing either: a disc-at-once
// DVD-R written into its reserved track, a DVD-RW formatted, a DVD+RW written in place.
TEST_F(Timing, TestWriteRecordsNothingOnAnyMedium) {
    // Page 05h with Test Write, BUFE and the given write type, Mode 1 data.
    const auto page05 = [](Drive& d, std::uint8_t writeType, bool testWrite) {
        Bytes list(8 + 52, 0);
        list[1] = 58;
        list[8] = 0x05;
        list[9] = 0x32;
        list[10] = static_cast<std::uint8_t>(0x40 | (testWrite ? 0x10 : 0) | writeType);
        list[11] = 0x05;
        list[12] = 0x08;
        return d.ModeSelect(list).Sense();
    };
    const Bytes formatCdb = {0x04, 0x11, 0, 0, 0, 0};
    const Bytes format15h = {0, 0, 0, 8, 0xFF, 0xFF, 0xFF, 0xFF, 0x15 << 2, 0, 0, 16};
    auto dash = std::make_unique<Drive>(Route::Direct, dir_ / "r.cue,media=dvd-r,capacity=5000", clock_);
    auto rw = std::make_unique<Drive>(Route::Direct, dir_ / "rw.cue,media=dvd-rw,capacity=5000", clock_);
    auto plus = std::make_unique<Drive>(Route::Direct, dir_ / "plus.cue,media=dvd+rw,capacity=5000", clock_);
    const auto before = Contents();

    ASSERT_EQ(page05(*dash, 2, true), "GOOD");
    ASSERT_EQ(dash->None({0x53, 0, 0, 0, 0, 0, 0, 0, 100, 0}).Sense(), "GOOD");   // RESERVE TRACK, 100 blocks
    ASSERT_TRUE(dash->Write(0, Pattern(0, 100), 100).Good());
    ASSERT_TRUE(dash->SyncCache().Good());   // a full reserved track: a real drive would close the disc here
    ASSERT_TRUE(dash->CloseTrack(1, false).Good());
    ASSERT_TRUE(dash->CloseSession(false).Good());
    EXPECT_EQ(dash->Writer().State().status, vdrive::DiscStatus::Empty);
    EXPECT_TRUE(dash->Writer().State().tracks.empty());
    // The simulated reservation went with the simulated session.
    ASSERT_EQ(page05(*dash, 2, false), "GOOD");
    EXPECT_EQ(dash->Write(0, Pattern(0, 1), 1).Sense(), "05/2C/00");

    ASSERT_EQ(page05(*rw, 0, true), "GOOD");
    ASSERT_EQ(rw->Out(formatCdb, format15h).Sense(), "GOOD");
    EXPECT_EQ(rw->In({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8).Be16(6), 0x0014u) << "still sequential";
    EXPECT_STREQ(rw->Writer().State().media->key, "dvd-rw");

    ASSERT_EQ(page05(*plus, 1, true), "GOOD");
    ASSERT_TRUE(plus->Write(0, Pattern(0, 16), 16).Good());
    EXPECT_EQ(plus->Write(5000, Pattern(0, 1), 1).Sense(), "05/21/00");   // checked as a real write is
    ASSERT_TRUE(plus->SyncCache().Good());
    ASSERT_TRUE(plus->CloseTrack(1, false).Good());
    EXPECT_EQ(plus->In({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 2048).data, Bytes(2048, 0));
    EXPECT_TRUE(plus->Writer().State().tracks.empty());

    dash.reset();
    rw.reset();
    plus.reset();
    EXPECT_EQ(Contents(), before);
}

TEST_F(Timing, UnlimitedSpeedCompletesAtOnceUnlessBusyIsAsked) {
    auto d = Make("");
    ASSERT_TRUE(d->SetWriteParameters(false).Good());
    for (std::uint32_t i = 0; i < 3000; ++i) ASSERT_TRUE(d->Write(i, Pattern(i, 1), 1).Good());
    EXPECT_EQ(Free(*d), vdrive::kBufferBytes);
    ASSERT_TRUE(d->CloseTrack(1, true).Good());
    EXPECT_EQ(d->TestUnitReady().Sense(), "GOOD");
    EXPECT_EQ(clock_->Slept(), 0ns);

    auto busy = std::make_unique<Drive>(Route::Direct, dir_ / "busy.cue,busy-ms=500", clock_);
    ASSERT_TRUE(busy->SetWriteParameters(false).Good());
    ASSERT_TRUE(busy->Write(0, Pattern(0, 2), 2).Good());
    ASSERT_TRUE(busy->CloseTrack(1, false).Good());   // without IMMED: done when it returns
    EXPECT_EQ(busy->TestUnitReady().Sense(), "GOOD");
    ASSERT_TRUE(busy->CloseSession(true).Good());
    EXPECT_EQ(busy->TestUnitReady().Sense(), "02/04/08");
    clock_->Advance(499ms);
    EXPECT_EQ(busy->TestUnitReady().Sense(), "02/04/08");
    clock_->Advance(1ms);
    EXPECT_EQ(busy->TestUnitReady().Sense(), "GOOD");
    ASSERT_TRUE(busy->SyncCache(true).Good());
    EXPECT_EQ(busy->TestUnitReady().Sense(), "02/04/08");
}

TEST_F(Timing, StuckBufferReportsFullButNeverBlocks) {
    auto d = Make(",speed=4,stuck-buffer");
    ASSERT_TRUE(d->SetWriteParameters(false).Good());
    EXPECT_EQ(Free(*d), 0u);
    EXPECT_EQ(d->ReadBufferCapacity().Be32(4), vdrive::kBufferBytes);
    for (std::uint32_t i = 0; i < 2000; ++i) ASSERT_TRUE(d->Write(i, Pattern(i, 1), 1).Good());
    EXPECT_EQ(Free(*d), 0u);
    EXPECT_EQ(clock_->Slept(), 0ns);
}

class Faults : public PlatformClean, public testing::WithParamInterface<Route> {
protected:
    std::unique_ptr<Drive> Make(const std::string& options) {
        return std::make_unique<Drive>(GetParam(), dir_ / "disc.cue" + options);
    }
};

TEST_P(Faults, WriteErrorAtAnAddress) {
    auto d = Make(",fail-write-at=5");
    ASSERT_TRUE(d->SetWriteParameters(false).Good());
    ASSERT_TRUE(d->Write(0, Pattern(0, 3), 3).Good());
    EXPECT_EQ(d->Write(3, Pattern(3, 4), 4).Sense(), "03/0C/00");   // covers 5
    EXPECT_EQ(d->TrackInfo(1, 0xFF).Be32(12), 3u);                  // nothing of it was written
    ASSERT_TRUE(d->Write(3, Pattern(3, 2), 2).Good());
    EXPECT_EQ(d->Write(5, Pattern(5, 1), 1).Sense(), "03/0C/00");
    EXPECT_EQ(d->Write(5, Pattern(5, 1), 1).Sense(), "03/0C/00");   // a defect stays
}

TEST_P(Faults, NotReadyForTheNextCommands) {
    auto d = Make(",not-ready=3");
    EXPECT_EQ(d->In({0x12, 0, 0, 0, 36, 0}, 36).Sense(), "GOOD");   // INQUIRY is never refused
    EXPECT_EQ(d->None({0x1E, 0, 0, 0, 0, 0}).Sense(), "GOOD");      // nor the tray's release
    Reply s = d->RequestSense();
    EXPECT_EQ(s.data[12], 0x04);
    EXPECT_EQ(s.data[13], 0x01);
    EXPECT_EQ(d->TestUnitReady().Sense(), "02/04/01");
    EXPECT_EQ(d->ModeSense(0x2A).Sense(), "02/04/01");
    EXPECT_EQ(d->TestUnitReady().Sense(), "02/04/01");
    EXPECT_EQ(d->TestUnitReady().Sense(), "GOOD");
}

TEST_P(Faults, NoReadBufferCapacity) {
    auto d = Make(",no-rbc");
    EXPECT_EQ(d->ReadBufferCapacity().Sense(), "05/20/00");
    EXPECT_EQ(d->TestUnitReady().Sense(), "GOOD");
}

TEST_P(Faults, NoGetConfiguration) {
    auto d = Make(",media=dvd+r,no-config");
    EXPECT_EQ(d->In({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8).Sense(), "05/20/00");
    EXPECT_EQ(d->DiscInfo().Sense(), "GOOD");   // everything else answers as before
}

TEST_P(Faults, RepliesClaimMoreThanTheySend) {
    auto d = Make(",bad-reply");
    ASSERT_TRUE(d->SetWriteParameters(false).Good());
    ASSERT_TRUE(d->Write(0, Pattern(0, 2), 2).Good());
    ASSERT_TRUE(d->CloseTrack(1).Good());
    Reply mode = d->ModeSense(0x05, 60);
    ASSERT_EQ(mode.Sense(), "GOOD");
    EXPECT_EQ(mode.moved, 60u);
    EXPECT_GT(mode.Be16(0), 1000u);
    Reply toc = d->ReadToc();
    EXPECT_EQ(toc.moved, 20u);
    EXPECT_GT(toc.Be16(0), 1000u);
    EXPECT_EQ(toc.data[5], 0x14);   // the real descriptors are still there
    Reply inq = d->In({0x12, 0, 0, 0, 36, 0}, 36);
    EXPECT_EQ(inq.data[4], 0xFF);
    EXPECT_GT(d->DiscInfo().Be16(0), 1000u);
    EXPECT_GT(d->ReadBufferCapacity().Be16(0), 1000u);
}

INSTANTIATE_TEST_SUITE_P(Routes, Faults, testing::Values(Route::Direct, Route::PassThrough), RouteName);

TEST_F(Timing, TrayControlForTests) {
    auto d = Make("");
    std::string error;
    EXPECT_FALSE(d->Writer().RemoveDisc(error));   // tray closed
    ASSERT_TRUE(d->None({0x1E, 0, 0, 0, 1, 0}).Good());
    EXPECT_FALSE(d->Writer().EjectTray());          // locked
    ASSERT_TRUE(d->None({0x1E, 0, 0, 0, 0, 0}).Good());
    ASSERT_TRUE(d->Writer().EjectTray());
    EXPECT_EQ(d->TestUnitReady().Sense(), "02/3A/02");
    ASSERT_TRUE(d->Writer().RemoveDisc(error)) << error;
    d->Writer().CloseTray();
    EXPECT_EQ(d->TestUnitReady().Sense(), "02/3A/00");
    ASSERT_TRUE(d->Writer().EjectTray());
    ASSERT_TRUE(d->Writer().InsertBlankDisc(*kvcat::MediumByKey("dvd-rom"), 1000, error)) << error;
    d->Writer().CloseTray();
    EXPECT_EQ(d->TestUnitReady().Sense(), "GOOD");
    EXPECT_EQ(d->In({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8).Be16(6), 0x0010u);
}

// Random CDBs, lengths and parameter lists: every answer is GOOD or CHECK CONDITION with fixed
// sense data, nothing crashes (the tests run under ASan and UBSan), and the disc stays loadable.
TEST_F(Timing, RandomCommandsNeverBreakTheDrive) {
    const struct {
        std::string key;
        const char* more;
        int commands;
    } runs[] = {{"cd-rw", "", 20000}, {"dvd-r", "", 5000}, {"dvd+r", "", 5000}, {"bd-re", ",unformatted", 5000},
                {"dvd-rw", "", 5000}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.key);
        const std::string sheet = "random-" + run.key + ".cue";
        auto d = std::make_unique<Drive>(Route::Direct, dir_ / sheet + ",media=" + run.key + run.more + ",capacity=4000,busy-ms=1", clock_);
        std::uint32_t seed = 12345;
        auto next = [&] {
            seed = seed * 1103515245u + 12345u;
            return seed >> 8;
        };
        const std::uint8_t opcodes[] = {0x00, 0x03, 0x12, 0x1B, 0x1E, 0x28, 0x2A, 0x35, 0x43, 0x46, 0x51,
                                        0x52, 0x55, 0x5A, 0x5B, 0x5C, 0xA1, 0xAD, 0x25, 0xBE, 0x04, 0x23, 0x53};
        d->SetWriteParameters(false);
        for (int i = 0; i < run.commands; ++i) {
            Bytes cdb(1 + next() % 16);
            for (auto& b : cdb) b = static_cast<std::uint8_t>(next());
            cdb[0] = opcodes[next() % sizeof opcodes];
            if (cdb[0] == 0x1B) cdb.resize(6, 0);   // keep the tray mostly closed
            if (cdb.size() >= 6 && cdb[0] == 0x1B && (next() % 4) != 0) cdb[4] = 0x03;
            if (cdb[0] == 0x2A && cdb.size() >= 10) {   // mostly sane writes, so the disc fills
                const auto s = d->Writer().State();
                const std::uint32_t nwa = s.nextWritableAddress.value_or(0);
                cdb = {0x2A, 0, 0, 0, static_cast<std::uint8_t>(nwa >> 8), static_cast<std::uint8_t>(nwa), 0, 0,
                       static_cast<std::uint8_t>(next() % 3), 0};
            }
            const std::size_t length = next() % 3 == 0 ? 0 : next() % 5000;
            Bytes data(length);
            for (auto& b : data) b = static_cast<std::uint8_t>(next());
            const auto direction = static_cast<win::ScsiRequest::Direction>(next() % 3);
            clock_->Advance(std::chrono::milliseconds(next() % 3));
            Reply r = d->Send(cdb, direction, data);
            ASSERT_TRUE(r.ok);
            ASSERT_TRUE(r.status == 0 || r.status == 2);
            if (r.status == 2) {
                ASSERT_EQ(r.sense.size(), 18u);
                ASSERT_EQ(r.sense[0], 0x70);
            }
            ASSERT_LE(r.moved, length);
        }
        d->Writer().CloseTray();
        ASSERT_TRUE(d->Writer().Flush());
        d.reset();
        Drive again(Route::Direct, dir_ / sheet);
        const std::string kept = again.Writer().State().media->key;
        // Formatting and blanking move a DVD-RW between its two modes; nothing else changes the medium.
        if (run.key == "dvd-rw") EXPECT_TRUE(kept == "dvd-rw" || kept == "dvd-rw-ro") << kept;
        else EXPECT_EQ(kept, run.key);
    }
}

}  // namespace
