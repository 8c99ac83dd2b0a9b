// Mode page reads and writes against canned replies: where the page is found, what is taken of
// it, what MODE SELECT carries back, the speed and capability decoders and the text report.
#include <cstring>

#include "MmcDeviceFixture.h"

namespace {

using mmctest::Bytes;
using mmctest::ModeReply;

class ModePagesTest : public mmctest::MmcDeviceTest {
protected:
    // A capabilities page 2Ah of 26 bytes (page length 18h) with the given speeds in kB/s.
    static Bytes CapabilitiesPage(std::uint16_t maxRead, std::uint16_t curRead, std::uint16_t maxWrite,
                                  std::uint16_t curWrite, std::uint8_t pageLength = 0x18) {
        Bytes p(26, 0);
        p[0] = 0x2A;
        p[1] = pageLength;
        auto put = [&](int at, std::uint16_t v) {
            p[at] = static_cast<std::uint8_t>(v >> 8);
            p[at + 1] = static_cast<std::uint8_t>(v);
        };
        put(8, maxRead);
        put(14, curRead);
        put(18, maxWrite);
        put(20, curWrite);
        return p;
    }
    // Write parameters page 05h as a drive reports it: link size 7 in byte 5, and marker
    // values in the bytes the system must hand back unchanged (6 and 9).
    static Bytes WritePage() {
        Bytes p(52, 0);
        p[0] = 0x05;
        p[1] = 0x32;
        p[2] = 0x01;
        p[3] = 0x04;
        p[4] = 0x08;
        p[5] = 0x07;
        p[6] = 0x5A;
        p[9] = 0xC3;
        p[20] = 0x99;   // catalogue number bytes the system clears
        return p;
    }
};

TEST_F(ModePagesTest, PageAfterBlockDescriptorsIsReadFromOffset16) {
    Bytes page = CapabilitiesPage(7056, 1412, 0, 0, 0x18);
    device->OnOpcode(0x5A, kvtest::ScriptedReply::Good(ModeReply(page, 8)));
    std::uint8_t dest[26] = {};
    std::uint32_t length = 26;
    ASSERT_EQ(ScsiGetModePage(info, 0x2A, dest, length, defaults), Err_None);
    // 34 bytes asked for, 16 of them header and descriptors: 18 page bytes arrived, and no
    // more are handed on as page bytes.
    EXPECT_EQ(length, 18u);
    EXPECT_EQ(Bytes(dest, dest + 18), Bytes(page.begin(), page.begin() + 18));
    EXPECT_EQ(SentCdbs(), (std::vector<Bytes>{{0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0x00, 34, 0}}));
}

TEST_F(ModePagesTest, WriteBackDropsBlockDescriptorsAndKeepsDriveBytes) {
    // Current values answered with block descriptors; the changeable copy as well.
    device->OnOpcode(0x5A, kvtest::ScriptedReply::Good(ModeReply(WritePage(), 8)));
    ASSERT_EQ(ScsiSetWriteParameters(info, 1, 8, 0x04, 0, 0, 150, false, true, defaults), Err_None);
    EXPECT_EQ(defaults.PageControl, 0);

    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].cdb, (Bytes{0x5A, 0x08, 0x05, 0, 0, 0, 0, 0x00, 60, 0}));
    EXPECT_EQ(sent[1].cdb, (Bytes{0x5A, 0x08, 0x45, 0, 0, 0, 0, 0x00, 60, 0}));   // changeable page 05h
    EXPECT_EQ(sent[2].cdb, (Bytes{0x55, 0x10, 0, 0, 0, 0, 0, 0x00, 60, 0}));
    ASSERT_EQ(sent[2].dataOut.size(), 60u);

    Bytes want(60, 0);
    want[1] = 58;   // mode data length, block descriptor length 0
    const Bytes page = {0x05, 0x32, 0x41, 0x04, 0x08, 0x07, 0x5A, 0x00, 0x00, 0xC3,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x96};
    std::copy(page.begin(), page.end(), want.begin() + 8);
    EXPECT_EQ(sent[2].dataOut, want);
}

TEST_F(ModePagesTest, ChangeableMaskNeverLeaksIntoTheWrittenPage) {
    // Current values for page control 0, the changeable mask (all ones) for page control 1.
    device->SetHandler([](const win::ScsiRequest& r) {
        if (r.cdb[0] != 0x5A) return kvtest::ScriptedReply::Good();
        if ((r.cdb[2] & 0xC0) == 0x40) {
            Bytes mask(52, 0xFF);
            mask[0] = 0x05;
            mask[1] = 0x32;
            return kvtest::ScriptedReply::Good(ModeReply(mask));
        }
        return kvtest::ScriptedReply::Good(ModeReply(WritePage()));
    });
    ASSERT_EQ(ScsiSetWriteParameters(info, 1, 8, 0x04, 0, 0, 150, false, true, defaults), Err_None);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    ASSERT_EQ(sent[2].dataOut.size(), 60u);
    Bytes want = WritePage();
    want[2] = 0x41;
    want[20] = 0;
    want[14] = 0x00;
    want[15] = 0x96;
    EXPECT_EQ(Bytes(sent[2].dataOut.begin() + 8, sent[2].dataOut.end()), want);
}

TEST_F(ModePagesTest, WriteParameterUsesBuildTheirPage) {
    struct Case {
        std::uint8_t writeType, blockType, trackMode;
        std::uint32_t packet;
        bool test, burnProof;
        Bytes head;   // page bytes 0-4 and 10-15
    };
    const Case cases[] = {
        {1, 0, 0x01, 0, false, true, {0x05, 0x32, 0x41, 0x01, 0x00, 0, 0, 0, 0, 0x00, 0x96}},
        {1, 0, 0x10, 0, false, true, {0x05, 0x32, 0x41, 0x10, 0x00, 0, 0, 0, 0, 0x00, 0x96}},
        // Bits 4 and 6 of WriteType are the booleans' to decide.
        {0x52, 10, 0x24, 0x01020304, true, false, {0x05, 0x32, 0x12, 0x24, 10, 1, 2, 3, 4, 0x00, 0x96}},
    };
    device->OnOpcode(0x5A, kvtest::ScriptedReply::Good(ModeReply(WritePage())));
    for (const Case& c : cases) {
        device->ClearCommands();
        ASSERT_EQ(ScsiSetWriteParameters(info, c.writeType, c.blockType, c.trackMode, 0, c.packet, 150, c.test,
                                         c.burnProof, defaults), Err_None);
        const auto sent = Sent();
        ASSERT_EQ(sent.size(), 3u);
        const Bytes& out = sent[2].dataOut;
        ASSERT_EQ(out.size(), 60u);
        Bytes got(out.begin() + 8, out.begin() + 13);
        got.insert(got.end(), out.begin() + 18, out.begin() + 24);
        EXPECT_EQ(got, c.head);
        EXPECT_TRUE(std::all_of(out.begin() + 24, out.end(), [](std::uint8_t b) { return b == 0; }));
    }
}

TEST_F(ModePagesTest, PageControlIsRestoredWhenReadOrWriteFails) {
    // First read fails: nothing more is sent.
    device->OnOpcode(0x5A, kvtest::ScriptedReply::CheckCondition(0x02, 0x3A));
    EXPECT_EQ(ScsiSetWriteParameters(info, 1, 8, 4, 0, 0, 150, false, true, defaults), Err_SenseNotReady);
    EXPECT_EQ(defaults.PageControl, 0);
    EXPECT_EQ(Sent().size(), 1u);

    // MODE SELECT refused.
    device->ClearCommands();
    device->OnOpcode(0x5A, kvtest::ScriptedReply::Good(ModeReply(WritePage())));
    device->OnOpcode(0x55, kvtest::ScriptedReply::CheckCondition(0x05, 0x26));
    EXPECT_EQ(ScsiSetWriteParameters(info, 1, 8, 4, 0, 0, 150, false, true, defaults), Err_SenseIllegalRequest);
    EXPECT_EQ(defaults.PageControl, 0);
    EXPECT_EQ(Sent().size(), 3u);

    // The text report reads current values and leaves the field as it found it.
    defaults.PageControl = 2;
    std::string text;
    ScsiGetWriterParametersText(info, text, defaults);
    EXPECT_EQ(Sent().back().cdb[2], 0x05);
    EXPECT_EQ(defaults.PageControl, 2);
}

TEST_F(ModePagesTest, PageLength14hHandsOverTwentyBytes) {
    device->OnOpcode(0x5A, kvtest::ScriptedReply::Good(ModeReply(CapabilitiesPage(7056, 1412, 1412, 1412, 0x14))));
    std::uint8_t page[26];
    std::uint32_t length = 26;
    ASSERT_EQ(ScsiGetModePage(info, 0x2A, page, length, defaults), Err_None);
    EXPECT_EQ(length, 20u);
    TScsiDriveSpeeds s;
    ASSERT_EQ(ScsiGetSpeeds(info, s, defaults), Err_None);
    EXPECT_EQ(s.MaxReadSpeed, 40);
    EXPECT_EQ(s.CurReadSpeed, 8);
    EXPECT_EQ(s.MaxWriteSpeed, 8);
    EXPECT_EQ(s.CurWriteSpeed, 0);
}

TEST_F(ModePagesTest, SpeedsAreFactorsOf176_46kBps) {
    const std::pair<std::uint16_t, std::uint8_t> cases[] = {
        {0, 0}, {176, 1}, {264, 1}, {265, 2}, {1412, 8}, {7056, 40}, {22160, 126}, {65535, 371 & 0xFF},
    };
    for (auto [kBps, factor] : cases) {
        device->OnOpcode(0x5A, kvtest::ScriptedReply::Good(ModeReply(CapabilitiesPage(kBps, kBps, kBps, kBps))));
        TScsiDriveSpeeds s;
        ASSERT_EQ(ScsiGetSpeeds(info, s, defaults), Err_None);
        EXPECT_EQ(s.MaxReadSpeed, factor) << kBps;
        EXPECT_EQ(s.CurReadSpeed, factor) << kBps;
        EXPECT_EQ(s.MaxWriteSpeed, factor) << kBps;
        EXPECT_EQ(s.CurWriteSpeed, factor) << kBps;
    }
}

TEST_F(ModePagesTest, EachCapabilityBitGivesItsElement) {
    struct Bit { TScsiDeviceCapability c; int byte, bit; };
    const Bit bits[] = {
        {dcReadCDR, 2, 0}, {dcReadCDRW, 2, 1}, {dcReadFixedPackets, 2, 2}, {dcReadDVDROM, 2, 3},
        {dcReadDVDR, 2, 4}, {dcReadDVDRAM, 2, 5}, {dcWriteCDR, 3, 0}, {dcWriteCDRW, 3, 1},
        {dcTestWrite, 3, 2}, {dcWriteDVDR, 3, 4}, {dcWriteDVDRAM, 3, 5}, {dcAudioPlay, 4, 0},
        {dcComposite, 4, 1}, {dcDigitalPort1, 4, 2}, {dcDigitalPort2, 4, 3}, {dcMode2Form1, 4, 4},
        {dcMode2Form2, 4, 5}, {dcMultiSession, 4, 6}, {dcBurnProof, 4, 7}, {dcCDDACommands, 5, 0},
        {dcCDDAAccurate, 5, 1}, {dcRWSupported, 5, 2}, {dcRWDeinterleaved, 5, 3}, {dcC2Pointers, 5, 4},
        {dcISRC, 5, 5}, {dcUPC, 5, 6}, {dcReadBarCode, 5, 7}, {dcLock, 6, 0}, {dcLockState, 6, 1},
        {dcPreventJumper, 6, 2}, {dcEject, 6, 3}, {dcSeparateVolume, 7, 0}, {dcSeparateChannelMute, 7, 1},
        {dcDiscPresent, 7, 2}, {dcSoftwareSlotSelection, 7, 3}, {dcSideChange, 7, 4}, {dcRWInLeadIn, 7, 5},
    };
    ASSERT_EQ(std::size(bits), 37u);
    for (const Bit& b : bits) {
        Bytes page = CapabilitiesPage(0, 0, 0, 0);
        page[b.byte] = static_cast<std::uint8_t>(1u << b.bit);
        device->OnOpcode(0x5A, kvtest::ScriptedReply::Good(ModeReply(page)));
        TScsiDeviceCapabilities caps;
        ASSERT_EQ(ScsiGetCapabilities(info, caps, defaults), Err_None);
        TScsiDeviceCapabilities want;
        want.Include(b.c);
        EXPECT_EQ(Bytes(caps.Bytes, caps.Bytes + 5), Bytes(want.Bytes, want.Bytes + 5)) << int(b.c);
    }
    // Loading mechanism (byte 6 bits 4-7) and the unused bits are no capability.
    Bytes page = CapabilitiesPage(0, 0, 0, 0);
    page[3] = 0xC8;
    page[6] = 0xF0;
    page[7] = 0xC0;
    device->OnOpcode(0x5A, kvtest::ScriptedReply::Good(ModeReply(page)));
    TScsiDeviceCapabilities caps;
    ScsiGetCapabilities(info, caps, defaults);
    EXPECT_TRUE(caps.Empty());
}

TEST_F(ModePagesTest, FailedCapabilitiesReadDecodesToZero) {
    device->OnOpcode(0x5A, kvtest::ScriptedReply::CheckCondition(0x02, 0x04, 0x01));
    TScsiDriveSpeeds s{1, 2, 3, 4};
    TScsiDeviceCapabilities caps;
    caps.Include(dcEject);
    EXPECT_EQ(ScsiGetSpeeds(info, s, defaults), Err_SenseNotReady);
    EXPECT_EQ(ScsiGetCapabilities(info, caps, defaults), Err_SenseNotReady);
    EXPECT_EQ(s.MaxReadSpeed + s.CurReadSpeed + s.MaxWriteSpeed + s.CurWriteSpeed, 0);
    EXPECT_TRUE(caps.Empty());
}

TEST_F(ModePagesTest, UnusableRepliesGiveErrUnknownAndLengthZero) {
    const Bytes page = CapabilitiesPage(1, 1, 1, 1);
    Bytes zeroLengthPage = page;
    zeroLengthPage[1] = 0;
    const std::pair<const char*, Bytes> cases[] = {
        {"page length 0", ModeReply(zeroLengthPage)},
        {"no data at all", Bytes{}},
        {"BDL 382", ModeReply(page, 0, -1, 382)},
        {"BDL FFFFh", ModeReply(page, 0, -1, 0xFFFF)},
        {"BDL beyond the reply", ModeReply(page, 0, -1, 300)},
        {"mode data length below the descriptors", ModeReply(page, 8, 5)},
    };
    for (const auto& [name, reply] : cases) {
        SCOPED_TRACE(name);
        device->OnOpcode(0x5A, kvtest::ScriptedReply::Good(reply));
        std::uint8_t dest[64];
        std::uint32_t length = 26;
        EXPECT_EQ(ScsiGetModePage(info, 0x2A, dest, length, defaults), Err_Unknown);
        EXPECT_EQ(length, 0u);
        length = 52;
        device->ClearCommands();
        EXPECT_EQ(ScsiSetModePage(info, 0x2A, dest, length, defaults), Err_Unknown);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(Sent().size(), 1u);   // no MODE SELECT
    }
    // A mode data length that leaves no room for a page: readable, but not worth a MODE
    // SELECT that would change nothing and report success.
    device->OnOpcode(0x5A, kvtest::ScriptedReply::Good(ModeReply(page, 0, 6)));
    std::uint8_t dest[26];
    std::uint32_t length = 26;
    EXPECT_EQ(ScsiGetModePage(info, 0x2A, dest, length, defaults), Err_None);
    device->ClearCommands();
    EXPECT_EQ(ScsiSetModePage(info, 0x2A, dest, length, defaults), Err_Unknown);
    EXPECT_EQ(Sent().size(), 1u);

    length = 26;
    device->ClearCommands();
    EXPECT_EQ(ScsiGetModePage(info, 0x2A, nullptr, length, defaults), Err_InvalidArgument);
    EXPECT_EQ(ScsiSetModePage(info, 0x2A, nullptr, length, defaults), Err_InvalidArgument);
    EXPECT_EQ(length, 26u);
    EXPECT_TRUE(Sent().empty());
}

TEST_F(ModePagesTest, LyingLengthsStayInsideTheBuffers) {
    // Page length FFh, mode data length FFFFh, descriptors placing the page near the end of
    // the 60-byte read-modify-write buffer: ASan watches every copy.
    for (std::uint16_t bdl : {0, 8, 40, 48, 50, 51, 52}) {
        SCOPED_TRACE(bdl);
        Bytes page(200, 0xAB);
        page[0] = 0x05;
        page[1] = 0xFF;
        device->OnOpcode(0x5A, kvtest::ScriptedReply::Good(ModeReply(page, bdl, 0xFFFF)));
        std::uint8_t big[400];
        std::uint32_t length = 380;
        const TScsiError get = ScsiGetModePage(info, 0x05, big, length, defaults);
        if (get == Err_None) {
            EXPECT_LE(8u + bdl + length, 391u);
        }
        std::uint8_t source[52] = {};
        length = 52;
        device->ClearCommands();
        const TScsiError set = ScsiSetModePage(info, 0x05, source, length, defaults);
        EXPECT_LE(length, 52u);
        if (set == Err_None) {
            const auto sent = Sent();
            ASSERT_EQ(sent.size(), 2u);
            EXPECT_EQ(sent[1].dataOut.size(), 60u);
            EXPECT_EQ(sent[1].dataOut[7], 0);   // no block descriptors in the list
        } else {
            EXPECT_EQ(set, Err_Unknown);
        }
    }
}

TEST_F(ModePagesTest, WriterParametersText) {
    auto text = [&](std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b8) {
        Bytes page = WritePage();
        page[2] = b2;
        page[3] = b3;
        page[4] = b4;
        page[8] = b8;
        page[10] = 0x00;
        page[11] = 0x01;
        page[12] = 0x00;
        page[13] = 0x10;
        page[14] = 0x00;
        page[15] = 0x96;
        device->OnOpcode(0x5A, kvtest::ScriptedReply::Good(ModeReply(page)));
        std::string t;
        EXPECT_EQ(ScsiGetWriterParametersText(info, t, defaults), Err_None);
        return t;
    };
    EXPECT_EQ(text(0x01, 0x04, 0x08, 0x00),
              "Test Write :  Test Write is OFF\n\r"
              "Buffer Underrun :  BurnProof is OFF\n\r"
              "Write Type :  Track At Once (TAO)\n\r"
              "Multisession :  Next Session Not Allowed / OFF\n\r"
              "Packet Type :  Variable Size Packets\n\r"
              "Packet Size :  65552\n\r"
              "Session Type :  CD-DA or CDROM Disk\n\r"
              "Audio Pause Length :  150\n\r"
              "Data Block :  8\n\r");
    EXPECT_EQ(text(0x52, 0xE0, 0x0A, 50),
              "Test Write :  Test Write is ON\n\r"
              "Buffer Underrun :  BurnProof is ON\n\r"
              "Write Type :  Session At Once (SAO)\n\r"
              "Multisession :  Next Session Allowed / ON\n\r"
              "Packet Type :  Fixed Size Packets\n\r"
              "Packet Size :  65552\n\r"
              "Session Type :  CDROM XA Disk\n\r"
              "Audio Pause Length :  150\n\r"
              "Data Block :  10\n\r");

    struct Line { std::uint8_t b2, b3, b8; const char* needle; };
    const Line lines[] = {
        {0x00, 0, 0, "Write Type :  Packet/Incremental\n\r"},
        {0x03, 0, 0, "Write Type :  Raw Data Burn\n\r"},
        {0x04, 0, 0, "Write Type :  Unknown Write Mode\n\r"},
        {0x0F, 0, 0, "Write Type :  Unknown Write Mode\n\r"},
        {0x01, 0x80, 0, "Multisession :  Next Session Not Allowed / OFF\n\r"},
        {0x01, 0x40, 0, "Multisession :  Next Session Not Allowed / OFF\n\r"},
        {0x01, 0xC0, 0, "Multisession :  Next Session Allowed / ON\n\r"},
        {0x01, 0, 1, "Session Type :  CDI Video Disk\n\r"},
        {0x01, 0, 0x10, "Session Type :  CDI Video Disk\n\r"},
        {0x01, 0, 0x20, "Session Type :  CDROM XA Disk\n\r"},
        {0x01, 0, 2, "Session Type :  Unknown Session Mode\n\r"},
        {0x01, 0, 0xFF, "Session Type :  Unknown Session Mode\n\r"},
    };
    for (const Line& l : lines) EXPECT_NE(text(l.b2, l.b3, 0, l.b8).find(l.needle), std::string::npos) << l.needle;

    device->OnOpcode(0x5A, kvtest::ScriptedReply::CheckCondition(0x05, 0x24));
    std::string t = "old";
    EXPECT_EQ(ScsiGetWriterParametersText(info, t, defaults), Err_SenseIllegalRequest);
    EXPECT_EQ(t, "Get CD/DVD Writer Parameters : Failed");
}

}  // namespace
