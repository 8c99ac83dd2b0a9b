// Raw CDBs against the virtual writer, one table per command family, asserting reply bytes
// and sense data. Every test runs twice: calling the device directly and through
// CreateFileA/DeviceIoControl(IOCTL_SCSI_PASS_THROUGH_DIRECT) like the engine does.
#include <algorithm>
#include <map>
#include <set>

#include "VdriveFixture.h"

using namespace vdtest;
using Dir = win::ScsiRequest::Direction;

namespace {

struct Case {
    const char* name;
    Bytes cdb;
    Dir direction;
    std::size_t length;     // data-in buffer or data-out bytes (zero-filled)
    const char* sense;      // "GOOD" or key/ASC/ASCQ
    Bytes prefix;           // expected first reply bytes (data in)
    std::uint32_t moved = 0xFFFFFFFF;   // expected bytes moved, if given
};

class Conformance : public PlatformClean, public testing::WithParamInterface<Route> {
protected:
    std::unique_ptr<Drive> Make(const std::string& options = "") {
        return std::make_unique<Drive>(GetParam(), dir_ / "disc.cue" + options);
    }
    static void RunTable(Drive& d, const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            Reply r = d.Send(c.cdb, c.direction, Bytes(c.length, 0));
            ASSERT_TRUE(r.ok);
            EXPECT_EQ(r.Sense(), c.sense);
            if (r.status != 0) {
                EXPECT_EQ(r.status, 2);
                ASSERT_GE(r.sense.size(), 18u);
                EXPECT_EQ(r.sense[0], 0x70);
                EXPECT_EQ(r.sense[7], 10);
            }
            ASSERT_LE(c.prefix.size(), r.data.size());
            EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + static_cast<std::ptrdiff_t>(c.prefix.size())), c.prefix);
            if (c.moved != 0xFFFFFFFF) {
                EXPECT_EQ(r.moved, c.moved);
            }
        }
    }
    // A disc with one closed data track of `blocks` blocks, session closed.
    static void BurnDataTrack(Drive& d, std::uint32_t blocks, bool closeSession = true) {
        ASSERT_TRUE(d.SetWriteParameters(false).Good());
        ASSERT_EQ(d.Write(0, Pattern(0, blocks), static_cast<std::uint16_t>(blocks)).Sense(), "GOOD");
        ASSERT_EQ(d.SyncCache().Sense(), "GOOD");
        ASSERT_EQ(d.CloseTrack(1).Sense(), "GOOD");
        if (closeSession) {
            ASSERT_EQ(d.CloseSession().Sense(), "GOOD");
        }
    }
};

TEST_P(Conformance, InquiryAndUnknownCommands) {
    auto d = Make();
    const Bytes head = {0x05, 0x80, 0x05, 0x02, 91, 0, 0, 0, 'K', 'E', 'E', 'L', 'V', 'A', 'N', 'E',
                        'V', 'I', 'R', 'T', 'U', 'A', 'L', ' ', 'W', 'R', 'I', 'T', 'E', 'R', ' ', ' '};
    RunTable(*d, {
        {"standard, 36 bytes", {0x12, 0, 0, 0, 36, 0}, Dir::In, 36, "GOOD", head, 36},
        {"standard, the scan's 100 bytes", {0x12, 0, 0, 0, 100, 0}, Dir::In, 100, "GOOD", head, 96},
        {"allocation shorter than the data", {0x12, 0, 0, 0, 5, 0}, Dir::In, 36, "GOOD", {0x05, 0x80, 0x05, 0x02, 91, 0}, 5},
        {"VPD page list", {0x12, 1, 0x00, 0, 32, 0}, Dir::In, 32, "GOOD", {0x05, 0x00, 0x00, 0x02, 0x00, 0x80}},
        {"VPD serial number", {0x12, 1, 0x80, 0, 32, 0}, Dir::In, 32, "GOOD", {0x05, 0x80, 0x00, 16}, 20},
        {"unsupported VPD page", {0x12, 1, 0x83, 0, 32, 0}, Dir::In, 32, "05/24/00", {}, 0},
        {"page code without EVPD", {0x12, 0, 0x80, 0, 32, 0}, Dir::In, 32, "05/24/00", {}},
        {"CmdDt", {0x12, 2, 0, 0, 32, 0}, Dir::In, 32, "05/24/00", {}},
        {"READ CAPACITY is not implemented", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::In, 8, "05/20/00", {}, 0},
        {"READ CD is not implemented", {0xBE, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, Dir::In, 2352, "05/20/00", {}},
        {"vendor opcode", {0xFF, 0, 0, 0, 0, 0}, Dir::None, 0, "05/20/00", {}},
        {"WRITE(10) in a 6-byte CDB", {0x2A, 0, 0, 0, 0, 0}, Dir::Out, 0, "05/24/00", {}},
        {"BLANK in a 10-byte CDB", {0xA1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "05/24/00", {}},
    });
    Bytes full = d->In({0x12, 0, 0, 0, 96, 0}, 96).data;
    EXPECT_EQ(std::string(full.begin() + 32, full.begin() + 36), "1.00");
}

TEST_P(Conformance, TrayMediumAndSense) {
    auto d = Make();
    RunTable(*d, {
        {"ready", {0x00, 0, 0, 0, 0, 0}, Dir::None, 0, "GOOD", {}},
        {"no sense pending", {0x03, 0, 0, 0, 18, 0}, Dir::In, 18, "GOOD", {0x70, 0, 0x00, 0, 0, 0, 0, 10}, 18},
        {"descriptor sense is not offered", {0x03, 1, 0, 0, 18, 0}, Dir::In, 18, "05/24/00", {}},
        {"lock", {0x1E, 0, 0, 0, 1, 0}, Dir::None, 0, "GOOD", {}},
        {"eject refused while locked", {0x1B, 1, 0, 0, 0x02, 0}, Dir::None, 0, "05/53/02", {}},
        {"unlock", {0x1E, 0, 0, 0, 0, 0}, Dir::None, 0, "GOOD", {}},
        {"eject", {0x1B, 1, 0, 0, 0x02, 0}, Dir::None, 0, "GOOD", {}},
        {"tray open", {0x00, 0, 0, 0, 0, 0}, Dir::None, 0, "02/3A/02", {}},
        {"sense says tray open", {0x03, 0, 0, 0, 18, 0}, Dir::In, 18, "GOOD", {0x70, 0, 0x02}},
        {"READ TOC with the tray open", {0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0}, Dir::In, 12, "02/3A/02", {}},
        {"INQUIRY with the tray open", {0x12, 0, 0, 0, 36, 0}, Dir::In, 36, "GOOD", {0x05}},
        {"MODE SENSE with the tray open", {0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0, 60, 0}, Dir::In, 60, "GOOD", {}},
        {"load", {0x1B, 0, 0, 0, 0x03, 0}, Dir::None, 0, "GOOD", {}},
        {"ready again", {0x00, 0, 0, 0, 0, 0}, Dir::None, 0, "GOOD", {}},
        {"spin up", {0x1B, 0, 0, 0, 0x01, 0}, Dir::None, 0, "GOOD", {}},
    });
    // The sense of the open tray carries its own codes.
    d->None({0x1B, 0, 0, 0, 0x02, 0});
    Reply s = d->RequestSense();
    EXPECT_EQ(s.data[12], 0x3A);
    EXPECT_EQ(s.data[13], 0x02);

    auto empty = std::make_unique<Drive>(GetParam(), dir_ / "empty.cue,media=none");
    RunTable(*empty, {
        {"no disc", {0x00, 0, 0, 0, 0, 0}, Dir::None, 0, "02/3A/00", {}},
        {"no disc to read", {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, Dir::In, 34, "02/3A/00", {}},
        {"no profile", {0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, Dir::In, 8, "GOOD", {0, 0, 0x01, 0x00, 0, 0, 0x00, 0x00}},
    });
    EXPECT_FALSE(std::filesystem::exists(dir_ / "empty.cue"));
}

TEST_P(Conformance, ModePages) {
    auto d = Make(",speed=16");
    // Page 2Ah: 16x = 2816 kB/s for writing, 52x = 9152 for reading.
    Reply caps = d->ModeSense(0x2A);
    ASSERT_EQ(caps.Sense(), "GOOD");
    const std::size_t p = 8;
    EXPECT_EQ(caps.data[p], 0x2A);
    EXPECT_EQ(caps.Be16(0), caps.data[p + 1] + 2u + 6u);   // mode data length
    EXPECT_EQ(caps.Be16(6), 0u);                           // no block descriptors
    EXPECT_EQ(caps.data[p + 2] & 0x03, 0x03);              // reads CD-R and CD-RW
    EXPECT_EQ(caps.data[p + 3] & 0x03, 0x03);              // writes CD-R and CD-RW
    EXPECT_EQ(caps.data[p + 4] & 0x80, 0x80);              // buffer underrun free recording
    EXPECT_EQ(caps.data[p + 6] & 0x08, 0x08);              // eject
    EXPECT_EQ(caps.Be16(p + 8), 9152u);
    EXPECT_EQ(caps.Be16(p + 14), 9152u);
    EXPECT_EQ(caps.Be16(p + 18), 2816u);
    EXPECT_EQ(caps.Be16(p + 20), 2816u);

    Bytes page05Default = {0x05, 0x32, 0x01, 0x04, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x96};
    page05Default.resize(52);
    Bytes header = {0, 58, 0, 0, 0, 0, 0, 0};
    Bytes current = header;
    current.insert(current.end(), page05Default.begin(), page05Default.end());
    RunTable(*d, {
        {"page 05h current", {0x5A, 0x08, 0x05, 0, 0, 0, 0, 0, 60, 0}, Dir::In, 60, "GOOD", current, 60},
        {"page 05h changeable", {0x5A, 0x08, 0x45, 0, 0, 0, 0, 0, 60, 0}, Dir::In, 60, "GOOD",
         {0, 58, 0, 0, 0, 0, 0, 0, 0x05, 0x32, 0x5F, 0xFF, 0x0F, 0, 0, 0x3F, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"page 05h default", {0x5A, 0x08, 0x85, 0, 0, 0, 0, 0, 60, 0}, Dir::In, 60, "GOOD", current},
        {"saved values", {0x5A, 0x08, 0xC5, 0, 0, 0, 0, 0, 60, 0}, Dir::In, 60, "05/39/00", {}},
        {"unknown page", {0x5A, 0x08, 0x0E, 0, 0, 0, 0, 0, 60, 0}, Dir::In, 60, "05/24/00", {}},
        {"subpage", {0x5A, 0x08, 0x05, 1, 0, 0, 0, 0, 60, 0}, Dir::In, 60, "05/24/00", {}},
        {"header only", {0x5A, 0x08, 0x05, 0, 0, 0, 0, 0, 8, 0}, Dir::In, 8, "GOOD", {0, 58, 0, 0, 0, 0, 0, 0}, 8},
        {"all pages", {0x5A, 0x08, 0x3F, 0, 0, 0, 0, 0x01, 0x00, 0}, Dir::In, 256, "GOOD", {}},
    });

    Reply mask2A = d->ModeSense(0x6A);
    ASSERT_EQ(mask2A.Sense(), "GOOD");
    EXPECT_EQ(mask2A.data[p], 0x2A);
    EXPECT_TRUE(std::all_of(mask2A.data.begin() + p + 2, mask2A.data.begin() + p + 2 + mask2A.data[p + 1],
                            [](std::uint8_t b) { return b == 0; }));

    // MODE SELECT against the changeable mask.
    auto select = [&](auto edit, std::size_t listLength = 60) {
        Bytes list = current;
        list[0] = 0;
        list[1] = 0;
        edit(list);
        list.resize(listLength);
        return d->ModeSelect(list).Sense();
    };
    EXPECT_EQ(select([](Bytes& l) { l[10] = 0x51; }), "GOOD");              // test write, BUFE
    EXPECT_EQ(d->ModeSense(0x05, 60).data[10], 0x51);
    EXPECT_EQ(select([](Bytes& l) { l[10] = 0x41; l[12] = 0x00; l[11] = 0x01; }), "GOOD");   // audio, BUFE
    Reply now = d->ModeSense(0x05, 60);
    EXPECT_EQ(now.data[10], 0x41);
    EXPECT_EQ(now.data[11], 0x01);
    EXPECT_EQ(now.data[12], 0x00);
    EXPECT_EQ(select([](Bytes& l) { l[10] = 0x61; }), "05/26/00");          // LS_V is not changeable
    EXPECT_EQ(select([](Bytes& l) { l[13] = 0x10; }), "05/26/00");          // link size is not changeable
    EXPECT_EQ(select([](Bytes& l) { l[9] = 0x30; }), "05/26/00");           // wrong page length
    EXPECT_EQ(select([](Bytes& l) { l[10] = 0x43; }), "05/26/00");          // raw write type not offered
    EXPECT_EQ(select([](Bytes& l) { l[12] = 0x0A; }), "05/26/00");          // Mode 2 block type
    EXPECT_EQ(select([](Bytes& l) { l[11] = 0x84; }), "05/26/00");          // reserved multisession value
    EXPECT_EQ(select([](Bytes& l) { l[8] = 0x0E; }), "05/26/00");           // a page this drive lacks
    EXPECT_EQ(select([](Bytes& l) { l[7] = 4; }), "05/26/00");              // odd block descriptor length
    EXPECT_EQ(select([](Bytes&) {}, 40), "05/1A/00");                       // page cut short
    EXPECT_EQ(select([](Bytes&) {}, 6), "05/1A/00");                        // header cut short
    // The failed selects changed nothing.
    EXPECT_EQ(d->ModeSense(0x05, 60).data, now.data);
    // PF clear, SP set, data shorter than the CDB says.
    EXPECT_EQ(d->Out({0x55, 0x00, 0, 0, 0, 0, 0, 0, 60, 0}, current).Sense(), "05/24/00");
    EXPECT_EQ(d->Out({0x55, 0x11, 0, 0, 0, 0, 0, 0, 60, 0}, current).Sense(), "05/24/00");
    EXPECT_EQ(d->Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, Bytes(current.begin(), current.begin() + 30)).Sense(), "05/1A/00");
    EXPECT_EQ(d->Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 0, 0}, {}).Sense(), "GOOD");   // empty list
    // The write parameters exactly as the data burn sends them.
    EXPECT_EQ(d->SetWriteParameters(false).Sense(), "GOOD");
    EXPECT_EQ(d->ModeSense(0x05, 60).data[10], 0x41);
}

TEST_P(Conformance, WriteCloseAndToc) {
    auto d = Make(",capacity=1000");
    ASSERT_EQ(d->SetWriteParameters(false).Sense(), "GOOD");
    RunTable(*d, {
        {"TOC of a blank disc", {0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0}, Dir::In, 12, "05/24/00", {}},
        {"write past the next writable address", {0x2A, 0, 0, 0, 0, 5, 0, 0, 1, 0}, Dir::Out, 2048, "05/21/02", {}},
        {"transfer length and data disagree", {0x2A, 0, 0, 0, 0, 0, 0, 0, 2, 0}, Dir::Out, 2048, "05/24/00", {}},
        {"raw block size while Mode 1 is set", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, Dir::Out, 2352, "05/24/00", {}},
        {"zero blocks", {0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::Out, 0, "GOOD", {}},
        {"close a track never started", {0x5B, 1, 1, 0, 0, 1, 0, 0, 0, 0}, Dir::None, 0, "05/24/00", {}},
        {"close an empty session", {0x5B, 1, 2, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "05/2C/00", {}},
        {"first block", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, Dir::Out, 2048, "GOOD", {}},
        {"same address again", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, Dir::Out, 2048, "05/21/02", {}},
        {"beyond the capacity", {0x2A, 0, 0, 0, 0, 1, 0, 0x03, 0xE8, 0}, Dir::Out, 1000 * 2048, "05/21/00", {}},
        {"close function 3", {0x5B, 1, 3, 0, 0, 1, 0, 0, 0, 0}, Dir::None, 0, "05/24/00", {}},
        {"close the wrong track", {0x5B, 1, 1, 0, 0, 2, 0, 0, 0, 0}, Dir::None, 0, "05/24/00", {}},
    });
    ASSERT_EQ(d->Write(1, Pattern(1, 99), 99).Sense(), "GOOD");
    ASSERT_EQ(d->SyncCache().Sense(), "GOOD");
    ASSERT_EQ(d->CloseTrack(1).Sense(), "GOOD");

    // One data track of 100 blocks: track 1 at 0 with 14h, lead-out at 100.
    Reply toc = d->ReadToc();
    ASSERT_EQ(toc.Sense(), "GOOD");
    EXPECT_EQ(Bytes(toc.data.begin(), toc.data.begin() + 20),
              (Bytes{0x00, 0x12, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0, 0, 0x14, 0xAA, 0, 0, 0, 0, 100}));
    EXPECT_EQ(toc.moved, 20u);
    Reply msf = d->ReadToc(true);
    EXPECT_EQ(Bytes(msf.data.begin() + 4, msf.data.begin() + 20),
              (Bytes{0, 0x14, 1, 0, 0, 0, 2, 0, 0, 0x14, 0xAA, 0, 0, 0, 3, 25}));   // 00:02:00, 00:03:25
    RunTable(*d, {
        {"lead-out only", {0x43, 0, 0, 0, 0, 0, 0xAA, 0, 12, 0}, Dir::In, 12, "GOOD", {0, 10, 1, 1, 0, 0x14, 0xAA, 0, 0, 0, 0, 100}},
        {"no such track", {0x43, 0, 0, 0, 0, 0, 2, 0, 12, 0}, Dir::In, 12, "05/24/00", {}},
        {"session information", {0x43, 0, 1, 0, 0, 0, 0, 0, 12, 0}, Dir::In, 12, "GOOD", {0, 10, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0}},
        {"full TOC is not offered", {0x43, 0, 2, 0, 0, 0, 0, 0, 12, 0}, Dir::In, 12, "05/24/00", {}},
        {"TOC header only", {0x43, 0, 0, 0, 0, 0, 0, 0, 4, 0}, Dir::In, 4, "GOOD", {0, 0x12, 1, 1}, 4},
    });

    ASSERT_EQ(d->CloseSession().Sense(), "GOOD");
    const Bytes block1 = Pattern(1, 1);
    RunTable(*d, {
        {"write on a closed disc", {0x2A, 0, 0, 0, 0, 100, 0, 0, 1, 0}, Dir::Out, 2048, "05/21/02", {}},
        {"close a session twice", {0x5B, 1, 2, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "05/2C/00", {}},
        {"read block 1", {0x28, 0, 0, 0, 0, 1, 0, 0, 1, 0}, Dir::In, 2048, "GOOD", Bytes(block1.begin(), block1.begin() + 16)},
        {"read past the track", {0x28, 0, 0, 0, 0, 99, 0, 0, 2, 0}, Dir::In, 4096, "05/21/00", {}},
        {"read into a short buffer", {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, Dir::In, 2048, "05/24/00", {}},
    });
}

TEST_P(Conformance, AudioTracksAndModes) {
    auto d = Make();
    ASSERT_EQ(d->SetWriteParameters(true).Sense(), "GOOD");
    ASSERT_EQ(d->Write(0, Pattern(0, 10, 2352), 10).Sense(), "GOOD");
    EXPECT_EQ(d->Write(10, Pattern(0, 1), 1).Sense(), "05/24/00");   // 2048 bytes for a 2352-byte block
    ASSERT_EQ(d->CloseTrack(1).Sense(), "GOOD");
    ASSERT_EQ(d->Write(10, Pattern(10, 20, 2352), 20).Sense(), "GOOD");   // straight after track 1
    ASSERT_EQ(d->CloseTrack(2).Sense(), "GOOD");
    // Data block type 8 with an audio track mode is a mode the track cannot have.
    Bytes list(60, 0);
    list[8] = 0x05; list[9] = 0x32; list[10] = 0x41; list[11] = 0x00; list[12] = 0x08; list[23] = 0x96;
    ASSERT_EQ(d->ModeSelect(list).Sense(), "GOOD");
    EXPECT_EQ(d->Write(30, Pattern(0, 1), 1).Sense(), "05/64/00");
    ASSERT_EQ(d->SetWriteParameters(true).Sense(), "GOOD");
    ASSERT_EQ(d->CloseSession().Sense(), "GOOD");

    Reply toc = d->ReadToc();
    EXPECT_EQ(Bytes(toc.data.begin(), toc.data.begin() + 28),
              (Bytes{0, 26, 1, 2, 0, 0x12, 1, 0, 0, 0, 0, 0, 0, 0x12, 2, 0, 0, 0, 0, 10, 0, 0x12, 0xAA, 0, 0, 0, 0, 30}));
    EXPECT_EQ(d->In({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 2048).Sense(), "05/64/00");   // READ(10) of audio
    EXPECT_EQ(vdtest::ReadFile(d->Writer().State().tracks[1].file), Pattern(10, 20, 2352));
}

TEST_P(Conformance, DiscAndTrackInformation) {
    auto d = Make(",media=cd-rw,capacity=20000");
    // Blank: empty disc, empty session, invisible track 1 from 0 with all 20000 blocks free.
    Reply di = d->DiscInfo();
    ASSERT_EQ(di.Sense(), "GOOD");
    EXPECT_EQ(Bytes(di.data.begin(), di.data.begin() + 8), (Bytes{0, 32, 0x10, 1, 1, 1, 1, 0x20}));
    EXPECT_EQ(Bytes(di.data.begin() + 20, di.data.begin() + 24), (Bytes{0, 4, 28, 50}));   // 20000+150 = 04:28:50
    Reply ti = d->TrackInfo(1, 0xFF);
    ASSERT_EQ(ti.Sense(), "GOOD");
    EXPECT_EQ(ti.data[2], 1);
    EXPECT_EQ(ti.data[6] & 0x40, 0x40);   // blank
    EXPECT_EQ(ti.data[7] & 0x01, 0x01);   // NWA valid
    EXPECT_EQ(ti.Be32(12), 0u);
    EXPECT_EQ(ti.Be32(16), 20000u);

    ASSERT_EQ(d->SetWriteParameters(false, 3).Sense(), "GOOD");   // next session allowed
    ASSERT_EQ(d->Write(0, Pattern(0, 40), 40).Sense(), "GOOD");
    // Incomplete disc with an open track 1: NWA 40.
    di = d->DiscInfo();
    EXPECT_EQ(di.data[2], 0x10 | 1 << 2 | 1);
    ti = d->TrackInfo(1, 0xFF);
    EXPECT_EQ(ti.data[2], 1);
    EXPECT_EQ(ti.data[6] & 0x40, 0);
    EXPECT_EQ(ti.Be32(8), 0u);
    EXPECT_EQ(ti.Be32(12), 40u);
    EXPECT_EQ(ti.Be32(16), 19960u);
    EXPECT_EQ(ti.Be32(28), 39u);
    ASSERT_EQ(d->CloseTrack(1).Sense(), "GOOD");
    ASSERT_EQ(d->CloseSession().Sense(), "GOOD");

    // Appendable: session 1 closed, session 2 empty, its invisible track 2 after the session gap.
    di = d->DiscInfo();
    EXPECT_EQ(Bytes(di.data.begin() + 2, di.data.begin() + 7), (Bytes{0x10 | 0 << 2 | 1, 1, 2, 2, 2}));
    RunTable(*d, {
        {"track 1 by number", {0x52, 1, 0, 0, 0, 1, 0, 0, 36, 0}, Dir::In, 36, "GOOD",
         {0, 34, 1, 1, 0, 0x04, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40}},
        {"track 1 by address", {0x52, 0, 0, 0, 0, 39, 0, 0, 36, 0}, Dir::In, 36, "GOOD", {0, 34, 1, 1}},
        {"session 1", {0x52, 2, 0, 0, 0, 1, 0, 0, 36, 0}, Dir::In, 36, "GOOD", {0, 34, 1, 1}},
        {"invisible track", {0x52, 1, 0, 0, 0, 0xFF, 0, 0, 36, 0}, Dir::In, 36, "GOOD",
         {0, 34, 2, 2, 0, 0x04, 0x4F, 0x01, 0, 0, 0x2C, 0xB0, 0, 0, 0x2C, 0xB0, 0, 0, 0x21, 0x70}},   // 40 + 11400; 20000 - 11440 free
        {"track 3 does not exist", {0x52, 1, 0, 0, 0, 3, 0, 0, 36, 0}, Dir::In, 36, "05/24/00", {}},
        {"lead-in is not a track", {0x52, 1, 0, 0, 0, 0, 0, 0, 36, 0}, Dir::In, 36, "05/24/00", {}},
        {"other data types", {0x51, 1, 0, 0, 0, 0, 0, 0, 34, 0}, Dir::In, 34, "05/24/00", {}},
    });
}

TEST_P(Conformance, BufferBlankAndDvd) {
    auto d = Make(",media=cd-r");
    RunTable(*d, {
        {"buffer, bytes", {0x5C, 0, 0, 0, 0, 0, 0, 0, 12, 0}, Dir::In, 12, "GOOD", {0, 10, 0, 0, 0, 0x20, 0, 0, 0, 0x20, 0, 0}, 12},
        {"buffer, blocks", {0x5C, 1, 0, 0, 0, 0, 0, 0, 12, 0}, Dir::In, 12, "GOOD", {0, 10, 0, 0, 0, 1, 0, 0, 0, 0, 4, 0}},
        {"blank a CD-R", {0xA1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "05/30/00", {}},
        {"DVD structure of a CD", {0xAD, 0, 0, 0, 0, 0, 0, 0, 0, 21, 0, 0}, Dir::In, 21, "05/30/02", {}},
        {"profile CD-R", {0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, Dir::In, 8, "GOOD", {0, 0, 0x01, 0x00, 0, 0, 0x00, 0x09}},
        {"one feature: CD track at once", {0x46, 2, 0, 0x2D, 0, 0, 0, 0, 16, 0}, Dir::In, 16, "GOOD",
         {0, 0, 0, 12, 0, 0, 0x00, 0x09, 0x00, 0x2D, 0x09, 4, 0x44}},   // BUF, Test Write
    });

    auto rw = std::make_unique<Drive>(GetParam(), dir_ / "rw.cue,media=cd-rw");
    ASSERT_EQ(rw->SetWriteParameters(false).Sense(), "GOOD");
    ASSERT_EQ(rw->Write(0, Pattern(0, 4), 4).Sense(), "GOOD");
    ASSERT_EQ(rw->CloseTrack(1).Sense(), "GOOD");
    ASSERT_EQ(rw->CloseSession().Sense(), "GOOD");
    const std::string trackFile = rw->Writer().State().tracks.at(0).file;
    RunTable(*rw, {
        {"profile CD-RW", {0x46, 1, 0, 0, 0, 0, 0, 0, 8, 0}, Dir::In, 8, "GOOD", {0, 0, 0, 0x84, 0, 0, 0x00, 0x0A}},
        {"blank type 5 is not offered", {0xA1, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "05/24/00", {}},
        {"minimal blank", {0xA1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "GOOD", {}},
        {"blank disc has no TOC", {0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0}, Dir::In, 12, "05/24/00", {}},
        {"written again from 0", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, Dir::Out, 2048, "GOOD", {}},
        {"full blank", {0xA1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "GOOD", {}},
    });
    EXPECT_FALSE(std::filesystem::exists(trackFile));
    EXPECT_EQ(rw->Writer().State().status, vdrive::DiscStatus::Empty);

    auto dvd = std::make_unique<Drive>(GetParam(), dir_ / "dvd.cue,media=dvd-rom,capacity=2295104");
    RunTable(*dvd, {
        {"DVD-ROM layer descriptor", {0xAD, 0, 0, 0, 0, 0, 0, 0, 0, 21, 0, 0}, Dir::In, 21, "GOOD",
         {0x08, 0x02, 0, 0, 0x01, 0x02, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x26, 0x05, 0x3F}, 21},
        {"layer 1 of a single-layer disc", {0xAD, 0, 0, 0, 0, 0, 1, 0, 0, 21, 0, 0}, Dir::In, 21, "05/24/00", {}},
        {"copyright format", {0xAD, 0, 0, 0, 0, 0, 0, 1, 0, 8, 0, 0}, Dir::In, 8, "05/24/00", {}},
        {"profile DVD-ROM", {0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, Dir::In, 8, "GOOD", {0, 0, 0x01, 0x00, 0, 0, 0x00, 0x10}},
        {"write a DVD-ROM", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, Dir::Out, 2048, "05/30/05", {}},
        {"blank a DVD-ROM", {0xA1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "05/30/00", {}},
    });
    auto plus = std::make_unique<Drive>(GetParam(), dir_ / "plus.cue,media=dvd+rw");
    RunTable(*plus, {
        {"DVD+RW layer descriptor", {0xAD, 0, 0, 0, 0, 0, 0, 0, 0, 21, 0, 0}, Dir::In, 21, "GOOD", {0x08, 0x02, 0, 0, 0x92, 0x02, 0x04}},
        {"profile DVD+RW", {0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, Dir::In, 8, "GOOD", {0, 0, 0x01, 0x00, 0, 0, 0x00, 0x1A}},
    });
}

// One case per medium: what a new disc reports, how the CD's track-at-once write parameters and
// a WRITE with whatever page is current fare, and how the medium's close functions end it.
struct MediumCase {
    const char* media;
    std::uint16_t profile;
    std::uint32_t capacity;
    std::uint16_t feature;          // a feature current for this medium only (GET CONFIGURATION RT=1)
    std::uint8_t newDiscInfo;       // READ DISC INFORMATION byte 2: erasable, session state, disc status
    const char* trackAtOnce;        // MODE SELECT of the CD burn's page 05h
    const char* firstWrite;         // WRITE of blocks 0..15
    std::vector<std::uint8_t> closes;   // close functions sent after writing, each answered GOOD
    std::uint8_t endDiscInfo;       // READ DISC INFORMATION byte 2 afterwards
    const char* writeAfter;         // WRITE of the next block afterwards
};

// What the columns of a catalogue row say a drive does with the medium.
MediumCase CaseOf(const kvcat::Medium& row) {
    const auto& f = row.drive.features;
    const auto last = std::find(f.begin(), f.end(), 0);
    const std::uint16_t familyRead = row.family == kvcat::Family::CD ? 0x001E : row.family == kvcat::Family::DVD ? 0x001F : 0x0040;
    const std::uint8_t erasable = row.drive.erasable ? 0x10 : 0x00;
    const bool sequential = row.Writable() && !row.Overwritable();
    std::vector<std::uint8_t> closes;
    if (row.Overwritable()) closes = {0, 1, 2};
    else if (sequential) closes = {1, static_cast<std::uint8_t>(row.drive.finalizeFunctions & kvcat::Bit(6) ? 6 : 2)};
    return {row.key, row.profile, row.capacity, last == f.begin() ? familyRead : *(last - 1),
            static_cast<std::uint8_t>(erasable | (sequential ? 0x00 : 0x0E)),
            row.drive.writeTypes & kvcat::Bit(1) ? "GOOD" : "05/26/00", row.Writable() ? "GOOD" : "05/30/05", closes,
            static_cast<std::uint8_t>(erasable | 0x0E), !row.Writable() ? "05/30/05" : sequential ? "05/21/02" : "GOOD"};
}

// The features a reply lists, with their current bit.
std::map<std::uint16_t, bool> Features(const Reply& r) {
    std::map<std::uint16_t, bool> f;
    const std::size_t end = std::min<std::size_t>(r.moved, 4 + r.Be32(0));
    for (std::size_t p = 8; p + 4 <= end; p += 4 + r.data[p + 3]) f[static_cast<std::uint16_t>(r.Be16(p))] = r.data[p + 2] & 1;
    return f;
}

TEST_P(Conformance, EveryMediumAsItsDriveHandlesIt) {
    std::set<std::uint16_t> profiles;
    for (const kvcat::Medium& row : kvcat::Media()) profiles.insert(row.profile);
    for (const kvcat::Medium& row : kvcat::Media()) {
        if (row.key == nullptr) continue;   // no virtual disc of it
        const MediumCase m = CaseOf(row);
        SCOPED_TRACE(m.media);
        const std::string sheet = dir_ / (std::string(m.media) + ".cue");
        const Bytes data = Pattern(0, 16);
        {
            Drive d(GetParam(), sheet + ",media=" + m.media);
            Reply config = d.In({0x46, 0, 0, 0, 0, 0, 0, 0x04, 0, 0}, 1024);
            ASSERT_EQ(config.Sense(), "GOOD");
            EXPECT_EQ(config.Be16(6), m.profile);
            // The profile list names every profile of the catalogue once, the medium's flagged current.
            ASSERT_EQ(config.Be16(8), 0x0000u);
            ASSERT_EQ(config.data[11], profiles.size() * 4);
            int currentProfiles = 0;
            for (std::size_t p = 12; p < 12 + profiles.size() * 4; p += 4)
                if (config.data[p + 2] & 1) {
                    ++currentProfiles;
                    EXPECT_EQ(config.Be16(p), m.profile);
                }
            EXPECT_EQ(currentProfiles, 1);
            auto all = Features(config);
            EXPECT_TRUE(all.count(m.feature));
            for (std::uint16_t code : {0x0000, 0x0001, 0x0002, 0x0003}) EXPECT_TRUE(all[code]) << code;
            // RT=1: only current features, in ascending order; the medium's own among them.
            auto current = Features(d.In({0x46, 1, 0, 0, 0, 0, 0, 0x04, 0, 0}, 1024));
            EXPECT_TRUE(current[m.feature]);
            for (std::uint16_t code : row.drive.features) EXPECT_TRUE(code == 0 || current[code]) << code;
            for (const auto& [code, isCurrent] : current) EXPECT_TRUE(isCurrent) << code;
            // Writing features belong to their media only.
            const bool overwritable = m.endDiscInfo == 0x1E && m.newDiscInfo == 0x1E;
            EXPECT_EQ(current.count(0x002D) > 0, m.profile == 0x0009 || m.profile == 0x000A);
            EXPECT_EQ(current.count(0x002F) > 0, m.profile == 0x0011 || m.profile == 0x0014);
            EXPECT_EQ(current.count(0x0020) > 0, overwritable);

            Reply info = d.DiscInfo();
            ASSERT_EQ(info.Sense(), "GOOD");
            EXPECT_EQ(info.data[2], m.newDiscInfo);
            const bool writable = std::string(m.firstWrite) == "GOOD";
            Reply track = d.TrackInfo(1, 0xFF);
            if (writable) {
                ASSERT_EQ(track.Sense(), "GOOD");
                EXPECT_EQ(track.data[7] & 1, 1);     // NWA valid
                EXPECT_EQ(track.Be32(12), 0u);       // at 0
                EXPECT_EQ(track.Be32(16), m.capacity);
            } else {
                EXPECT_EQ(track.Sense(), "05/24/00");   // a pressed disc has no track to write
            }
            EXPECT_EQ(d.SetWriteParameters(false).Sense(), m.trackAtOnce);
            EXPECT_EQ(d.Write(0, data, 16).Sense(), m.firstWrite);
            EXPECT_EQ(d.SyncCache().Sense(), "GOOD");
            for (std::uint8_t function : m.closes) {
                SCOPED_TRACE(function);
                EXPECT_EQ(d.None({0x5B, 0, function, 0, 0, 1, 0, 0, 0, 0}).Sense(), "GOOD");
            }
            info = d.DiscInfo();
            EXPECT_EQ(info.data[2], m.endDiscInfo);
            EXPECT_EQ(d.Write(16, Pattern(16, 1), 1).Sense(), m.writeAfter);
            if (writable) {
                Reply back = d.In({0x28, 0, 0, 0, 0, 0, 0, 0, 16, 0}, 16 * 2048);
                ASSERT_EQ(back.Sense(), "GOOD");
                EXPECT_EQ(back.data, data);
            }
        }
        // The disc persists: the sheet names the medium, a new writer reads the same disc.
        std::ifstream in(sheet);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find(std::string("REM MEDIA ") + m.media + "\n"), std::string::npos) << text;
        Drive again(GetParam(), sheet);
        EXPECT_EQ(again.In({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8).Be16(6), m.profile);
        EXPECT_EQ(again.DiscInfo().data[2], m.endDiscInfo);
        EXPECT_EQ(again.Writer().State().capacity, m.capacity);
        if (std::string(m.firstWrite) == "GOOD") {
            EXPECT_EQ(again.In({0x28, 0, 0, 0, 0, 0, 0, 0, 16, 0}, 16 * 2048).data, data);
            EXPECT_EQ(again.Writer().State().tracks.size(), 1u);
        }
    }
}

Bytes FormatList(std::uint32_t blocks, std::uint8_t type, bool immediate = false, std::uint32_t parameter = 0) {
    Bytes list = {0, static_cast<std::uint8_t>(immediate ? 0x02 : 0), 0, 8, 0, 0, 0, 0, static_cast<std::uint8_t>(type << 2), 0, 0, 0};
    kvbe::Store32(&list[4], blocks), kvbe::Store24(&list[9], parameter);
    return list;
}

TEST_P(Conformance, FormattingOverwritableMedia) {
    auto d = Make(",media=bd-re,unformatted,capacity=100000");
    const Bytes formatCdb = {0x04, 0x11, 0, 0, 0, 0};
    RunTable(*d, {
        // Current/maximum: unformatted, 100000 blocks of 2048; then 00h, 30h and 31h.
        {"format capacities", {0x23, 0, 0, 0, 0, 0, 0, 0, 252, 0}, Dir::In, 252, "GOOD",
         {0, 0, 0, 32, 0, 0x01, 0x86, 0xA0, 0x01, 0, 0x08, 0, 0, 0x01, 0x86, 0xA0, 0x00, 0, 0x30, 0,
          0, 0x01, 0x86, 0xA0, 0xC0, 0, 0x30, 0, 0, 0x01, 0x86, 0xA0, 0xC4, 0, 0, 0}, 36},
        {"format capacities, header only", {0x23, 0, 0, 0, 0, 0, 0, 0, 4, 0}, Dir::In, 252, "GOOD", {0, 0, 0, 32}, 4},
        {"blank, not yet formatted", {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, Dir::In, 34, "GOOD", {0, 32, 0x10, 1, 1, 1, 1, 0x20}},
        {"track without a writable address", {0x52, 1, 0, 0, 0, 0xFF, 0, 0, 36, 0}, Dir::In, 36, "GOOD",
         {0, 34, 1, 1, 0, 0x04, 0x41, 0x00}},
        {"write before formatting", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, Dir::Out, 2048, "05/30/10", {}},
        {"format without a parameter list", {0x04, 0x01, 0, 0, 0, 0}, Dir::Out, 12, "05/24/00", {}},
        {"format with a short list", {0x04, 0x11, 0, 0, 0, 0}, Dir::Out, 4, "05/1A/00", {}},
        {"BLANK is no BD-RE command", {0xA1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "05/30/00", {}},
        {"nor RESERVE TRACK", {0x53, 0, 0, 0, 0, 0, 0, 0, 16, 0}, Dir::None, 0, "05/30/00", {}},
    });
    EXPECT_EQ(d->Out(formatCdb, FormatList(100000, 0x26)).Sense(), "05/26/00");   // the DVD+RW type
    EXPECT_EQ(d->Out(formatCdb, FormatList(99999, 0x31)).Sense(), "05/26/00");    // blocks not offered
    EXPECT_EQ(d->Writer().State().formatted, false);
    ASSERT_EQ(d->Out(formatCdb, FormatList(100000, 0x31)).Sense(), "GOOD");
    EXPECT_TRUE(d->Writer().State().formatted);
    RunTable(*d, {
        {"formatted: complete, background format done", {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, Dir::In, 34, "GOOD",
         {0, 32, 0x1E, 1, 1, 1, 1, 0x23}},
        {"one track over the whole disc, writable from 0", {0x52, 1, 0, 0, 0, 0xFF, 0, 0, 36, 0}, Dir::In, 36, "GOOD",
         {0, 34, 1, 1, 0, 0x04, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x86, 0xA0, 0, 0, 0, 0, 0, 0x01, 0x86, 0xA0}},
        {"any block of it by address", {0x52, 0, 0, 1, 0x86, 0x9F, 0, 0, 36, 0}, Dir::In, 36, "GOOD", {0, 34, 1, 1}},
        {"past the formatted capacity", {0x52, 0, 0, 1, 0x86, 0xA0, 0, 0, 36, 0}, Dir::In, 36, "05/24/00", {}},
        {"formatted capacity", {0x23, 0, 0, 0, 0, 0, 0, 0, 12, 0}, Dir::In, 12, "GOOD", {0, 0, 0, 32, 0, 0x01, 0x86, 0xA0, 0x02}, 12},
        {"write anywhere", {0x2A, 0, 0, 0, 0, 100, 0, 0, 1, 0}, Dir::Out, 2048, "GOOD", {}},
        {"write past the capacity", {0x2A, 0, 0, 1, 0x86, 0xA0, 0, 0, 1, 0}, Dir::Out, 2048, "05/21/00", {}},
        {"unwritten blocks read as zeros", {0x28, 0, 0, 0, 0, 50, 0, 0, 1, 0}, Dir::In, 2048, "GOOD", Bytes(16, 0)},
        {"stop the background format", {0x5B, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "GOOD", {}},
        {"no close function 6 here", {0x5B, 0, 6, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "05/24/00", {}},
    });
    ASSERT_EQ(d->Write(0, Pattern(0, 4), 4).Sense(), "GOOD");   // over an earlier start
    EXPECT_EQ(d->In({0x28, 0, 0, 0, 0, 0, 0, 0, 4, 0}, 4 * 2048).data, Pattern(0, 4));
    EXPECT_EQ(d->In({0x28, 0, 0, 0, 0, 100, 0, 0, 1, 0}, 2048).data, Bytes(2048, 0));
    EXPECT_EQ(d->TrackInfo(1, 1).Be32(28), 100u);   // last recorded address
    d.reset();
    const std::string sheet = ReadFileText(dir_ / "disc.cue");
    EXPECT_NE(sheet.find("REM MEDIA bd-re\nREM CAPACITY 100000\nREM FORMATTED YES\n"), std::string::npos) << sheet;
    EXPECT_EQ(ReadFile(dir_ / "disc-01.iso").size(), 101u * 2048);
    auto again = Make();
    EXPECT_EQ(again->In({0x28, 0, 0, 0, 0, 0, 0, 0, 4, 0}, 4 * 2048).data, Pattern(0, 4));
    EXPECT_EQ(again->DiscInfo().data[2], 0x1E);

    // DVD+RW offers its own format type; a sequential DVD-RW formatted is in restricted
    // overwrite mode, and blanked it is sequential again.
    auto plus = std::make_unique<Drive>(GetParam(), dir_ / "plus.cue,media=dvd+rw,unformatted");
    EXPECT_EQ(ReadFileText(dir_ / "plus.cue").find("REM FORMATTED NO\n") != std::string::npos, true);
    EXPECT_EQ(plus->Write(0, Pattern(0, 1), 1).Sense(), "05/30/10");
    ASSERT_EQ(plus->Out(formatCdb, FormatList(2295104, 0x26)).Sense(), "GOOD");
    EXPECT_EQ(plus->Write(0, Pattern(0, 1), 1).Sense(), "GOOD");
    auto rw = std::make_unique<Drive>(GetParam(), dir_ / "rw.cue,media=dvd-rw");
    ASSERT_EQ(rw->Out(formatCdb, FormatList(0xFFFFFFFF, 0x15, false, 16)).Sense(), "GOOD");
    EXPECT_EQ(rw->In({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8).Be16(6), 0x0013u);
    EXPECT_EQ(rw->DiscInfo().data[2], 0x1E);
    ASSERT_EQ(rw->Blank(0x01).Sense(), "GOOD");
    EXPECT_EQ(rw->In({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8).Be16(6), 0x0014u);
    EXPECT_EQ(rw->DiscInfo().data[2], 0x10);
    auto plusR = std::make_unique<Drive>(GetParam(), dir_ / "plusr.cue,media=dvd+r");
    EXPECT_EQ(plusR->Out(formatCdb, FormatList(2295104, 0x26)).Sense(), "05/30/00");
}

TEST_P(Conformance, DvdDashWriteTypesAndDiscAtOnce) {
    auto d = Make(",media=dvd-r,capacity=10000");
    auto writeType = [&](std::uint8_t type, std::uint8_t blockType = 0x08) {
        Bytes list(60, 0);
        list[8] = 0x05; list[9] = 0x32; list[10] = static_cast<std::uint8_t>(0x40 | type); list[11] = 0x05;
        list[12] = blockType; list[23] = 0x96;
        return d->ModeSelect(list).Sense();
    };
    EXPECT_EQ(d->ModeSense(0x05, 60).data[10] & 0x0F, 0x00);   // starts incremental
    EXPECT_EQ(writeType(1), "05/26/00");                        // track at once is no DVD write type
    EXPECT_EQ(writeType(3), "05/26/00");                        // nor raw
    EXPECT_EQ(writeType(0, 0x00), "05/26/00");                  // 2352-byte blocks
    EXPECT_EQ(d->ModeSense(0x05, 60).data[10] & 0x0F, 0x00);
    ASSERT_EQ(writeType(2), "GOOD");
    RunTable(*d, {
        {"disc at once needs a reserved track", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, Dir::Out, 2048, "05/2C/00", {}},
        {"reservation of nothing", {0x53, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "05/24/00", {}},
        {"reservation past the disc", {0x53, 0, 0, 0, 0, 0, 0, 0x27, 0x11, 0}, Dir::None, 0, "05/24/00", {}},
        {"address reservation is not offered", {0x53, 1, 0, 0, 0, 0, 0, 0, 8, 0}, Dir::None, 0, "05/24/00", {}},
        {"reserve 8 blocks", {0x53, 0, 0, 0, 0, 0, 0, 0, 8, 0}, Dir::None, 0, "GOOD", {}},
        {"reserve twice", {0x53, 0, 0, 0, 0, 0, 0, 0, 8, 0}, Dir::None, 0, "05/2C/00", {}},
        {"write past the reservation", {0x2A, 0, 0, 0, 0, 0, 0, 0, 9, 0}, Dir::Out, 9 * 2048, "05/21/00", {}},
        {"write the reservation", {0x2A, 0, 0, 0, 0, 0, 0, 0, 8, 0}, Dir::Out, 8 * 2048, "GOOD", {}},
        {"the drive closes the disc at the cache flush", {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "GOOD", {}},
        {"complete", {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, Dir::In, 34, "GOOD", {0, 32, 0x0E, 1, 1, 1, 1}},
        {"a close after it changes nothing", {0x5B, 0, 1, 0, 0, 1, 0, 0, 0, 0}, Dir::None, 0, "GOOD", {}},
        {"nor does a session close", {0x5B, 0, 2, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "GOOD", {}},
        {"no more writing", {0x2A, 0, 0, 0, 0, 8, 0, 0, 1, 0}, Dir::Out, 2048, "05/21/02", {}},
        {"TOC: track 1 and the lead-out at 8", {0x43, 0, 0, 0, 0, 0, 0, 0, 20, 0}, Dir::In, 20, "GOOD",
         {0, 0x12, 1, 1, 0, 0x15, 1, 0, 0, 0, 0, 0, 0, 0x15, 0xAA, 0, 0, 0, 0, 8}},
    });

    // Incremental with a next session allowed: the second session starts after the border.
    auto inc = std::make_unique<Drive>(GetParam(), dir_ / "inc.cue,media=dvd-rw,capacity=40000");
    Bytes list(60, 0);
    list[8] = 0x05; list[9] = 0x32; list[10] = 0x40; list[11] = 0xC5; list[12] = 0x08; list[23] = 0x96;
    ASSERT_EQ(inc->ModeSelect(list).Sense(), "GOOD");
    ASSERT_EQ(inc->Write(0, Pattern(0, 10), 10).Sense(), "GOOD");
    ASSERT_EQ(inc->CloseTrack(1).Sense(), "GOOD");
    ASSERT_EQ(inc->CloseSession().Sense(), "GOOD");
    EXPECT_EQ(inc->DiscInfo().data[2], 0x11);   // erasable, appendable
    EXPECT_EQ(inc->TrackInfo(1, 0xFF).Be32(12), 10u + 0x3000u);
    RunTable(*d, {
        {"RESERVE TRACK on a closed disc", {0x53, 0, 0, 0, 0, 0, 0, 0, 8, 0}, Dir::None, 0, "05/2C/00", {}},
    });
    auto cd = std::make_unique<Drive>(GetParam(), dir_ / "cd.cue,media=cd-r");
    auto rom = std::make_unique<Drive>(GetParam(), dir_ / "rom.cue,media=dvd-rom");
    EXPECT_EQ(cd->None({0x53, 0, 0, 0, 0, 0, 0, 0, 8, 0}).Sense(), "05/30/00");
    EXPECT_EQ(rom->None({0x53, 0, 0, 0, 0, 0, 0, 0, 8, 0}).Sense(), "05/30/05");
}

TEST_P(Conformance, PlusRAndBdRSessionsAndFinalizing) {
    struct Row {
        const char* media;
        std::uint8_t finalize;        // the medium's finalizing close function
        std::vector<std::uint8_t> refused;   // close functions it does not take (05/24/00)
    };
    // Every sequential medium written without write parameters (DVD+R, BD-R), with each of its
    // finalizing close functions.
    std::vector<Row> rows;
    for (const kvcat::Medium& m : kvcat::Media()) {
        if (m.key == nullptr || !m.Writable() || m.Overwritable() || m.drive.writeTypes != 0) continue;
        Row row{m.key, 0, {}};
        for (std::uint8_t f = 0; f < 8; ++f) if (!(m.drive.closeFunctions & kvcat::Bit(f))) row.refused.push_back(f);
        for (row.finalize = 0; row.finalize < 8; ++row.finalize)
            if (m.drive.finalizeFunctions & kvcat::Bit(row.finalize)) rows.push_back(row);
    }
    ASSERT_GE(rows.size(), 5u);   // DVD+R and DVD+R DL with 5 and 6, BD-R with 6
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.media) + " finalized with " + std::to_string(row.finalize));
        const std::string sheet = std::string(row.media) + "-" + std::to_string(row.finalize) + ".cue";
        auto d = std::make_unique<Drive>(GetParam(), dir_ / (sheet + ",media=" + row.media + ",capacity=50000"));
        // Mode page 05h is reported but not taken: these media are written without it.
        EXPECT_EQ(d->ModeSense(0x05, 60).Sense(), "GOOD");
        EXPECT_EQ(d->SetWriteParameters(false).Sense(), "05/26/00");
        EXPECT_EQ(d->SetWriteParameters(true).Sense(), "05/26/00");
        ASSERT_EQ(d->Write(0, Pattern(0, 10), 10).Sense(), "GOOD");
        for (std::uint8_t f : row.refused) EXPECT_EQ(d->None({0x5B, 0, f, 0, 0, 1, 0, 0, 0, 0}).Sense(), "05/24/00") << int(f);
        EXPECT_EQ(d->None({0x5B, 0, 1, 0, 0, 2, 0, 0, 0, 0}).Sense(), "05/24/00");   // not the open track
        ASSERT_EQ(d->CloseTrack(1).Sense(), "GOOD");
        ASSERT_EQ(d->CloseSession().Sense(), "GOOD");
        // Close session leaves the disc appendable: session 2, empty, after the border.
        Reply di = d->DiscInfo();
        EXPECT_EQ(Bytes(di.data.begin() + 2, di.data.begin() + 7), (Bytes{0x01, 1, 2, 2, 2}));
        const std::uint32_t second = 10 + 0x3000;
        EXPECT_EQ(d->TrackInfo(1, 0xFF).Be32(12), second);
        EXPECT_EQ(d->Write(10, Pattern(0, 1), 1).Sense(), "05/21/02");
        ASSERT_EQ(d->Write(second, Pattern(second, 5), 5).Sense(), "GOOD");
        // Finalizing closes the open track and session and ends the disc.
        ASSERT_EQ(d->None({0x5B, 0, row.finalize, 0, 0, 0, 0, 0, 0, 0}).Sense(), "GOOD");
        di = d->DiscInfo();
        EXPECT_EQ(Bytes(di.data.begin() + 2, di.data.begin() + 7), (Bytes{0x0E, 1, 2, 2, 2}));
        EXPECT_EQ(d->None({0x5B, 0, row.finalize, 0, 0, 0, 0, 0, 0, 0}).Sense(), "05/2C/00");
        EXPECT_EQ(d->Write(second + 5, Pattern(0, 1), 1).Sense(), "05/21/02");
        EXPECT_EQ(d->ReadToc().Be16(0), 2u + 3 * 8);   // two tracks and the lead-out
        const auto state = d->Writer().State();
        EXPECT_TRUE(state.finalized);
        EXPECT_EQ(state.closedSessions, 2);
    }
    // A session closed with 2 can be finalized afterwards on its own.
    auto d = Make(",media=bd-r,capacity=50000");
    ASSERT_EQ(d->Write(0, Pattern(0, 3), 3).Sense(), "GOOD");
    ASSERT_EQ(d->CloseSession().Sense(), "GOOD");
    EXPECT_EQ(d->DiscInfo().data[2], 0x01);
    ASSERT_EQ(d->None({0x5B, 0, 6, 0, 0, 0, 0, 0, 0, 0}).Sense(), "GOOD");
    EXPECT_EQ(d->DiscInfo().data[2], 0x0E);
    d.reset();
    auto again = Make();
    EXPECT_EQ(again->DiscInfo().data[2], 0x0E);
    EXPECT_EQ(again->In({0x28, 0, 0, 0, 0, 0, 0, 0, 3, 0}, 3 * 2048).data, Pattern(0, 3));
}

TEST_P(Conformance, WriteSpeedCommands) {
    auto d = Make(",media=cd-r");
    // Streaming descriptor: whole disc, 1385 kB/s read and write (1x DVD) per 1000 ms.
    Bytes stream(28, 0);
    stream[10] = 0x10;
    stream[14] = 0x05;
    stream[15] = 0x69;
    stream[18] = 0x03;
    stream[19] = 0xE8;
    stream[22] = 0x05;
    stream[23] = 0x69;
    stream[26] = 0x03;
    stream[27] = 0xE8;
    RunTable(*d, {
        // Nine speeds from 52x (9152 kB/s) down, for the whole disc (end LBA 359848).
        {"write speed descriptors", {0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0x03, 0}, Dir::In, 8 + 256, "GOOD",
         {0, 0, 0, 0x94, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x05, 0x7D, 0xA8, 0, 0, 0x23, 0xC0, 0, 0, 0x23, 0xC0}, 152},
        {"room for one descriptor", {0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x03, 0}, Dir::In, 24, "GOOD", {0, 0, 0, 0x94}, 24},
        {"performance type 0 is not offered", {0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x00, 0}, Dir::In, 24, "05/24/00", {}},
        {"set CD speed 8x", {0xBB, 0, 0xFF, 0xFF, 0x05, 0x84, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "GOOD", {}},
        {"set CD speed max", {0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "GOOD", {}},
        {"streaming descriptor", {0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0}, Dir::Out, 28, "05/26/00", {}},
        {"streaming, other types", {0xB6, 0, 0, 0, 0, 0, 0, 0, 5, 0, 28, 0}, Dir::Out, 28, "05/24/00", {}},
        {"streaming, short list", {0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0}, Dir::Out, 20, "05/1A/00", {}},
    });
    // A whole descriptor with its times is taken.
    Reply r = d->Out({0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0}, stream);
    EXPECT_EQ(r.Sense(), "GOOD");
    auto none = std::make_unique<Drive>(GetParam(), dir_ / "none.cue,media=none");
    RunTable(*none, {
        {"no disc, no speeds", {0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0x03, 0}, Dir::In, 8 + 256, "02/3A/00", {}},
        {"set CD speed without a disc", {0xBB, 0, 0xFF, 0xFF, 0x05, 0x84, 0, 0, 0, 0, 0, 0}, Dir::None, 0, "GOOD", {}},
    });
}

INSTANTIATE_TEST_SUITE_P(Routes, Conformance, testing::Values(Route::Direct, Route::PassThrough), RouteName);

}  // namespace
