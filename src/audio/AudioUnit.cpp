#include "audio/AudioUnit.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

// TCDTrack -------------------------------------------------------------------------------

std::size_t TCDTrack::Write(const void* Buffer, std::size_t Count)
{
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
    if (item->FCDTrack)
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
