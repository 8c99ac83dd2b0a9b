#include "audio/Streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>

#include "platform/Posix.h"

namespace {

// Capacity grows in steps like this, so a run of small writes does not reallocate each time.
constexpr std::int64_t MemoryDelta = 8192;

// The largest stream the vector can hold on this machine, in stream units.
std::int64_t MaxMemorySize()
{
    constexpr auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(std::min<std::uint64_t>(limit, std::vector<std::uint8_t>().max_size()));
}

}  // namespace

std::int64_t TStream::Size()
{
    const std::int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    const std::int64_t size = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return size;
}

void TStream::SetSize(std::int64_t)
{
    throw EStreamError("Stream does not support changing its size");
}

void TStream::ReadBuffer(void* Buffer, std::size_t Count)
{
    if (Count != 0 && Read(Buffer, Count) != Count)
        throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, std::size_t Count)
{
    if (Count != 0 && Write(Buffer, Count) != Count)
        throw EWriteError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& Source, std::int64_t Count)
{
    if (Count < 0)
        throw EStreamError("Negative copy count");
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.Size();
    }
    constexpr std::size_t chunk = 64 * 1024;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::int64_t>(Count, chunk)));
    std::int64_t left = Count;
    while (left > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(left, chunk));
        Source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        left -= static_cast<std::int64_t>(n);
    }
    return Count;
}

std::size_t TMemoryStream::Read(void* Buffer, std::size_t Count)
{
    if (FPosition >= FSize || Count == 0)
        return 0;
    const auto available = static_cast<std::uint64_t>(FSize - FPosition);
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(available, Count));
    std::memcpy(Buffer, FData.data() + FPosition, n);
    FPosition += static_cast<std::int64_t>(n);
    return n;
}

std::size_t TMemoryStream::Write(const void* Buffer, std::size_t Count)
{
    if (Count == 0)
        return 0;
    if (static_cast<std::uint64_t>(Count) > static_cast<std::uint64_t>(MaxMemorySize() - FPosition))
        throw EWriteError("Stream write error: memory stream too large");
    const std::int64_t end = FPosition + static_cast<std::int64_t>(Count);
    if (end > FSize) {
        if (end > FCapacity)
            SetCapacity(end);
        // A gap left by seeking past the end reads as zeros, never as bytes of an older size.
        if (FPosition > FSize)
            std::memset(FData.data() + FSize, 0, static_cast<std::size_t>(FPosition - FSize));
        FSize = end;
    }
    std::memcpy(FData.data() + FPosition, Buffer, Count);
    FPosition = end;
    return Count;
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin)
{
    std::int64_t base = 0;
    switch (Origin) {
    case TSeekOrigin::soBeginning: base = 0; break;
    case TSeekOrigin::soCurrent: base = FPosition; break;
    case TSeekOrigin::soEnd: base = FSize; break;
    }
    // Positions past the end are allowed (a later write fills the gap with zeros); before
    // the start, or beyond what the stream could ever hold, they are not.
    if ((Offset < 0 && base + Offset < 0) || (Offset > 0 && Offset > MaxMemorySize() - base))
        throw EStreamError("Invalid stream position");
    FPosition = base + Offset;
    return FPosition;
}

void TMemoryStream::SetSize(std::int64_t NewSize)
{
    if (NewSize < 0 || NewSize > MaxMemorySize())
        throw EStreamError("Invalid stream size");
    const std::int64_t oldPosition = FPosition;
    SetCapacity(NewSize);
    if (NewSize > FSize)
        std::memset(FData.data() + FSize, 0, static_cast<std::size_t>(NewSize - FSize));
    FSize = NewSize;
    if (oldPosition > NewSize)
        FPosition = NewSize;
}

void TMemoryStream::SetCapacity(std::int64_t NewCapacity)
{
    Realloc(NewCapacity);
}

void TMemoryStream::Realloc(std::int64_t NewCapacity)
{
    if (NewCapacity > 0 && NewCapacity != FSize && NewCapacity <= MaxMemorySize() - MemoryDelta)
        NewCapacity = (NewCapacity + MemoryDelta - 1) / MemoryDelta * MemoryDelta;
    if (NewCapacity == FCapacity)
        return;
    FData.resize(static_cast<std::size_t>(NewCapacity));
    if (NewCapacity == 0)
        FData.shrink_to_fit();
    FCapacity = NewCapacity;
}

void TMemoryStream::Clear()
{
    SetCapacity(0);
    FSize = 0;
    FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& Stream)
{
    if (&Stream == this) {
        FPosition = 0;
        return;
    }
    Stream.SetPosition(0);
    const std::int64_t count = Stream.Size();
    SetSize(count);
    if (count != 0)
        Stream.ReadBuffer(FData.data(), static_cast<std::size_t>(count));
    FPosition = 0;
}

void TMemoryStream::LoadFromMemory(const void* Source, std::size_t Count)
{
    if (Count != 0 && Source >= static_cast<const void*>(FData.data())
        && Source < static_cast<const void*>(FData.data() + FData.size())) {
        // A copy of our own bytes: take them out before the block may move.
        const std::vector<std::uint8_t> copy(static_cast<const std::uint8_t*>(Source),
                                             static_cast<const std::uint8_t*>(Source) + Count);
        LoadFromMemory(copy.data(), copy.size());
        return;
    }
    SetSize(static_cast<std::int64_t>(Count));
    if (Count != 0)
        std::memcpy(FData.data(), Source, Count);
    FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& FileName)
{
    const auto fail = [&FileName](const char* What, int Error) {
        return EStreamError(std::string(What) + " \"" + FileName + "\": " + std::strerror(Error));
    };
    // Non-blocking: opening a FIFO without a writer must not hang (it is refused below).
    const int fd = ::open(FileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw fail("Cannot open file", errno);
    struct Closer {
        int Fd;
        ~Closer() { ::close(Fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw fail("Cannot read file", errno);
    if (!S_ISREG(st.st_mode))
        throw fail("Cannot read file", S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    // Read straight into the block: a track can hold a whole CD's worth of audio.
    SetSize(st.st_size);
    FPosition = 0;
    std::int64_t done = 0;
    while (done < st.st_size) {
        const ssize_t n = ::read(fd, FData.data() + done, static_cast<std::size_t>(st.st_size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw fail("Cannot read file", n < 0 ? errno : EIO);
        done += n;
    }
}

void TMemoryStream::SaveToStream(TStream& Stream) const
{
    if (FSize != 0)
        Stream.WriteBuffer(FData.data(), static_cast<std::size_t>(FSize));
}

void TMemoryStream::SaveToFile(const std::string& FileName) const
{
    std::ofstream file(FileName, std::ios::binary | std::ios::trunc);
    if (!file)
        throw EStreamError("Cannot create file \"" + FileName + "\": " + std::strerror(errno));
    if (FSize != 0)
        file.write(reinterpret_cast<const char*>(FData.data()), FSize);
    file.flush();
    if (!file)
        throw EStreamError("Cannot write file \"" + FileName + "\"");
}
