// The read-ahead file stream the data burn reads its image from: one 2,048,000-byte buffer,
// refilled from the file so that the disk is touched once per thousand 2048-byte blocks.
#pragma once

#include <cstdint>
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

class TCDBufferedStream {
public:
    static constexpr std::int32_t ReadAheadSize = 2048000;

    // Throws std::system_error (the path and the reason in its text) when the file cannot
    // be opened.
    explicit TCDBufferedStream(const std::string& FileName, int Mode = fmOpenRead);
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

private:
    bool FillBuffer();
    [[noreturn]] void Fail(const char* What) const;

    std::string FFileName;
    int FFile = -1;
    std::unique_ptr<std::uint8_t[]> FBuffer;
    std::int32_t FBufferEnd = 0;
    std::int32_t FBufferPos = 0;
    std::int32_t FBlockSize = 0;
    std::int32_t FBlockCount = 0;
    bool FBlockAligned = false;
};
