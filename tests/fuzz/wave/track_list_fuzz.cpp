// libFuzzer target for the persisted track list reader.
//
// Whatever the bytes, loading either succeeds or raises EReadError with the list left empty
// (any other exception ends the run as a finding); a list that loaded saves to a stream that
// loads back to the same stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "audio/AudioUnit.h"

namespace {

std::vector<std::uint8_t> Saved(TCDTrackList& List)
{
    TMemoryStream m;
    List.SaveToStream(m);
    return std::vector<std::uint8_t>(m.Memory(), m.Memory() + m.Size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    TMemoryStream source;
    source.LoadFromMemory(Data, Size);
    TCDTrackList list(nullptr);
    try {
        list.LoadFromStream(source);
    } catch (const EReadError&) {
        if (list.Count() != 0)
            std::abort();
        return 0;
    }
    for (int i = 0; i < list.Count(); ++i)
        (void)list.Items(i).DisplayName();

    const auto first = Saved(list);
    TMemoryStream again;
    again.LoadFromMemory(first.data(), first.size());
    TCDTrackList copy(nullptr);
    copy.LoadFromStream(again);
    if (Saved(copy) != first)
        std::abort();
    return 0;
}
