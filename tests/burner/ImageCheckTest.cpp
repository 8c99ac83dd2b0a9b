// The image checks before a burn: volume descriptors and El Torito read from built images,
// checksum listings in the forms download sites publish, the sums themselves, and the verdict.
#include "burner/ImageCheck.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "TempDir.h"
#include "burner/CDBufferedStream.h"
#include "burner/ProgressRate.h"
#include "burner/WriteSpeed.h"
#include "platform/Posix.h"
#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

// What an image built for a test holds.
struct ImageLayout {
    const char* name;
    bool pvd = false;
    bool udf = false;          // the UDF recognition sequence (after the ISO set, or alone)
    bool bootRecord = false;
    bool catalogOk = true;     // validation entry with a correct checksum
    bool bootable = true;      // initial entry 88h
    std::size_t sectors = 32;
};

void PutDescriptor(std::string& image, std::size_t sector, std::uint8_t type, const char* id)
{
    char* s = image.data() + sector * 2048;
    s[0] = static_cast<char>(type);
    std::memcpy(s + 1, id, 5);
    s[6] = 1;
}

std::string BuildImage(const ImageLayout& layout)
{
    std::string image(layout.sectors * 2048, '\0');
    std::size_t next = 16;
    if (layout.pvd) {
        PutDescriptor(image, next, 1, "CD001");
        std::memcpy(image.data() + next * 2048 + 40, "KVTEST                          ", 32);
        ++next;
        if (layout.bootRecord) {
            PutDescriptor(image, next, 0, "CD001");
            std::memcpy(image.data() + next * 2048 + 7, "EL TORITO SPECIFICATION", 23);
            image[next * 2048 + 0x47] = 24;   // the boot catalog at sector 24
            ++next;
            unsigned char* c = reinterpret_cast<unsigned char*>(image.data()) + 24 * 2048;
            c[0] = 0x01;
            c[30] = 0x55;
            c[31] = 0xAA;
            unsigned sum = 0;
            for (int i = 0; i < 32; i += 2)
                sum += c[i] | c[i + 1] << 8;
            const unsigned fix = (0x10000 - (sum & 0xFFFF)) & 0xFFFF;
            c[28] = static_cast<unsigned char>(fix);
            c[29] = static_cast<unsigned char>(fix >> 8);
            if (!layout.catalogOk)
                c[28] ^= 1;
            c[32] = layout.bootable ? 0x88 : 0x00;
        }
        PutDescriptor(image, next++, 0xFF, "CD001");
    }
    if (layout.udf) {
        PutDescriptor(image, next++, 0, "BEA01");
        PutDescriptor(image, next++, 0, "NSR02");
        PutDescriptor(image, next++, 0, "TEA01");
    }
    return image;
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(ImageCheck, VolumeDescriptorsAndBootRecord)
{
    struct Case {
        ImageLayout layout;
        TImageFormat format;
        bool bootable;
        const char* bootProblem;
    };
    const std::vector<Case> cases = {
        {{"plain ISO", true}, TImageFormat::Iso9660, false, ""},
        {{"bootable ISO", true, false, true}, TImageFormat::Iso9660, true, ""},
        {{"UDF bridge", true, true, true}, TImageFormat::Iso9660Udf, true, ""},
        {{"UDF only", false, true}, TImageFormat::Udf, false, ""},
        {{"noise", false}, TImageFormat::NotIso, false, ""},
        {{"damaged catalog", true, false, true, false}, TImageFormat::Iso9660, false, "the boot catalog is damaged"},
        {{"entry not bootable", true, false, true, true, false},
         TImageFormat::Iso9660,
         false,
         "the boot catalog's default entry is not bootable"},
        // Cut off before its boot catalog: the record points outside the image.
        {{"catalog cut off", true, false, true, true, true, 20},
         TImageFormat::Iso9660,
         false,
         "the boot catalog lies outside the image"},
        // Too short to hold sector 16 at all.
        {{"tiny", true, false, false, true, true, 16}, TImageFormat::NotIso, false, ""},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout.name);
        const std::string path = dir / "image.iso";
        std::string bytes = BuildImage(ImageLayout{c.layout.name, c.layout.pvd, c.layout.udf, c.layout.bootRecord,
                                                 c.layout.catalogOk, c.layout.bootable, std::max<std::size_t>(c.layout.sectors, 32)});
        bytes.resize(c.layout.sectors * 2048);
        WriteFile(path, bytes);
        const TImageInspection got = InspectImage(path);
        ASSERT_TRUE(got.Opened);
        EXPECT_EQ(got.Format, c.format);
        EXPECT_EQ(got.Bootable, c.bootable);
        EXPECT_EQ(got.BootProblem, c.bootProblem);
        if (c.format == TImageFormat::Iso9660 || c.format == TImageFormat::Iso9660Udf) {
            EXPECT_EQ(got.VolumeId, "KVTEST");
        }
    }
    EXPECT_FALSE(InspectImage(dir / "missing.iso").Opened);
}

TEST(ImageCheck, SumsOfTheUsualListings)
{
    const std::string sha = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    const std::string SHA = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    const std::string other = std::string(64, 'e');
    const std::string md5 = "900150983cd24fb0d6963f7d28e17f72";
    struct Case {
        const char* what;
        std::string text;
        TDigestKind kind;
        bool namedForImage;
        std::string want;
    };
    const std::vector<Case> cases = {
        {"GNU text mode", other + "  other.iso\n" + sha + "  rescue.iso\n", TDigestKind::Sha256, false, sha},
        {"GNU binary mode", sha + " *rescue.iso\r\n", TDigestKind::Sha256, false, sha},
        {"upper case, folder in the name", SHA + "  ./iso/rescue.iso\n", TDigestKind::Sha256, false, sha},
        {"BSD form", "SHA256 (other.iso) = " + other + "\nSHA256 (rescue.iso) = " + sha + "\n", TDigestKind::Sha256,
         false, sha},
        {"clear-signed listing",
         "-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA256\n\n" + sha + "  rescue.iso\n-----BEGIN PGP SIGNATURE-----\n"
         "iQIzBAEBCAAdFiEE\n-----END PGP SIGNATURE-----\n",
         TDigestKind::Sha256, false, sha},
        {"MD5SUMS", md5 + "  rescue.iso\n", TDigestKind::Md5, false, md5},
        {"BSD MD5", "MD5 (rescue.iso) = " + md5 + "\n", TDigestKind::Md5, false, md5},
        {"listing without the image", other + "  other.iso\n", TDigestKind::Sha256, false, ""},
        {"a name that only ends like it", sha + "  my-rescue.iso\n", TDigestKind::Sha256, false, ""},
        {"MD5 length in a SHA-256 listing", md5 + "  rescue.iso\n", TDigestKind::Sha256, false, ""},
        {"hash glued to the name", sha + "rescue.iso\n", TDigestKind::Sha256, false, ""},
        {"IMAGE.sha256 with the bare sum", sha + "\n", TDigestKind::Sha256, true, sha},
        {"IMAGE.sha256 naming the download", sha + "  rescue-2024.iso\n", TDigestKind::Sha256, true, sha},
        {"bare sum in a folder listing", sha + "\n", TDigestKind::Sha256, false, ""},
        {"IMAGE.sha256 with two other names", sha + "  a.iso\n" + other + "  b.iso\n", TDigestKind::Sha256, true, ""},
        {"empty", "", TDigestKind::Sha256, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(FindDigestInListing(c.text, "rescue.iso", c.kind, c.namedForImage), c.want);
    }
}

TEST(ImageCheck, PublishedSumIsLookedForBesideTheImage)
{
    const std::string a = std::string(64, 'a'), b = std::string(64, 'b');
    const std::string m = std::string(32, 'c');
    // A listing of exactly the bound, its sum on the last line, and one a byte longer (the
    // table's files get a line end of their own).
    const auto listing = [&](std::int64_t bytes) {
        const std::string entry = b + "  r.iso";
        return std::string(static_cast<std::size_t>(bytes) - entry.size() - 2, '#') + "\n" + entry;
    };
    const auto skippedLine = [](const char* file, const char* reason, bool read = false) {
        return std::string(file) + (read ? " was not used: " : " was not read: ") + reason +
               "; the image is not checked against it";
    };
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, std::string>> files;
        bool found;
        TDigestKind kind;
        std::string hex;
        const char* source;
        std::vector<std::string> skipped = {};                 // the lines, in the order looked at
        std::function<void(const TempDir&)> extra = nullptr;   // files a listing cannot be written as
    };
    const std::vector<Case> cases = {
        {"none", {}, false, TDigestKind::Sha256, "", ""},
        {"IMAGE.sha256 first", {{"r.iso.sha256", a}, {"SHA256SUMS", b + "  r.iso"}}, true, TDigestKind::Sha256, a, "r.iso.sha256"},
        {"SHA256SUMS before MD5", {{"SHA256SUMS", b + "  r.iso"}, {"r.iso.md5", m}}, true, TDigestKind::Sha256, b, "SHA256SUMS"},
        {"SHA256SUMS not listing it", {{"SHA256SUMS", b + "  x.iso"}, {"MD5SUMS", m + " *r.iso"}}, true, TDigestKind::Md5, m, "MD5SUMS",
         {skippedLine("SHA256SUMS", "it lists no SHA-256 sum for r.iso", true)}},
        {"IMAGE.md5", {{"r.iso.md5", m + "  r.iso"}}, true, TDigestKind::Md5, m, "r.iso.md5"},
        {"listing of exactly 1 MiB", {{"SHA256SUMS", listing(kMaxSumsFileBytes)}}, true, TDigestKind::Sha256, b,
         "SHA256SUMS"},
        {"listing over 1 MiB", {{"SHA256SUMS", listing(kMaxSumsFileBytes + 1)}, {"MD5SUMS", m + "  r.iso"}}, true,
         TDigestKind::Md5, m, "MD5SUMS", {skippedLine("SHA256SUMS", "larger than 1 MiB")}},
        {"a folder by the name", {}, false, TDigestKind::Sha256, "", "",
         {skippedLine("r.iso.sha256", "a folder, not a regular file")},
         [](const TempDir& dir) { std::filesystem::create_directory(dir / "r.iso.sha256"); }},
#ifndef _WIN32
        // Never read: an endless device, and a FIFO no one writes to (which would block the open).
        {"a link to /dev/zero", {{"MD5SUMS", m + "  r.iso"}}, true, TDigestKind::Md5, m, "MD5SUMS",
         {skippedLine("SHA256SUMS", "not a regular file")},
         [](const TempDir& dir) { std::filesystem::create_symlink("/dev/zero", dir / "SHA256SUMS"); }},
        {"a FIFO", {}, false, TDigestKind::Sha256, "", "", {skippedLine("r.iso.md5", "not a regular file")},
         [](const TempDir& dir) { ASSERT_EQ(::mkfifo((dir / "r.iso.md5").c_str(), 0600), 0); }},
        {"a link going round", {}, false, TDigestKind::Sha256, "", "",
         {skippedLine("MD5SUMS", "too many levels of symbolic links")},
         [](const TempDir& dir) { std::filesystem::create_symlink(dir / "MD5SUMS", dir / "MD5SUMS"); }},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        WriteFile(dir / "r.iso", "x");
        for (const auto& [name, text] : c.files)
            WriteFile(dir / name, text + "\n");
        if (c.extra)
            c.extra(dir);
        const TPublishedDigest got = FindPublishedDigest(dir / "r.iso");
        EXPECT_EQ(got.Found, c.found);
        EXPECT_FALSE(got.Stopped);
        std::vector<std::string> lines;
        for (const TSkippedSums& skipped : got.Skipped) {
            lines.push_back(skipped.Line());
            EXPECT_EQ(std::filesystem::path(skipped.File).parent_path(), dir.path());
        }
        EXPECT_EQ(lines, c.skipped);
        if (!c.found)
            continue;
        EXPECT_EQ(got.Kind, c.kind);
        EXPECT_EQ(got.Hex, c.hex);
        EXPECT_EQ(got.Source, dir / c.source);
    }

    // A stop request ends the search before anything is read.
    TempDir dir;
    WriteFile(dir / "r.iso", "x");
    WriteFile(dir / "SHA256SUMS", b + "  r.iso\n");
    std::atomic<bool> stop{true};
    const TPublishedDigest stopped = FindPublishedDigest(dir / "r.iso", &stop);
    EXPECT_TRUE(stopped.Stopped);
    EXPECT_FALSE(stopped.Found);
    TImageCheckOptions options;
    options.Stop = &stop;
    EXPECT_EQ(CheckImageBeforeBurn(dir / "r.iso", options, nullptr).Verdict, TImageVerdict::Stopped);
}

#ifndef _WIN32
// A listing the user may not read is named as such (root reads everything: the look is made
// by a child that gives root up).
TEST(ImageCheck, AnUnreadableListingIsNamed)
{
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    WriteFile(dir / "r.iso", "x");
    WriteFile(dir / "SHA256SUMS", std::string(64, 'b') + "  r.iso\n");
    ::chmod((dir / "SHA256SUMS").c_str(), 0);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(99);
        const TPublishedDigest got = FindPublishedDigest(dir / "r.iso");
        const std::string line = got.Found || got.Skipped.size() != 1 ? "found" : got.Skipped[0].Line();
        ::_exit(::write(out[1], line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? 0 : 98);
    }
    ::close(out[1]);
    char text[512] = {};
    const ssize_t n = ::read(out[0], text, sizeof text - 1);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(std::string(text, static_cast<std::size_t>(std::max<ssize_t>(n, 0))),
              "SHA256SUMS was not read: permission denied; the image is not checked against it");
}
#endif

TEST(ImageCheck, DigestsOfKnownInputs)
{
    TempDir dir;
    // FIPS 180-2 and RFC 1321 test vectors, and a file spanning several hash pieces.
    WriteFile(dir / "abc", "abc");
    WriteFile(dir / "empty", "");
    std::string error;
    EXPECT_EQ(DigestFile(dir / "abc", TDigestKind::Sha256, nullptr, error),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(DigestFile(dir / "abc", TDigestKind::Md5, nullptr, error), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(DigestFile(dir / "empty", TDigestKind::Sha256, nullptr, error),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    WriteFile(dir / "big", std::string(9 * 1024 * 1024 + 5, 'a'));
    std::vector<std::int64_t> seen;
    const std::string whole = DigestFile(dir / "big", TDigestKind::Sha256, [&](std::int64_t done, std::int64_t total) {
        EXPECT_EQ(total, 9 * 1024 * 1024 + 5);
        seen.push_back(done);
        return true;
    }, error);
    TDigest pieces(TDigestKind::Sha256);
    const std::string part(1024 * 1024, 'a');
    for (int i = 0; i < 9; ++i)
        pieces.Update(part.data(), part.size());
    pieces.Update("aaaaa", 5);
    EXPECT_EQ(whole, pieces.FinalHex());
    EXPECT_EQ(seen, (std::vector<std::int64_t>{4194304, 8388608, 9437189}));

    // Stopped by its progress callback: no sum.
    EXPECT_EQ(DigestFile(dir / "big", TDigestKind::Sha256, [](std::int64_t, std::int64_t) { return false; }, error), "");
    EXPECT_EQ(error, "stopped");
    EXPECT_EQ(DigestFile(dir / "missing", TDigestKind::Sha256, nullptr, error), "");

    // The opened image hashes the same, and a change of its size while it is hashed refuses it.
    const TImageFile opened(dir / "big");
    EXPECT_EQ(DigestFile(opened, TDigestKind::Sha256, nullptr, error), whole);
    WriteFile(dir / "r.iso", std::string(9 * 1024 * 1024, 'a'));
    WriteFile(dir / "r.iso.sha256", DigestFile(dir / "r.iso", TDigestKind::Sha256, nullptr, error));
    const TImageFile image(dir / "r.iso");
    EXPECT_TRUE(image.Changed().empty());
    const TImageCheck check = CheckImageBeforeBurn(image, TImageCheckOptions(), [&](std::int64_t, std::int64_t) {
        std::ofstream(dir / "r.iso", std::ios::binary | std::ios::app) << 'a';
        return true;
    });
    EXPECT_EQ(check.Verdict, TImageVerdict::Unreadable);
    EXPECT_EQ(check.Message, "The image changed while its checksum was computed (its size changed); it is not burnt.");
    EXPECT_EQ(image.Changed(), "its size changed");
}

TEST(ImageCheck, VerdictBeforeABurn)
{
    struct Case {
        const char* what;
        ImageLayout layout;
        bool truncate;             // cut the image after its sum was taken
        const char* sumFile;       // where the image's own sum is published ("" for none)
        bool force;
        bool givenSum;             // the sum is given as --sha256 would give it
        TImageVerdict verdict;
        const char* warning;
        const char* checksumLine;
    };
    const char* kForced = "Warning : the image is not ISO 9660; burnt as it is";
    const std::vector<Case> cases = {
        {"bootable, no sum", {"", true, false, true}, false, "", false, false, TImageVerdict::Ok, "", ""},
        {"not bootable", {"", true}, false, "", false, false, TImageVerdict::Ok, kNotBootableWarning, ""},
        {"not ISO", {""}, false, "", false, false, TImageVerdict::NotIso, "", ""},
        {"not ISO, forced", {""}, false, "", true, false, TImageVerdict::Ok, kForced, ""},
        // Part sectors: the burn refuses it for its size, as it always has.
        {"ragged", {"", false, false, false, true, true, 40}, true, "", false, false, TImageVerdict::Ok, "", ""},
        {"SHA256SUMS matches", {"", true, false, true}, false, "SHA256SUMS", false, false, TImageVerdict::Ok, "",
         "Image checksum OK (SHA-256)"},
        {"MD5SUMS matches", {"", true, false, true}, false, "MD5SUMS", false, false, TImageVerdict::Ok, "",
         "Image checksum OK (MD5)"},
        {"truncated download", {"", true, false, true, true, true, 40}, true, "SHA256SUMS", false, false,
         TImageVerdict::ChecksumMismatch, "", ""},
        {"truncated, forced all the same", {"", true, false, true, true, true, 40}, true, "r.iso.sha256", true,
         false, TImageVerdict::ChecksumMismatch, "", ""},
        {"given sum matches", {"", true, false, true}, false, "", false, true, TImageVerdict::Ok, "",
         "Image checksum OK (SHA-256)"},
        {"given sum, truncated", {"", true, false, true, true, true, 40}, true, "", false, true,
         TImageVerdict::ChecksumMismatch, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string image = dir / "r.iso";
        std::string bytes = BuildImage(c.layout);
        WriteFile(image, bytes);
        std::string error;
        const bool md5 = std::string(c.sumFile) == "MD5SUMS";
        const std::string sum = DigestFile(image, md5 ? TDigestKind::Md5 : TDigestKind::Sha256, nullptr, error);
        if (*c.sumFile)
            WriteFile(dir / c.sumFile, sum + "  r.iso\n");
        if (c.truncate) {
            bytes.resize(bytes.size() - 2048 * 5 - 100);
            WriteFile(image, bytes);
        }
        TImageCheckOptions options;
        options.Force = c.force;
        if (c.givenSum)
            options.ExpectedSha256 = sum;
        const TImageCheck got = CheckImageBeforeBurn(image, options, nullptr);
        EXPECT_EQ(got.Verdict, c.verdict) << got.Message;
        EXPECT_EQ(got.Warning, c.warning);
        EXPECT_EQ(got.ChecksumLine, c.checksumLine);
        if (c.verdict == TImageVerdict::ChecksumMismatch) {
            // Both sums are named, so the user can compare them with the published one.
            EXPECT_NE(got.Message.find("expected " + sum), std::string::npos) << got.Message;
            EXPECT_NE(got.Message.find("actual " + got.ActualHex), std::string::npos) << got.Message;
            EXPECT_NE(got.ActualHex, sum);
        }
    }
}

TEST(WriteSpeed, MediumFamilyAndSpeedTexts)
{
    struct Profile {
        std::uint16_t profile;
        TMediumFamily family;
    };
    for (const Profile& p : {Profile{0x0000, TMediumFamily::CD}, Profile{0x0009, TMediumFamily::CD},
                             Profile{0x000A, TMediumFamily::CD}, Profile{0x0010, TMediumFamily::DVD},
                             Profile{0x001A, TMediumFamily::DVD}, Profile{0x002B, TMediumFamily::DVD},
                             Profile{0x0041, TMediumFamily::BD}, Profile{0x0043, TMediumFamily::BD},
                             Profile{0x0050, TMediumFamily::CD}})
        EXPECT_EQ(MediumFamilyOfProfile(p.profile), p.family) << p.profile;

    struct Speed {
        std::uint32_t kbs;
        TMediumFamily family;
        const char* text;
    };
    for (const Speed& s : {Speed{1408, TMediumFamily::CD, "8x"}, Speed{1411, TMediumFamily::CD, "8x"},
                           Speed{9172, TMediumFamily::CD, "52x"}, Speed{706, TMediumFamily::CD, "4x"},
                           Speed{3324, TMediumFamily::DVD, "2.4x"}, Speed{22160, TMediumFamily::DVD, "16x"},
                           Speed{26970, TMediumFamily::BD, "6x"}, Speed{176, TMediumFamily::CD, "1x"}})
        EXPECT_EQ(SpeedText(s.kbs, s.family), s.text) << s.kbs;
}

TEST(ProgressRate, MeasuresOverItsWindowAndThrottlesRedraws)
{
    kvrate::TRateMeter m(3.0);
    EXPECT_EQ(m.BlocksPerSecond(), 0);
    m.Record(10.0, 0);
    m.Record(10.1, 30);
    EXPECT_EQ(m.BlocksPerSecond(), 0) << "a tenth of a second is no measurement";
    for (int i = 2; i <= 50; ++i) m.Record(10.0 + 0.1 * i, 300 * i / 10);   // 300 blocks/s (4x)
    EXPECT_NEAR(m.BlocksPerSecond(), 300, 1);
    // The window forgets the early slow part.
    for (int i = 1; i <= 40; ++i) m.Record(15.0 + 0.1 * i, 1500 + 1200 * i / 10);
    EXPECT_NEAR(m.BlocksPerSecond(), 1200, 1);

    // A fast burn reports every block: the samples are coalesced and the speed stays exact.
    kvrate::TRateMeter fast(3.0);
    for (int i = 0; i <= 400000; ++i) fast.Record(i / 100000.0, i);
    EXPECT_NEAR(fast.BlocksPerSecond(), 100000, 10);

    kvrate::TRedrawThrottle redraw(0.1);
    EXPECT_TRUE(redraw.Take(100.0));
    EXPECT_FALSE(redraw.Take(100.05));
    EXPECT_TRUE(redraw.Take(100.11));
}

TEST(ProgressRate, BufferHealthCountsOnlyOnceTheBufferHasFilled)
{
    constexpr std::int64_t kBuffer = 4 << 20;
    struct Reading {
        int fill;
        std::int64_t sent;
    };
    struct Case {
        const char* what;
        std::vector<Reading> readings;
        int lowest, emptied;
    };
    for (const Case& c : std::vector<Case>{
             {"filling is not a low", {{0, 0}, {20, 1 << 20}, {95, 3 << 20}, {91, 4 << 20}}, 91, 0},
             // A feed that tops the buffer up a block at a time reads 90 on the way up: not a low.
             {"the climb past 90% is not a low", {{89, 1 << 20}, {90, 2 << 20}, {90, 3 << 20}, {99, 4 << 20}, {97, 5 << 20}},
              97, 0},
             // A slow climb still under way when twice the buffer has been sent.
             {"a slow climb past twice the buffer", {{50, 9 << 20}, {85, 10 << 20}, {92, 11 << 20}, {99, 12 << 20},
                                                     {98, 13 << 20}}, 98, 0},
             {"a top never fallen from", {{20, 0}, {96, 1 << 20}, {96, 9 << 20}}, 96, 0},
             {"empty on the climb, then full", {{0, 0}, {30, 5 << 20}, {0, 9 << 20}, {95, 10 << 20}, {93, 11 << 20}},
              0, 1},
             {"a dip after the fill", {{10, 0}, {92, 2 << 20}, {60, 5 << 20}, {97, 6 << 20}}, 60, 0},
             {"a drive faster than its feed never reads 90%", {{0, 0}, {3, 4 << 20}, {2, 8 << 20}, {5, 9 << 20}}, 2, 0},
             {"each run of empty readings once", {{95, 0}, {0, 1}, {0, 2}, {40, 3}, {0, 4}, {-1, 5}, {0, 6}}, 0, 2},
             {"an unanswered query is no reading", {{95, 0}, {-1, 1}}, 95, 0},
             {"never filled", {{10, 0}, {12, 1 << 20}}, -1, 0},
         }) {
        kvrate::TBufferHealth health;
        for (const Reading& r : c.readings) health.Record(r.fill, r.sent, kBuffer);
        EXPECT_EQ(health.Lowest(), c.lowest) << c.what;
        EXPECT_EQ(health.EmptyEvents(), c.emptied) << c.what;
    }
}

TEST(ProgressRate, TimeLeftSpeedInXAndDurations)
{
    struct Left {
        std::int64_t sector, total;
        int percent;
        double blocksPerSecond, elapsed, seconds;
    };
    for (const Left& l : {
             Left{1499, 3000, 45, 1200, 9, 1.25},   // 1500 blocks after sector 1499
             Left{2999, 3000, 100, 1200, 9, 0},     // the last sector
             Left{1499, 3000, 45, 0, 9, -1},        // no speed yet
             Left{-1, 0, 25, 0, 30, 90},            // a blank at a quarter after 30 s
             Left{-1, 0, 0, 0, 30, -1},             // nothing done yet: no estimate
             Left{-1, 0, 100, 0, 30, 0},
         })
        EXPECT_DOUBLE_EQ(kvrate::SecondsLeft(l.sector, l.total, l.percent, l.blocksPerSecond, l.elapsed), l.seconds)
            << l.sector << " " << l.percent;

    // 1x: 75 blocks of a CD, 1,385 kB/s of a DVD, 4,495 kB/s of a BD.
    EXPECT_DOUBLE_EQ(kvrate::SpeedX(600, kvcat::Family::CD), 8);
    EXPECT_NEAR(kvrate::SpeedX(16 * 1385000.0 / 2048, kvcat::Family::DVD), 16, 1e-9);
    EXPECT_NEAR(kvrate::SpeedX(6 * 4495000.0 / 2048, kvcat::Family::BD), 6, 1e-9);
    EXPECT_EQ(kvrate::SpeedX(0, kvcat::Family::DVD), 0);

    EXPECT_EQ(kvrate::FormatDuration(0), "0:00");
    EXPECT_EQ(kvrate::FormatDuration(3.4), "0:03");
    EXPECT_EQ(kvrate::FormatDuration(247), "4:07");
    EXPECT_EQ(kvrate::FormatDuration(3909), "1:05:09");
    EXPECT_EQ(kvrate::FormatDuration(-1), "--:--");
}

}  // namespace
