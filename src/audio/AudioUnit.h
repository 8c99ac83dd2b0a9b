// The audio tracks a writer burns as a CD-DA disc: TCDTrack is one wave file held in memory
// that knows whether it is a usable wave and where its samples lie; TCDTrackItem is a list
// entry owning one track, with a name, a tag and a display text; TCDTrackList is the ordered
// list of entries.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/Persist.h"
#include "audio/Streams.h"
#include "audio/WaveUtils.h"

class TCDTrack;
using TNotifyTrackEvent = std::function<void(TCDTrack& Sender)>;

// A growable in-memory byte stream holding a whole wave file. Every write and every change of
// capacity (size change, clear, load) marks the track modified; the next IsValid parses the
// bytes again. OnChange fires when the track turns from clean to modified, not on every write.
//
// A track may instead read its bytes from a wave file (LinkToFile): then only a read-ahead
// buffer is in memory, whatever the size of the file. Writing to a linked track, or changing
// its size, first reads the whole file in; replacing its content drops the link.
class TCDTrack : public TMemoryStream {
public:
    TCDTrack();
    ~TCDTrack() override;

    std::size_t Write(const void* Buffer, std::size_t Count) override;
    std::size_t Read(void* Buffer, std::size_t Count) override;
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
    std::int64_t Size() override;
    void SetSize(std::int64_t NewSize) override;

    // Reads the track from FileName from now on. Only a regular file is taken: a FIFO or a
    // device is refused at once (its open or read could block for ever). Throws EStreamError
    // naming the file and the reason; the track is unchanged then.
    void LinkToFile(const std::string& FileName);
    bool Linked() const { return FLink != nullptr; }
    // The linked file's name; empty when the track holds its bytes.
    std::string LinkedFileName() const;

    // Parses the content when it changed since the last parse and reports the result; a
    // parse leaves the stream at position 0.
    virtual bool IsValid();

    bool Modified() const { return FModified; }
    // The stored values when IsValid, else 0.
    std::uint32_t DataSize();
    std::uint32_t DataOffset();
    // The part of the declared data the track actually holds: DataSize clipped to the bytes
    // from DataOffset to the end (0 when not valid). A header may declare more than the file
    // has (FFFFFFFFh from a streaming writer, or a cut-off file); this is what can be read.
    std::uint32_t AvailableDataSize();
    // The format record of the last successful parse, or null.
    const TWaveFormatEx* WaveFormat();
    // WaveFormatText / WaveBitRate / WaveDuration of the record when valid, else "" / 0 / 0.
    std::string FormatText();
    int BitRate();
    int Duration();

    // BlockSize = Size; BlockCount = DataSize div Size (whole blocks; a partial last block is
    // not counted). Size must be positive: std::invalid_argument otherwise.
    void SetBlockSize(std::int32_t Size);
    std::int32_t BlockSize() const { return FBlockSize; }
    std::int32_t BlockCount() const { return FBlockCount; }

    TNotifyTrackEvent OnChange;
    std::string TrackTitle;

protected:
    void Realloc(std::int64_t NewCapacity) override;

private:
    struct TFileLink;

    void MarkModified();
    // Reads the linked file into memory and drops the link.
    void Materialize();

    std::unique_ptr<TFileLink> FLink;
    bool FModified = false;
    bool FValid = false;
    std::uint32_t FDataSize = 0;
    std::uint32_t FDataOffset = 0;
    std::unique_ptr<TWaveFormatEx> FWaveFormat;
    std::int32_t FBlockSize = 0;
    std::int32_t FBlockCount = 0;
};

// One entry of a track list; it owns its track for its whole life. Persisted properties:
// "Name" (when not empty), "Tag" (when not 0) and "Data", the track's whole content (when the
// track holds any bytes).
class TCDTrackItem : public TCollectionItem {
public:
    explicit TCDTrackItem(TCollection* Collection);
    ~TCDTrackItem() override = default;

    // The entry class a TCDTrackList creates its entries with.
    static std::unique_ptr<TCollectionItem> Create(TCollection* Collection);

    std::string ClassName() const override { return "TCDTrackItem"; }
    // Name, " (", a status, ")": "Empty", "Invalid Content", or format, bit rate and time,
    // e.g. "Track 1 (PCM 44.100 kHz, 16 Bit, Stereo, 1411 kbps, 3:25.40 sec.)".
    std::string DisplayName() override;
    // From another TCDTrackItem: Name, Tag and a copy of its track's bytes (this entry keeps
    // its own track). Anything else: EConvertError.
    void Assign(const TPersistent* Source) override;

    void WriteProperties(TPropertyWriter& Writer) override;
    bool ReadProperty(const std::string& PropName, TPropertyReader& Reader) override;

    TCDTrack* CDTrack() const { return FCDTrack.get(); }

    std::string Name;
    std::int32_t Tag = 0;

private:
    std::unique_ptr<TCDTrack> FCDTrack;
};

class TCDTrackList : public TCollection {
public:
    explicit TCDTrackList(TPersistent* Owner, TCollectionItemClass ItemClass = &TCDTrackItem::Create);

    std::string ClassName() const override { return "TCDTrackList"; }
    TPersistent* GetOwner() const override { return FOwner; }

    TCDTrackItem& Add();
    // EListError outside 0..Count-1.
    TCDTrackItem& Items(int Index) const;

private:
    TPersistent* FOwner;
};
