// The decoders against the virtual writer: what a drive that keeps MMC rules says about its
// capabilities, its write parameters, and the disc after a small burn.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "burner/TempDir.h"
#include "mmc/SCSIUnit.h"
#include "platform/VirtualDevice.h"
#include "vdrive/VirtualWriter.h"

namespace {

class VirtualWriterTest : public testing::Test {
protected:
    void SetUp() override {
        win::DetachAllVirtualDevices();
        win::SetKernelDevicePathsForTesting({});
    }
    void TearDown() override {
        if (writer) vdrive::DetachVirtualDrive(writer);
        win::DetachAllVirtualDevices();
        win::ResetKernelDevicePathsForTesting();
    }

    // A writer of its own (the one before detached), with `info` addressing it.
    void Attach(const std::string& options, const std::string& cue = "disc.cue") {
        if (writer) vdrive::DetachVirtualDrive(writer);
        std::string error;
        writer = vdrive::AttachVirtualDrive(dir / cue + options, error);
        ASSERT_TRUE(writer) << error;
        const char letter = writer->DriveLetter();
        const win::ScsiDeviceAddress a = win::VirtualDeviceAddress(*writer);
        info.DriveLetter = letter;
        info.HaId = a.port;
        info.Target = a.target;
        info.Lun = a.lun;
        info.PackedAddress = (std::uint32_t{a.port} << 24) | (std::uint32_t{a.target} << 16) |
                             (std::uint32_t(((a.lun & 7) << 5) | (letter & 0x1F)) << 8);
    }

    // After an IMMED command: TEST UNIT READY until the drive is ready, a bounded number of times.
    void WaitReady() {
        for (int i = 0; i < 1000; ++i)
            if (ScsiTestUnitReady(info, defaults) == Err_None) return;
        FAIL() << "drive never became ready";
    }

    TempDir dir;
    std::shared_ptr<vdrive::VirtualWriter> writer;
    TCDBurnerInfo info;
    TScsiDefaults defaults;
};

TEST_F(VirtualWriterTest, CapabilitiesAndSpeeds) {
    Attach(",speed=16");
    TScsiDeviceCapabilities caps;
    ASSERT_EQ(ScsiGetCapabilities(info, caps, defaults), Err_None);
    TScsiDeviceCapabilities want;
    for (auto c : {dcReadCDR, dcReadCDRW, dcReadFixedPackets, dcReadDVDROM, dcReadDVDR, dcWriteCDR, dcWriteCDRW,
                   dcTestWrite, dcMode2Form1, dcMode2Form2, dcMultiSession, dcBurnProof, dcLock, dcEject})
        want.Include(c);
    EXPECT_EQ(std::vector<std::uint8_t>(caps.Bytes, caps.Bytes + 5), std::vector<std::uint8_t>(want.Bytes, want.Bytes + 5));

    TScsiDriveSpeeds speeds;
    ASSERT_EQ(ScsiGetSpeeds(info, speeds, defaults), Err_None);
    EXPECT_EQ(speeds.MaxReadSpeed, 52);
    EXPECT_EQ(speeds.CurReadSpeed, 52);
    EXPECT_EQ(speeds.MaxWriteSpeed, 16);
    EXPECT_EQ(speeds.CurWriteSpeed, 16);
}

TEST_F(VirtualWriterTest, WriteParametersAreAcceptedAndReportedBack) {
    Attach("");
    struct Use { std::uint8_t blockType, trackMode; const char* dataBlock; };
    for (const Use u : {Use{0, 0x01, "Data Block :  0\n\r"}, Use{0, 0x10, "Data Block :  0\n\r"},
                        Use{8, 0x04, "Data Block :  8\n\r"}}) {
        ASSERT_EQ(ScsiSetWriteParameters(info, 1, u.blockType, u.trackMode, 0, 0, 150, false, true, defaults), Err_None);
        std::string text;
        ASSERT_EQ(ScsiGetWriterParametersText(info, text, defaults), Err_None);
        EXPECT_NE(text.find("Buffer Underrun :  BurnProof is ON\n\r"), std::string::npos);
        EXPECT_NE(text.find("Write Type :  Track At Once (TAO)\n\r"), std::string::npos);
        EXPECT_NE(text.find("Audio Pause Length :  150\n\r"), std::string::npos);
        EXPECT_NE(text.find(u.dataBlock), std::string::npos) << text;
    }
    EXPECT_EQ(defaults.PageControl, 0);
    // Test writing is offered and reported back.
    ASSERT_EQ(ScsiSetWriteParameters(info, 1, 8, 0x04, 0, 0, 150, true, true, defaults), Err_None);
    std::string text;
    ASSERT_EQ(ScsiGetWriterParametersText(info, text, defaults), Err_None);
    EXPECT_NE(text.find("Test Write :  Test Write is ON\n\r"), std::string::npos) << text;
    // Raw writing is not offered: refused, and PageControl still restored.
    EXPECT_EQ(ScsiSetWriteParameters(info, 3, 8, 0x04, 0, 0, 150, false, true, defaults), Err_SenseIllegalRequest);
    EXPECT_EQ(defaults.PageControl, 0);
}

TEST_F(VirtualWriterTest, SmallDataBurnReadsBackAsOneTrack) {
    Attach(",media=cd-r");
    constexpr std::uint32_t kBlocks = 300;
    TScsiTrackInformation track;
    ASSERT_EQ(ScsiReadTrackInformation(info, 1, 0xFF, track, defaults), Err_None);
    EXPECT_TRUE(track.NextWritableValid);
    EXPECT_EQ(track.NextWritableAddress, 0u);
    EXPECT_EQ(track.FreeBlocks, kvcat::MediumByKey("cd-r")->capacity);

    ASSERT_EQ(ScsiSetWriteParameters(info, 1, 8, 0x04, 0, 0, 150, false, true, defaults), Err_None);
    std::vector<std::uint8_t> block(2048);
    for (std::uint32_t lba = 0; lba < kBlocks; ++lba) {
        std::fill(block.begin(), block.end(), static_cast<std::uint8_t>(lba));
        ASSERT_EQ(ScsiWriteBlocks(info, lba, 1, block.data(), 2048, defaults), Err_None) << lba;
    }
    ASSERT_EQ(ScsiSynchronizeCache(info, defaults), Err_None);
    ASSERT_EQ(ScsiCloseTrack(info, 1, defaults), Err_None);
    WaitReady();
    ASSERT_EQ(ScsiCloseSession(info, defaults), Err_None);
    WaitReady();

    TScsiTOC toc;
    ASSERT_EQ(ScsiReadTOCInfo(info, toc, defaults), Err_None);
    EXPECT_EQ(toc.FirstTrack, 1);
    EXPECT_EQ(toc.LastTrack, 1);
    ASSERT_EQ(toc.EntryCount, 2);
    EXPECT_EQ(toc.Entries[0].TrackNumber, 1);
    EXPECT_EQ(toc.Entries[0].StartLBA, 0u);
    EXPECT_EQ(SetToText(toc.Entries[0].Flags), "[ssqfADRposition, ssqfDataTrack]");
    EXPECT_EQ(toc.Entries[1].TrackNumber, 0xAA);
    EXPECT_EQ(toc.Entries[1].StartLBA, kBlocks);

    TScsiDiscInformation disc;
    ASSERT_EQ(ScsiReadDiscInformation(info, disc, defaults), Err_None);
    EXPECT_EQ(disc.DiscStatus, 2);   // complete
    EXPECT_EQ(disc.Sessions, 1);
    EXPECT_FALSE(disc.Erasable);

    for (std::uint32_t lba : {0u, 150u, kBlocks - 1}) {
        std::vector<std::uint8_t> read(2048, 0xEE);
        ASSERT_EQ(ScsiRead10(info, lba, 1, read.data(), 2048, defaults), Err_None);
        EXPECT_EQ(read, std::vector<std::uint8_t>(2048, static_cast<std::uint8_t>(lba)));
    }
    // A closed disc takes no more writes; the sense is left for the caller.
    EXPECT_NE(ScsiWriteBlocks(info, kBlocks, 1, block.data(), 2048, defaults), Err_None);
    EXPECT_NE(ScsiDecodeSense(defaults.SenseArea, 14).Key, 0);
}

TEST_F(VirtualWriterTest, DvdStructureOnACdAndOnADvd) {
    Attach(",media=cd-r");
    TScsiDVDLayerDescriptorInfo d;
    d.BookType = "kept";
    EXPECT_EQ(ScsiReadDVDLayerDescriptor(info, d, defaults), Err_SenseIllegalRequest);
    EXPECT_EQ(d.BookType, "kept");

    ASSERT_NO_FATAL_FAILURE(Attach(",media=dvd-rom", "dvd.cue"));
    ASSERT_EQ(ScsiReadDVDLayerDescriptor(info, d, defaults), Err_None);
    EXPECT_EQ(d.BookType, "DVD-ROM");
    EXPECT_EQ(d.DiscSize, "120mm");
    EXPECT_EQ(d.DataAreaSectors, static_cast<std::int32_t>(kvcat::MediumByKey("dvd-rom")->capacity - 1));
}

}  // namespace
