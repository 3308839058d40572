#pragma once
// Version resources of executable images. On Windows the SDK's version.dll behind
// char16_t forwarders; on POSIX our own reader of PE images (32- and 64-bit), which finds
// the version resource as the Windows loader does and fails, for any other file, with the
// error that Windows gives.

#include "Win32Types.h"

#ifdef _WIN32

// WIN32_LEAN_AND_MEAN leaves the version API out of windows.h.
#include <winver.h>

inline DWORD GetFileVersionInfoSizeW(const char16_t* path, DWORD* handle) {
  return ::GetFileVersionInfoSizeW(reinterpret_cast<LPCWSTR>(path), handle);
}

inline BOOL GetFileVersionInfoW(const char16_t* path, DWORD handle, DWORD length, void* data) {
  return ::GetFileVersionInfoW(reinterpret_cast<LPCWSTR>(path), handle, length, data);
}

inline BOOL VerQueryValueW(const void* block, const char16_t* subBlock, void** value, UINT* length) {
  return ::VerQueryValueW(block, reinterpret_cast<LPCWSTR>(subBlock), value, length);
}

#else  // POSIX

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;
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

// The size a caller must offer GetFileVersionInfoW: as on Windows, twice the resource plus
// four bytes (room Windows keeps for the ANSI forms of the strings). 0 on failure, with
// ERROR_RESOURCE_DATA_NOT_FOUND for a file that is no PE image or has no version resource.
// *handle, when given, is set to 0.
DWORD GetFileVersionInfoSizeW(const char16_t* path, DWORD* handle);

// Copies the version resource (VS_VERSIONINFO) into data, at most length bytes, and, when
// there is room, the four bytes "FE2X" after it, as Windows does. handle is ignored.
BOOL GetFileVersionInfoW(const char16_t* path, DWORD handle, DWORD length, void* data);

// Finds a value in a block returned by GetFileVersionInfoW: "\" for the VS_FIXEDFILEINFO,
// "\StringFileInfo\<lang-cp>\<name>", "\VarFileInfo\Translation". *value points into the
// caller's block; *length is in bytes for binary values and in characters for text.
// Keys compare without regard to case. A missing key is ERROR_RESOURCE_TYPE_NOT_FOUND.
// Nothing is read beyond the root block's own length.
// Whatever a hostile image holds, every value handed back lies inside the block.
BOOL VerQueryValueW(const void* block, const char16_t* subBlock, void** value, UINT* length);

#endif  // _WIN32

static_assert(sizeof(VS_FIXEDFILEINFO) == 52);
