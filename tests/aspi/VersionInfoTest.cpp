// The version-resource reader (PE images, VS_VERSIONINFO queries) and TVersionInfo over it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "VersionBlob.h"
#include "platform/VersionResource.h"
#include "scsi/VersionInfo.h"

using namespace kvtest;

namespace {

Bytes TypicalResource() {
    return VersionInfoRoot({
        StringFileInfo({StringTable(u"040904E4", {
            Text(u"CompanyName", u"Keel Test Labs"),
            Text(u"FileDescription", u"ASPI for Win32 test layer"),
            Text(u"FileVersion", u"4.60 (1021)"),
            Text(u"ProductName", u"Gr\u00fc\u00dfe \u00a9 \U0001F4BF"),
        })}),
        VarFileInfo({{0x0409, 0x04E4}}),
    }).Serialize();
}

std::vector<std::uint8_t> ReadBlock(const std::string& file) {
    win::DWORD handle = 99;
    const win::DWORD size = win::GetFileVersionInfoSizeA(file.c_str(), &handle);
    EXPECT_EQ(handle, 0u);
    std::vector<std::uint8_t> block(size);
    if (size == 0 || !win::GetFileVersionInfoA(file.c_str(), handle, size, block.data())) block.clear();
    return block;
}

std::string QueryText(std::vector<std::uint8_t>& block, const char* path) {
    void* value = nullptr;
    win::UINT length = 0;
    if (!win::VerQueryValueA(block.data(), path, &value, &length)) return "<none>";
    return static_cast<const char*>(value);
}

}  // namespace

TEST(VersionResource, ReadsTheVersionBlockOfPe32AndPe32PlusImages) {
    TempDir dir;
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus ? "PE32+" : "PE32");
        PeOptions opt;
        opt.pe32Plus = plus;
        const std::string file = dir.Write("lib.dll", BuildPe(TypicalResource(), opt));
        auto block = ReadBlock(file);
        ASSERT_FALSE(block.empty());

        void* value = nullptr;
        win::UINT length = 0;
        ASSERT_TRUE(win::VerQueryValueA(block.data(), "\\", &value, &length));
        ASSERT_EQ(length, sizeof(win::VS_FIXEDFILEINFO));
        win::VS_FIXEDFILEINFO fixed;
        std::memcpy(&fixed, value, sizeof fixed);
        EXPECT_EQ(fixed.dwSignature, win::VS_FFI_SIGNATURE);
        EXPECT_EQ(fixed.dwFileVersionMS, 0x00040002u);
        EXPECT_EQ(fixed.dwFileVersionLS, 7u);

        ASSERT_TRUE(win::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
        ASSERT_EQ(length, 4u);
        EXPECT_EQ(std::memcmp(value, "\x09\x04\xE4\x04", 4), 0);

        EXPECT_EQ(QueryText(block, "\\StringFileInfo\\040904E4\\FileVersion"), "4.60 (1021)");
        // Keys compare without regard to case, as on Windows.
        EXPECT_EQ(QueryText(block, "\\stringfileinfo\\040904e4\\companyname"), "Keel Test Labs");
        EXPECT_EQ(QueryText(block, "\\StringFileInfo\\040904E4\\Comments"), "<none>");
        EXPECT_EQ(QueryText(block, "\\StringFileInfo\\04070000\\FileVersion"), "<none>");
    }
}

TEST(VersionResource, TextsAreUtf8AndStayIntactAcrossQueries) {
    TempDir dir;
    auto block = ReadBlock(dir.Write("lib.dll", BuildPe(TypicalResource())));
    ASSERT_FALSE(block.empty());
    const char* keys[] = {"CompanyName", "FileDescription", "FileVersion", "ProductName"};
    const std::string expected[] = {"Keel Test Labs", "ASPI for Win32 test layer", "4.60 (1021)",
                                    "Gr\xC3\xBC\xC3\x9F" "e \xC2\xA9 \xF0\x9F\x92\xBF"};
    std::vector<const char*> results;
    for (const char* key : keys) {
        void* value = nullptr;
        win::UINT length = 0;
        const std::string path = std::string("\\StringFileInfo\\040904E4\\") + key;
        ASSERT_TRUE(win::VerQueryValueA(block.data(), path.c_str(), &value, &length));
        EXPECT_EQ(length, std::strlen(static_cast<const char*>(value)) + 1);
        results.push_back(static_cast<const char*>(value));
    }
    // Every earlier result still reads as it did: the converted texts do not overlap.
    for (std::size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i], expected[i]) << keys[i];
}

TEST(VersionResource, FilesWithoutAWellFormedVersionResourceReportNone) {
    TempDir dir;
    const Bytes resource = TypicalResource();
    Bytes wrongRoot = resource;
    wrongRoot[6] = 'X';   // root key no longer VS_VERSION_INFO
    Bytes longRoot = resource;
    Put16(longRoot, 0, static_cast<std::uint16_t>(resource.size() + 64));
    Bytes pe = BuildPe(resource);

    struct Case {
        const char* name;
        Bytes bytes;
        win::DWORD error;
    };
    PeOptions noDirectory;
    noDirectory.withResourceDirectory = false;
    PeOptions iconOnly;
    iconOnly.resourceType = 3;
    PeOptions pastSection;
    pastSection.declaredSizeExtra = 0x10000;
    PeOptions outsideImage;
    outsideImage.dataRvaShift = 0x100000;
    std::vector<Case> cases = {
        {"empty file", {}, win::ERROR_BAD_EXE_FORMAT},
        {"text file", Bytes{'h', 'e', 'l', 'l', 'o'}, win::ERROR_BAD_EXE_FORMAT},
        {"truncated PE", Bytes(pe.begin(), pe.begin() + 100), win::ERROR_BAD_EXE_FORMAT},
        {"no resource directory", BuildPe(resource, noDirectory), win::ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"no RT_VERSION", BuildPe(resource, iconOnly), win::ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"wrong root key", BuildPe(wrongRoot), win::ERROR_RESOURCE_DATA_NOT_FOUND},
        {"root longer than the data", BuildPe(longRoot), win::ERROR_RESOURCE_DATA_NOT_FOUND},
        {"size beyond the section", BuildPe(resource, pastSection), win::ERROR_RESOURCE_DATA_NOT_FOUND},
        {"data outside the image", BuildPe(resource, outsideImage), win::ERROR_RESOURCE_DATA_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir.Write("f.bin", c.bytes);
        win::DWORD handle = 5;
        win::SetLastError(0);
        EXPECT_EQ(win::GetFileVersionInfoSizeA(file.c_str(), &handle), 0u);
        EXPECT_EQ(win::GetLastError(), c.error);
        EXPECT_EQ(handle, 0u);
        std::vector<std::uint8_t> block(4096);
        EXPECT_FALSE(win::GetFileVersionInfoA(file.c_str(), 0, 4096, block.data()));
    }
    // An ELF file: this test program itself.
    win::DWORD handle = 0;
    EXPECT_EQ(win::GetFileVersionInfoSizeA("/proc/self/exe", &handle), 0u);
    EXPECT_EQ(win::GetLastError(), win::ERROR_BAD_EXE_FORMAT);
    EXPECT_EQ(win::GetFileVersionInfoSizeA((dir.Path() + "/missing.dll").c_str(), &handle), 0u);
    EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
}

TEST(VersionResource, ABufferSmallerThanReportedIsRefusedNotTruncated) {
    TempDir dir;
    const std::string file = dir.Write("lib.dll", BuildPe(TypicalResource()));
    win::DWORD handle = 0;
    const win::DWORD size = win::GetFileVersionInfoSizeA(file.c_str(), &handle);
    ASSERT_GT(size, TypicalResource().size());
    std::vector<std::uint8_t> block(size, 0xAA);
    EXPECT_FALSE(win::GetFileVersionInfoA(file.c_str(), handle, size - 1, block.data()));
    EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(block[0], 0xAA);
}

TEST(VersionResource, MalformedTreesAreWalkedWithinBounds) {
    // Children whose lengths run past their parent, keys without terminator, a zero length:
    // queries fail or find nothing, and never read outside the block (ASan watches).
    TempDir dir;
    Bytes resource = TypicalResource();
    const std::size_t stringFileInfo = 40 + 52;   // first child of the root: header, key, fixed info
    struct Case {
        const char* name;
        std::size_t offset;
        std::uint16_t value;
    };
    const Case cases[] = {
        {"child longer than root", stringFileInfo, 0xFFF0},
        {"child length zero", stringFileInfo, 0},
        {"child shorter than its header", stringFileInfo, 4},
        {"text value longer than node", stringFileInfo + 2, 0x7FFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes broken = resource;
        Put16(broken, c.offset, c.value);
        auto block = ReadBlock(dir.Write("lib.dll", BuildPe(broken)));
        ASSERT_FALSE(block.empty());
        for (const char* path : {"\\StringFileInfo\\040904E4\\FileVersion", "\\VarFileInfo\\Translation",
                                 "\\StringFileInfo", "\\StringFileInfo\\040904E4"}) {
            void* value = nullptr;
            win::UINT length = 0;
            if (win::VerQueryValueA(block.data(), path, &value, &length) && value != nullptr) {
                const auto* p = static_cast<const std::uint8_t*>(value);
                EXPECT_GE(p, block.data());
                EXPECT_LE(p + length, block.data() + block.size());
            }
        }
    }
}

TEST(VersionInfo, ReadsTheFirstTranslationsStringTableOnly) {
    TempDir dir;
    struct Case {
        const char* name;
        std::vector<VersionNode> children;
        std::string fileVersion;
        std::string productName;
    };
    std::vector<Case> cases;
    cases.push_back({"first of two translations",
                     {StringFileInfo({StringTable(u"040904E4", {Text(u"FileVersion", u"english"),
                                                                Text(u"ProductName", u"english")}),
                                      StringTable(u"040704B0", {Text(u"FileVersion", u"2.1.0.7")})}),
                      VarFileInfo({{0x0407, 0x04B0}, {0x0409, 0x04E4}})},
                     "2.1.0.7",
                     ""});
    cases.push_back({"first translation without a table",
                     {StringFileInfo({StringTable(u"040904E4", {Text(u"FileVersion", u"english")})}),
                      VarFileInfo({{0x0411, 0x03A4}, {0x0409, 0x04E4}})},
                     "",
                     ""});
    cases.push_back({"no translation uses 00000000",
                     {StringFileInfo({StringTable(u"00000000", {Text(u"FileVersion", u"neutral"),
                                                                Text(u"ProductName", u"KV")}),
                                      StringTable(u"040904E4", {Text(u"FileVersion", u"english")})})},
                     "neutral",
                     "KV"});
    cases.push_back({"empty values",
                     {StringFileInfo({StringTable(u"040904E4", {Text(u"FileVersion", u""),
                                                                KeyOnly(u"ProductName")})}),
                      VarFileInfo({{0x0409, 0x04E4}})},
                     "",
                     ""});
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file =
            dir.Write("lib.dll", BuildPe(VersionInfoRoot(std::move(c.children)).Serialize()));
        const TVersionInfo info(file);
        EXPECT_EQ(info.FileVersion, c.fileVersion);
        EXPECT_EQ(info.ProductName, c.productName);
        EXPECT_EQ(info.CompanyName, "");
        EXPECT_EQ(info.Comments, "");
    }
}

TEST(VersionInfo, AFileWithoutVersionResourceLeavesEveryFieldEmpty) {
    TempDir dir;
    for (const std::string& file : {std::string("/proc/self/exe"), dir.Path() + "/none.dll",
                                   dir.Write("bad.dll", BuildPe({1, 2, 3, 4, 5, 6, 7, 8}))}) {
        SCOPED_TRACE(file);
        const TVersionInfo v(file);
        EXPECT_EQ(v.FileVersion + v.CompanyName + v.ProductName + v.ProductVersion, "");
    }
}
