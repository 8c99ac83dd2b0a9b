// Builds VS_VERSIONINFO resources the way resource compilers lay them out (UTF-16 keys,
// every header, value and child on a 32-bit boundary) and wraps them in a minimal PE image.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kvtest {

using Bytes = std::vector<std::uint8_t>;

inline void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Append16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void Pad4(Bytes& b) {
    while (b.size() % 4 != 0) b.push_back(0);
}

struct VersionNode {
    std::u16string key;
    std::uint16_t type = 1;          // 1 text, 0 binary
    std::uint16_t valueLength = 0;   // words for text, bytes for binary
    Bytes value;
    std::vector<VersionNode> children;

    Bytes Serialize() const {
        Bytes out(6, 0);
        for (char16_t c : key) Append16(out, c);
        Append16(out, 0);
        Pad4(out);
        out.insert(out.end(), value.begin(), value.end());
        for (const auto& child : children) {
            Pad4(out);
            const Bytes c = child.Serialize();
            out.insert(out.end(), c.begin(), c.end());
        }
        Put16(out, 0, static_cast<std::uint16_t>(out.size()));
        Put16(out, 2, valueLength);
        Put16(out, 4, type);
        return out;
    }
};

// A String entry; the value is stored with its terminator, as resource compilers do.
inline VersionNode Text(std::u16string key, const std::u16string& value) {
    VersionNode n{std::move(key), 1, static_cast<std::uint16_t>(value.size() + 1), {}, {}};
    for (char16_t c : value) Append16(n.value, c);
    Append16(n.value, 0);
    return n;
}
// A String entry stored without any value bytes (wValueLength 0).
inline VersionNode KeyOnly(std::u16string key) { return VersionNode{std::move(key), 1, 0, {}, {}}; }

inline VersionNode StringTable(std::u16string langCodePage, std::vector<VersionNode> strings) {
    return VersionNode{std::move(langCodePage), 1, 0, {}, std::move(strings)};
}
inline VersionNode StringFileInfo(std::vector<VersionNode> tables) {
    return VersionNode{u"StringFileInfo", 1, 0, {}, std::move(tables)};
}
struct Translation {
    std::uint16_t language;
    std::uint16_t codePage;
};
inline VersionNode VarFileInfo(const std::vector<Translation>& translations) {
    VersionNode var{u"Translation", 0, static_cast<std::uint16_t>(4 * translations.size()), {}, {}};
    for (const auto& t : translations) {
        Append16(var.value, t.language);
        Append16(var.value, t.codePage);
    }
    return VersionNode{u"VarFileInfo", 1, 0, {}, {var}};
}
inline VersionNode VersionInfoRoot(std::vector<VersionNode> children, std::uint32_t fileVersionMS = 0x00040002,
                                   std::uint32_t fileVersionLS = 0x00000007) {
    VersionNode root{u"VS_VERSION_INFO", 0, 52, Bytes(52, 0), std::move(children)};
    Put32(root.value, 0, 0xFEEF04BDu);
    Put32(root.value, 4, 0x00010000u);
    Put32(root.value, 8, fileVersionMS);
    Put32(root.value, 12, fileVersionLS);
    return root;
}

struct PeOptions {
    bool pe32Plus = false;
    bool withResourceDirectory = true;
    std::uint16_t resourceType = 16;   // RT_VERSION
    std::uint32_t declaredSizeExtra = 0;   // added to the data entry's Size
    std::uint32_t dataRvaShift = 0;        // moves the data entry's RVA
};

// A DLL-shaped PE image whose only section, .rsrc, holds one resource: type, name 1,
// language 0409h, data = the given bytes.
inline Bytes BuildPe(const Bytes& resource, const PeOptions& opt = {}) {
    constexpr std::uint32_t kPeAt = 64;
    constexpr std::uint32_t kRsrcRva = 0x1000;
    constexpr std::uint32_t kRsrcFile = 0x200;
    const std::uint16_t optionalSize = opt.pe32Plus ? 240 : 224;
    const std::uint32_t directoriesAt = kPeAt + 24 + (opt.pe32Plus ? 112 : 96);

    Bytes rsrc(88, 0);
    auto directory = [&](std::uint32_t at, std::uint32_t id, std::uint32_t target) {
        Put16(rsrc, at + 14, 1);   // one id entry
        Put32(rsrc, at + 16, id);
        Put32(rsrc, at + 20, target);
    };
    directory(0, opt.resourceType, 0x80000000u | 24);
    directory(24, 1, 0x80000000u | 48);
    directory(48, 0x409, 72);
    Put32(rsrc, 72, kRsrcRva + 88 + opt.dataRvaShift);
    Put32(rsrc, 76, static_cast<std::uint32_t>(resource.size()) + opt.declaredSizeExtra);
    rsrc.insert(rsrc.end(), resource.begin(), resource.end());
    const auto rsrcSize = static_cast<std::uint32_t>(rsrc.size());
    const std::uint32_t rawSize = (rsrcSize + 0x1FF) & ~0x1FFu;

    Bytes pe(kRsrcFile + rawSize, 0);
    pe[0] = 'M';
    pe[1] = 'Z';
    Put32(pe, 0x3C, kPeAt);
    std::memcpy(&pe[kPeAt], "PE\0\0", 4);
    Put16(pe, kPeAt + 4, opt.pe32Plus ? 0x8664 : 0x14C);
    Put16(pe, kPeAt + 6, 1);
    Put16(pe, kPeAt + 20, optionalSize);
    Put16(pe, kPeAt + 22, 0x2102);
    Put16(pe, kPeAt + 24, opt.pe32Plus ? 0x20B : 0x10B);
    Put32(pe, directoriesAt - 4, 16);
    if (opt.withResourceDirectory) {
        Put32(pe, directoriesAt + 16, kRsrcRva);
        Put32(pe, directoriesAt + 20, rsrcSize);
    }
    const std::uint32_t section = kPeAt + 24 + optionalSize;
    std::memcpy(&pe[section], ".rsrc", 5);
    Put32(pe, section + 8, rsrcSize);
    Put32(pe, section + 12, kRsrcRva);
    Put32(pe, section + 16, rawSize);
    Put32(pe, section + 20, kRsrcFile);
    std::memcpy(&pe[kRsrcFile], rsrc.data(), rsrc.size());
    return pe;
}

// A scratch directory removed with the object.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kv-aspi-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Write(const std::string& name, const Bytes& bytes) const {
        const std::string file = path_ + "/" + name;
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return file;
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace kvtest
