// Helpers for the audio tests: hand-built RIFF files, a scratch folder, and sox / soxi runs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/Streams.h"

namespace wavetest {

using Bytes = std::vector<std::uint8_t>;

inline void PutLE(Bytes& b, std::uint64_t v, int width)
{
    for (int i = 0; i < width; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

inline std::uint32_t GetLE32(const Bytes& b, std::size_t at)
{
    return static_cast<std::uint32_t>(b.at(at)) | static_cast<std::uint32_t>(b.at(at + 1)) << 8
        | static_cast<std::uint32_t>(b.at(at + 2)) << 16 | static_cast<std::uint32_t>(b.at(at + 3)) << 24;
}

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A chunk: id, size (the body's length unless forced), body, and the RIFF pad byte after an
// odd body unless told not to.
inline Bytes Chunk(std::string_view Id, const Bytes& Body, std::optional<std::uint32_t> DeclaredSize = {},
                   bool Pad = true)
{
    Bytes c(Id.begin(), Id.end());
    PutLE(c, DeclaredSize.value_or(static_cast<std::uint32_t>(Body.size())), 4);
    c.insert(c.end(), Body.begin(), Body.end());
    if (Pad && Body.size() % 2 == 1)
        c.push_back(0);
    return c;
}

// A "RIFF" form of the given type around the chunks; its size field covers them unless forced.
inline Bytes Riff(const Bytes& Chunks, std::string_view Form = "WAVE", std::optional<std::uint32_t> DeclaredSize = {})
{
    Bytes body(Form.begin(), Form.end());
    body.insert(body.end(), Chunks.begin(), Chunks.end());
    return Chunk("RIFF", body, DeclaredSize.value_or(static_cast<std::uint32_t>(body.size())), false);
}

// The body of a "fmt " chunk of Size bytes: the WAVEFORMATEX fields as far as they fit, then
// bytes 0xA0, 0xA1, ... for anything past 18.
inline Bytes FmtBody(std::uint16_t Tag, std::uint16_t Channels, std::uint32_t Rate, std::uint16_t Bits,
                     std::size_t Size = 16)
{
    Bytes b;
    const std::uint16_t align = static_cast<std::uint16_t>(Channels * ((Bits + 7) / 8));
    PutLE(b, Tag, 2);
    PutLE(b, Channels, 2);
    PutLE(b, Rate, 4);
    PutLE(b, static_cast<std::uint64_t>(Rate) * align, 4);
    PutLE(b, align, 2);
    PutLE(b, Bits, 2);
    PutLE(b, Size > 18 ? Size - 18 : 0, 2);
    for (std::size_t i = 18; i < Size; ++i)
        b.push_back(static_cast<std::uint8_t>(0xA0 + i - 18));
    b.resize(Size);
    return b;
}

inline Bytes Samples(std::size_t Count, std::uint8_t Seed = 1)
{
    Bytes b(Count);
    for (std::size_t i = 0; i < Count; ++i)
        b[i] = static_cast<std::uint8_t>(Seed + i * 7);
    return b;
}

// The usual CD layout: PCM, stereo, 16 bit, 44.1 kHz.
inline Bytes CdWave(const Bytes& Data)
{
    return Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16)), Chunk("data", Data)}));
}

inline void Load(TMemoryStream& Stream, const Bytes& B)
{
    Stream.LoadFromMemory(B.data(), B.size());
}

inline Bytes ReadFile(const std::filesystem::path& Path)
{
    std::ifstream f(Path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& Path, const Bytes& B)
{
    std::ofstream f(Path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(B.data()), static_cast<std::streamsize>(B.size()));
}

// A folder of its own for one test, removed afterwards.
class ScratchDir {
public:
    ScratchDir()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kv-audio-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr)
            FPath = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ec;
        if (!FPath.empty())
            std::filesystem::remove_all(FPath, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Path() const { return FPath; }
    std::filesystem::path operator/(const std::string& Name) const { return FPath / Name; }

private:
    std::filesystem::path FPath;
};

inline std::string Quote(const std::string& S)
{
    std::string q = "'";
    for (char c : S)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a command under a 60-second limit; returns its standard output, or nothing when it
// failed.
inline std::optional<std::string> RunTool(const std::vector<std::string>& Args)
{
    std::string command = "timeout 60";
    for (const auto& a : Args)
        command += " " + Quote(a);
    command += " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return std::nullopt;
    std::string out;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    const int status = pclose(pipe);
    if (status != 0)
        return std::nullopt;
    return out;
}

inline bool HaveSox()
{
    static const bool have = std::system("command -v sox >/dev/null 2>&1 && command -v soxi >/dev/null 2>&1") == 0;
    return have;
}

}  // namespace wavetest
