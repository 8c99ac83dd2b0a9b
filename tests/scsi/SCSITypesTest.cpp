#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "platform/VirtualDevice.h"
#include "scsi/SCSITypes.h"

namespace {

TEST(ScsiErrorText, IdentifiersAreTheValuesOwnNames) {
    struct Case {
        TScsiError error;
        const char* text;
    } cases[] = {
        {Err_None, "Err_None"},
        {Err_HAerror, "Err_HAerror"},
        {Err_Unknown, "Err_Unknown"},
        {Err_CheckCondition, "Err_CheckCondition"},
        {Err_TargetReservationConflict, "Err_TargetReservationConflict"},
        {Err_InvalidArgument, "Err_InvalidArgument"},
        {Err_SenseIncorrectLength, "Err_SenseIncorrectLength"},
        {Err_SenseNoSense, "Err_SenseNoSense"},
        {Err_SenseIllegalRequest, "Err_SenseIllegalRequest"},
        {Err_SenseReserved, "Err_SenseReserved"},
    };
    for (const auto& c : cases) EXPECT_EQ(ScsiErrorToText(c.error), c.text);
    EXPECT_EQ(Err_SenseNoSense, 34);
    EXPECT_EQ(Err_SenseReserved, 49);
    EXPECT_EQ(ScsiErrorToText(static_cast<TScsiError>(50)), "");
}

TEST(ScsiErrorText, AllFiftyAreDistinctAndNamed) {
    std::set<std::string> names;
    for (int i = 0; i < kScsiErrorCount; ++i) {
        const std::string text = ScsiErrorToText(static_cast<TScsiError>(i));
        EXPECT_EQ(text.rfind("Err_", 0), 0u) << i;
        names.insert(text);
    }
    EXPECT_EQ(names.size(), 50u);
    // Sense keys in key order, so value = 34 + key.
    EXPECT_EQ(ScsiErrorToText(static_cast<TScsiError>(34 + 0x2)), "Err_SenseNotReady");
    EXPECT_EQ(ScsiErrorToText(static_cast<TScsiError>(34 + 0x6)), "Err_SenseUnitAttention");
    EXPECT_EQ(ScsiErrorToText(static_cast<TScsiError>(34 + 0xE)), "Err_SenseMiscompare");
}

TEST(SetText, BracketedListOfSetElements) {
    struct Case {
        std::uint16_t bits;
        const char* text;
    } cases[] = {
        {0, "[]"},
        {(1 << 1) | (1 << 6), "[ssqfADRposition, ssqfDataTrack]"},
        {(1 << 7) | (1 << 8), "[ssqfAudioTrack, ssqfQuadAudio]"},
        {1 << 0, "[ssqfADRnone]"},
        {0x1FF, "[ssqfADRnone, ssqfADRposition, ssqfADRcatalogue, ssqfADRISRC, ssqfPreEmphasis, "
                "ssqfCopyPermit, ssqfDataTrack, ssqfAudioTrack, ssqfQuadAudio]"},
        {0xFE00, "[]"},   // bits beyond the nine elements name nothing
    };
    for (const auto& c : cases) EXPECT_EQ(SetToText(TScsiSubQinfoFlags{c.bits}), c.text) << c.bits;

    const char* const names[] = {"a", "b", "c"};
    EXPECT_EQ(SetToText(names, 0b101), "[a, c]");
    EXPECT_EQ(EnumToText(names, 1), "b");
    EXPECT_EQ(EnumToText(names, 3), "");
}

TEST(Helpers, BytesAndBits) {
    EXPECT_EQ(PackBytes(1, 2, 3, 0), 0x01020300u);
    EXPECT_EQ(PackBytes(1, 2, 4, 0), 0x01020400u);
    EXPECT_EQ(SwapDWord(0x11223344u), 0x44332211u);
    EXPECT_EQ(SwapWord(0x1234), 0x3412);
    EXPECT_EQ(HiByteOf(0xABCD), 0xAB);
    EXPECT_EQ(LoByteOf(0xABCD), 0xCD);
    EXPECT_TRUE(TestBit(0x80000000u, 31));
    EXPECT_FALSE(TestBit(0x7FFFFFFFu, 31));
    EXPECT_EQ(SetBit(0, 31), 0x80000000u);
    EXPECT_EQ(SetBit(0x10, 4), 0x10u);
    EXPECT_EQ(ClearBit(0xFFFFFFFFu, 0), 0xFFFFFFFEu);
    // Out-of-range bit numbers change nothing instead of shifting past the width.
    EXPECT_FALSE(TestBit(0xFFFFFFFFu, 32));
    EXPECT_EQ(SetBit(5, 40), 5u);
    EXPECT_EQ(ClearBit(5, -1), 5u);
    std::uint8_t buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ZeroFill(buffer, 4);
    EXPECT_EQ(buffer[3], 0);
    EXPECT_EQ(buffer[4], 5);
}

TEST(Helpers, BlockSizeOfDataType) {
    const std::pair<int, int> table[] = {{0, 2352}, {1, 2368}, {2, 2448}, {3, 2448}, {4, 2048},
                                         {5, 2048}, {6, 2048}, {7, 2048}, {8, 2048},  {9, 2336},
                                         {10, 2048}, {11, 2056}, {12, 2324}, {13, 2332}, {14, 2048},
                                         {15, 2048}, {255, 2048}, {-1, 2048}};
    for (auto [type, size] : table) EXPECT_EQ(BlockSizeOfDataType(type), size) << type;
}

TEST(Helpers, FileSizeOfIs64Bit) {
    const std::string dir = testing::TempDir();
    EXPECT_EQ(FileSizeOf(dir + "kv-no-such-file.iso"), -1);
    EXPECT_EQ(FileSizeOf(""), -1);

    const std::string empty = dir + "kv-empty.iso";
    std::ofstream(empty).close();
    EXPECT_EQ(FileSizeOf(empty), 0);

    // A sparse file past 4 GiB: a 32-bit size would report it as 1 GiB.
    const std::string big = dir + "kv-big.iso";
    std::ofstream(big).close();
    std::error_code error;
    std::filesystem::resize_file(big, 5LL << 30, error);
    ASSERT_FALSE(error) << error.message();
    EXPECT_EQ(FileSizeOf(big), 5LL << 30);
    ::unlink(big.c_str());
    ::unlink(empty.c_str());
}

TEST(Helpers, OsPlatformFromTheVersionQuery) {
    struct Case {
        win::DWORD platform, major, minor;
        int result;
    } cases[] = {
        {2, 3, 51, 2}, {2, 3, 10, 5}, {2, 4, 0, 3},  {2, 5, 0, 4}, {2, 5, 1, 5}, {2, 6, 0, 5},
        {1, 4, 0, 0},  {1, 4, 10, 1}, {1, 4, 90, 1}, {0, 3, 1, -1}, {3, 5, 0, -1},
    };
    for (const auto& c : cases) {
        win::SetVersionForTesting(c.platform, c.major, c.minor);
        EXPECT_EQ(GetOSPlatform(), c.result) << c.platform << " " << c.major << "." << c.minor;
    }
    win::ResetVersionForTesting();
    EXPECT_EQ(GetOSPlatform(), 5) << "NT 5.1 by default: drives open for reading and writing";
}

TEST(Types, BurnerInfoCopiesKeepTheirTexts) {
    TCDBurnerInfo copy;
    {
        TCDBurnerInfo original;
        original.VendorId = "VENDOR  ";
        original.ProductId = std::string(16, 'P');
        original.DisplayName = original.VendorId + " " + original.ProductId;
        copy = original;
    }
    EXPECT_EQ(copy.DisplayName.size(), 25u);
    EXPECT_EQ(copy.VendorId, "VENDOR  ");
}

}  // namespace
