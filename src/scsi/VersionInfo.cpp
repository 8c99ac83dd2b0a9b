#include "scsi/VersionInfo.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/VersionResource.h"

TVersionInfo::TVersionInfo(const std::string& FileName) {
    win::DWORD handle = 0;
    const win::DWORD size = win::GetFileVersionInfoSizeA(FileName.c_str(), &handle);
    if (size == 0) return;
    std::vector<std::uint8_t> block(size);
    if (!win::GetFileVersionInfoA(FileName.c_str(), handle, size, block.data())) return;

    // The first translation only: language id, then code page; none gives 0 and 0.
    std::uint16_t language = 0;
    std::uint16_t codePage = 0;
    void* value = nullptr;
    win::UINT length = 0;
    if (win::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length) && length >= 4) {
        std::memcpy(&language, value, 2);
        std::memcpy(&codePage, static_cast<const std::uint8_t*>(value) + 2, 2);
    }
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "\\StringFileInfo\\%04X%04X\\", unsigned{language},
                  unsigned{codePage});

    static constexpr struct {
        const char* key;
        std::string TVersionInfo::*field;
    } kKeys[] = {
        {"CompanyName", &TVersionInfo::CompanyName},
        {"FileDescription", &TVersionInfo::FileDescription},
        {"FileVersion", &TVersionInfo::FileVersion},
        {"InternalName", &TVersionInfo::InternalName},
        {"LegalCopyright", &TVersionInfo::LegalCopyright},
        {"LegalTrademarks", &TVersionInfo::LegalTrademarks},
        {"OriginalFilename", &TVersionInfo::OriginalFilename},
        {"ProductName", &TVersionInfo::ProductName},
        {"ProductVersion", &TVersionInfo::ProductVersion},
        {"Comments", &TVersionInfo::Comments},
    };
    for (const auto& k : kKeys) {
        const std::string path = std::string(prefix) + k.key;
        if (win::VerQueryValueA(block.data(), path.c_str(), &value, &length) && value != nullptr)
            this->*k.field = static_cast<const char*>(value);
    }
}
