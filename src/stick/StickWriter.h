// Writing a rescue image onto a removable block device (a USB stick, an SD card) or onto a
// virtual stick (a plain file), and reading it back. Linux first: the device is opened
// exclusively, written with large aligned direct writes past the page cache, flushed, its
// partition table re-read by the kernel, and compared with the image on a read that comes from
// the medium, not from the cache. On Windows every call fails with kStickNotSupportedText.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "burner/ImageCheck.h"

class TImageFile;

inline constexpr char kStickNotSupportedText[] = "USB sticks are not supported on Windows yet";
inline constexpr char kNotHybridText[] =
    "This image has no partition table (it is not a hybrid image): it will not boot from a USB stick.";

// The hybrid check -------------------------------------------------------------------------------

// What makes an image boot from a stick: the firmware reads sector 0 of a disk, not an El Torito
// catalogue, so the image must carry a partition table of its own.
enum class TPartitionTable : std::uint8_t { None, Mbr, Gpt };
// "MBR", "GPT", "none".
const char* PartitionTableName(TPartitionTable Table);

struct THybridCheck {
    TPartitionTable Table = TPartitionTable::None;
    bool Readable = true;     // false: the first sectors could not be read (Error)
    std::string Error;
    std::string Refusal;      // kNotHybridText when there is no table (empty otherwise)
    bool Hybrid() const { return Table != TPartitionTable::None; }
};

// GPT ("EFI PART" at byte 512) wins over the protective MBR in front of it; an MBR counts only
// with its boot signature 55h AAh at 510-511 and at least one partition entry that is not empty.
THybridCheck CheckHybrid(const TImageFile& Image);
THybridCheck CheckHybrid(const std::string& ImagePath);

// The target ---------------------------------------------------------------------------------------

// One stick as the writer needs it, filled from the kernel's list of removable disks or from a
// virtual stick.
struct TStickTarget {
    std::string DevicePath;              // /dev/sdb, or the virtual stick's file
    bool IsFile = false;                 // a virtual stick
    std::int64_t SizeBytes = 0;          // 0: asked of the device (or the file) when opened
    std::uint32_t LogicalBlockSize = 0;  // 0: asked of the device (512 for a file)
    std::string Description;             // "KeelVane Virtual Stick (1.0 GiB)"
    std::string Vendor;
    std::string Model;
    std::string Transport;               // "usb", "mmc"...
    bool Removable = true;
};

// What a user calls it, in the texts of a burn: "SD card" (a card reader's, transport mmc) or
// "USB stick" (every other, a virtual stick too).
std::string StickKind(const TStickTarget& Stick);
// The end of a burn onto a stick that ran to its end: "USB Stick Creation Complete!" (or "SD
// Card"), and for an image that boots "\r\nBe sure your computer can boot from a USB stick.".
std::string StickCreationCompleteText(const TStickTarget& Stick, bool Bootable);

// The target of a removable disk the kernel lists (StickDiscovery.h).
struct TBlockDisk;
TStickTarget StickTargetOf(const TBlockDisk& Disk);

// --virtual-stick PATH[,size=N]: N in bytes, or with a K, M or G suffix (powers of 1024).
inline constexpr std::int64_t kDefaultVirtualStickBytes = std::int64_t(1) << 30;
struct TVirtualStick {
    std::string Path;
    std::int64_t SizeBytes = kDefaultVirtualStickBytes;
};
bool ParseVirtualStick(const std::string& Text, TVirtualStick& Stick, std::string& Error);
// The target a virtual stick presents: vendor "KeelVane", model "Virtual Stick", removable,
// transport "usb". A missing file is created at the stick's size (sparse); an existing one keeps
// its own size. False with Error when the file cannot be created or is no regular file.
bool AttachVirtualStick(const TVirtualStick& Stick, TStickTarget& Target, std::string& Error);

// The writer -----------------------------------------------------------------------------------------

enum class TStickFailure : std::uint8_t {
    None,
    NotSupported,   // not on this system
    InUse,          // EBUSY on the exclusive open: mounted, or another program has it
    Permission,     // EACCES/EPERM on the open (Error says which group to join)
    Open,           // any other reason the device could not be opened
    TooSmall,       // the image is larger than the stick; nothing was written
    ImageRead,      // the image could not be read
    Write,          // a write failed (Offset)
    Flush,          // the flush to the medium failed
    ReadBack,       // the read-back failed (Offset)
    Differs,        // the stick differs from the image (FirstDifferentOffset)
    ImageChanged,   // the image changed since it was opened: nothing to compare with
    Stopped,        // stopped on request (a stopped write leaves the stick incomplete)
};

class TStickWriter {
public:
    static constexpr std::int64_t kPieceBytes = 4 * 1024 * 1024;

    explicit TStickWriter(TStickTarget Target);
    ~TStickWriter();
    TStickWriter(const TStickWriter&) = delete;
    TStickWriter& operator=(const TStickWriter&) = delete;

    // Checked between pieces: a request stops the write or the verify (Failure Stopped).
    const std::atomic<bool>* Stop = nullptr;
    // After every piece: bytes done, bytes in all. False stops as Stop does.
    std::function<bool(std::int64_t Done, std::int64_t Total)> OnProgress;
    // The sum of the bytes written is also kept in this kind (a published MD5's) when it is not
    // SHA-256.
    TDigestKind PublishedKind = TDigestKind::Sha256;
    // Hash the bytes as they are written (WrittenSha256). Only a published sum without a
    // read-back needs it: the read-back's own sum is checked against the published one, and
    // at a stick's pace the hash would cost more than the write on a fast device.
    bool HashWrites = true;

    // Opens the device exclusively (a block device; a file is opened for reading and writing)
    // and learns its size and logical block size.
    bool Open();
    // Writes the image from its start, flushes it and, on a block device, has the kernel re-read
    // the partition table. Refuses an image larger than the stick before anything is written.
    bool Write(const TImageFile& Image);
    // Reads the image's length back from the medium and compares it with the image.
    bool Verify(const TImageFile& Image);

    const TStickTarget& Target() const { return FTarget; }
    std::int64_t DeviceBytes() const { return FTarget.SizeBytes; }
    // Whether the data went past the page cache (false: buffered writes, the cache dropped
    // before the read-back).
    bool DirectIo() const { return FDirect; }

    TStickFailure Failure = TStickFailure::None;
    std::string Error;                   // the failure, in words
    std::string Warning;                 // a partition table the kernel could not re-read
    std::int64_t BytesWritten = 0;       // of the last write, flushed or not
    std::int64_t Offset = -1;            // where a write or read failed
    std::int64_t FirstDifferentOffset = -1;
    std::string WrittenSha256;           // of the bytes written
    std::string WrittenPublishedHex;     // the same, of PublishedKind
    std::string ReadBackSha256;          // of the bytes read back (complete when equal)
    std::string ReadBackPublishedHex;    // the same, of PublishedKind

private:
    bool Fail(TStickFailure Failure, const std::string& Text);
    bool StopAsked() const { return Stop && Stop->load(); }
    bool SetDirect(bool On);

    TStickTarget FTarget;
    int FFile = -1;
    bool FDirect = false;
    std::uint32_t FAlign = 4096;   // of the buffers of direct transfers
    std::uint32_t FUnit = 4096;    // what the length of a direct transfer must be a multiple of
};
