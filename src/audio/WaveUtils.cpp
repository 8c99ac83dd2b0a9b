#include "audio/WaveUtils.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cstdio>
#include <limits>
#include <mutex>
#include <string_view>

#include "platform/Posix.h"

namespace {

// Byte access --------------------------------------------------------------

constexpr std::uint32_t FourCC(const char (&Id)[5])
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(Id[0]))
        | static_cast<std::uint32_t>(static_cast<unsigned char>(Id[1])) << 8
        | static_cast<std::uint32_t>(static_cast<unsigned char>(Id[2])) << 16
        | static_cast<std::uint32_t>(static_cast<unsigned char>(Id[3])) << 24;
}

std::uint32_t LE32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8
        | static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The RIFF chunk reader ------------------------------------------------------------------
//
// Stands in for the multimedia file functions: descends into the top-level "RIFF" form of a
// given type and searches chunks inside it. Every position is 64-bit, so a declared size near
// 4 GiB cannot wrap; a header is taken only when its 8 bytes lie inside both the parent and
// the bytes the source holds, and reading a chunk's body is bounded by the bytes present.

struct TChunkInfo {
    std::uint32_t Id = 0;
    std::uint32_t Size = 0;          // as declared
    std::int64_t DataOffset = 0;     // first byte after the 8-byte header
    std::int64_t End() const { return DataOffset + Size; }
    std::int64_t PaddedEnd() const { return End() + (Size & 1u); }
};

class TRiffReader {
public:
    explicit TRiffReader(TStream& Source) : FSource(Source), FSize(Source.Size()) {}

    std::int64_t SourceSize() const { return FSize; }

    // Searches [Start, End) for a chunk with Id; a "RIFF" chunk must also carry FormType.
    // Skipped chunks advance by their size rounded up to even.
    bool Find(std::int64_t Start, std::int64_t End, std::uint32_t Id,
              std::optional<std::uint32_t> FormType, TChunkInfo& Chunk)
    {
        End = std::min(End, FSize);
        std::int64_t pos = Start;
        while (pos >= 0 && pos <= End - 8) {
            std::uint8_t header[8];
            if (!ReadAt(pos, header, sizeof header))
                return false;
            TChunkInfo info;
            info.Id = LE32(header);
            info.Size = LE32(header + 4);
            info.DataOffset = pos + 8;
            if (info.Id == Id) {
                std::uint8_t form[4];
                if (!FormType
                    || (info.Size >= 4 && ReadAt(info.DataOffset, form, sizeof form) && LE32(form) == *FormType)) {
                    Chunk = info;
                    return true;
                }
            }
            pos = info.PaddedEnd();
        }
        return false;
    }

    // Exactly Count bytes at Offset, or false.
    bool ReadAt(std::int64_t Offset, void* Buffer, std::size_t Count)
    {
        if (Offset < 0 || Offset > FSize || static_cast<std::uint64_t>(FSize - Offset) < Count)
            return false;
        if (FSource.Seek(Offset, TSeekOrigin::soBeginning) != Offset)
            return false;
        std::size_t done = 0;
        while (done < Count) {
            const std::size_t n = FSource.Read(static_cast<std::uint8_t*>(Buffer) + done, Count - done);
            if (n == 0 || n > Count - done)
                return false;
            done += n;
        }
        return true;
    }

private:
    TStream& FSource;
    std::int64_t FSize;
};

bool ParseWave(TStream& Source, std::unique_ptr<TWaveFormatEx>& WaveFormat, std::uint32_t& DataSize,
               std::uint32_t& DataOffset)
{
    TRiffReader reader(Source);

    TChunkInfo riff;
    if (!reader.Find(0, reader.SourceSize(), FourCC("RIFF"), FourCC("WAVE"), riff))
        return false;
    const std::int64_t formStart = riff.DataOffset + 4;   // past the form type
    const std::int64_t formEnd = riff.End();

    TChunkInfo fmt;
    if (!reader.Find(formStart, formEnd, FourCC("fmt "), std::nullopt, fmt))
        return false;
    if (fmt.Size < 14)
        return false;
    // The record is allocated only for bytes that are actually there: a forged size must not
    // become a 4 GiB allocation before the short read would have failed anyway.
    if (fmt.Size > reader.SourceSize() - fmt.DataOffset)
        return false;
    auto format = std::make_unique<TWaveFormatEx>(fmt.Size);
    if (!reader.ReadAt(fmt.DataOffset, format->Data(), fmt.Size))
        return false;

    // "data" is looked for only after "fmt ". The search starts behind the pad byte RIFF puts
    // after an odd-sized chunk; writers that leave the pad out are still read, from the end of
    // the declared bytes.
    TChunkInfo data;
    bool found = reader.Find(fmt.PaddedEnd(), formEnd, FourCC("data"), std::nullopt, data);
    if (!found && fmt.PaddedEnd() != fmt.End())
        found = reader.Find(fmt.End(), formEnd, FourCC("data"), std::nullopt, data);
    if (!found || data.DataOffset > std::numeric_limits<std::uint32_t>::max())
        return false;

    WaveFormat = std::move(format);
    DataSize = data.Size;
    DataOffset = static_cast<std::uint32_t>(data.DataOffset);
    return true;
}

// Division rounded as MulDiv rounds: halves away from zero. Den > 0.
std::int64_t RoundDiv(std::int64_t Num, std::int64_t Den)
{
    return Num >= 0 ? (Num + Den / 2) / Den : -((-Num + Den / 2) / Den);
}

int FitInt(std::int64_t Value)
{
    constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
    return Value > limit || Value < -limit ? -1 : static_cast<int>(Value);
}

// Locale separators ----------------------------------------------------------------------

std::mutex SeparatorMutex;
std::optional<std::string> TimeSeparatorOverride;
std::optional<std::string> DecimalSeparatorOverride;

std::string FixedText(double Value, int Decimals)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, Value, std::chars_format::fixed, Decimals);
    std::string text(buffer, result.ec == std::errc() ? result.ptr : buffer);
    const std::size_t point = text.find('.');
    if (point != std::string::npos)
        text.replace(point, 1, LocaleDecimalSeparator());
    return text;
}

std::string Printf(const char* Layout, auto... Args)
{
    const int n = std::snprintf(nullptr, 0, Layout, Args...);
    if (n <= 0)
        return {};
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), Layout, Args...);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

}  // namespace

// TWaveFormatEx --------------------------------------------------------------------------

TWaveFormatEx::TWaveFormatEx(std::size_t Size) : FBytes(std::max(Size, MinSize), 0)
{
}

std::uint16_t TWaveFormatEx::U16(std::size_t Offset) const
{
    return static_cast<std::uint16_t>(FBytes[Offset] | FBytes[Offset + 1] << 8);
}

std::uint32_t TWaveFormatEx::U32(std::size_t Offset) const
{
    return LE32(FBytes.data() + Offset);
}

void TWaveFormatEx::SetU16(std::size_t Offset, std::uint16_t Value)
{
    FBytes[Offset] = static_cast<std::uint8_t>(Value);
    FBytes[Offset + 1] = static_cast<std::uint8_t>(Value >> 8);
}

void TWaveFormatEx::SetU32(std::size_t Offset, std::uint32_t Value)
{
    for (int i = 0; i < 4; ++i)
        FBytes[Offset + i] = static_cast<std::uint8_t>(Value >> (8 * i));
}

// Operations -----------------------------------------------------------------------------

bool ReadWaveInfo(TStream& Source, std::unique_ptr<TWaveFormatEx>& WaveFormat,
                  std::uint32_t& DataSize, std::uint32_t& DataOffset)
{
    WaveFormat.reset();
    DataSize = 0;
    DataOffset = 0;
    std::int64_t position = 0;
    try {
        if (Source.Size() <= 0)
            return false;
        position = Source.Position();
    } catch (...) {
        return false;
    }

    bool ok = false;
    try {
        ok = ParseWave(Source, WaveFormat, DataSize, DataOffset);
    } catch (...) {
        ok = false;
    }
    if (!ok) {
        WaveFormat.reset();
        DataSize = 0;
        DataOffset = 0;
    }
    try {
        Source.SetPosition(position);
    } catch (...) {
    }
    return ok;
}

std::string WaveFormatText(const TWaveFormatEx& WaveFormat)
{
    const std::string khz = FixedText(WaveFormat.SamplesPerSec() / 1000.0, 3);
    const int bits = WaveFormat.BitsPerSample();
    const int channels = WaveFormat.Channels();
    std::string text = khz + " kHz, " + std::to_string(bits) + " Bit, ";
    if (channels == 1)
        text += "Mono";
    else if (channels == 2)
        text += "Stereo";
    else
        text += std::to_string(channels) + " Ch";
    if (WaveFormat.FormatTag() == 1)
        text.insert(0, "PCM ");
    return text;
}

int WaveBitRate(const TWaveFormatEx& WaveFormat)
{
    // Unsigned throughout: rate, channels and bits are all unsigned fields, and their product
    // (below 2^64) must not turn negative for a forged header.
    const std::uint64_t bitsPerSecond = static_cast<std::uint64_t>(WaveFormat.SamplesPerSec())
        * (static_cast<std::uint64_t>(WaveFormat.Channels()) * WaveFormat.BitsPerSample());
    const std::uint64_t kbps = bitsPerSecond / 1000 + (bitsPerSecond % 1000 >= 500 ? 1 : 0);
    return kbps > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) ? -1 : static_cast<int>(kbps);
}

int WaveDuration(const TWaveFormatEx& WaveFormat, std::int32_t ByteCount)
{
    const std::uint32_t average = WaveFormat.AvgBytesPerSec();
    if (average == 0)
        return 0;
    return FitInt(RoundDiv(std::int64_t{1000} * ByteCount, average));
}

std::string MillisecondsToText(std::uint32_t Milliseconds, TTimeTextFormat Format)
{
    const std::uint32_t hundredths = Milliseconds / 10;
    const std::uint32_t seconds = hundredths / 100;
    const std::uint32_t minutes = seconds / 60;
    const std::uint32_t hours = minutes / 60;

    if (Format == tfAutoh)
        Format = hours > 0 ? tfHMSh : minutes > 0 ? tfMSh : tfSh;
    else if (Format == tfAuto)
        Format = hours > 0 ? tfHMS : minutes > 0 ? tfMS : tfS;

    const std::string t = LocaleTimeSeparator();
    const std::string d = LocaleDecimalSeparator();
    const unsigned m60 = minutes % 60, s60 = seconds % 60, h100 = hundredths % 100;
    switch (Format) {
    case tfHMSh:
        return Printf("%u%s%2.2u%s%2.2u%s%2.2u", hours, t.c_str(), m60, t.c_str(), s60, d.c_str(), h100);
    case tfHMS:
        return Printf("%u%s%2.2u%s%2.2u", hours, t.c_str(), m60, t.c_str(), s60);
    case tfMSh:
        return Printf("%u%s%2.2u%s%2.2u", minutes, t.c_str(), s60, d.c_str(), h100);
    case tfMS:
        return Printf("%u%s%2.2u", minutes, t.c_str(), s60);
    case tfSh:
        return Printf("%u%s%2.2u", seconds, d.c_str(), h100);
    case tfS:
        return Printf("%u", seconds);
    default:
        return std::to_string(Milliseconds);
    }
}

int MulDiv(int Number, int Numerator, int Denominator)
{
    if (Denominator == 0)
        return -1;
    std::int64_t product = static_cast<std::int64_t>(Number) * Numerator;
    std::int64_t divisor = Denominator;
    if (divisor < 0) {
        product = -product;
        divisor = -divisor;
    }
    return FitInt(RoundDiv(product, divisor));
}

std::string TimeSeparatorFromLayout(std::string_view Layout)
{
    for (std::size_t i = 0; i + 1 < Layout.size(); ++i) {
        if (Layout[i] != '%')
            continue;
        std::size_t j = i + 1;
        while (j < Layout.size() && std::string_view("EO-_0^#").find(Layout[j]) != std::string_view::npos)
            ++j;
        if (j >= Layout.size())
            break;
        const char c = Layout[j];
        if (c == 'T' || c == 'R' || c == 'r')
            return ":";
        if (c == 'H' || c == 'I' || c == 'k' || c == 'l') {
            const std::size_t end = Layout.find('%', j + 1);
            const std::string_view sep = Layout.substr(j + 1, end == std::string_view::npos ? end : end - j - 1);
            if (!sep.empty())
                return std::string(sep);
            break;
        }
        i = j;
    }
    return ":";
}

std::string LocaleTimeSeparator()
{
    std::lock_guard lock(SeparatorMutex);
    if (TimeSeparatorOverride)
        return *TimeSeparatorOverride;
    return TimeSeparatorFromLayout(kvsys::TimeLayout());
}

std::string LocaleDecimalSeparator()
{
    std::lock_guard lock(SeparatorMutex);
    if (DecimalSeparatorOverride)
        return *DecimalSeparatorOverride;
    const std::lconv* conv = std::localeconv();
    if (conv == nullptr || conv->decimal_point == nullptr || *conv->decimal_point == '\0')
        return ".";
    return conv->decimal_point;
}

void SetLocaleSeparators(std::optional<std::string> TimeSeparator, std::optional<std::string> DecimalSeparator)
{
    std::lock_guard lock(SeparatorMutex);
    TimeSeparatorOverride = std::move(TimeSeparator);
    DecimalSeparatorOverride = std::move(DecimalSeparator);
}
