// Object lists and property persistence for the audio track list, without any GUI toolkit.
//
// TCollection / TCollectionItem: an ordered list that creates and owns entries of one entry
// class. TPropertyWriter / TPropertyReader: named properties in a small binary stream format.
//
// Stream format (all integers little-endian):
//
//   stream     := signature:"KVPS" version:u8(=1) collection
//   collection := { item } end
//   item       := 0x01 { property } end          one entry of the list
//   property   := name value
//   name       := length:u8 (1..255) bytes       a property name, never empty
//   end        := 0x00                           closes an item's properties / the collection
//   value      := type:u8 payload
//       type 0x02 (Int32)   payload: i32
//       type 0x03 (String)  payload: length:u32 bytes (UTF-8)
//       type 0x04 (Binary)  payload: length:u32 bytes
//
// A reader bounds every length by the bytes the stream still holds, so a truncated or forged
// stream ends in EReadError rather than in a huge allocation or a read past the end. A
// property a reader does not know is skipped, so newer writers stay readable.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "audio/Streams.h"

// An index outside the list.
class EListError : public std::out_of_range {
public:
    using std::out_of_range::out_of_range;
};

// An assignment between objects of incompatible classes.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TValueType : std::uint8_t { vaNull = 0, vaItem = 1, vaInt32 = 2, vaString = 3, vaBinary = 4 };

class TPersistent {
public:
    virtual ~TPersistent() = default;
    virtual std::string ClassName() const = 0;
    // Copies Source into this object; the base raises "Cannot assign a X to a Y".
    virtual void Assign(const TPersistent* Source);

protected:
    [[noreturn]] void AssignError(const TPersistent* Source) const;
};

class TPropertyWriter {
public:
    explicit TPropertyWriter(TStream& Stream) : FStream(Stream) {}

    void WriteSignature();
    void WriteItemBegin();
    void WriteEnd();   // closes an item's properties, or the collection
    void WriteInteger(std::string_view Name, std::int32_t Value);
    void WriteString(std::string_view Name, std::string_view Value);
    // Count bytes from Source's current position.
    void WriteBinary(std::string_view Name, TStream& Source, std::int64_t Count);

private:
    void WriteName(std::string_view Name);
    void WriteType(TValueType Type);
    void WriteLength(std::int64_t Length);

    TStream& FStream;
};

class TPropertyReader {
public:
    explicit TPropertyReader(TStream& Stream) : FStream(Stream) {}

    // EReadError when the stream does not start with the signature of a supported version.
    void ReadSignature();
    // True and the entry is opened when the next byte starts an item; false (and the end
    // marker consumed) at the end of the collection.
    bool ReadItemBegin();
    // The next property name, or an empty text (and the end marker consumed) at the end of
    // the current item.
    std::string ReadPropertyName();
    TValueType ReadValueType();

    // Each expects its value type next and raises EReadError otherwise.
    std::int32_t ReadInteger();
    std::string ReadString();
    // Copies the value into Destination (written at its current position); returns the count.
    std::int64_t ReadBinary(TStream& Destination);
    // Skips one value of any type.
    void SkipValue();

private:
    std::uint8_t ReadByte();
    std::uint32_t ReadLength();
    void Expect(TValueType Type);

    TStream& FStream;
};

class TCollection;

class TCollectionItem : public TPersistent {
public:
    // The entry knows its list; TCollection::Add creates entries and the list owns them. A
    // null collection makes a free-standing entry.
    explicit TCollectionItem(TCollection* Collection) : FCollection(Collection) {}
    ~TCollectionItem() override = default;
    TCollectionItem(const TCollectionItem&) = delete;
    TCollectionItem& operator=(const TCollectionItem&) = delete;

    TCollection* Collection() const { return FCollection; }
    // Position in the list, or -1 for a free-standing entry.
    int Index() const;
    virtual std::string DisplayName();

    // The entry's own properties; the base has none.
    virtual void WriteProperties(TPropertyWriter& Writer);
    // Called with each property name read; false means the entry does not know it (the
    // reader then skips the value).
    virtual bool ReadProperty(const std::string& Name, TPropertyReader& Reader);

private:
    TCollection* FCollection;
};

class TCollection : public TPersistent {
public:
    using TCollectionItemClass = std::function<std::unique_ptr<TCollectionItem>(TCollection*)>;

    explicit TCollection(TCollectionItemClass ItemClass);
    ~TCollection() override;
    TCollection(const TCollection&) = delete;
    TCollection& operator=(const TCollection&) = delete;

    std::string ClassName() const override { return "TCollection"; }
    virtual TPersistent* GetOwner() const { return nullptr; }

    int Count() const { return static_cast<int>(FItems.size()); }
    TCollectionItem& Add();
    // EListError "List index out of bounds (N)" outside 0..Count-1.
    TCollectionItem& GetItem(int Index) const;
    void Delete(int Index);
    void Clear();
    int IndexOf(const TCollectionItem* Item) const;

    // Every entry with its properties, in index order.
    void WriteItems(TPropertyWriter& Writer);
    // Replaces the entries with those read; on a malformed stream the list is left empty and
    // the EReadError passed on.
    void ReadItems(TPropertyReader& Reader);

    void SaveToStream(TStream& Stream);
    void LoadFromStream(TStream& Stream);

private:
    TCollectionItemClass FItemClass;
    std::vector<std::unique_ptr<TCollectionItem>> FItems;
};
