#pragma once
// Where Meridex keeps the database connection string, and reading it.

#include "Win32Types.h"

// Under HKEY_LOCAL_MACHINE.
inline constexpr char16_t kMeridexProductKey[] = u"SOFTWARE\\Talvora\\Meridex_4";
inline constexpr char16_t kMeridexDatabaseSubKey[] = u"Database";
inline constexpr char16_t kPreferredConnectionValue[] = u"GUI_MSSQLConnectString";
inline constexpr char16_t kFallbackConnectionValue[] = u"MSSQLConnectString";
inline constexpr REGSAM kConnectionSettingsAccess = KEY_READ;

// The run's buffer: 259 characters and the terminator.
inline constexpr DWORD kConnectionStringCapacity = 260;

// Copies the preferred value, else the fallback, into buffer (capacity characters) as a
// NUL-terminated string. A value that does not fit with its terminator counts as absent.
// On false the buffer is all zeros, the reason has been written to standard error and the
// last error says what failed last. A null buffer or a capacity of 0 fails at once with
// ERROR_INVALID_PARAMETER, before the registry is read and without a message.
[[nodiscard]] bool ReadConnectionString(char16_t* buffer, DWORD capacity);
