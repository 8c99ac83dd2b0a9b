// TOC, DVD physical format, disc and track information decoded from canned replies, including
// replies whose lengths claim more than was sent.
#include "MmcDeviceFixture.h"
#include "catalog/BigEndian.h"
#include "mmc/ScsiSpeed.h"

namespace {

using mmctest::Bytes;

class DiscInfoTest : public mmctest::MmcDeviceTest {};

TEST(SubQFlags, AdrAndControlDecoding) {
    auto set = [](std::initializer_list<TScsiSubQinfoFlag> fs) {
        TScsiSubQinfoFlags f;
        for (auto x : fs) f.Include(x);
        return f;
    };
    const std::pair<std::uint8_t, TScsiSubQinfoFlags> cases[] = {
        {0x14, set({ssqfADRposition, ssqfDataTrack})},
        {0x10, set({ssqfADRposition, ssqfAudioTrack})},
        {0x11, set({ssqfADRposition, ssqfAudioTrack, ssqfPreEmphasis})},
        {0x18, set({ssqfADRposition, ssqfAudioTrack, ssqfQuadAudio})},
        {0x1C, set({ssqfADRposition})},
        {0x52, set({ssqfCopyPermit, ssqfAudioTrack})},
        {0x00, set({ssqfADRnone, ssqfAudioTrack})},
        {0x26, set({ssqfADRcatalogue, ssqfCopyPermit, ssqfDataTrack})},
        {0x3F, set({ssqfADRISRC, ssqfPreEmphasis, ssqfCopyPermit})},
        {0xF4, set({ssqfDataTrack})},
    };
    for (const auto& [byte, want] : cases) EXPECT_EQ(ScsiDecodeSubQFlags(byte).Bits, want.Bits) << int(byte);
}

TEST_F(DiscInfoTest, OneDataTrackToc) {
    Bytes r = {0x00, 0x12, 0x01, 0x01,
               0x00, 0x14, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x14, 0xAA, 0x00, 0x00, 0x01, 0x23, 0x45};
    device->OnOpcode(0x43, kvtest::ScriptedReply::Good(r));
    TScsiTOC toc;
    toc.Entries[5].TrackNumber = 9;   // stale contents must go
    ASSERT_EQ(ScsiReadTOCInfo(info, toc, defaults), Err_None);
    EXPECT_EQ(toc.FirstTrack, 1);
    EXPECT_EQ(toc.LastTrack, 1);
    ASSERT_EQ(toc.EntryCount, 2);
    EXPECT_EQ(toc.Entries[0].TrackNumber, 1);
    EXPECT_EQ(toc.Entries[0].StartLBA, 0u);
    EXPECT_TRUE(toc.Entries[0].Flags.Has(ssqfDataTrack));
    EXPECT_TRUE(toc.Entries[0].Flags.Has(ssqfADRposition));
    EXPECT_EQ(toc.Entries[1].TrackNumber, 0xAA);
    EXPECT_EQ(toc.Entries[1].StartLBA, 0x00012345u);
    EXPECT_EQ(toc.Entries[5].TrackNumber, 0);
}

TEST_F(DiscInfoTest, TocLengthClaimingTooMuchStopsAtOneHundred) {
    for (std::uint16_t claimed : {0x0322, 0x0323, 0x0400, 0xFFFF}) {
        Bytes r(804, 0x14);
        r[0] = static_cast<std::uint8_t>(claimed >> 8);
        r[1] = static_cast<std::uint8_t>(claimed);
        device->OnOpcode(0x43, kvtest::ScriptedReply::Good(r));
        TScsiTOC toc;
        ScsiReadTOCInfo(info, toc, defaults);
        EXPECT_EQ(toc.EntryCount, 100) << claimed;
        EXPECT_EQ(toc.Entries[99].StartLBA, 0x14141414u);
    }
}

TEST_F(DiscInfoTest, TocEndsAtTheLeadOutWhateverTheLengthClaims) {
    // Two tracks and the lead-out sent; the length claims the whole buffer and more.
    for (std::uint16_t claimed : {0x001A, 0x0322, 0xFFF0}) {
        Bytes r = {static_cast<std::uint8_t>(claimed >> 8), static_cast<std::uint8_t>(claimed), 0x01, 0x02,
                   0x00, 0x14, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x00, 0x10, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,
                   0x00, 0x10, 0xAA, 0x00, 0x00, 0x00, 0x02, 0x00};
        device->OnOpcode(0x43, kvtest::ScriptedReply::Good(r));
        TScsiTOC toc;
        ScsiReadTOCInfo(info, toc, defaults);
        ASSERT_EQ(toc.EntryCount, 3) << claimed;
        EXPECT_EQ(toc.Entries[2].TrackNumber, 0xAA);
        EXPECT_EQ(toc.Entries[2].StartLBA, 0x200u);
    }
}

TEST_F(DiscInfoTest, FailedTocReadIsEmpty) {
    device->OnOpcode(0x43, kvtest::ScriptedReply::CheckCondition(0x02, 0x3A));
    TScsiTOC toc;
    toc.EntryCount = 7;
    toc.FirstTrack = 3;
    EXPECT_EQ(ScsiReadTOCInfo(info, toc, defaults), Err_SenseNotReady);
    EXPECT_EQ(toc.EntryCount, 0);
    EXPECT_EQ(toc.FirstTrack, 0);
}

Bytes DvdReply(std::uint8_t b4, std::uint8_t b5, std::uint8_t b6, std::uint8_t b7, std::uint32_t start,
               std::uint32_t end) {
    Bytes r(21, 0);
    r[1] = 19;
    r[4] = b4;
    r[5] = b5;
    r[6] = b6;
    r[7] = b7;
    for (int i = 0; i < 4; ++i) {
        r[8 + i] = static_cast<std::uint8_t>(start >> (24 - 8 * i));
        r[12 + i] = static_cast<std::uint8_t>(end >> (24 - 8 * i));
    }
    return r;
}

TEST_F(DiscInfoTest, DvdDescriptorTables) {
    struct Case {
        Bytes reply;
        TScsiDVDLayerDescriptorInfo want;
    };
    const Case cases[] = {
        {Bytes{},   // completes without data
         {"DVD-ROM", "120mm", "2.52 Mbps", "0.267 um/bit", "0.74 um/track", "Unknown", "0", 0}},
        {DvdReply(0x25, 0x1F, 0x21, 0x12, 0x030000, 0x03000F),
         {"DVD-R", "80mm", "Not Specified", "0.293 um/bit", "0.615 um/track", "Read-only layer", "1", 15}},
        {DvdReply(0xA1, 0x02, 0x62, 0x40, 0x030000, 0x26053F),
         {"DVD+R", "120mm", "10.08 Mbps", "0.280 to 0.291 um/bit", "0.74 um/track", "Recordable layer", "3",
          0x26053F - 0x030000}},
        {DvdReply(0xB0, 0x23, 0x04, 0x83, 0, 0),
         {"Unknown", "Unknown", "Unknown", "0.353 um/bit", "Reserved", "Re-Writable layer", "0", 0}},
        {DvdReply(0x90, 0x01, 0x08, 0x20, 0, 0),
         {"DVD+RW", "120mm", "5.04 Mbps", "0.409 to 0.435 um/bit", "0.74 um/track", "Reserved", "0", 0}},
        {DvdReply(0x30, 0x00, 0x0F, 0xF3, 0x10, 0x08),
         {"DVD-RW", "120mm", "2.52 Mbps", "Reserved", "Reserved", "Unknown", "0", -8}},
        {DvdReply(0x10, 0x00, 0x00, 0x00, 0, 0),
         {"DVD-RAM", "120mm", "2.52 Mbps", "0.267 um/bit", "0.74 um/track", "Unknown", "0", 0}},
    };
    for (const Case& c : cases) {
        device->OnOpcode(0xAD, kvtest::ScriptedReply::Good(c.reply));
        device->ClearCommands();
        TScsiDVDLayerDescriptorInfo d;
        ASSERT_EQ(ScsiReadDVDLayerDescriptor(info, d, defaults), Err_None);
        EXPECT_EQ(d.BookType, c.want.BookType);
        EXPECT_EQ(d.DiscSize, c.want.DiscSize);
        EXPECT_EQ(d.MaximumRate, c.want.MaximumRate);
        EXPECT_EQ(d.LinearDensity, c.want.LinearDensity);
        EXPECT_EQ(d.TrackDensity, c.want.TrackDensity);
        EXPECT_EQ(d.LayerType, c.want.LayerType);
        EXPECT_EQ(d.NumberOfLayers, c.want.NumberOfLayers);
        EXPECT_EQ(d.DataAreaSectors, c.want.DataAreaSectors);
        EXPECT_EQ(Sent().size(), 2u);
    }
}

TEST_F(DiscInfoTest, DvdStructureOnACdStopsAfterTheFirstSend) {
    device->OnOpcode(0xAD, kvtest::ScriptedReply::CheckCondition(0x05, 0x30, 0x02));
    TScsiDVDLayerDescriptorInfo d;
    d.BookType = "kept";
    d.DataAreaSectors = 42;
    defaults.Timeout = 321;
    EXPECT_EQ(ScsiReadDVDLayerDescriptor(info, d, defaults), Err_SenseIllegalRequest);
    EXPECT_EQ(d.BookType, "kept");
    EXPECT_EQ(d.DataAreaSectors, 42);
    EXPECT_EQ(Sent().size(), 1u);
    EXPECT_EQ(defaults.Timeout, 321);
}

TEST_F(DiscInfoTest, DvdStructureOtherFirstFailureTriesAgain) {
    // Only the first READ DVD STRUCTURE fails (the frame's scan INQUIRYs have their own reply).
    int sends = 0;
    device->SetHandler([&sends](const win::ScsiRequest&) {
        return ++sends == 1 ? kvtest::ScriptedReply::CheckCondition(0x02, 0x04, 0x01)
                            : kvtest::ScriptedReply::Good(DvdReply(0x25, 0, 0, 0, 0x030000, 0x03000F));
    });
    TScsiDVDLayerDescriptorInfo d;
    EXPECT_EQ(ScsiReadDVDLayerDescriptor(info, d, defaults), Err_None);
    EXPECT_EQ(d.BookType, "DVD-R");
    EXPECT_EQ(d.DataAreaSectors, 15);
    EXPECT_EQ(Sent().size(), 2u);

    // A failing second send decodes the zeroed reply and returns its result.
    device->ClearCommands();
    device->OnOpcode(0xAD, kvtest::ScriptedReply::CheckCondition(0x02, 0x04, 0x01));
    EXPECT_EQ(ScsiReadDVDLayerDescriptor(info, d, defaults), Err_SenseNotReady);
    EXPECT_EQ(d.BookType, "DVD-ROM");
    EXPECT_EQ(d.LayerType, "Unknown");
    EXPECT_EQ(Sent().size(), 2u);
}

TEST_F(DiscInfoTest, DiscInformation) {
    Bytes r(34, 0);
    r[1] = 32;
    r[2] = 0x1E;   // erasable, last session complete (3), disc appendable (2)
    r[3] = 1;
    r[4] = 0x02;
    r[9] = 0x01;   // 258 sessions
    r[5] = 3;
    r[6] = 4;
    r[10] = 0;
    r[11] = 1;
    r[16] = 0x00; r[17] = 0x4F; r[18] = 0x3B; r[19] = 0x47;
    r[20] = 0x00; r[21] = 0x4F; r[22] = 0x3B; r[23] = 0x48;
    device->OnOpcode(0x51, kvtest::ScriptedReply::Good(r));
    TScsiDiscInformation d;
    ASSERT_EQ(ScsiReadDiscInformation(info, d, defaults), Err_None);
    EXPECT_EQ(d.DiscStatus, 2);
    EXPECT_EQ(d.LastSessionState, 3);
    EXPECT_TRUE(d.Erasable);
    EXPECT_EQ(d.FirstTrack, 1);
    EXPECT_EQ(d.Sessions, 258);
    EXPECT_EQ(d.FirstTrackInLastSession, 3);
    EXPECT_EQ(d.LastTrackInLastSession, 260);
    EXPECT_EQ(d.LastSessionLeadInStart, 0x004F3B47u);
    EXPECT_EQ(d.LastPossibleLeadOutStart, 0x004F3B48u);

    // A short reply (length 10: bytes 0-11) leaves the fields past it at zero.
    r[1] = 10;
    device->OnOpcode(0x51, kvtest::ScriptedReply::Good(r));
    ASSERT_EQ(ScsiReadDiscInformation(info, d, defaults), Err_None);
    EXPECT_EQ(d.LastTrackInLastSession, 260);
    EXPECT_EQ(d.LastSessionLeadInStart, 0u);
    EXPECT_EQ(d.LastPossibleLeadOutStart, 0u);

    // A length claiming far more than arrived is cut at the buffer.
    r[0] = 0xFF;
    r[1] = 0xFF;
    device->OnOpcode(0x51, kvtest::ScriptedReply::Good(r));
    ASSERT_EQ(ScsiReadDiscInformation(info, d, defaults), Err_None);
    EXPECT_EQ(d.LastPossibleLeadOutStart, 0x004F3B48u);
}

TEST_F(DiscInfoTest, InvisibleTrackInformation) {
    Bytes r(36, 0);
    r[1] = 34;
    r[2] = 2;
    r[3] = 1;
    r[5] = 0x04;        // data track
    r[6] = 0x41;        // blank, data mode 1
    r[7] = 0x01;        // next writable address valid
    r[8] = 0x00; r[9] = 0x00; r[10] = 0x2E; r[11] = 0xE0;     // start 12000
    r[12] = 0x00; r[13] = 0x00; r[14] = 0x2E; r[15] = 0xE0;   // next writable 12000
    r[16] = 0x00; r[17] = 0x05; r[18] = 0x3D; r[19] = 0x89;   // free 343433
    r[24] = 0x00; r[25] = 0x05; r[26] = 0x3D; r[27] = 0x89;
    device->OnOpcode(0x52, kvtest::ScriptedReply::Good(r));
    TScsiTrackInformation t;
    ASSERT_EQ(ScsiReadTrackInformation(info, 1, 0xFF, t, defaults), Err_None);
    EXPECT_EQ(t.TrackNumber, 2);
    EXPECT_EQ(t.SessionNumber, 1);
    EXPECT_EQ(t.TrackMode, 4);
    EXPECT_EQ(t.DataMode, 1);
    EXPECT_TRUE(t.Blank);
    EXPECT_TRUE(t.NextWritableValid);
    EXPECT_EQ(t.TrackStart, 12000u);
    EXPECT_EQ(t.NextWritableAddress, 12000u);
    EXPECT_EQ(t.FreeBlocks, 343433u);
    EXPECT_EQ(t.TrackSize, 343433u);

    // An MMC-1 drive's 28-byte reply has no high bytes of track and session number.
    r[1] = 26;
    r[32] = 0x01;
    device->OnOpcode(0x52, kvtest::ScriptedReply::Good(r));
    ASSERT_EQ(ScsiReadTrackInformation(info, 1, 0xFF, t, defaults), Err_None);
    EXPECT_EQ(t.TrackNumber, 2);
    EXPECT_EQ(t.TrackSize, 343433u);

    device->OnOpcode(0x52, kvtest::ScriptedReply::CheckCondition(0x05, 0x24));
    EXPECT_EQ(ScsiReadTrackInformation(info, 1, 0xFF, t, defaults), Err_SenseIllegalRequest);
    EXPECT_EQ(t.FreeBlocks, 0u);
    EXPECT_FALSE(t.NextWritableValid);
}


// A GET CONFIGURATION reply: header with the current profile, the profile list feature and
// the given further feature codes (each with 4 bytes of data, current bit set).
Bytes ConfigurationReply(std::uint16_t current, const std::vector<std::pair<std::uint16_t, bool>>& profiles,
                         const std::vector<std::uint16_t>& features) {
    Bytes r(8, 0);
    r[6] = static_cast<std::uint8_t>(current >> 8);
    r[7] = static_cast<std::uint8_t>(current);
    r.insert(r.end(), {0x00, 0x00, 0x03, static_cast<std::uint8_t>(4 * profiles.size())});
    for (const auto& [p, cur] : profiles)
        r.insert(r.end(), {static_cast<std::uint8_t>(p >> 8), static_cast<std::uint8_t>(p), std::uint8_t(cur), 0});
    for (std::uint16_t f : features)
        r.insert(r.end(), {static_cast<std::uint8_t>(f >> 8), static_cast<std::uint8_t>(f), 0x01, 4, 0, 0, 0, 0});
    kvbe::Store32(r.data(), static_cast<std::uint32_t>(r.size() - 4));
    return r;
}

TEST_F(DiscInfoTest, ConfigurationProfilesAndFeatures) {
    const Bytes r = ConfigurationReply(0x001B, {{0x0009, false}, {0x0011, false}, {0x001B, true}, {0x0041, false}},
                                       {0x0001, 0x002B});
    device->OnOpcode(0x46, kvtest::ScriptedReply::Good(r));
    TScsiConfiguration c;
    ASSERT_EQ(ScsiGetConfiguration(info, c, defaults), Err_None);
    EXPECT_EQ(c.CurrentProfile, prDVDPlusR);
    ASSERT_EQ(c.Profiles.size(), 4u);
    EXPECT_EQ(c.Profiles[0].Profile, prCDR);
    EXPECT_FALSE(c.Profiles[0].Current);
    EXPECT_EQ(c.Profiles[2].Profile, prDVDPlusR);
    EXPECT_TRUE(c.Profiles[2].Current);
    EXPECT_EQ(c.Profiles[3].Profile, prBDRSequential);
    EXPECT_TRUE(c.HasFeature(0x002B));
    EXPECT_TRUE(c.HasFeature(0x0000));
    EXPECT_FALSE(c.HasFeature(0x002D));

    // A drive that refuses the command leaves nothing decoded (a CD writer of old).
    device->OnOpcode(0x46, kvtest::ScriptedReply::CheckCondition(0x05, 0x20));
    EXPECT_EQ(ScsiGetConfiguration(info, c, defaults), Err_SenseIllegalRequest);
    EXPECT_EQ(c.CurrentProfile, 0);
    EXPECT_TRUE(c.Profiles.empty());
    EXPECT_TRUE(c.Features.empty());
}

TEST(ConfigurationDecoder, LengthsAreBoundedByTheBytesReceived) {
    const Bytes full = ConfigurationReply(0x0011, {{0x0011, true}, {0x0014, false}}, {0x0021});
    struct Case {
        const char* name;
        std::uint32_t received;      // bytes handed to the decoder
        std::uint32_t claimedLength; // data length field; 0: the true one
        std::uint8_t profileListLength;
        std::size_t profiles;
        std::size_t features;
    };
    const Case cases[] = {
        {"whole", static_cast<std::uint32_t>(full.size()), 0, 8, 2, 2},
        {"header only", 8, 0, 8, 0, 0},
        {"cut inside the second profile", 18, 0, 8, 1, 1},
        {"data length claims 4 GiB", static_cast<std::uint32_t>(full.size()), 0xFFFFFFFF, 8, 2, 2},
        {"data length claims less", static_cast<std::uint32_t>(full.size()), 4 + 4 + 4, 8, 1, 1},
        {"profile list claims 252 bytes", static_cast<std::uint32_t>(full.size()), 0, 252, 4, 1},
        {"too short for a header", 7, 0, 8, 0, 0},
    };
    for (const Case& c : cases) {
        Bytes r = full;
        if (c.claimedLength) kvbe::Store32(r.data(), c.claimedLength);
        r[11] = c.profileListLength;
        TScsiConfiguration config;
        ScsiDecodeConfiguration(r.data(), c.received, config);
        EXPECT_EQ(config.Profiles.size(), c.profiles) << c.name;
        EXPECT_EQ(config.Features.size(), c.features) << c.name;
        EXPECT_EQ(config.CurrentProfile, c.received >= 8 ? 0x0011 : 0) << c.name;
    }
}

TEST_F(DiscInfoTest, FormatCapacitiesOfAnUnformattedDisc) {
    // Unformatted DVD+RW: current descriptor type 1, then a 26h format of 2295104 blocks.
    Bytes r = {0, 0, 0, 16,
               0x00, 0x23, 0x05, 0x40, 0x01, 0x00, 0x08, 0x00,
               0x00, 0x23, 0x05, 0x40, 0x26 << 2, 0x00, 0x00, 0x00};
    device->OnOpcode(0x23, kvtest::ScriptedReply::Good(r));
    TScsiFormatCapacities c;
    ASSERT_EQ(ScsiReadFormatCapacities(info, c, defaults), Err_None);
    EXPECT_EQ(c.CurrentBlocks, 2295104u);
    EXPECT_EQ(c.DescriptorType, 1);
    EXPECT_EQ(c.BlockLength, 2048u);
    ASSERT_EQ(c.Formattable.size(), 1u);
    EXPECT_EQ(c.Formattable[0].FormatType, 0x26);
    EXPECT_EQ(c.Formattable[0].Blocks, 2295104u);

    // A list length claiming more descriptors than arrived yields only the whole ones sent.
    r[3] = 0xF8;
    device->OnOpcode(0x23, kvtest::ScriptedReply::Good(r));
    ASSERT_EQ(ScsiReadFormatCapacities(info, c, defaults), Err_None);
    EXPECT_EQ(c.CurrentBlocks, 2295104u);
    EXPECT_LE(c.Formattable.size(), 30u);
    EXPECT_EQ(c.Formattable[0].FormatType, 0x26);
}

TEST_F(DiscInfoTest, FormatUnitParameterList) {
    ASSERT_EQ(ScsiFormatUnit(info, 12219392, 0x30, 1, 0x000800, true, defaults), Err_None);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    const Bytes want = {0x00, 0x02, 0x00, 0x08, 0x00, 0xBA, 0x74, 0x00, (0x30 << 2) | 1, 0x00, 0x08, 0x00};
    EXPECT_EQ(sent[0].dataOut, want);
}

}  // namespace

// GET PERFORMANCE write speed descriptors: only whole descriptors that both arrived and lie
// within the reply's own length are read.
TEST(WriteSpeedDescriptors, BoundedByTheReplyAndItsLength)
{
    std::vector<std::uint8_t> reply(8 + 3 * 16, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) { kvbe::Store32(&reply[at], v); };
    for (std::uint32_t k = 0; k < 3; ++k) {
        put32(8 + 16 * k + 4, 359848);
        put32(8 + 16 * k + 8, 9152);
        put32(8 + 16 * k + 12, 7040 - 2816 * k);
    }
    struct Case {
        std::uint32_t lengthField;   // the reply's performance data length
        std::size_t size;            // bytes that arrived
        std::size_t descriptors;
    };
    for (const Case& c : {Case{4 + 48, reply.size(), 3}, Case{4 + 32, reply.size(), 2}, Case{0xFFFFFFF0, reply.size(), 3},
                          Case{4 + 48, 8 + 20, 1}, Case{4 + 48, 7, 0}, Case{4 + 15, reply.size(), 0}}) {
        SCOPED_TRACE(c.lengthField);
        put32(0, c.lengthField);
        const auto got = ScsiDecodeWriteSpeeds(reply.data(), static_cast<std::uint32_t>(c.size));
        ASSERT_EQ(got.size(), c.descriptors);
        for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].EndLBA, 359848u);
            EXPECT_EQ(got[k].ReadKBs, 9152u);
            EXPECT_EQ(got[k].WriteKBs, 7040u - 2816u * k);
        }
    }
}
