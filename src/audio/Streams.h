// Byte streams for the audio tracks: an abstract seekable stream and a growable in-memory
// stream (a heap block with size, capacity and position). A track is a memory stream holding
// a whole wave file; the wave parse reads through the abstract interface, so it also works on
// any other source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// A stream operation that cannot be carried out (bad seek, negative size, file error).
class EStreamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ReadBuffer could not deliver every byte asked for, or a persisted value is malformed.
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// WriteBuffer could not store every byte.
class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;

    // Copies up to Count bytes from the current position; fewer only at the end.
    virtual std::size_t Read(void* Buffer, std::size_t Count) = 0;
    // Stores Count bytes at the current position (growing the stream when it must).
    virtual std::size_t Write(const void* Buffer, std::size_t Count) = 0;
    // Returns the new position. A position before the start is an EStreamError.
    virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;

    virtual std::int64_t Size();
    virtual void SetSize(std::int64_t NewSize);

    std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(std::int64_t Pos) { Seek(Pos, TSeekOrigin::soBeginning); }

    // All or nothing: EReadError / EWriteError when fewer bytes move.
    void ReadBuffer(void* Buffer, std::size_t Count);
    void WriteBuffer(const void* Buffer, std::size_t Count);

    // Copies Count bytes from Source's current position; Count 0 copies the whole of Source
    // from its start. Returns the bytes copied.
    std::int64_t CopyFrom(TStream& Source, std::int64_t Count);
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    ~TMemoryStream() override = default;
    TMemoryStream(const TMemoryStream&) = delete;
    TMemoryStream& operator=(const TMemoryStream&) = delete;

    std::size_t Read(void* Buffer, std::size_t Count) override;
    std::size_t Write(const void* Buffer, std::size_t Count) override;
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
    std::int64_t Size() override { return FSize; }
    // Reallocates the capacity to NewSize on every call (so a size change is always seen by
    // Realloc) and keeps the position unless it now lies past the end.
    void SetSize(std::int64_t NewSize) override;

    // Empties the stream and releases its memory.
    void Clear();
    // Replaces the content with the whole of Stream (read from its start); position 0.
    void LoadFromStream(TStream& Stream);
    // Replaces the content with Count bytes at Source; position 0.
    void LoadFromMemory(const void* Source, std::size_t Count);
    // Throws EStreamError naming the file and the reason when it cannot be read.
    void LoadFromFile(const std::string& FileName);
    // Writes the whole content to Stream at its current position.
    void SaveToStream(TStream& Stream) const;
    void SaveToFile(const std::string& FileName) const;

    const std::uint8_t* Memory() const { return FData.data(); }
    std::int64_t Capacity() const { return FCapacity; }

protected:
    // Changes the capacity of the heap block; every capacity change goes through here.
    virtual void Realloc(std::int64_t NewCapacity);

private:
    void SetCapacity(std::int64_t NewCapacity);

    std::vector<std::uint8_t> FData;   // FData.size() is the capacity
    std::int64_t FCapacity = 0;
    std::int64_t FSize = 0;
    std::int64_t FPosition = 0;
};
