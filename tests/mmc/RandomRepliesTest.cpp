// Drives that answer with garbage: random bytes, random lengths, random sense. Every decoder
// must stay inside its buffers (ASan watches) and the settings record must come back intact.
#include <random>

#include "MmcDeviceFixture.h"

namespace {

class RandomRepliesTest : public mmctest::MmcDeviceTest {};

TEST_F(RandomRepliesTest, DecodersSurviveAnyReply) {
    std::mt19937 rng(20261208);
    auto byte = [&] { return static_cast<std::uint8_t>(rng() & 0xFF); };
    device->SetHandler([&](const win::ScsiRequest& r) {
        if (rng() % 8 == 0) return kvtest::ScriptedReply::CheckCondition(byte(), byte(), byte());
        mmctest::Bytes data(rng() % (r.dataLength + 16 + 1));
        for (auto& b : data) b = byte();
        // Sometimes make the lengths the decoders read plausible but large.
        if (data.size() >= 8 && rng() % 2) {
            data[0] = byte() & 0x03;
            data[6] = byte() & 0x01;
        }
        return kvtest::ScriptedReply::Good(std::move(data));
    });
    defaults.Timeout = 42;
    for (int round = 0; round < 200; ++round) {
        std::uint8_t page[400];
        std::uint32_t length = rng() % 400;
        ScsiGetModePage(info, byte(), page, length, defaults);
        EXPECT_LE(length, 382u);
        length = rng() % 400;
        ScsiSetModePage(info, byte(), page, length, defaults);
        EXPECT_LE(length, 52u);
        TScsiDriveSpeeds speeds;
        ScsiGetSpeeds(info, speeds, defaults);
        TScsiDeviceCapabilities caps;
        ScsiGetCapabilities(info, caps, defaults);
        EXPECT_EQ(caps.Bytes[4] & 0xE0, 0);   // only 37 elements exist
        ScsiSetWriteParameters(info, 1, 8, 4, 0, 0, 150, false, true, defaults);
        std::string text;
        ScsiGetWriterParametersText(info, text, defaults);
        TScsiTOC toc;
        ScsiReadTOCInfo(info, toc, defaults);
        EXPECT_LE(toc.EntryCount, 100);
        TScsiDVDLayerDescriptorInfo dvd;
        ScsiReadDVDLayerDescriptor(info, dvd, defaults);
        TScsiDiscInformation disc;
        ScsiReadDiscInformation(info, disc, defaults);
        TScsiTrackInformation track;
        ScsiReadTrackInformation(info, 1, 0xFF, track, defaults);
        TScsiSense sense;
        ScsiRequestSense(info, sense, defaults);
        ScsiDecodeSense(defaults.SenseArea, 14);
        std::uint8_t capacity[12];
        ScsiReadBufferCapacity(info, capacity, defaults);
        ASSERT_EQ(defaults.Timeout, 42);
        ASSERT_EQ(defaults.PageControl, 0);
    }
}

TEST(SenseDecodingRandom, AnyBytesAnyLength) {
    std::mt19937 rng(7);
    for (int i = 0; i < 5000; ++i) {
        const std::uint32_t length = rng() % 40;
        std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[length ? length : 1]);
        for (std::uint32_t k = 0; k < length; ++k) bytes[k] = static_cast<std::uint8_t>(rng());
        if (length > 0 && rng() % 2) bytes[0] = (rng() % 2) ? 0x72 : 0x70;
        const TScsiSense s = ScsiDecodeSense(bytes.get(), length);
        EXPECT_LE(s.Key, 0x0F);
    }
}

}  // namespace
