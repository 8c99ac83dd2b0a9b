#include "burner/ImageCheck.h"

#include "platform/Posix.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace {

constexpr std::int64_t kSector = 2048;
// Volume descriptors start at sector 16 (ECMA-119 8.1); a set longer than this is no image
// worth reading further.
constexpr std::int64_t kFirstDescriptor = 16;
constexpr int kMaxDescriptors = 64;
constexpr std::size_t kHashPiece = 4u * 1024u * 1024u;

bool ReadSector(std::ifstream& in, std::int64_t Sector, std::array<std::uint8_t, kSector>& Out)
{
    in.clear();
    in.seekg(Sector * kSector);
    in.read(reinterpret_cast<char*>(Out.data()), kSector);
    return in.gcount() == kSector;
}

std::uint32_t LE32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string Trimmed(const std::uint8_t* p, std::size_t n)
{
    std::string s(reinterpret_cast<const char*>(p), n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    return s;
}

// El Torito: the boot catalog's validation entry (header 01h, key 55h AAh, 16-bit words summing
// to 0) and a bootable initial entry (88h) right after it.
void CheckBootCatalog(std::ifstream& in, std::uint32_t CatalogSector, std::int64_t Sectors, TImageInspection& Out)
{
    std::array<std::uint8_t, kSector> s{};
    if (CatalogSector >= Sectors || !ReadSector(in, CatalogSector, s)) {
        Out.BootProblem = "the boot catalog lies outside the image";
        return;
    }
    std::uint16_t sum = 0;
    for (int i = 0; i < 32; i += 2)
        sum = static_cast<std::uint16_t>(sum + (s[i] | s[i + 1] << 8));
    if (s[0] != 0x01 || s[30] != 0x55 || s[31] != 0xAA || sum != 0) {
        Out.BootProblem = "the boot catalog is damaged";
        return;
    }
    if (s[32] != 0x88) {
        Out.BootProblem = "the boot catalog's default entry is not bootable";
        return;
    }
    Out.Bootable = true;
}

std::string Lower(std::string s)
{
    for (auto& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string BaseName(const std::string& Path)
{
    const auto slash = Path.find_last_of(kvsys::kPathSeparators);
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

std::string FolderOf(const std::string& Path)
{
    const auto slash = Path.find_last_of(kvsys::kPathSeparators);
    return slash == std::string::npos ? std::string() : Path.substr(0, slash + 1);
}

bool ReadSmallFile(const std::string& Path, std::string& Text)
{
    struct stat st {};
    // A checksum listing is small; anything else by that name is not one.
    if (::stat(Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 1024 * 1024)
        return false;
    std::ifstream in(Path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    Text = ss.str();
    return true;
}

std::string TrimSpace(const std::string& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

// The file a listing line names, as sha256sum and friends write it: "./" and folders dropped.
bool SameImage(std::string Listed, const std::string& ImageName)
{
    Listed = TrimSpace(Listed);
    return !Listed.empty() && BaseName(Listed) == ImageName;
}

}  // namespace

// Inspection ------------------------------------------------------------------------------------

const char* ImageFormatName(TImageFormat Format)
{
    switch (Format) {
    case TImageFormat::Iso9660: return "ISO 9660";
    case TImageFormat::Iso9660Udf: return "ISO 9660 with UDF bridge";
    case TImageFormat::Udf: return "UDF";
    case TImageFormat::NotIso: break;
    }
    return "not ISO 9660";
}

TImageInspection InspectImage(const std::string& FileName)
{
    TImageInspection out;
    std::ifstream in(FileName, std::ios::binary);
    if (!in) {
        out.OpenError = std::strerror(errno);
        return out;
    }
    out.Opened = true;
    in.seekg(0, std::ios::end);
    out.Size = static_cast<std::int64_t>(in.tellg());
    const std::int64_t sectors = out.Size / kSector;

    bool pvd = false, udf = false;
    std::uint32_t catalog = 0;
    bool bootRecord = false;
    std::array<std::uint8_t, kSector> s{};
    for (int i = 0; i < kMaxDescriptors && kFirstDescriptor + i < sectors; ++i) {
        if (!ReadSector(in, kFirstDescriptor + i, s))
            break;
        const std::string id(reinterpret_cast<const char*>(&s[1]), 5);
        if (id == "CD001") {
            if (s[0] == 1 && !pvd) {
                pvd = true;
                out.VolumeId = Trimmed(&s[40], 32);
            } else if (s[0] == 0 && std::memcmp(&s[7], "EL TORITO SPECIFICATION", 23) == 0) {
                bootRecord = true;
                catalog = LE32(&s[0x47]);
            }
            continue;   // the terminator (type FFh) is followed by UDF's recognition sequence
        }
        // UDF volume recognition sequence (ECMA-167 2/9): BEA01, NSR02 or NSR03, TEA01.
        if (id == "NSR02" || id == "NSR03")
            udf = true;
        else if (id != "BEA01" && id != "TEA01" && id != "BOOT2" && id != "CDW02")
            break;
    }
    out.Format = pvd ? (udf ? TImageFormat::Iso9660Udf : TImageFormat::Iso9660)
                     : (udf ? TImageFormat::Udf : TImageFormat::NotIso);
    if (bootRecord)
        CheckBootCatalog(in, catalog, sectors, out);
    return out;
}

// Digests -----------------------------------------------------------------------------------------

const char* DigestName(TDigestKind Kind) { return Kind == TDigestKind::Sha256 ? "SHA-256" : "MD5"; }

std::size_t DigestHexLength(TDigestKind Kind) { return Kind == TDigestKind::Sha256 ? 64 : 32; }

bool IsDigestHex(const std::string& Text, TDigestKind Kind)
{
    return Text.size() == DigestHexLength(Kind) &&
           std::all_of(Text.begin(), Text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

std::string FindDigestInListing(const std::string& Text, const std::string& ImageName, TDigestKind Kind,
                                bool NamedForImage)
{
    const std::string bsdTag = Kind == TDigestKind::Sha256 ? "SHA256" : "MD5";
    std::istringstream lines(Text);
    std::string line;
    std::string bare, single;
    int entries = 0;
    while (std::getline(lines, line)) {
        line = TrimSpace(line);
        if (line.empty())
            continue;
        // BSD: "SHA256 (name) = HEX"
        if (line.rfind(bsdTag + " (", 0) == 0) {
            const auto close = line.rfind(") = ");
            if (close == std::string::npos)
                continue;
            const std::string name = line.substr(bsdTag.size() + 2, close - bsdTag.size() - 2);
            const std::string hex = TrimSpace(line.substr(close + 4));
            if (!IsDigestHex(hex, Kind))
                continue;
            ++entries;
            single = hex;
            if (SameImage(name, ImageName))
                return Lower(hex);
            continue;
        }
        // GNU: "HEX  name" (text mode) or "HEX *name" (binary mode); a leading backslash marks
        // an escaped name.
        std::size_t start = line[0] == '\\' ? 1 : 0;
        const std::string hex = line.substr(start, DigestHexLength(Kind));
        if (!IsDigestHex(hex, Kind))
            continue;
        const std::size_t after = start + hex.size();
        if (after == line.size()) {
            bare = hex;
            continue;
        }
        if (!std::isspace(static_cast<unsigned char>(line[after])))
            continue;
        std::string name = line.substr(after + 1);
        if (!name.empty() && (name[0] == '*' || name[0] == ' '))
            name.erase(0, 1);
        ++entries;
        single = hex;
        if (SameImage(name, ImageName))
            return Lower(hex);
    }
    if (NamedForImage) {
        if (!bare.empty())
            return Lower(bare);
        if (entries == 1)
            return Lower(single);
    }
    return {};
}

TPublishedDigest FindPublishedDigest(const std::string& ImagePath)
{
    const std::string name = BaseName(ImagePath);
    const std::string folder = FolderOf(ImagePath);
    struct Place {
        std::string path;
        TDigestKind kind;
        bool namedForImage;
    };
    const Place places[] = {
        {ImagePath + ".sha256", TDigestKind::Sha256, true},
        {folder + "SHA256SUMS", TDigestKind::Sha256, false},
        {ImagePath + ".md5", TDigestKind::Md5, true},
        {folder + "MD5SUMS", TDigestKind::Md5, false},
    };
    TPublishedDigest out;
    for (const Place& p : places) {
        std::string text;
        if (!ReadSmallFile(p.path, text))
            continue;
        const std::string hex = FindDigestInListing(text, name, p.kind, p.namedForImage);
        if (hex.empty())
            continue;
        out.Found = true;
        out.Kind = p.kind;
        out.Hex = hex;
        out.Source = p.path;
        return out;
    }
    return out;
}

std::string DigestFile(const std::string& FileName, TDigestKind Kind,
                       const std::function<bool(std::int64_t, std::int64_t)>& Progress, std::string& Error)
{
    std::ifstream in(FileName, std::ios::binary);
    if (!in) {
        Error = std::strerror(errno);
        return {};
    }
    in.seekg(0, std::ios::end);
    const std::int64_t total = static_cast<std::int64_t>(in.tellg());
    in.seekg(0);
    TDigest digest(Kind);
    std::vector<char> piece(kHashPiece);
    std::int64_t done = 0;
    while (done < total) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const std::streamsize got = in.gcount();
        if (got <= 0) {
            Error = "the image could not be read to its end";
            return {};
        }
        digest.Update(piece.data(), static_cast<std::size_t>(got));
        done += got;
        if (Progress && !Progress(done, total)) {
            Error = "stopped";
            return {};
        }
    }
    return digest.FinalHex();
}

// The check before a burn -----------------------------------------------------------------------

TImageCheck CheckImageBeforeBurn(const std::string& ImagePath, const TImageCheckOptions& Options,
                                 const std::function<bool(std::int64_t, std::int64_t)>& Progress)
{
    TImageCheck check;
    check.Inspection = InspectImage(ImagePath);
    if (!check.Inspection.Opened) {
        check.Verdict = TImageVerdict::Unreadable;
        check.Message = "The image cannot be read: " + check.Inspection.OpenError;
        return check;
    }

    // The sum first: a cut-off download is the likelier fault, and its sum says so plainly.
    if (!Options.ExpectedSha256.empty()) {
        check.Published.Found = true;
        check.Published.Kind = TDigestKind::Sha256;
        check.Published.Hex = Lower(Options.ExpectedSha256);
        check.Published.Source = "--sha256";
    } else {
        check.Published = FindPublishedDigest(ImagePath);
    }
    if (check.Published.Found) {
        std::string error;
        check.ActualHex = DigestFile(ImagePath, check.Published.Kind, Progress, error);
        const char* kind = DigestName(check.Published.Kind);
        if (check.ActualHex.empty()) {
            check.Verdict = error == "stopped" ? TImageVerdict::Stopped : TImageVerdict::Unreadable;
            check.Message = "The image cannot be read: " + error;
            return check;
        }
        if (check.ActualHex != check.Published.Hex) {
            check.Verdict = TImageVerdict::ChecksumMismatch;
            check.Message = std::string("Image checksum mismatch (") + kind + "): expected " + check.Published.Hex +
                            " (" + BaseName(check.Published.Source) + "), actual " + check.ActualHex +
                            ". The image is damaged or not the one published; it is not burnt.";
            return check;
        }
        check.ChecksumLine = std::string("Image checksum OK (") + kind + ")";
    }

    // An empty image or one of part sectors is refused by the burn itself, for its size.
    if (check.Inspection.Size == 0 || check.Inspection.Size % kSector != 0)
        return check;
    if (check.Inspection.Format == TImageFormat::NotIso) {
        if (!Options.Force) {
            check.Verdict = TImageVerdict::NotIso;
            check.Message = "This image is not an ISO 9660 image (no volume descriptor at sector 16): it is not burnt.";
            return check;
        }
        check.Warning = "Warning : the image is not ISO 9660; burnt as it is";
        return check;
    }
    if (Options.RequireBootable && !check.Inspection.Bootable)
        check.Warning = kNotBootableWarning;
    return check;
}
