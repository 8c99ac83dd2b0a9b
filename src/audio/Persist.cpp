#include "audio/Persist.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace {

constexpr std::array<char, 4> Signature = {'K', 'V', 'P', 'S'};
constexpr std::uint8_t FormatVersion = 1;

void PutLE32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint32_t GetLE32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8
        | static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

// TPersistent ----------------------------------------------------------------------------

void TPersistent::Assign(const TPersistent* Source)
{
    AssignError(Source);
}

void TPersistent::AssignError(const TPersistent* Source) const
{
    const std::string from = Source != nullptr ? Source->ClassName() : std::string("nil");
    throw EConvertError("Cannot assign a " + from + " to a " + ClassName());
}

// TPropertyWriter ------------------------------------------------------------------------

void TPropertyWriter::WriteSignature()
{
    FStream.WriteBuffer(Signature.data(), Signature.size());
    FStream.WriteBuffer(&FormatVersion, 1);
}

void TPropertyWriter::WriteItemBegin()
{
    WriteType(TValueType::vaItem);
}

void TPropertyWriter::WriteEnd()
{
    WriteType(TValueType::vaNull);
}

void TPropertyWriter::WriteInteger(std::string_view Name, std::int32_t Value)
{
    WriteName(Name);
    WriteType(TValueType::vaInt32);
    std::uint8_t bytes[4];
    PutLE32(bytes, static_cast<std::uint32_t>(Value));
    FStream.WriteBuffer(bytes, sizeof bytes);
}

void TPropertyWriter::WriteString(std::string_view Name, std::string_view Value)
{
    WriteName(Name);
    WriteType(TValueType::vaString);
    WriteLength(static_cast<std::int64_t>(Value.size()));
    FStream.WriteBuffer(Value.data(), Value.size());
}

void TPropertyWriter::WriteBinary(std::string_view Name, TStream& Source, std::int64_t Count)
{
    WriteName(Name);
    WriteType(TValueType::vaBinary);
    WriteLength(Count);
    if (Count > 0)
        FStream.CopyFrom(Source, Count);
}

void TPropertyWriter::WriteName(std::string_view Name)
{
    if (Name.empty() || Name.size() > 255)
        throw EWriteError("Invalid property name length");
    const auto length = static_cast<std::uint8_t>(Name.size());
    FStream.WriteBuffer(&length, 1);
    FStream.WriteBuffer(Name.data(), Name.size());
}

void TPropertyWriter::WriteType(TValueType Type)
{
    const auto byte = static_cast<std::uint8_t>(Type);
    FStream.WriteBuffer(&byte, 1);
}

void TPropertyWriter::WriteLength(std::int64_t Length)
{
    if (Length < 0 || Length > std::numeric_limits<std::uint32_t>::max())
        throw EWriteError("Property value too large to store");
    std::uint8_t bytes[4];
    PutLE32(bytes, static_cast<std::uint32_t>(Length));
    FStream.WriteBuffer(bytes, sizeof bytes);
}

// TPropertyReader ------------------------------------------------------------------------

void TPropertyReader::ReadSignature()
{
    std::array<char, 4> signature{};
    FStream.ReadBuffer(signature.data(), signature.size());
    if (signature != Signature)
        throw EReadError("Invalid stream format");
    if (ReadByte() != FormatVersion)
        throw EReadError("Unsupported stream format version");
}

bool TPropertyReader::ReadItemBegin()
{
    const auto type = ReadValueType();
    if (type == TValueType::vaNull)
        return false;
    if (type != TValueType::vaItem)
        throw EReadError("Invalid stream format");
    return true;
}

std::string TPropertyReader::ReadPropertyName()
{
    const std::uint8_t length = ReadByte();
    std::string name(length, '\0');
    FStream.ReadBuffer(name.data(), length);
    return name;
}

TValueType TPropertyReader::ReadValueType()
{
    const std::uint8_t byte = ReadByte();
    if (byte > static_cast<std::uint8_t>(TValueType::vaBinary))
        throw EReadError("Invalid property value type");
    return static_cast<TValueType>(byte);
}

std::int32_t TPropertyReader::ReadInteger()
{
    Expect(TValueType::vaInt32);
    std::uint8_t bytes[4];
    FStream.ReadBuffer(bytes, sizeof bytes);
    return static_cast<std::int32_t>(GetLE32(bytes));
}

std::string TPropertyReader::ReadString()
{
    Expect(TValueType::vaString);
    std::string value(ReadLength(), '\0');
    FStream.ReadBuffer(value.data(), value.size());
    return value;
}

std::int64_t TPropertyReader::ReadBinary(TStream& Destination)
{
    Expect(TValueType::vaBinary);
    const std::uint32_t length = ReadLength();
    if (length != 0)
        Destination.CopyFrom(FStream, length);
    return length;
}

void TPropertyReader::SkipValue()
{
    switch (ReadValueType()) {
    case TValueType::vaInt32: {
        std::uint8_t bytes[4];
        FStream.ReadBuffer(bytes, sizeof bytes);
        break;
    }
    case TValueType::vaString:
    case TValueType::vaBinary: {
        const std::uint32_t length = ReadLength();
        FStream.Seek(length, TSeekOrigin::soCurrent);
        break;
    }
    case TValueType::vaNull:
    case TValueType::vaItem:
        throw EReadError("Invalid property value type");
    }
}

std::uint8_t TPropertyReader::ReadByte()
{
    std::uint8_t byte = 0;
    FStream.ReadBuffer(&byte, 1);
    return byte;
}

std::uint32_t TPropertyReader::ReadLength()
{
    std::uint8_t bytes[4];
    FStream.ReadBuffer(bytes, sizeof bytes);
    const std::uint32_t length = GetLE32(bytes);
    // Never trust a stored length beyond the bytes that follow it.
    if (length > FStream.Size() - FStream.Position())
        throw EReadError("Property value runs past the end of the stream");
    return length;
}

void TPropertyReader::Expect(TValueType Type)
{
    if (ReadValueType() != Type)
        throw EReadError("Invalid property value type");
}

// TCollectionItem ------------------------------------------------------------------------

int TCollectionItem::Index() const
{
    return FCollection != nullptr ? FCollection->IndexOf(this) : -1;
}

std::string TCollectionItem::DisplayName()
{
    return ClassName();
}

void TCollectionItem::WriteProperties(TPropertyWriter&)
{
}

bool TCollectionItem::ReadProperty(const std::string&, TPropertyReader&)
{
    return false;
}

// TCollection ----------------------------------------------------------------------------

TCollection::TCollection(TCollectionItemClass ItemClass) : FItemClass(std::move(ItemClass))
{
}

TCollection::~TCollection()
{
    Clear();
}

TCollectionItem& TCollection::Add()
{
    auto item = FItemClass(this);
    if (!item)
        throw EConvertError("The list's entry class created no entry");
    FItems.push_back(std::move(item));
    return *FItems.back();
}

TCollectionItem& TCollection::GetItem(int Index) const
{
    if (Index < 0 || Index >= Count())
        throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
    return *FItems[static_cast<std::size_t>(Index)];
}

void TCollection::Delete(int Index)
{
    GetItem(Index);
    FItems.erase(FItems.begin() + Index);
}

void TCollection::Clear()
{
    FItems.clear();
}

int TCollection::IndexOf(const TCollectionItem* Item) const
{
    const auto it = std::find_if(FItems.begin(), FItems.end(),
                                 [Item](const auto& p) { return p.get() == Item; });
    return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
}

void TCollection::WriteItems(TPropertyWriter& Writer)
{
    for (auto& item : FItems) {
        Writer.WriteItemBegin();
        item->WriteProperties(Writer);
        Writer.WriteEnd();
    }
    Writer.WriteEnd();
}

void TCollection::ReadItems(TPropertyReader& Reader)
{
    Clear();
    try {
        while (Reader.ReadItemBegin()) {
            TCollectionItem& item = Add();
            for (std::string name = Reader.ReadPropertyName(); !name.empty();
                 name = Reader.ReadPropertyName()) {
                if (!item.ReadProperty(name, Reader))
                    Reader.SkipValue();
            }
        }
    } catch (...) {
        Clear();
        throw;
    }
}

void TCollection::SaveToStream(TStream& Stream)
{
    TPropertyWriter writer(Stream);
    writer.WriteSignature();
    WriteItems(writer);
}

void TCollection::LoadFromStream(TStream& Stream)
{
    TPropertyReader reader(Stream);
    try {
        reader.ReadSignature();
    } catch (...) {
        Clear();
        throw;
    }
    ReadItems(reader);
}
