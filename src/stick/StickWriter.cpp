#include "stick/StickWriter.h"
#include "stick/StickDiscovery.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

#include "burner/CDBufferedStream.h"

#ifdef __linux__
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr std::int64_t kBlock = 2048;   // the job's blocks, as on a disc

std::string SizeText(std::int64_t Bytes)
{
    static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(Bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[48];
    if (unit == 0) std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(Bytes));
    else std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

// Reads up to Count bytes at Offset, fewer only at the end of the image; -1 on an error.
std::int64_t ReadImage(const TImageFile& Image, std::uint8_t* To, std::int64_t Count, std::int64_t Offset)
{
    std::int64_t done = 0;
    while (done < Count) {
        const std::int64_t got = Image.ReadAt(To + done, static_cast<std::size_t>(Count - done), Offset + done);
        if (got < 0) return -1;
        if (got == 0) break;
        done += got;
    }
    return done;
}

}  // namespace

const char* PartitionTableName(TPartitionTable Table)
{
    switch (Table) {
    case TPartitionTable::Mbr: return "MBR";
    case TPartitionTable::Gpt: return "GPT";
    case TPartitionTable::None: break;
    }
    return "none";
}

THybridCheck CheckHybrid(const TImageFile& Image)
{
    THybridCheck check;
    std::uint8_t head[1024] = {};
    const std::int64_t got = ReadImage(Image, head, sizeof head, 0);
    if (got < 0) {
        check.Readable = false;
        check.Error = std::strerror(errno);
    } else if (got >= 520 && std::memcmp(head + 512, "EFI PART", 8) == 0) {
        check.Table = TPartitionTable::Gpt;
    } else if (got >= 512 && head[510] == 0x55 && head[511] == 0xAA) {
        // A boot sector of a file system carries the signature too; only a used partition
        // entry (a type and a length) makes it a partition table.
        for (int entry = 0; entry < 4; ++entry) {
            const std::uint8_t* e = head + 446 + entry * 16;
            const std::uint32_t sectors = e[12] | e[13] << 8 | e[14] << 16 | std::uint32_t(e[15]) << 24;
            if (e[4] != 0 && sectors != 0) check.Table = TPartitionTable::Mbr;
        }
    }
    if (!check.Hybrid()) check.Refusal = kNotHybridText;
    return check;
}

THybridCheck CheckHybrid(const std::string& ImagePath)
{
    try {
        const TImageFile image(ImagePath);
        return CheckHybrid(image);
    } catch (const std::system_error& e) {
        THybridCheck check;
        check.Readable = false;
        check.Error = e.what();
        check.Refusal = kNotHybridText;
        return check;
    }
}

bool ParseVirtualStick(const std::string& Text, TVirtualStick& Stick, std::string& Error)
{
    Stick = TVirtualStick();
    const std::size_t comma = Text.find(',');
    Stick.Path = Text.substr(0, comma);
    if (Stick.Path.empty()) {
        Error = "the virtual stick needs a file name: --virtual-stick PATH[,size=N]";
        return false;
    }
    std::size_t at = comma;
    while (at != std::string::npos) {
        const std::size_t next = Text.find(',', at + 1);
        const std::string option = Text.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        at = next;
        if (option.rfind("size=", 0) != 0) {
            Error = "unknown virtual stick option \"" + option + "\" (known: size=N with K, M or G)";
            return false;
        }
        const std::string value = option.substr(5);
        std::size_t digits = 0;
        while (digits < value.size() && value[digits] >= '0' && value[digits] <= '9') ++digits;
        std::int64_t factor = 1;
        const std::string suffix = value.substr(digits);
        if (suffix == "K" || suffix == "k") factor = std::int64_t(1) << 10;
        else if (suffix == "M" || suffix == "m") factor = std::int64_t(1) << 20;
        else if (suffix == "G" || suffix == "g") factor = std::int64_t(1) << 30;
        else if (!suffix.empty()) digits = 0;
        std::int64_t number = 0;
        bool fits = digits > 0 && digits <= 15;
        for (std::size_t i = 0; fits && i < digits; ++i) number = number * 10 + (value[i] - '0');
        fits = fits && number > 0 && number <= (std::int64_t(1) << 50) / factor;
        if (!fits) {
            Error = "virtual stick size \"" + value + "\" is not a size (N bytes, or N with K, M or G)";
            return false;
        }
        Stick.SizeBytes = number * factor;
        // A disk is a whole number of sectors.
        if (Stick.SizeBytes % 512 != 0) {
            Error = "virtual stick size " + value + " is not a whole number of 512-byte sectors";
            return false;
        }
    }
    return true;
}

TStickWriter::TStickWriter(TStickTarget Target) : FTarget(std::move(Target)) {}

bool TStickWriter::Fail(TStickFailure Why, const std::string& Text)
{
    Failure = Why;
    Error = Text;
    return false;
}

#ifdef __linux__

namespace {

int OpenRetrying(const std::string& Path, int Flags, mode_t Mode = 0)
{
    int fd;
    do fd = ::open(Path.c_str(), Flags, Mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

std::string GroupName(gid_t Gid)
{
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* found = nullptr;
    if (::getgrgid_r(Gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->gr_name;
    return std::to_string(Gid);
}

struct FreeAligned {
    void operator()(std::uint8_t* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<std::uint8_t, FreeAligned>;

AlignedBuffer Aligned(std::size_t Alignment, std::size_t Bytes)
{
    void* p = nullptr;
    if (::posix_memalign(&p, Alignment, Bytes) != 0) throw std::bad_alloc();
    return AlignedBuffer(static_cast<std::uint8_t*>(p));
}

}  // namespace

bool AttachVirtualStick(const TVirtualStick& Stick, TStickTarget& Target, std::string& Error)
{
    struct stat st {};
    if (::stat(Stick.Path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            Error = "Cannot use " + Stick.Path + " as a virtual stick: " + std::strerror(errno);
            return false;
        }
        // A new stick is all zeros and takes no room until it is written.
        const int fd = OpenRetrying(Stick.Path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 || ::ftruncate(fd, Stick.SizeBytes) != 0 || ::fstat(fd, &st) != 0) {
            Error = "Cannot create the virtual stick " + Stick.Path + ": " + std::strerror(errno);
            if (fd >= 0) {
                ::close(fd);
                ::unlink(Stick.Path.c_str());
            }
            return false;
        }
        ::close(fd);
    }
    if (!S_ISREG(st.st_mode)) {
        Error = "Cannot use " + Stick.Path + " as a virtual stick: it is not a regular file";
        return false;
    }
    Target = TStickTarget();
    Target.DevicePath = Stick.Path;
    Target.IsFile = true;
    Target.SizeBytes = st.st_size;
    Target.LogicalBlockSize = 512;
    Target.Vendor = "KeelVane";
    Target.Model = "Virtual Stick";
    Target.Transport = "usb";
    Target.Removable = true;
    Target.Description = "KeelVane Virtual Stick (" + SizeText(st.st_size) + ")";
    return true;
}

TStickWriter::~TStickWriter()
{
    if (FFile >= 0) ::close(FFile);
}

bool TStickWriter::SetDirect(bool On)
{
    const int flags = ::fcntl(FFile, F_GETFL);
    if (flags < 0 || ::fcntl(FFile, F_SETFL, On ? flags | O_DIRECT : flags & ~O_DIRECT) != 0) return false;
    return true;
}

bool TStickWriter::Open()
{
    Failure = TStickFailure::None;
    Error.clear();
    const std::string& path = FTarget.DevicePath;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return Fail(TStickFailure::Open, "Cannot open " + path + ": " + std::strerror(errno));
    const bool block = S_ISBLK(st.st_mode);
    if (!block && !S_ISREG(st.st_mode))
        return Fail(TStickFailure::Open, "Cannot open " + path + ": it is neither a block device nor a regular file");
    FTarget.IsFile = !block;
    // The kernel refuses an exclusive open of a disk while any of its partitions is mounted or
    // another program holds it exclusively: nothing can change under the write.
    FFile = OpenRetrying(path, O_RDWR | O_CLOEXEC | O_DIRECT | (block ? O_EXCL : 0));
    FDirect = FFile >= 0;
    // ramfs, older kernels' tmpfs and a few devices take no direct transfers: the stick is then
    // written through the cache, which is flushed and dropped before the read-back.
    if (FFile < 0 && errno == EINVAL) FFile = OpenRetrying(path, O_RDWR | O_CLOEXEC | (block ? O_EXCL : 0));
    if (FFile < 0) {
        const int error = errno;
        if (error == EBUSY)
            return Fail(TStickFailure::InUse,
                        path + " is in use: a partition is mounted or another program has it open");
        if (error == EACCES || error == EPERM) {
            const std::string group = GroupName(st.st_gid);
            return Fail(TStickFailure::Permission, "Permission denied opening " + path +
                                                       ": run as root, or add yourself to the group " + group +
                                                       " (sudo usermod -aG " + group +
                                                       " $USER, then log in again)");
        }
        return Fail(TStickFailure::Open, "Cannot open " + path + ": " + std::strerror(error));
    }
    if (!block && ::flock(FFile, LOCK_EX | LOCK_NB) != 0) {
        ::close(FFile);
        FFile = -1;
        return Fail(TStickFailure::InUse, path + " is in use: another program has it open");
    }
    if (block) {
        std::uint64_t bytes = 0;
        int logical = 0;
        if (::ioctl(FFile, BLKGETSIZE64, &bytes) != 0 || ::ioctl(FFile, BLKSSZGET, &logical) != 0 || logical <= 0) {
            const int error = errno;
            ::close(FFile);
            FFile = -1;
            return Fail(TStickFailure::Open, "Cannot read the size of " + path + ": " + std::strerror(error));
        }
        FTarget.SizeBytes = static_cast<std::int64_t>(bytes);
        FTarget.LogicalBlockSize = static_cast<std::uint32_t>(logical);
    } else {
        FTarget.SizeBytes = st.st_size;
        if (FTarget.LogicalBlockSize == 0) FTarget.LogicalBlockSize = 512;
    }
    // Direct transfers want buffer, offset and length aligned to the logical block (a file's
    // to the file system's block, which 4096 covers).
    FAlign = std::max<std::uint32_t>(4096, FTarget.LogicalBlockSize);
    FUnit = block ? FTarget.LogicalBlockSize : FAlign;
    return true;
}

bool TStickWriter::Write(const TImageFile& Image)
{
    BytesWritten = 0;
    Offset = -1;
    Warning.clear();
    WrittenSha256.clear();
    WrittenPublishedHex.clear();
    if (FFile < 0) return Fail(TStickFailure::Open, FTarget.DevicePath + " is not open");
    Failure = TStickFailure::None;
    Error.clear();
    const std::int64_t total = Image.Size();
    if (total > FTarget.SizeBytes)
        return Fail(TStickFailure::TooSmall, "The image (" + SizeText(total) + ", " + std::to_string(total) +
                                                 " bytes) is larger than the stick (" + SizeText(FTarget.SizeBytes) +
                                                 ", " + std::to_string(FTarget.SizeBytes) + " bytes)");
    if (FDirect) SetDirect(true);
    const AlignedBuffer buffer = Aligned(FAlign, kPieceBytes);
    TDigest sha256(TDigestKind::Sha256);
    std::unique_ptr<TDigest> other;
    if (PublishedKind != TDigestKind::Sha256) other = std::make_unique<TDigest>(PublishedKind);
    bool stopped = false;
    for (std::int64_t at = 0; at < total; at += kPieceBytes) {
        if (StopAsked()) {
            stopped = true;
            break;
        }
        const std::int64_t piece = std::min(kPieceBytes, total - at);
        const std::int64_t got = ReadImage(Image, buffer.get(), piece, at);
        if (got != piece) {
            Offset = at;
            return Fail(TStickFailure::ImageRead, got < 0 ? "Cannot read the image at byte " + std::to_string(at) +
                                                                ": " + std::strerror(errno)
                                                          : "The image ended at byte " + std::to_string(at + got) +
                                                                " before its size: it changed");
        }
        if (HashWrites) {
            sha256.Update(buffer.get(), static_cast<std::size_t>(piece));
            if (other) other->Update(buffer.get(), static_cast<std::size_t>(piece));
        }
        // The image's last piece may end inside a logical block, which a direct write cannot do.
        if (FDirect && piece % FUnit != 0) SetDirect(false);
        for (std::int64_t done = 0; done < piece;) {
            const ssize_t put = ::pwrite(FFile, buffer.get() + done, static_cast<std::size_t>(piece - done), at + done);
            if (put < 0 && errno == EINTR) continue;
            // A file system that opened the file for direct transfers and then refuses them.
            if (put < 0 && errno == EINVAL && FDirect && FTarget.IsFile && done == 0 && at == 0) {
                SetDirect(false);
                FDirect = false;
                continue;
            }
            if (put <= 0) {
                Offset = at + done;
                const std::string why = put < 0 ? std::strerror(errno) : "no bytes taken";
                return Fail(TStickFailure::Write, "Write error at byte " + std::to_string(at + done) + " (block " +
                                                      std::to_string((at + done) / kBlock) + "): " + why);
            }
            done += put;
        }
        BytesWritten = at + piece;
        if (OnProgress && !OnProgress(BytesWritten, total) && at + piece < total) {
            stopped = true;
            break;
        }
    }
    // Whatever was written reaches the medium before the stick is called written or incomplete.
    const bool flushed = (FTarget.IsFile ? ::fdatasync(FFile) : ::fsync(FFile)) == 0;
    const int flushError = errno;
    if (stopped)
        return Fail(TStickFailure::Stopped, "Stopped: the stick is incomplete (" + std::to_string(BytesWritten) +
                                                " of " + std::to_string(total) + " bytes written) and will not boot");
    if (!flushed) return Fail(TStickFailure::Flush, std::string("Flush failed: ") + std::strerror(flushError));
    if (HashWrites) {
        WrittenSha256 = sha256.FinalHex();
        WrittenPublishedHex = other ? other->FinalHex() : WrittenSha256;
    }
    // The kernel still knows the old partitions; the new table is read now, not at the next
    // plug-in. The image is on the stick either way, so a refusal is only a warning.
    if (!FTarget.IsFile && ::ioctl(FFile, BLKRRPART) != 0) {
        const int error = errno;
        Warning = error == EBUSY ? "The kernel could not re-read the stick's partition table (a partition is in "
                                   "use): unplug the stick and plug it in again to see its new partitions"
                                 : std::string("The kernel could not re-read the stick's partition table: ") +
                                       std::strerror(error);
    }
    return true;
}

bool TStickWriter::Verify(const TImageFile& Image)
{
    Offset = -1;
    FirstDifferentOffset = -1;
    ReadBackSha256.clear();
    ReadBackPublishedHex.clear();
    if (FFile < 0) return Fail(TStickFailure::Open, FTarget.DevicePath + " is not open");
    Failure = TStickFailure::None;
    Error.clear();
    if (!Image.Changed().empty())
        return Fail(TStickFailure::ImageChanged, "The image changed since it was opened (" + Image.Changed() + ")");
    // The read must come from the medium: direct reads pass the cache; otherwise what was
    // written is flushed and dropped from the cache first.
    ::fdatasync(FFile);
    ::posix_fadvise(FFile, 0, 0, POSIX_FADV_DONTNEED);
    if (FDirect) SetDirect(true);
    const std::int64_t total = Image.Size();
    const AlignedBuffer stick = Aligned(FAlign, kPieceBytes);
    std::vector<std::uint8_t> image(static_cast<std::size_t>(kPieceBytes));
    TDigest sha256(TDigestKind::Sha256);
    std::unique_ptr<TDigest> other;
    if (PublishedKind != TDigestKind::Sha256) other = std::make_unique<TDigest>(PublishedKind);
    for (std::int64_t at = 0; at < total; at += kPieceBytes) {
        if (StopAsked()) return Fail(TStickFailure::Stopped, "Stopped: the stick was not compared to its end");
        const std::int64_t piece = std::min(kPieceBytes, total - at);
        if (ReadImage(Image, image.data(), piece, at) != piece) {
            Offset = at;
            return Fail(TStickFailure::ImageRead, "Cannot read the image at byte " + std::to_string(at));
        }
        // A direct read of the last piece takes whole blocks; only the image's bytes count.
        const std::int64_t length = FDirect ? (piece + FUnit - 1) / FUnit * FUnit : piece;
        std::int64_t done = 0;
        while (done < piece) {
            const ssize_t got = ::pread(FFile, stick.get() + done, static_cast<std::size_t>(length - done), at + done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                Offset = at + done;
                const std::string why = got < 0 ? std::strerror(errno) : "the stick ended";
                return Fail(TStickFailure::ReadBack, "Read error at byte " + std::to_string(at + done) + " (block " +
                                                         std::to_string((at + done) / kBlock) + "): " + why);
            }
            done += got;
        }
        if (std::memcmp(stick.get(), image.data(), static_cast<std::size_t>(piece)) != 0) {
            std::int64_t i = 0;
            while (stick.get()[i] == image[static_cast<std::size_t>(i)]) ++i;
            FirstDifferentOffset = at + i;
            return Fail(TStickFailure::Differs, "The stick differs from the image at byte " +
                                                    std::to_string(FirstDifferentOffset) + " (block " +
                                                    std::to_string(FirstDifferentOffset / kBlock) + ")");
        }
        sha256.Update(stick.get(), static_cast<std::size_t>(piece));
        if (other) other->Update(stick.get(), static_cast<std::size_t>(piece));
        if (OnProgress && !OnProgress(at + piece, total) && at + piece < total)
            return Fail(TStickFailure::Stopped, "Stopped: the stick was not compared to its end");
    }
    // Equal to what the file holds now: that is the image written only while it is unchanged.
    if (!Image.Changed().empty())
        return Fail(TStickFailure::ImageChanged, "The image changed since it was opened (" + Image.Changed() + ")");
    ReadBackSha256 = sha256.FinalHex();
    ReadBackPublishedHex = other ? other->FinalHex() : ReadBackSha256;
    return true;
}

#else  // not Linux

bool AttachVirtualStick(const TVirtualStick&, TStickTarget&, std::string& Error)
{
    Error = kStickNotSupportedText;
    return false;
}

TStickWriter::~TStickWriter() = default;

bool TStickWriter::SetDirect(bool) { return false; }
bool TStickWriter::Open() { return Fail(TStickFailure::NotSupported, kStickNotSupportedText); }
bool TStickWriter::Write(const TImageFile&) { return Fail(TStickFailure::NotSupported, kStickNotSupportedText); }
bool TStickWriter::Verify(const TImageFile&) { return Fail(TStickFailure::NotSupported, kStickNotSupportedText); }

#endif

std::string StickKind(const TStickTarget& Stick)
{
    return Stick.Transport == "mmc" ? "SD card" : "USB stick";
}

std::string StickCreationCompleteText(const TStickTarget& Stick, bool Bootable)
{
    std::string text = (Stick.Transport == "mmc" ? "SD Card" : "USB Stick") + std::string(" Creation Complete!");
    if (Bootable)
        text += "\r\nBe sure your computer can boot from a " + StickKind(Stick) + ".";
    return text;
}

TStickTarget StickTargetOf(const TBlockDisk& Disk)
{
    TStickTarget t;
    t.DevicePath = Disk.DevicePath;
    t.SizeBytes = Disk.SizeBytes;
    t.LogicalBlockSize = Disk.LogicalBlockSize;
    t.Description = StickDescription(Disk);
    t.Vendor = Disk.Vendor;
    t.Model = Disk.Model;
    t.Transport = Disk.Transport;
    t.Removable = Disk.Removable;
    return t;
}
