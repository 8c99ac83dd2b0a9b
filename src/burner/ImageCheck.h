// Checks an image before it is burnt, for both front ends: that it is what it claims to be
// (an ISO 9660 or UDF file system, bootable through El Torito) and that it equals the sum
// published beside it. A rescue disc fails most often because the download was cut short or
// the wrong file was picked; both are cheap to find before the disc is spent.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TImageFile;

// What the volume descriptors at sector 16 say.
enum class TImageFormat : std::uint8_t {
    NotIso,       // no ISO 9660 or UDF volume descriptor
    Iso9660,      // a primary volume descriptor
    Iso9660Udf,   // ISO 9660 with a UDF bridge
    Udf,          // UDF only
};

struct TImageInspection {
    bool Opened = false;
    std::string OpenError;
    std::int64_t Size = 0;
    TImageFormat Format = TImageFormat::NotIso;
    std::string VolumeId;     // the primary volume descriptor's volume identifier, trimmed
    bool Bootable = false;    // an El Torito boot record with a bootable initial entry
    std::string BootProblem;  // why not, when a boot record is there but unusable
};

// Reads the volume descriptor set from sector 16 on (never the whole image).
TImageInspection InspectImage(const TImageFile& Image);
TImageInspection InspectImage(const std::string& FileName);
// "ISO 9660", "ISO 9660 with UDF bridge", "UDF", "not ISO 9660".
const char* ImageFormatName(TImageFormat Format);

// Checksums -----------------------------------------------------------------------------------

enum class TDigestKind : std::uint8_t { Sha256, Md5 };
// "SHA-256", "MD5".
const char* DigestName(TDigestKind Kind);
// Hex digits of the kind's sums (64, 32).
std::size_t DigestHexLength(TDigestKind Kind);

// One running digest (OpenSSL's EVP interface); lower-case hex at the end.
class TDigest {
public:
    explicit TDigest(TDigestKind Kind);
    ~TDigest();
    TDigest(const TDigest&) = delete;
    TDigest& operator=(const TDigest&) = delete;
    void Update(const void* Data, std::size_t Length);
    std::string FinalHex();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A checksum file beside the image that was present but not used, and why.
struct TSkippedSums {
    std::string File;     // its path
    std::string Reason;   // "larger than 1 MiB", "not a regular file", "permission denied"...
    bool Read = false;    // it was read, and lists no sum for the image
    // "SHA256SUMS was not read: larger than 1 MiB; the image is not checked against it"
    std::string Line() const;
};

// A checksum listing is small; a file by such a name that is larger is not read.
inline constexpr std::int64_t kMaxSumsFileBytes = 1024 * 1024;

// A sum published for the image.
struct TPublishedDigest {
    bool Found = false;
    TDigestKind Kind = TDigestKind::Sha256;
    std::string Hex;      // lower case
    std::string Source;   // the file it came from, or "--sha256"
    // The files looked at before the one used (all of them when none was) that were not used.
    std::vector<TSkippedSums> Skipped;
    bool Stopped = false;   // the search was stopped on request
};

// The sum for ImageName in a checksum listing of the given kind: GNU lines "HEX  name" and
// "HEX *name", BSD lines "SHA256 (name) = HEX", a clear-signed wrapper around either. With
// NamedForImage (a file called IMAGE.sha256), a bare sum or a single entry of another name
// counts as well. Empty when the listing holds no sum for the image.
std::string FindDigestInListing(const std::string& Text, const std::string& ImageName, TDigestKind Kind,
                                bool NamedForImage);

// Looks beside the image, SHA-256 before MD5: IMAGE.sha256, SHA256SUMS, IMAGE.md5, MD5SUMS.
// Each file is opened once and read only when the open file is a regular one of at most
// kMaxSumsFileBytes, and never past that bound; a request on Stop ends the search (Stopped).
TPublishedDigest FindPublishedDigest(const std::string& ImagePath, const std::atomic<bool>* Stop = nullptr);

// Whether Text is a sum of the kind (hex digits of the right length, either case).
bool IsDigestHex(const std::string& Text, TDigestKind Kind);

// Hashes the file; Progress(bytes done, bytes in all) is called after every piece and stops
// the hash when it returns false. Empty and Error set on failure or when stopped.
std::string DigestFile(const std::string& FileName, TDigestKind Kind,
                       const std::function<bool(std::int64_t, std::int64_t)>& Progress, std::string& Error);
// The same for the opened image, from its start to the size it was opened with.
std::string DigestFile(const TImageFile& Image, TDigestKind Kind,
                       const std::function<bool(std::int64_t, std::int64_t)>& Progress, std::string& Error);

// The whole check before a burn ------------------------------------------------------------

inline constexpr char kNotBootableWarning[] = "This image is not bootable: the disc will not start a computer.";

enum class TImageVerdict : std::uint8_t {
    Ok,                 // burn it (Warning may hold a line to show)
    NotIso,             // refused: not an ISO 9660/UDF image (burnt only when forced); an
                        // image of part sectors or none is left to the burn's size check
    ChecksumMismatch,   // refused: differs from the published sum
    Unreadable,         // refused: the image could not be read
    Stopped,            // the hash was stopped on request
};

struct TImageCheckOptions {
    bool Force = false;            // burn an image that is not ISO 9660 all the same
    bool RequireBootable = true;   // warn when there is no El Torito boot record
    std::string ExpectedSha256;    // a sum given by the user; beats the files beside the image
    const std::atomic<bool>* Stop = nullptr;   // a request on it stops the check (Stopped)
    // Told the sum the image is checked against (Found false: none) and the checksum files
    // skipped, before the image is hashed.
    std::function<void(const TPublishedDigest&)> OnSumsSearched;
};

struct TImageCheck {
    TImageVerdict Verdict = TImageVerdict::Ok;
    TImageInspection Inspection;
    TPublishedDigest Published;    // Found: a sum was checked
    std::string ActualHex;         // the image's sum of Published.Kind, when checked
    std::string Message;           // refusal text (empty when Ok)
    std::string Warning;           // kNotBootableWarning, or a forced non-ISO burn's line
    std::string ChecksumLine;      // "Image checksum OK (SHA-256)" when the sum matched
    bool Refused() const { return Verdict != TImageVerdict::Ok; }
};

// Inspects the image and checks it against the sum given or found beside it. Progress as
// for DigestFile; called only when there is a sum to check. The opened image is the one the
// burn then reads: a change of its size or modification time during the hash refuses it.
TImageCheck CheckImageBeforeBurn(const TImageFile& Image, const TImageCheckOptions& Options,
                                 const std::function<bool(std::int64_t, std::int64_t)>& Progress);
// The same, opening the image by its name.
TImageCheck CheckImageBeforeBurn(const std::string& ImagePath, const TImageCheckOptions& Options,
                                 const std::function<bool(std::int64_t, std::int64_t)>& Progress);
