// Wave (RIFF/WAVE) files: the parse that finds the format record and the sample data, the
// one-line description of a format, its nominal bit rate and play time, and a text form for a
// number of milliseconds. Nothing here converts audio: the "data" chunk is taken as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/Streams.h"

// The contents of the "fmt " chunk, laid out as WAVEFORMATEX (little-endian). The block is
// max(chunk size, 18) bytes: a shorter chunk leaves the fields it does not supply at 0, a
// longer one is kept whole (extension bytes included).
class TWaveFormatEx {
public:
    static constexpr std::size_t MinSize = 18;

    // Size is raised to MinSize; the block starts zero-filled.
    explicit TWaveFormatEx(std::size_t Size = MinSize);

    std::uint16_t FormatTag() const { return U16(0); }        // 1 is PCM
    std::uint16_t Channels() const { return U16(2); }
    std::uint32_t SamplesPerSec() const { return U32(4); }
    std::uint32_t AvgBytesPerSec() const { return U32(8); }
    std::uint16_t BlockAlign() const { return U16(12); }
    std::uint16_t BitsPerSample() const { return U16(14); }
    std::uint16_t ExtraSize() const { return U16(16); }

    void SetFormatTag(std::uint16_t Value) { SetU16(0, Value); }
    void SetChannels(std::uint16_t Value) { SetU16(2, Value); }
    void SetSamplesPerSec(std::uint32_t Value) { SetU32(4, Value); }
    void SetAvgBytesPerSec(std::uint32_t Value) { SetU32(8, Value); }
    void SetBlockAlign(std::uint16_t Value) { SetU16(12, Value); }
    void SetBitsPerSample(std::uint16_t Value) { SetU16(14, Value); }

    std::size_t Size() const { return FBytes.size(); }
    std::uint8_t* Data() { return FBytes.data(); }
    const std::uint8_t* Data() const { return FBytes.data(); }

private:
    std::uint16_t U16(std::size_t Offset) const;
    std::uint32_t U32(std::size_t Offset) const;
    void SetU16(std::size_t Offset, std::uint16_t Value);
    void SetU32(std::size_t Offset, std::uint32_t Value);

    std::vector<std::uint8_t> FBytes;
};

enum TTimeTextFormat : std::uint8_t { tfHMSh, tfHMS, tfMSh, tfMS, tfSh, tfS, tfAutoh, tfAuto };

// Finds the format record and the sample data of the wave file in Source, reading through
// Source's own interface from offset 0; Source's position is the same afterwards as before.
// On success WaveFormat holds the record, DataSize the size the "data" chunk declares (not
// clipped to the bytes present) and DataOffset the offset of its first sample byte. Never
// raises: a failing or throwing source ends the parse with false. An empty source fails
// without being read.
bool ReadWaveInfo(TStream& Source, std::unique_ptr<TWaveFormatEx>& WaveFormat,
                  std::uint32_t& DataSize, std::uint32_t& DataOffset);

// "PCM 44.100 kHz, 16 Bit, Stereo"; other channel counts as "6 Ch"; no "PCM " unless tag 1.
std::string WaveFormatText(const TWaveFormatEx& WaveFormat);
// Nominal kbps from rate, channels and bits, rounded; -1 when it exceeds 32 bits.
int WaveBitRate(const TWaveFormatEx& WaveFormat);
// 1000 * ByteCount / average bytes per second, rounded as MulDiv rounds; 0 when the average
// is 0. ByteCount is signed, as the declared size of a "data" chunk is taken here.
int WaveDuration(const TWaveFormatEx& WaveFormat, std::int32_t ByteCount);
// Hours, minutes, seconds and hundredths in the layout asked for, with the locale's
// separators; an unknown layout gives the plain number of milliseconds.
std::string MillisecondsToText(std::uint32_t Milliseconds, TTimeTextFormat Format);

// Number * Numerator / Denominator through a 64-bit product, rounded to the nearest integer
// with halves away from zero; -1 when Denominator is 0 or the result does not fit 32 bits.
int MulDiv(int Number, int Numerator, int Denominator);

// The separators of the current C locale (LC_TIME / LC_NUMERIC): ":" and "." in the "C" and
// English locales. SetLocaleSeparators replaces them (a std::nullopt goes back to the locale);
// tests use it to check other conventions.
std::string LocaleTimeSeparator();
std::string LocaleDecimalSeparator();
void SetLocaleSeparators(std::optional<std::string> TimeSeparator,
                         std::optional<std::string> DecimalSeparator);
// The text between hour and minute in a strftime layout ("%H.%M.%S" gives "."); ":" when the
// layout does not say.
std::string TimeSeparatorFromLayout(std::string_view Layout);
