// The ASPI library as the program loads it at start: "WNASPI32.dll" and its two entry points,
// kept for the life of the process. The device-access object loads and resolves its library
// on its own; this is the start-up load, which nothing else reads.
#pragma once

#include "platform/WinApi.h"
#include "scsi/scsidefs.h"

namespace wnaspi32 {

extern win::HMODULE WNASPI32Handle;
extern TAspiSendCommand SendASPI32Command;
extern TAspiSupportInfo GetASPI32SupportInfo;
extern bool WNASPI32Loaded;

// Program start: load the library and resolve both entries; the flag says whether it loaded.
// Runs by itself before main in a program that links this unit (the front ends do, through
// TAspiStartUpLoad); a second call is harmless.
void LoadWNASPI32();
// Program end: release the library if it was loaded and clear the handle and both entries.
// Runs by itself after main.
void FreeWNASPI32();

}  // namespace wnaspi32
