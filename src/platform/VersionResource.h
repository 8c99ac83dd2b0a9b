// The version-resource functions: a file's VS_VERSIONINFO, read from a Windows PE image's
// resources (RT_VERSION), and queries into it. A file without one (an ELF library, a text
// file) has no version information, as a DLL without a version resource has on Windows.
#pragma once

#include "platform/WinApi.h"

namespace win {

constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;

// The binary value of the root block ("\").
struct VS_FIXEDFILEINFO {
    DWORD dwSignature;   // 0xFEEF04BD
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);
constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BDu;

// A bare name (no '/') names a library already loaded in this process when there is one
// (so "wnaspi32.dll" is the file LoadLibraryA found), else a file in the working directory.
// Returns the bytes GetFileVersionInfoA needs, or 0 with GetLastError set: the file cannot be
// opened, is not a PE image (ERROR_BAD_EXE_FORMAT), or carries no well-formed version
// resource (ERROR_RESOURCE_TYPE_NOT_FOUND / ERROR_RESOURCE_DATA_NOT_FOUND). *lpdwHandle := 0.
DWORD GetFileVersionInfoSizeA(const char* lptstrFilename, DWORD* lpdwHandle);

// Fills lpData with the version block. Unlike Windows it does not truncate: a buffer smaller
// than GetFileVersionInfoSizeA reported fails with ERROR_INSUFFICIENT_BUFFER, because a cut
// block would send later queries past its end.
BOOL GetFileVersionInfoA(const char* lptstrFilename, DWORD dwHandle, DWORD dwLen, void* lpData);

// Queries a block GetFileVersionInfoA filled: "\" gives the VS_FIXEDFILEINFO (size in
// bytes), "\VarFileInfo\Translation" the language/code-page pairs (size in bytes),
// "\StringFileInfo\<lang><cp>\<key>" the text as a zero-terminated narrow (UTF-8) string and
// its size including the terminator (0 for a key stored without a value). Keys compare
// without regard to ASCII case. Text results live inside the block; queries write there, so
// one block must not be queried from two threads at once.
BOOL VerQueryValueA(const void* pBlock, const char* lpSubBlock, void** lplpBuffer, UINT* puLen);

}  // namespace win
