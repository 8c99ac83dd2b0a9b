#include "audio/AudioUnit.h"

#include "platform/Posix.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

// TCDTrack -------------------------------------------------------------------------------

// The wave file a linked track reads, through a read-ahead buffer so that the burn touches
// the disk once per megabyte rather than once per block.
struct TCDTrack::TFileLink {
    static constexpr std::size_t ReadAheadSize = 1024 * 1024;

    std::string FileName;
    int Fd = -1;
    std::int64_t FileSize = 0;
    std::int64_t Position = 0;
    std::vector<std::uint8_t> Buffer;
    std::int64_t BufferStart = 0;   // file offset of Buffer[0]
    std::size_t BufferLength = 0;

    ~TFileLink()
    {
        if (Fd >= 0)
            ::close(Fd);
    }

    [[noreturn]] void Fail(const char* What, int Error) const
    {
        throw EReadError(std::string(What) + " \"" + FileName + "\": " + std::strerror(Error));
    }

    // Up to Count bytes from Offset; fewer only at the end of the file.
    std::size_t ReadAt(std::int64_t Offset, std::uint8_t* Out, std::size_t Count)
    {
        std::size_t done = 0;
        while (done < Count) {
            const ssize_t n = ::pread(Fd, Out + done, Count - done, static_cast<off_t>(Offset) + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                Fail("Cannot read file", errno);
            if (n == 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        return done;
    }
};

TCDTrack::TCDTrack() = default;

TCDTrack::~TCDTrack() = default;

void TCDTrack::LinkToFile(const std::string& FileName)
{
    auto link = std::make_unique<TFileLink>();
    link->FileName = FileName;
    // Non-blocking, so that opening a FIFO without a writer cannot hang; refused below anyway.
    link->Fd = ::open(FileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (link->Fd < 0)
        throw EStreamError("Cannot open file \"" + FileName + "\": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(link->Fd, &st) != 0)
        throw EStreamError("Cannot read file \"" + FileName + "\": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        throw EStreamError("Cannot read file \"" + FileName + "\": " +
                           (S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file (a pipe or a device)"));
    kvsys::ClearNonBlocking(link->Fd);
    link->FileSize = st.st_size;
    link->Buffer.resize(TFileLink::ReadAheadSize);
    Clear();   // drops any earlier content (and link); marks the track modified
    FLink = std::move(link);
    MarkModified();
}

std::string TCDTrack::LinkedFileName() const
{
    return FLink ? FLink->FileName : std::string();
}

void TCDTrack::Materialize()
{
    std::unique_ptr<TFileLink> link = std::move(FLink);
    if (!link)
        return;
    TMemoryStream::SetSize(0);
    TMemoryStream::Seek(0, TSeekOrigin::soBeginning);
    std::vector<std::uint8_t> chunk(TFileLink::ReadAheadSize);
    for (std::int64_t offset = 0; offset < link->FileSize;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(link->FileSize - offset, chunk.size()));
        const std::size_t got = link->ReadAt(offset, chunk.data(), want);
        if (got == 0)
            break;   // the file got shorter: what is there is the content
        TMemoryStream::Write(chunk.data(), got);
        offset += static_cast<std::int64_t>(got);
    }
    TMemoryStream::Seek(link->Position, TSeekOrigin::soBeginning);
}

std::size_t TCDTrack::Read(void* Buffer, std::size_t Count)
{
    if (!FLink)
        return TMemoryStream::Read(Buffer, Count);
    TFileLink& l = *FLink;
    auto* out = static_cast<std::uint8_t*>(Buffer);
    std::size_t done = 0;
    while (done < Count && l.Position < l.FileSize) {
        if (l.Position < l.BufferStart || l.Position >= l.BufferStart + static_cast<std::int64_t>(l.BufferLength)) {
            l.BufferStart = l.Position;
            l.BufferLength = l.ReadAt(l.Position, l.Buffer.data(), l.Buffer.size());
            if (l.BufferLength == 0)
                break;
        }
        const auto at = static_cast<std::size_t>(l.Position - l.BufferStart);
        const std::size_t n = std::min(Count - done, l.BufferLength - at);
        std::memcpy(out + done, l.Buffer.data() + at, n);
        done += n;
        l.Position += static_cast<std::int64_t>(n);
    }
    return done;
}

std::int64_t TCDTrack::Seek(std::int64_t Offset, TSeekOrigin Origin)
{
    if (!FLink)
        return TMemoryStream::Seek(Offset, Origin);
    std::int64_t base = 0;
    switch (Origin) {
    case TSeekOrigin::soBeginning: base = 0; break;
    case TSeekOrigin::soCurrent: base = FLink->Position; break;
    case TSeekOrigin::soEnd: base = FLink->FileSize; break;
    }
    if ((Offset < 0 && base + Offset < 0) || (Offset > 0 && Offset > std::numeric_limits<std::int64_t>::max() - base))
        throw EStreamError("Invalid stream position");
    FLink->Position = base + Offset;
    return FLink->Position;
}

std::int64_t TCDTrack::Size()
{
    return FLink ? FLink->FileSize : TMemoryStream::Size();
}

void TCDTrack::SetSize(std::int64_t NewSize)
{
    Materialize();
    TMemoryStream::SetSize(NewSize);
}

std::size_t TCDTrack::Write(const void* Buffer, std::size_t Count)
{
    Materialize();
    // Marked whatever the write's result, also when it fails.
    std::size_t written = 0;
    try {
        written = TMemoryStream::Write(Buffer, Count);
    } catch (...) {
        MarkModified();
        throw;
    }
    MarkModified();
    return written;
}

void TCDTrack::Realloc(std::int64_t NewCapacity)
{
    // The memory block is being replaced (load, clear): the file is no longer the content.
    FLink.reset();
    TMemoryStream::Realloc(NewCapacity);
    MarkModified();
}

void TCDTrack::MarkModified()
{
    if (FModified)
        return;
    FModified = true;
    if (OnChange)
        OnChange(*this);
}

bool TCDTrack::IsValid()
{
    if (!FModified)
        return FValid;
    FValid = false;
    FModified = false;
    FWaveFormat.reset();
    std::unique_ptr<TWaveFormatEx> format;
    std::uint32_t dataSize = 0;
    std::uint32_t dataOffset = 0;
    if (ReadWaveInfo(*this, format, dataSize, dataOffset)) {
        FWaveFormat = std::move(format);
        FDataSize = dataSize;
        FDataOffset = dataOffset;
        FValid = true;
    }
    SetPosition(0);
    return FValid;
}

std::uint32_t TCDTrack::DataSize()
{
    return IsValid() ? FDataSize : 0;
}

std::uint32_t TCDTrack::DataOffset()
{
    return IsValid() ? FDataOffset : 0;
}

std::uint32_t TCDTrack::AvailableDataSize()
{
    if (!IsValid())
        return 0;
    const std::int64_t present = std::max<std::int64_t>(0, Size() - FDataOffset);
    return static_cast<std::uint32_t>(std::min<std::int64_t>(present, FDataSize));
}

const TWaveFormatEx* TCDTrack::WaveFormat()
{
    return IsValid() ? FWaveFormat.get() : nullptr;
}

std::string TCDTrack::FormatText()
{
    return IsValid() ? WaveFormatText(*FWaveFormat) : std::string();
}

int TCDTrack::BitRate()
{
    return IsValid() ? WaveBitRate(*FWaveFormat) : 0;
}

int TCDTrack::Duration()
{
    // The declared size goes in as a signed count, as the play time has always been worked
    // out; a size of 2^31 or more therefore counts as negative.
    return IsValid() ? WaveDuration(*FWaveFormat, static_cast<std::int32_t>(FDataSize)) : 0;
}

void TCDTrack::SetBlockSize(std::int32_t Size)
{
    if (Size <= 0)
        throw std::invalid_argument("Block size must be positive");
    const std::int64_t count = static_cast<std::int64_t>(DataSize()) / Size;
    FBlockSize = Size;
    FBlockCount = static_cast<std::int32_t>(std::min<std::int64_t>(count, std::numeric_limits<std::int32_t>::max()));
}

// TCDTrackItem ---------------------------------------------------------------------------

TCDTrackItem::TCDTrackItem(TCollection* Collection)
    : TCollectionItem(Collection), FCDTrack(std::make_unique<TCDTrack>())
{
}

std::unique_ptr<TCollectionItem> TCDTrackItem::Create(TCollection* Collection)
{
    return std::make_unique<TCDTrackItem>(Collection);
}

std::string TCDTrackItem::DisplayName()
{
    std::string status;
    if (!FCDTrack || FCDTrack->Size() == 0)
        status = "Empty";
    else if (!FCDTrack->IsValid())
        status = "Invalid Content";
    else
        status = FCDTrack->FormatText() + ", " + std::to_string(FCDTrack->BitRate()) + " kbps, "
            + MillisecondsToText(static_cast<std::uint32_t>(FCDTrack->Duration()), tfAutoh) + " sec.";
    return Name + " (" + status + ")";
}

void TCDTrackItem::Assign(const TPersistent* Source)
{
    const auto* item = dynamic_cast<const TCDTrackItem*>(Source);
    if (item == nullptr) {
        TPersistent::Assign(Source);
        return;
    }
    if (item == this)
        return;
    Name = item->Name;
    Tag = item->Tag;
    if (item->FCDTrack && item->FCDTrack->Linked())
        FCDTrack->LinkToFile(item->FCDTrack->LinkedFileName());
    else if (item->FCDTrack)
        FCDTrack->LoadFromMemory(item->FCDTrack->Memory(), static_cast<std::size_t>(item->FCDTrack->Size()));
    else
        FCDTrack->Clear();
}

void TCDTrackItem::WriteProperties(TPropertyWriter& Writer)
{
    if (!Name.empty())
        Writer.WriteString("Name", Name);
    if (Tag != 0)
        Writer.WriteInteger("Tag", Tag);
    if (FCDTrack && FCDTrack->Size() > 0) {
        // The whole content, from offset 0, whatever the track's current position.
        const std::int64_t position = FCDTrack->Position();
        FCDTrack->SetPosition(0);
        Writer.WriteBinary("Data", *FCDTrack, FCDTrack->Size());
        FCDTrack->SetPosition(position);
    }
}

bool TCDTrackItem::ReadProperty(const std::string& PropName, TPropertyReader& Reader)
{
    if (PropName == "Name") {
        Name = Reader.ReadString();
    } else if (PropName == "Tag") {
        Tag = Reader.ReadInteger();
    } else if (PropName == "Data") {
        // Replaces the content; the track then counts as modified and is parsed on the next
        // IsValid.
        FCDTrack->Clear();
        Reader.ReadBinary(*FCDTrack);
        FCDTrack->SetPosition(0);
    } else {
        return false;
    }
    return true;
}

// TCDTrackList ---------------------------------------------------------------------------

TCDTrackList::TCDTrackList(TPersistent* Owner, TCollectionItemClass ItemClass)
    : TCollection(std::move(ItemClass)), FOwner(Owner)
{
}

TCDTrackItem& TCDTrackList::Add()
{
    TCollectionItem& item = TCollection::Add();
    if (auto* track = dynamic_cast<TCDTrackItem*>(&item))
        return *track;
    const std::string className = item.ClassName();
    Delete(Count() - 1);
    throw EConvertError("Cannot add a " + className + " to a TCDTrackList");
}

TCDTrackItem& TCDTrackList::Items(int Index) const
{
    TCollectionItem& item = GetItem(Index);
    if (auto* track = dynamic_cast<TCDTrackItem*>(&item))
        return *track;
    throw EConvertError("Entry " + std::to_string(Index) + " of a TCDTrackList is a " + item.ClassName());
}
