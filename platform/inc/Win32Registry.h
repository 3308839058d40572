#pragma once
// The three registry calls the tool makes, under their Win32 names, taking char16_t text.
// Windows: the SDK's own functions. POSIX: a read-only registry read from one .reg file,
// answering each call with the result code Windows (as Wine implements it) gives.
//
// On POSIX, worth knowing:
//   - The file is $MERIDEX_REGISTRY, else /etc/meridex/registry.reg, read once on the first
//     call. A missing file is an empty registry. A file that cannot be read or parsed gets
//     one line on standard error naming the file and the line, and the registry is empty.
//   - The predefined keys (HKEY_LOCAL_MACHINE, ...) are never closed. Every other handle
//     is an object of its own; a handle that was closed already, or was never ours, is
//     refused with ERROR_INVALID_HANDLE rather than followed.
//   - Nothing is ever written: there are no calls that write.

#include "UniqueHandle.h"
#include "Win32Types.h"

#ifdef _WIN32

[[nodiscard]] inline LONG RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD options, REGSAM access,
                                        PHKEY result) {
  return ::RegOpenKeyExW(key, reinterpret_cast<LPCWSTR>(subKey), options, access, result);
}

[[nodiscard]] inline LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* reserved, DWORD* type,
                                           BYTE* data, DWORD* size) {
  return ::RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(name), reserved, type, data, size);
}

// RegCloseKey takes no text: the SDK's declaration serves as it is.

#else  // POSIX

// Opens subKey below key. Only the backslash separates; a leading one is ERROR_BAD_PATHNAME,
// doubled or trailing ones are passed over. A null or empty subKey gives a predefined key
// back as it is and any other key as a new handle. *result is null after a failure.
[[nodiscard]] LONG RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD options, REGSAM access, PHKEY result);

// Reads a value (null or empty name: the key's default value). With data null only the
// size is reported. A buffer smaller than the value is left untouched, the call fails with
// ERROR_MORE_DATA and *size receives the size needed; *type is set in that case too.
[[nodiscard]] LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* reserved, DWORD* type, BYTE* data,
                                    DWORD* size);

[[nodiscard]] LONG RegCloseKey(HKEY key);

#endif  // _WIN32

// Owns one open registry key. A predefined key is not something to own: it is never
// handed to this owner.
struct RegistryKeyTraits {
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static void Close(Type key) { (void)RegCloseKey(key); }
};
using UniqueRegistryKey = CUniqueHandle<RegistryKeyTraits>;
