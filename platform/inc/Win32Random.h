#pragma once
// The system's cryptographic random source. RtlGenRandom fills `length` bytes of `buffer`
// and answers TRUE, or answers FALSE; after a failure the buffer's contents mean nothing
// and must not be used. GenerateRandomBytes, what the tool calls, is the same with a
// reason always left in the thread's last error when it fails.
//
// On Windows it is the real one (advapi32's SystemFunction036). On POSIX the bytes come
// from the kernel's getrandom, or /dev/urandom where that call does not exist; both
// block only until the kernel's pool has been seeded once after boot.

#include "Win32Types.h"

#ifdef _WIN32

#include <ntsecapi.h>

[[nodiscard]] inline bool GenerateRandomBytes(void* buffer, ULONG length) {
  // RtlGenRandom promises no last error; the caller must have a reason to show.
  if (RtlGenRandom(buffer, length)) return true;
  if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_INVALID_DATA);
  return false;
}

#else  // POSIX

typedef unsigned char BOOLEAN;

// Sets the last error when it fails.
[[nodiscard]] BOOLEAN RtlGenRandom(void* buffer, ULONG length);

[[nodiscard]] inline bool GenerateRandomBytes(void* buffer, ULONG length) {
  return RtlGenRandom(buffer, length) != FALSE;
}

#endif  // _WIN32
