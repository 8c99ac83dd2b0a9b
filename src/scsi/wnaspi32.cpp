#include "scsi/wnaspi32.h"

namespace wnaspi32 {

win::HMODULE WNASPI32Handle = nullptr;
TAspiSendCommand SendASPI32Command = nullptr;
TAspiSupportInfo GetASPI32SupportInfo = nullptr;
bool WNASPI32Loaded = false;

void LoadWNASPI32() {
    if (WNASPI32Loaded) return;
    WNASPI32Handle = win::LoadLibraryA("WNASPI32.dll");
    WNASPI32Loaded = WNASPI32Handle != nullptr;
    if (!WNASPI32Loaded) return;
    SendASPI32Command =
        reinterpret_cast<TAspiSendCommand>(win::GetProcAddress(WNASPI32Handle, "SendASPI32Command"));
    GetASPI32SupportInfo =
        reinterpret_cast<TAspiSupportInfo>(win::GetProcAddress(WNASPI32Handle, "GetASPI32SupportInfo"));
}

void FreeWNASPI32() {
    if (!WNASPI32Loaded) return;
    win::FreeLibrary(WNASPI32Handle);
    WNASPI32Handle = nullptr;
    SendASPI32Command = nullptr;
    GetASPI32SupportInfo = nullptr;
    WNASPI32Loaded = false;
}

namespace {

// Ties the load to program start and the release to program end.
struct StartUpLoad {
    StartUpLoad() { LoadWNASPI32(); }
    ~StartUpLoad() { FreeWNASPI32(); }
} startUpLoad;

}  // namespace

}  // namespace wnaspi32
