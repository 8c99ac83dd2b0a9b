// The Windows 95 family transport: an ASPI library loaded at run time.
#include "scsi/zqSCSI.h"

#include <memory>

#include "scsi/VersionInfo.h"

namespace {

struct AspiLibrary {
    const char* file;
    const char* supportInfoEntry;
    const char* sendCommandEntry;
    std::uint8_t accessMethod;
};

constexpr AspiLibrary kLibraries[] = {
    {"wnaspi32.dll", "GetASPI32SupportInfo", "SendASPI32Command", kAccessWnaspi32},
    {"asapi.dll", "GetASAPI32SupportInfo", "SendASAPI32Command", kAccessAsapi},
};

}  // namespace

// A library loaded here stays loaded for the life of the process, as the transport's module
// state may point into it; a later construction loading it again only raises its count.
win::HMODULE LoadAspiTransport(TzqSCSI& scsi) {
    for (const AspiLibrary& library : kLibraries) {
        win::HMODULE module = win::LoadLibraryA(library.file);
        if (module == nullptr) continue;
        AspiSupportInfo = reinterpret_cast<TAspiSupportInfo>(win::GetProcAddress(module, library.supportInfoEntry));
        AspiSendCommand = reinterpret_cast<TAspiSendCommand>(win::GetProcAddress(module, library.sendCommandEntry));
        scsi.AccessMethod = library.accessMethod;
        // Read, not shown: one message box per command would stop every burn.
        scsi.LibraryVersion = std::make_shared<TVersionInfo>(library.file);
        return module;
    }
    return nullptr;
}
