#include "burner/ImageCheck.h"

#include "burner/CDBufferedStream.h"
#include "platform/Posix.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace {

constexpr std::int64_t kSector = 2048;
// Volume descriptors start at sector 16 (ECMA-119 8.1); a set longer than this is no image
// worth reading further.
constexpr std::int64_t kFirstDescriptor = 16;
constexpr int kMaxDescriptors = 64;
constexpr std::size_t kHashPiece = 4u * 1024u * 1024u;

bool ReadSector(const TImageFile& in, std::int64_t Sector, std::array<std::uint8_t, kSector>& Out)
{
    return in.ReadAt(Out.data(), Out.size(), Sector * kSector) == kSector;
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
void CheckBootCatalog(const TImageFile& in, std::uint32_t CatalogSector, std::int64_t Sectors, TImageInspection& Out)
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

bool Stopping(const std::atomic<bool>* Stop)
{
    return Stop && Stop->load(std::memory_order_relaxed);
}

// What the system says, as a reason within a sentence ("permission denied").
std::string ReasonOf(int Error)
{
    std::string why = std::strerror(Error);
    if (!why.empty() && !(why.size() > 1 && std::isupper(static_cast<unsigned char>(why[1]))))
        why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
    return why;
}

enum class SumsRead { Absent, Read, Skipped, Stopped };

// Opens the listing once and reads it from that descriptor only: a name swapped after a look
// at it (for a link to /dev/zero, a FIFO, a huge file) is never read past the bound, and a stop
// is honoured between pieces.
SumsRead ReadSumsFile(const std::string& Path, const std::atomic<bool>* Stop, std::string& Text, std::string& Why)
{
    int fd = -1;
    do {
        // Non-blocking: a FIFO by that name would block the open until someone writes to it.
        fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return SumsRead::Absent;
        // Windows refuses to open a folder as a file at all; the name says what it is (only the
        // message uses this look, nothing is read by name).
        struct stat named {};
        Why = error == EACCES && ::stat(Path.c_str(), &named) == 0 && S_ISDIR(named.st_mode)
                  ? "a folder, not a regular file"
                  : ReasonOf(error);
        return SumsRead::Skipped;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        Why = ReasonOf(errno);
        return SumsRead::Skipped;
    }
    if (!S_ISREG(st.st_mode)) {
        Why = S_ISDIR(st.st_mode) ? "a folder, not a regular file" : "not a regular file";
        return SumsRead::Skipped;
    }
    const std::string tooLarge = "larger than " + std::to_string(kMaxSumsFileBytes / (1024 * 1024)) + " MiB";
    if (st.st_size > kMaxSumsFileBytes) {
        Why = tooLarge;
        return SumsRead::Skipped;
    }
    // One byte past the bound tells a file that grew since its size was asked.
    std::vector<char> piece(64 * 1024);
    Text.clear();
    while (static_cast<std::int64_t>(Text.size()) <= kMaxSumsFileBytes) {
        if (Stopping(Stop))
            return SumsRead::Stopped;
        const std::size_t want =
            std::min<std::size_t>(piece.size(), static_cast<std::size_t>(kMaxSumsFileBytes + 1) - Text.size());
        const ssize_t got = ::read(fd, piece.data(), want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)   // a regular file does not ask to wait; nothing more to read
            break;
        if (got < 0) {
            Why = ReasonOf(errno);
            return SumsRead::Skipped;
        }
        if (got == 0)
            break;
        Text.append(piece.data(), static_cast<std::size_t>(got));
    }
    if (static_cast<std::int64_t>(Text.size()) > kMaxSumsFileBytes) {
        Why = tooLarge;
        return SumsRead::Skipped;
    }
    return SumsRead::Read;
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
    try {
        const TImageFile image(FileName);
        return InspectImage(image);
    } catch (const std::system_error& e) {
        TImageInspection out;
        out.OpenError = e.code().message();
        return out;
    }
}

TImageInspection InspectImage(const TImageFile& in)
{
    TImageInspection out;
    out.Opened = true;
    out.Size = in.Size();
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

std::string TSkippedSums::Line() const
{
    return BaseName(File) + (Read ? " was not used: " : " was not read: ") + Reason +
           "; the image is not checked against it";
}

TPublishedDigest FindPublishedDigest(const std::string& ImagePath, const std::atomic<bool>* Stop)
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
        std::string text, why;
        switch (ReadSumsFile(p.path, Stop, text, why)) {
        case SumsRead::Absent: continue;
        case SumsRead::Stopped: out.Stopped = true; return out;
        case SumsRead::Skipped: out.Skipped.push_back({p.path, why, false}); continue;
        case SumsRead::Read: break;
        }
        const std::string hex = FindDigestInListing(text, name, p.kind, p.namedForImage);
        if (hex.empty()) {
            out.Skipped.push_back({p.path, std::string("it lists no ") + DigestName(p.kind) + " sum for " + name, true});
            continue;
        }
        out.Found = true;
        out.Kind = p.kind;
        out.Hex = hex;
        out.Source = p.path;
        return out;
    }
    return out;
}

namespace {

template <typename ReadPiece>
std::string DigestPieces(std::int64_t Total, TDigestKind Kind, ReadPiece Read,
                         const std::function<bool(std::int64_t, std::int64_t)>& Progress, std::string& Error)
{
    TDigest digest(Kind);
    std::vector<char> piece(kHashPiece);
    std::int64_t done = 0;
    while (done < Total) {
        const std::int64_t got = Read(piece.data(), static_cast<std::size_t>(std::min<std::int64_t>(
                                                        static_cast<std::int64_t>(piece.size()), Total - done)),
                                      done);
        if (got <= 0) {
            Error = "the image could not be read to its end";
            return {};
        }
        digest.Update(piece.data(), static_cast<std::size_t>(got));
        done += got;
        if (Progress && !Progress(done, Total)) {
            Error = "stopped";
            return {};
        }
    }
    return digest.FinalHex();
}

}  // namespace

std::string DigestFile(const TImageFile& Image, TDigestKind Kind,
                       const std::function<bool(std::int64_t, std::int64_t)>& Progress, std::string& Error)
{
    return DigestPieces(
        Image.Size(), Kind,
        [&](char* to, std::size_t count, std::int64_t at) { return Image.ReadAt(to, count, at); }, Progress, Error);
}

std::string DigestFile(const std::string& FileName, TDigestKind Kind,
                       const std::function<bool(std::int64_t, std::int64_t)>& Progress, std::string& Error)
{
    try {
        const TImageFile image(FileName);
        return DigestFile(image, Kind, Progress, Error);
    } catch (const std::system_error& e) {
        Error = e.code().message();
        return {};
    }
}

// The check before a burn -----------------------------------------------------------------------

TImageCheck CheckImageBeforeBurn(const std::string& ImagePath, const TImageCheckOptions& Options,
                                 const std::function<bool(std::int64_t, std::int64_t)>& Progress)
{
    try {
        const TImageFile image(ImagePath);
        return CheckImageBeforeBurn(image, Options, Progress);
    } catch (const std::system_error& e) {
        TImageCheck check;
        check.Inspection.OpenError = e.code().message();
        check.Verdict = TImageVerdict::Unreadable;
        check.Message = "The image cannot be read: " + check.Inspection.OpenError;
        return check;
    }
}

TImageCheck CheckImageBeforeBurn(const TImageFile& Image, const TImageCheckOptions& Options,
                                 const std::function<bool(std::int64_t, std::int64_t)>& Progress)
{
    const std::string& ImagePath = Image.FileName();
    TImageCheck check;
    check.Inspection = InspectImage(Image);

    // The sum first: a cut-off download is the likelier fault, and its sum says so plainly.
    if (!Options.ExpectedSha256.empty()) {
        check.Published.Found = true;
        check.Published.Kind = TDigestKind::Sha256;
        check.Published.Hex = Lower(Options.ExpectedSha256);
        check.Published.Source = "--sha256";
    } else {
        check.Published = FindPublishedDigest(ImagePath, Options.Stop);
        if (check.Published.Stopped) {
            check.Verdict = TImageVerdict::Stopped;
            check.Message = "The image check was stopped";
            return check;
        }
    }
    if (Options.OnSumsSearched)
        Options.OnSumsSearched(check.Published);
    if (check.Published.Found) {
        std::string error;
        check.ActualHex = DigestFile(
            Image, check.Published.Kind,
            [&](std::int64_t done, std::int64_t total) {
                return !Stopping(Options.Stop) && (!Progress || Progress(done, total));
            },
            error);
        const char* kind = DigestName(check.Published.Kind);
        if (check.ActualHex.empty()) {
            check.Verdict = error == "stopped" ? TImageVerdict::Stopped : TImageVerdict::Unreadable;
            check.Message = "The image cannot be read: " + error;
            return check;
        }
        // A sum of bytes that changed while they were read vouches for nothing.
        if (const std::string changed = Image.Changed(); !changed.empty()) {
            check.ActualHex.clear();
            check.Verdict = TImageVerdict::Unreadable;
            check.Message = "The image changed while its checksum was computed (" + changed + "); it is not burnt.";
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
