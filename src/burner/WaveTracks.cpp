#include "burner/WaveTracks.h"

#include "platform/Posix.h"

std::string TrackTitleOfFile(const std::string& FileName)
{
    const auto slash = FileName.find_last_of(kvsys::kPathSeparators);
    std::string name = slash == std::string::npos ? FileName : FileName.substr(slash + 1);
    // "song.wav" is "song"; a name that only starts with a dot (".wav") keeps it.
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name;
}

TCDTrackItem& AddWaveFileTrack(TCDTrackList& Tracks, const std::string& FileName)
{
    // The samples stay in the file and are read as the burn goes, so that memory does not grow
    // with the size of the waves. A file that cannot be read leaves the list as it was.
    TCDTrackItem& item = Tracks.Add();
    try {
        item.CDTrack()->LinkToFile(FileName);
    } catch (...) {
        Tracks.Delete(Tracks.Count() - 1);
        throw;
    }
    item.CDTrack()->TrackTitle = TrackTitleOfFile(FileName);
    item.Name = item.CDTrack()->TrackTitle;
    return item;
}

bool IsCDAudioFormat(TCDTrack& Track)
{
    constexpr std::uint16_t kFormatPcm = 1;
    constexpr std::uint16_t kFormatExtensible = 0xFFFE;
    // WAVE_FORMAT_EXTENSIBLE names its real format in the first two bytes of the sub-format
    // GUID, at offset 24 of the record.
    constexpr std::size_t kSubFormatOffset = 24;
    const TWaveFormatEx* format = Track.IsValid() ? Track.WaveFormat() : nullptr;
    if (!format)
        return false;
    bool pcm = format->FormatTag() == kFormatPcm;
    if (format->FormatTag() == kFormatExtensible && format->Size() >= kSubFormatOffset + 2)
        pcm = (format->Data()[kSubFormatOffset] | (format->Data()[kSubFormatOffset + 1] << 8)) == kFormatPcm;
    return pcm && format->SamplesPerSec() == 44100 && format->BitsPerSample() == 16 && format->Channels() == 2;
}

std::int64_t AudioBlocksOfTrack(TCDTrack& Track)
{
    constexpr std::uint32_t kRawBlock = 2352;
    const std::uint32_t bytes = Track.AvailableDataSize();
    return bytes / kRawBlock + (bytes % kRawBlock != 0);
}
