// The read-ahead file stream the data burn reads its image from: one 2,048,000-byte buffer,
// refilled from the file so that the disk is touched once per thousand 2048-byte blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Open modes (read is what the burn uses).
constexpr int fmOpenRead = 0;
constexpr int fmOpenWrite = 1;
constexpr int fmOpenReadWrite = 2;

// Seek origins.
constexpr int soFromBeginning = 0;
constexpr int soFromCurrent = 1;
constexpr int soFromEnd = 2;

// An image opened once for its check, its burn and its verify: every read goes through this
// one descriptor, so a file put in its place under the same name is not the one burnt, and a
// change in place shows in the file's identity (size, modification time) or in the sum of the
// bytes burnt.
class TImageFile {
public:
    // Only a regular file is taken. Throws std::system_error (the path and the reason in its
    // text) when the file cannot be opened or is not a regular file.
    explicit TImageFile(const std::string& FileName);
    ~TImageFile();
    TImageFile(const TImageFile&) = delete;
    TImageFile& operator=(const TImageFile&) = delete;

    int Descriptor() const { return FFile; }
    const std::string& FileName() const { return FFileName; }
    // The size when it was opened.
    std::int64_t Size() const { return FSize; }
    // Empty while the open file is as it was opened; otherwise what differs ("its size
    // changed", "its modification time changed") or why that cannot be told.
    std::string Changed() const;
    // Up to Count bytes from Offset (fewer only at the end of the file); -1 on a read error
    // (errno set). The position the stream reads from is not moved.
    std::int64_t ReadAt(void* Destination, std::size_t Count, std::int64_t Offset) const;

private:
    std::string FFileName;
    int FFile = -1;
    std::int64_t FSize = 0;
    std::int64_t FModifiedSeconds = 0;
    std::int64_t FModifiedNanoseconds = 0;
};

class TCDBufferedStream {
public:
    static constexpr std::int32_t ReadAheadSize = 2048000;

    // Throws std::system_error (the path and the reason in its text) when the file cannot
    // be opened.
    explicit TCDBufferedStream(const std::string& FileName, int Mode = fmOpenRead);
    // Reads the opened image from its start; the image stays open when the stream goes and
    // must outlive it.
    explicit TCDBufferedStream(const TImageFile& Image);
    ~TCDBufferedStream();
    TCDBufferedStream(const TCDBufferedStream&) = delete;
    TCDBufferedStream& operator=(const TCDBufferedStream&) = delete;

    // Sets BlockSize, BlockCount (whole blocks in the file) and BlockAligned; returns
    // BlockAligned. Size must be positive.
    bool SetBlockSize(std::int32_t Size);
    std::int32_t BlockSize() const { return FBlockSize; }
    std::int32_t BlockCount() const { return FBlockCount; }
    bool BlockAligned() const { return FBlockAligned; }

    // Copies up to Count bytes; fewer only at the end of the file. Throws std::system_error
    // on a read error of the file.
    std::int32_t Read(void* Destination, std::int32_t Count);

    // Seek(0, soFromCurrent) is the logical position (what has been handed out). Any other
    // seek moves the logical position and discards the read-ahead, so no stale bytes follow.
    std::int64_t Seek(std::int64_t Offset, int Origin);

    // Unread share of the read-ahead buffer, measured against its full size: 0..100.
    std::int32_t FillPercent() const;

    std::int64_t Size() const;
    const std::string& FileName() const { return FFileName; }

    // Sees every byte Read hands out, in order, as it is handed out (a burn hashes what it
    // sends to the drive with it).
    std::function<void(const std::uint8_t* Data, std::size_t Length)> OnHandedOut;

private:
    bool FillBuffer();
    [[noreturn]] void Fail(const char* What) const;

    std::string FFileName;
    int FFile = -1;
    bool FOwnsFile = true;
    // Over an opened image: read by offset from a position of its own, since several jobs (a
    // burn onto several targets, each burn and verify) read the one descriptor at once.
    const TImageFile* FImage = nullptr;
    std::int64_t FFilePos = 0;
    std::unique_ptr<std::uint8_t[]> FBuffer;
    std::int32_t FBufferEnd = 0;
    std::int32_t FBufferPos = 0;
    std::int32_t FBlockSize = 0;
    std::int32_t FBlockCount = 0;
    bool FBlockAligned = false;
};

// The blocks a burn writes, in order: the image's 2048-byte blocks, or an audio track's 2352-byte
// ones. The one write loop of every burn (TCDBurner::WriteFrom) reads its pieces from one.
class TBlockSource {
public:
    virtual ~TBlockSource() = default;
    virtual std::int32_t BlockSize() const = 0;
    // Puts the next Count blocks into Into. Got is how many bytes of them came from the source
    // (fewer than the blocks hold where a source pads its last block). False when it cannot give
    // them all; Why then says why (a read error, "the image ended early") and Got how far it came.
    virtual bool Fill(std::uint8_t* Into, std::int32_t Count, std::int32_t& Got, std::string& Why) = 0;
    // Unread share of the source's read-ahead, 0..100; -1 for a source that keeps none.
    virtual std::int32_t FillPercent() const { return -1; }
};

// The data image's blocks through its read-ahead stream.
class TImageBlocks final : public TBlockSource {
public:
    static constexpr std::int32_t kBlockSize = 2048;
    explicit TImageBlocks(TCDBufferedStream& Stream) : FStream(Stream) {}
    std::int32_t BlockSize() const override { return kBlockSize; }
    bool Fill(std::uint8_t* Into, std::int32_t Count, std::int32_t& Got, std::string& Why) override;
    std::int32_t FillPercent() const override { return FStream.FillPercent(); }

private:
    TCDBufferedStream& FStream;
};
