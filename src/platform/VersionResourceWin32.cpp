// The version-resource functions on Windows: version.dll's own.
#include "platform/VersionResource.h"

#include <cerrno>

#include "platform/HandleTable.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace win {

static_assert(sizeof(VS_FIXEDFILEINFO) == sizeof(::VS_FIXEDFILEINFO));

DWORD GetFileVersionInfoSizeA(const char* lptstrFilename, DWORD* lpdwHandle) {
    ::DWORD handle = 0;
    const ::DWORD size = ::GetFileVersionInfoSizeA(lptstrFilename, &handle);
    if (lpdwHandle != nullptr) *lpdwHandle = handle;
    if (size == 0) detail::SetLastFailure(::GetLastError(), ENOENT);
    return size;
}

BOOL GetFileVersionInfoA(const char* lptstrFilename, DWORD dwHandle, DWORD dwLen, void* lpData) {
    const BOOL ok = ::GetFileVersionInfoA(lptstrFilename, dwHandle, dwLen, lpData);
    if (!ok) detail::SetLastFailure(::GetLastError(), EIO);
    return ok;
}

BOOL VerQueryValueA(const void* pBlock, const char* lpSubBlock, void** lplpBuffer, UINT* puLen) {
    return ::VerQueryValueA(pBlock, lpSubBlock, lplpBuffer, puLen);
}

}  // namespace win
