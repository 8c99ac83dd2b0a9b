// libFuzzer target for the wave parse and everything a track derives from it.
//
// Whatever the bytes, ReadWaveInfo must not crash or read outside the input (ASan), must put
// the source back where it was, and a success must describe a record and a "data" header
// that lie inside the input. The track's texts are then built from the parse, as the list
// display does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "audio/AudioUnit.h"
#include "audio/WaveUtils.h"

namespace {

void Check(bool Condition)
{
    if (!Condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    TMemoryStream source;
    source.LoadFromMemory(Data, Size);
    const std::int64_t start = static_cast<std::int64_t>(Size / 2);
    source.SetPosition(start);

    std::unique_ptr<TWaveFormatEx> format;
    std::uint32_t dataSize = 0;
    std::uint32_t dataOffset = 0;
    const bool ok = ReadWaveInfo(source, format, dataSize, dataOffset);
    Check(source.Position() == start);
    if (ok) {
        Check(format != nullptr && format->Size() >= TWaveFormatEx::MinSize);
        Check(dataOffset >= 12 + 8 + 14 + 8 && dataOffset <= Size);
        (void)WaveFormatText(*format);
        (void)WaveBitRate(*format);
        (void)MillisecondsToText(static_cast<std::uint32_t>(WaveDuration(*format, static_cast<std::int32_t>(dataSize))),
                                 tfAutoh);
    } else {
        Check(format == nullptr && dataSize == 0 && dataOffset == 0);
    }

    TCDTrackItem item(nullptr);
    item.CDTrack()->LoadFromMemory(Data, Size);
    (void)item.DisplayName();
    Check(item.CDTrack()->IsValid() == ok);
    Check(item.CDTrack()->DataSize() == dataSize && item.CDTrack()->DataOffset() == dataOffset);
    item.CDTrack()->SetBlockSize(2352);
    Check(item.CDTrack()->BlockCount() == static_cast<std::int32_t>(dataSize / 2352));
    return 0;
}
