// Checks an image before it is burnt, for both front ends: that it is what it claims to be
// (an ISO 9660 or UDF file system, bootable through El Torito) and that it equals the sum
// published beside it. A rescue disc fails most often because the download was cut short or
// the wrong file was picked; both are cheap to find before the disc is spent.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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

// A sum published for the image.
struct TPublishedDigest {
    bool Found = false;
    TDigestKind Kind = TDigestKind::Sha256;
    std::string Hex;      // lower case
    std::string Source;   // the file it came from, or "--sha256"
};

// The sum for ImageName in a checksum listing of the given kind: GNU lines "HEX  name" and
// "HEX *name", BSD lines "SHA256 (name) = HEX", a clear-signed wrapper around either. With
// NamedForImage (a file called IMAGE.sha256), a bare sum or a single entry of another name
// counts as well. Empty when the listing holds no sum for the image.
std::string FindDigestInListing(const std::string& Text, const std::string& ImageName, TDigestKind Kind,
                                bool NamedForImage);

// Looks beside the image, SHA-256 before MD5: IMAGE.sha256, SHA256SUMS, IMAGE.md5, MD5SUMS.
TPublishedDigest FindPublishedDigest(const std::string& ImagePath);

// Whether Text is a sum of the kind (hex digits of the right length, either case).
bool IsDigestHex(const std::string& Text, TDigestKind Kind);

// Hashes the file; Progress(bytes done, bytes in all) is called after every piece and stops
// the hash when it returns false. Empty and Error set on failure or when stopped.
std::string DigestFile(const std::string& FileName, TDigestKind Kind,
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
// for DigestFile; called only when there is a sum to check.
TImageCheck CheckImageBeforeBurn(const std::string& ImagePath, const TImageCheckOptions& Options,
                                 const std::function<bool(std::int64_t, std::int64_t)>& Progress);
