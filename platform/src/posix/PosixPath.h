#pragma once
// Shared by the POSIX file and version services: how a Win32 path becomes a Linux one,
// and how errno becomes the Win32 error that Windows (checked under Wine) gives.

#include <string>

#include "Win32Types.h"

// The UTF-8 form of a NUL-terminated UTF-16 path, taken as it is (a backslash is a file
// name character on Linux). False with the last error set for a null or empty path
// (ERROR_PATH_NOT_FOUND) and for one holding an unpaired surrogate, which has no UTF-8
// form and must not silently name another file (ERROR_INVALID_NAME).
[[nodiscard]] bool PosixPathFromWide(const char16_t* path, std::string& native);

// The Win32 error for an errno of an operation on path. A missing entry is told apart as
// Windows does: ERROR_PATH_NOT_FOUND when its directory is missing too.
[[nodiscard]] DWORD Win32ErrorFromErrno(int error, const std::string& path);
