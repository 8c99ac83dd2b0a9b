// A private temporary folder per test, removed with everything in it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kv-burner-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Bytes whose value depends on their offset, so a misplaced copy shows.
inline std::uint8_t PatternByte(std::uint64_t offset)
{
    return static_cast<std::uint8_t>((offset * 2654435761u) >> 13);
}

inline std::vector<std::uint8_t> PatternBytes(std::uint64_t offset, std::size_t count)
{
    std::vector<std::uint8_t> v(count);
    for (std::size_t i = 0; i < count; ++i)
        v[i] = PatternByte(offset + i);
    return v;
}

inline void WritePatternFile(const std::string& path, std::uint64_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::size_t chunk = 1 << 20;
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, size - done));
        const auto bytes = PatternBytes(done, n);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(n));
        done += n;
    }
    if (!out)
        throw std::runtime_error("cannot write " + path);
}
