// Version resources on Linux: a small PE resource reader and the VS_VERSIONINFO tree walk.
//
// The block handed to callers is the resource itself (its root wLength bytes), a marker, and
// a mirror area twice the resource's size. VerQueryValueA converts a UTF-16 text value found
// at resource offset o into the mirror at 2*o: n code units occupy 2n bytes of the resource
// and need at most 3n+1 bytes as UTF-8, and consecutive values lie at least 2n+8 bytes apart,
// so converted texts never overlap and never leave the mirror.
#include "platform/VersionResource.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/HandleTable.h"

namespace win {

namespace {

constexpr WORD RT_VERSION = 16;
constexpr WORD VS_VERSION_INFO_ID = 1;
constexpr char kMarker[4] = {'K', 'V', 'v', 'i'};
constexpr std::size_t kMaxSections = 96;              // as the Windows loader accepts
constexpr std::size_t kMaxDirectoryEntries = 4096;

constexpr std::size_t Align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

WORD Get16(const std::uint8_t* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }
DWORD Get32(const std::uint8_t* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
           (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}

std::size_t BlockSizeFor(std::size_t resourceBytes) {
    return Align4(resourceBytes) + sizeof kMarker + 2 * resourceBytes;
}

// A file opened for positioned reads that never run past its end.
class File {
public:
    explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat st {};
        if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode))
            size_ = static_cast<std::uint64_t>(st.st_size);
        else if (fd_ >= 0)
            errno_ = EISDIR;
        if (fd_ < 0) errno_ = errno;
    }
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool Opened() const { return fd_ >= 0 && errno_ == 0; }
    int Errno() const { return errno_; }

    bool Read(std::uint64_t offset, void* out, std::size_t length) const {
        if (offset > size_ || length > size_ - offset) return false;
        auto* dst = static_cast<std::uint8_t*>(out);
        while (length > 0) {
            const ssize_t n = ::pread(fd_, dst, length, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            dst += n;
            offset += static_cast<std::uint64_t>(n);
            length -= static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    int fd_ = -1;
    int errno_ = 0;
    std::uint64_t size_ = 0;
};

struct Section {
    DWORD virtualAddress = 0;
    DWORD virtualSize = 0;
    DWORD rawSize = 0;
    DWORD rawOffset = 0;
};

// The parts of a PE image the resource walk needs.
class PeImage {
public:
    explicit PeImage(const File& file) : file_(file) {}

    // False when the file is not a PE image.
    bool Parse() {
        std::uint8_t dos[64];
        if (!file_.Read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
        const DWORD peOffset = Get32(dos + 0x3C);
        std::uint8_t coff[24];
        if (!file_.Read(peOffset, coff, sizeof coff) || std::memcmp(coff, "PE\0\0", 4) != 0)
            return false;
        const WORD sectionCount = Get16(coff + 6);
        const WORD optionalSize = Get16(coff + 20);
        std::vector<std::uint8_t> optional(optionalSize);
        const std::uint64_t optionalOffset = std::uint64_t{peOffset} + sizeof coff;
        if (optionalSize < 2 || !file_.Read(optionalOffset, optional.data(), optional.size()))
            return false;
        std::size_t countAt = 0;
        switch (Get16(optional.data())) {
        case 0x10B: countAt = 92; break;    // PE32
        case 0x20B: countAt = 108; break;   // PE32+
        default: return false;
        }
        const std::size_t directoriesAt = countAt + 4;
        constexpr std::size_t kResourceDirectory = 2;
        if (optional.size() >= directoriesAt + 8 * (kResourceDirectory + 1) &&
            Get32(optional.data() + countAt) > kResourceDirectory) {
            resourceRva_ = Get32(optional.data() + directoriesAt + 8 * kResourceDirectory);
        }
        if (sectionCount > kMaxSections) return false;
        const std::uint64_t sectionsAt = optionalOffset + optionalSize;
        for (std::size_t i = 0; i < sectionCount; ++i) {
            std::uint8_t s[40];
            if (!file_.Read(sectionsAt + 40 * i, s, sizeof s)) return false;
            sections_.push_back({Get32(s + 12), Get32(s + 8), Get32(s + 16), Get32(s + 20)});
        }
        return true;
    }

    DWORD ResourceRva() const { return resourceRva_; }

    // Reads bytes at a relative virtual address; they must lie in one section's file data.
    bool ReadRva(std::uint64_t rva, void* out, std::size_t length) const {
        const Section* s = Backing(rva, length);
        return s != nullptr && file_.Read(std::uint64_t{s->rawOffset} + (rva - s->virtualAddress), out, length);
    }
    // The section whose file data holds the whole range, or nullptr.
    const Section* Backing(std::uint64_t rva, std::uint64_t length) const {
        for (const Section& s : sections_) {
            if (rva < s.virtualAddress) continue;
            const std::uint64_t into = rva - s.virtualAddress;
            const std::uint64_t span = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
            if (into >= span) continue;
            return into + length <= s.rawSize ? &s : nullptr;
        }
        return nullptr;
    }

private:
    const File& file_;
    DWORD resourceRva_ = 0;
    std::vector<Section> sections_;
};

struct DirectoryEntry {
    DWORD name = 0;     // high bit: a named entry
    DWORD target = 0;   // high bit: a subdirectory; offsets from the resource root
};

std::optional<std::vector<DirectoryEntry>> ReadDirectory(const PeImage& pe, DWORD offset) {
    std::uint8_t head[16];
    if (!pe.ReadRva(std::uint64_t{pe.ResourceRva()} + offset, head, sizeof head)) return std::nullopt;
    const std::size_t count = std::size_t{Get16(head + 12)} + Get16(head + 14);
    if (count > kMaxDirectoryEntries) return std::nullopt;
    std::vector<std::uint8_t> raw(8 * count);
    if (!pe.ReadRva(std::uint64_t{pe.ResourceRva()} + offset + sizeof head, raw.data(), raw.size()))
        return std::nullopt;
    std::vector<DirectoryEntry> entries(count);
    for (std::size_t i = 0; i < count; ++i) entries[i] = {Get32(&raw[8 * i]), Get32(&raw[8 * i + 4])};
    return entries;
}

constexpr DWORD kHighBit = 0x80000000u;

const DirectoryEntry* FindId(const std::vector<DirectoryEntry>& entries, WORD id) {
    for (const auto& e : entries)
        if ((e.name & kHighBit) == 0 && e.name == id) return &e;
    return nullptr;
}

struct Failure {
    DWORD code;
    int errnoValue;
};

// The VS_VERSIONINFO of the file: type RT_VERSION, name VS_VERSION_INFO (else the first),
// the first language. Cut to the root's wLength and checked to be a version block.
std::vector<std::uint8_t> ReadVersionResource(const std::string& path, Failure& failure) {
    const File file(path);
    if (!file.Opened()) {
        failure = {file.Errno() == ENOENT ? ERROR_FILE_NOT_FOUND
                   : file.Errno() == EACCES ? ERROR_ACCESS_DENIED
                                            : ERROR_GEN_FAILURE,
                   file.Errno()};
        return {};
    }
    PeImage pe(file);
    if (!pe.Parse()) {
        failure = {ERROR_BAD_EXE_FORMAT, ENOEXEC};
        return {};
    }
    const Failure noType{ERROR_RESOURCE_TYPE_NOT_FOUND, ENOENT};
    const Failure badData{ERROR_RESOURCE_DATA_NOT_FOUND, EINVAL};
    if (pe.ResourceRva() == 0) {
        failure = noType;
        return {};
    }
    const auto types = ReadDirectory(pe, 0);
    const DirectoryEntry* type = types ? FindId(*types, RT_VERSION) : nullptr;
    if (type == nullptr || (type->target & kHighBit) == 0) {
        failure = types ? noType : badData;
        return {};
    }
    const auto names = ReadDirectory(pe, type->target & ~kHighBit);
    if (!names || names->empty()) {
        failure = badData;
        return {};
    }
    const DirectoryEntry* name = FindId(*names, VS_VERSION_INFO_ID);
    if (name == nullptr) name = &names->front();
    if ((name->target & kHighBit) == 0) {
        failure = badData;
        return {};
    }
    const auto languages = ReadDirectory(pe, name->target & ~kHighBit);
    if (!languages || languages->empty() || (languages->front().target & kHighBit) != 0) {
        failure = badData;
        return {};
    }
    std::uint8_t dataEntry[16];
    if (!pe.ReadRva(std::uint64_t{pe.ResourceRva()} + languages->front().target, dataEntry,
                    sizeof dataEntry)) {
        failure = badData;
        return {};
    }
    const DWORD dataRva = Get32(dataEntry);
    const DWORD dataSize = Get32(dataEntry + 4);
    std::uint8_t head[6];
    if (dataSize < sizeof head || pe.Backing(dataRva, dataSize) == nullptr ||
        !pe.ReadRva(dataRva, head, sizeof head)) {
        failure = badData;
        return {};
    }
    const WORD rootLength = Get16(head);
    static constexpr char16_t kRootKey[] = u"VS_VERSION_INFO";
    constexpr std::size_t kRootHeader = 6 + sizeof kRootKey;
    if (rootLength < kRootHeader || rootLength > dataSize) {
        failure = badData;
        return {};
    }
    std::vector<std::uint8_t> resource(rootLength);
    if (!pe.ReadRva(dataRva, resource.data(), resource.size())) {
        failure = badData;
        return {};
    }
    for (std::size_t i = 0; i < std::size(kRootKey); ++i) {
        if (Get16(&resource[6 + 2 * i]) != kRootKey[i]) {
            failure = badData;
            return {};
        }
    }
    return resource;
}

// "wnaspi32.dll" -> the path of that library when this process has it loaded.
std::string ResolvePath(const char* name) {
    const std::string_view view(name);
    if (view.find('/') != std::string_view::npos) return std::string(view);
    if (void* handle = ::dlopen(name, RTLD_LAZY | RTLD_NOLOAD)) {
        std::string path;
        struct link_map* map = nullptr;
        if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
            map->l_name[0] != '\0')
            path = map->l_name;
        ::dlclose(handle);
        if (!path.empty()) return path;
    }
    return std::string(view);
}

// One node of the version tree, all offsets from the start of the block.
struct Node {
    std::size_t begin = 0;
    std::size_t end = 0;           // begin + wLength, within the parent
    std::size_t keyBegin = 0;      // UTF-16 key, keyUnits code units before its terminator
    std::size_t keyUnits = 0;
    std::size_t valueBegin = 0;
    std::size_t valueBytes = 0;    // declared length, cut to the node
    bool text = false;             // wType 1
    std::size_t childrenBegin = 0;
};

std::optional<Node> ParseNode(const std::uint8_t* block, std::size_t begin, std::size_t limit) {
    if (begin + 6 > limit) return std::nullopt;
    Node n;
    n.begin = begin;
    const std::size_t length = Get16(block + begin);
    if (length < 6 || length > limit - begin) return std::nullopt;
    n.end = begin + length;
    const WORD valueLength = Get16(block + begin + 2);
    n.text = Get16(block + begin + 4) == 1;
    n.keyBegin = begin + 6;
    std::size_t at = n.keyBegin;
    while (true) {
        if (at + 2 > n.end) return std::nullopt;   // key without terminator
        if (Get16(block + at) == 0) break;
        at += 2;
    }
    n.keyUnits = (at - n.keyBegin) / 2;
    n.valueBegin = std::min(Align4(at + 2), n.end);
    n.valueBytes = std::min<std::size_t>(n.text ? std::size_t{valueLength} * 2 : valueLength,
                                         n.end - n.valueBegin);
    n.childrenBegin = std::min(Align4(n.valueBegin + n.valueBytes), n.end);
    return n;
}

char AsciiLower(char32_t c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// Appends the UTF-8 form of UTF-16 code units; a lone surrogate becomes U+FFFD.
void AppendUtf8(std::string& out, const std::uint8_t* units, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        char32_t c = Get16(units + 2 * i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count) {
            const char32_t low = Get16(units + 2 * (i + 1));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

bool KeyEquals(const std::uint8_t* block, const Node& node, std::string_view wanted) {
    std::string key;
    AppendUtf8(key, block + node.keyBegin, node.keyUnits);
    if (key.size() != wanted.size()) return false;
    for (std::size_t i = 0; i < key.size(); ++i)
        if (AsciiLower(static_cast<unsigned char>(key[i])) != AsciiLower(static_cast<unsigned char>(wanted[i])))
            return false;
    return true;
}

std::optional<Node> FindChild(const std::uint8_t* block, const Node& parent, std::string_view key) {
    std::size_t at = parent.childrenBegin;
    while (at + 6 <= parent.end) {
        const auto child = ParseNode(block, at, parent.end);
        if (!child) return std::nullopt;
        if (KeyEquals(block, *child, key)) return child;
        at = Align4(child->end);
    }
    return std::nullopt;
}

bool Fail(DWORD code, int errnoValue) {
    detail::SetLastFailure(code, errnoValue);
    return false;
}

}  // namespace

DWORD GetFileVersionInfoSizeA(const char* lptstrFilename, DWORD* lpdwHandle) {
    if (lpdwHandle != nullptr) *lpdwHandle = 0;
    if (lptstrFilename == nullptr) return Fail(ERROR_INVALID_PARAMETER, EINVAL);
    Failure failure{};
    const auto resource = ReadVersionResource(ResolvePath(lptstrFilename), failure);
    if (resource.empty()) return Fail(failure.code, failure.errnoValue);
    return static_cast<DWORD>(BlockSizeFor(resource.size()));
}

BOOL GetFileVersionInfoA(const char* lptstrFilename, DWORD /*dwHandle*/, DWORD dwLen, void* lpData) {
    if (lptstrFilename == nullptr || lpData == nullptr) return Fail(ERROR_INVALID_PARAMETER, EINVAL);
    Failure failure{};
    const auto resource = ReadVersionResource(ResolvePath(lptstrFilename), failure);
    if (resource.empty()) return Fail(failure.code, failure.errnoValue);
    const std::size_t size = BlockSizeFor(resource.size());
    if (dwLen < size) return Fail(ERROR_INSUFFICIENT_BUFFER, ENOSPC);
    auto* block = static_cast<std::uint8_t*>(lpData);
    std::memset(block, 0, size);
    std::memcpy(block, resource.data(), resource.size());
    std::memcpy(block + Align4(resource.size()), kMarker, sizeof kMarker);
    return TRUE;
}

BOOL VerQueryValueA(const void* pBlock, const char* lpSubBlock, void** lplpBuffer, UINT* puLen) {
    if (pBlock == nullptr || lpSubBlock == nullptr || lplpBuffer == nullptr || puLen == nullptr)
        return Fail(ERROR_INVALID_PARAMETER, EINVAL);
    // The block is writable memory the caller allocated for GetFileVersionInfoA; only the
    // mirror area is written.
    auto* block = static_cast<std::uint8_t*>(const_cast<void*>(pBlock));
    const std::size_t resourceBytes = Get16(block);
    auto node = ParseNode(block, 0, resourceBytes);
    if (!node) return Fail(ERROR_RESOURCE_DATA_NOT_FOUND, EINVAL);

    bool root = true;
    std::string_view path(lpSubBlock);
    while (!path.empty()) {
        const std::size_t slash = path.find('\\');
        const std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (part.empty()) continue;
        node = FindChild(block, *node, part);
        if (!node) return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND, ENOENT);
        root = false;
    }

    if (root || !node->text) {
        if (root && node->valueBytes == 0) return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND, ENOENT);
        *lplpBuffer = block + node->valueBegin;
        *puLen = static_cast<UINT>(node->valueBytes);
        return TRUE;
    }

    if (std::memcmp(block + Align4(resourceBytes), kMarker, sizeof kMarker) != 0)
        return Fail(ERROR_INVALID_PARAMETER, EINVAL);   // not a block GetFileVersionInfoA filled
    std::size_t units = 0;
    while (units < node->valueBytes / 2 && Get16(block + node->valueBegin + 2 * units) != 0) ++units;
    static char empty[1] = {};
    if (units == 0) {
        *lplpBuffer = empty;
        *puLen = node->valueBytes == 0 ? 0 : 1;
        return TRUE;
    }
    std::string text;
    AppendUtf8(text, block + node->valueBegin, units);
    char* mirror = reinterpret_cast<char*>(block + Align4(resourceBytes) + sizeof kMarker) + 2 * node->valueBegin;
    std::memcpy(mirror, text.c_str(), text.size() + 1);
    *lplpBuffer = mirror;
    *puLen = static_cast<UINT>(text.size() + 1);
    return TRUE;
}

}  // namespace win
