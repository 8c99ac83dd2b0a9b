#include "burner/CDBufferedStream.h"

#include "platform/Posix.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace {

[[noreturn]] void FailOpen(const std::string& FileName, int Error, const char* Why = nullptr)
{
    throw std::system_error(Error, std::generic_category(),
                            "Cannot open file \"" + FileName + "\"" + (Why ? std::string(": ") + Why : std::string()));
}

// Opens FileName with the flags; for reading, only a regular file is taken.
int OpenFile(const std::string& FileName, int Flags, bool Reading)
{
    int fd = -1;
    // Non-blocking while opening: a FIFO without a writer would block the open for ever, out of
    // reach of Ctrl-C. Only regular files are read; the flag goes once that is known.
    do {
        fd = ::open(FileName.c_str(), Flags | O_CLOEXEC | (Reading ? O_NONBLOCK : 0));
    } while (fd < 0 && errno == EINTR);
#ifdef _WIN32
    // The C runtime refuses a folder with EACCES: say what it is, not that access was denied.
    struct stat folder {};
    if (fd < 0 && errno == EACCES && ::stat(FileName.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode))
        FailOpen(FileName, EISDIR, "not a regular file");
#endif
    if (fd < 0)
        FailOpen(FileName, errno);
    if (Reading) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            const int error = errno;
            ::close(fd);
            FailOpen(FileName, error);
        }
        if (!S_ISREG(st.st_mode)) {
            ::close(fd);
            FailOpen(FileName, S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "not a regular file");
        }
        kvsys::ClearNonBlocking(fd);
    }
    return fd;
}

}  // namespace

// The image opened once --------------------------------------------------------------------------

TImageFile::TImageFile(const std::string& FileName) : FFileName(FileName)
{
    FFile = OpenFile(FileName, O_RDONLY, true);
    struct stat st {};
    if (::fstat(FFile, &st) != 0) {
        const int error = errno;
        ::close(FFile);
        FailOpen(FileName, error);
    }
    FSize = st.st_size;
    FModifiedSeconds = kvsys::ModifiedSeconds(st);
    FModifiedNanoseconds = kvsys::ModifiedNanoseconds(st);
}

TImageFile::~TImageFile()
{
    ::close(FFile);
}

std::string TImageFile::Changed() const
{
    struct stat st {};
    if (::fstat(FFile, &st) != 0)
        return std::string("it cannot be examined: ") + std::strerror(errno);
    if (st.st_size != FSize)
        return "its size changed";
    if (kvsys::ModifiedSeconds(st) != FModifiedSeconds || kvsys::ModifiedNanoseconds(st) != FModifiedNanoseconds)
        return "its modification time changed";
    return {};
}

std::int64_t TImageFile::ReadAt(void* Destination, std::size_t Count, std::int64_t Offset) const
{
    auto* dest = static_cast<std::uint8_t*>(Destination);
    std::size_t done = 0;
    while (done < Count) {
        const ssize_t got = ::pread(FFile, dest + done, Count - done, static_cast<off_t>(Offset + std::int64_t(done)));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

// The stream -------------------------------------------------------------------------------------

TCDBufferedStream::TCDBufferedStream(const std::string& FileName, int Mode) : FFileName(FileName)
{
    int flags = O_RDONLY;
    if (Mode == fmOpenWrite)
        flags = O_WRONLY;
    else if (Mode == fmOpenReadWrite)
        flags = O_RDWR;
    FFile = OpenFile(FileName, flags, Mode == fmOpenRead);
    // Uninitialised on purpose: every byte is loaded from the file before it is handed out.
    FBuffer.reset(new std::uint8_t[ReadAheadSize]);
}

TCDBufferedStream::TCDBufferedStream(const TImageFile& Image)
    : FFileName(Image.FileName()), FFile(Image.Descriptor()), FOwnsFile(false), FImage(&Image)
{
    // The burn and the verify each read the image from its start.
    FBuffer.reset(new std::uint8_t[ReadAheadSize]);
}

TCDBufferedStream::~TCDBufferedStream()
{
    if (FFile >= 0 && FOwnsFile)
        ::close(FFile);
}

void TCDBufferedStream::Fail(const char* What) const
{
    throw std::system_error(errno, std::generic_category(), std::string(What) + " \"" + FFileName + "\"");
}

std::int64_t TCDBufferedStream::Size() const
{
    struct stat st {};
    if (::fstat(FFile, &st) != 0)
        Fail("Cannot query the size of");
    return st.st_size;
}

bool TCDBufferedStream::SetBlockSize(std::int32_t Size)
{
    if (Size <= 0)
        throw std::invalid_argument("TCDBufferedStream: block size must be positive");
    const std::int64_t fileSize = this->Size();
    FBlockSize = Size;
    FBlockCount = static_cast<std::int32_t>(fileSize / Size);
    FBlockAligned = fileSize % Size == 0;
    return FBlockAligned;
}

bool TCDBufferedStream::FillBuffer()
{
    // read() may return less than asked before the end of the file (pipes, signals,
    // network file systems), so loop until the buffer is full or the file ends.
    std::int32_t loaded = 0;
    if (FImage) {
        const std::int64_t got = FImage->ReadAt(FBuffer.get(), static_cast<std::size_t>(ReadAheadSize), FFilePos);
        if (got < 0) {
            FBufferEnd = FBufferPos = 0;
            Fail("Read error in");
        }
        loaded = static_cast<std::int32_t>(got);
        FFilePos += got;
    }
    while (!FImage && loaded < ReadAheadSize) {
        const ssize_t got = ::read(FFile, FBuffer.get() + loaded, static_cast<std::size_t>(ReadAheadSize - loaded));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            // Nothing of this fill is handed out: the caller gets an error, not old bytes.
            FBufferEnd = FBufferPos = 0;
            Fail("Read error in");
        }
        if (got == 0)
            break;
        loaded += static_cast<std::int32_t>(got);
    }
    FBufferEnd = loaded;
    FBufferPos = 0;
    return loaded > 0;
}

std::int32_t TCDBufferedStream::Read(void* Destination, std::int32_t Count)
{
    if (Count <= 0)
        return 0;
    auto* dest = static_cast<std::uint8_t*>(Destination);
    std::int32_t total = 0;
    while (total < Count) {
        if (FBufferPos == FBufferEnd && !FillBuffer())
            break;
        const std::int32_t n = std::min(Count - total, FBufferEnd - FBufferPos);
        std::memcpy(dest + total, FBuffer.get() + FBufferPos, static_cast<std::size_t>(n));
        if (OnHandedOut)
            OnHandedOut(FBuffer.get() + FBufferPos, static_cast<std::size_t>(n));
        FBufferPos += n;
        total += n;
    }
    return total;
}

std::int64_t TCDBufferedStream::Seek(std::int64_t Offset, int Origin)
{
    const std::int64_t filePos = FImage ? FFilePos : ::lseek(FFile, 0, SEEK_CUR);
    if (filePos < 0)
        Fail("Cannot seek in");
    const std::int64_t logical = filePos - (FBufferEnd - FBufferPos);
    if (Offset == 0 && Origin == soFromCurrent)
        return logical;

    // The file stands ahead of the logical position by the unread bytes, so a relative seek
    // is taken from the logical position, and the read-ahead is dropped.
    std::int64_t target = 0;
    switch (Origin) {
    case soFromBeginning: target = Offset; break;
    case soFromCurrent: target = logical + Offset; break;
    case soFromEnd: target = Size() + Offset; break;
    default: throw std::invalid_argument("TCDBufferedStream: bad seek origin");
    }
    if (target < 0)
        throw std::invalid_argument("TCDBufferedStream: seek before the start of \"" + FFileName + "\"");
    FBufferEnd = FBufferPos = 0;
    if (FImage) return FFilePos = target;
    const off_t moved = ::lseek(FFile, static_cast<off_t>(target), SEEK_SET);
    if (moved < 0)
        Fail("Cannot seek in");
    return moved;
}

std::int32_t TCDBufferedStream::FillPercent() const
{
    return std::clamp((ReadAheadSize - FBufferPos) / 20480, 0, 100);
}

bool TImageBlocks::Fill(std::uint8_t* Into, std::int32_t Count, std::int32_t& Got, std::string& Why)
{
    const std::int32_t bytes = Count * kBlockSize;
    Got = 0;
    try {
        Got = FStream.Read(Into, bytes);
    } catch (const std::exception& e) {
        Why = e.what();
        return false;
    }
    if (Got == bytes)
        return true;
    Why = "the image ended early";
    return false;
}
