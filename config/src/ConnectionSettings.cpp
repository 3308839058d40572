#include "ConnectionSettings.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>

#include "Console.h"
#include "RegistryKey.h"

namespace {

// The messages name the level that failed; the error code is not shown.
void Report(std::string_view line) {
  std::string text(line);
  text += '\n';
  (void)ConsoleWriteUtf8(ConsoleStream::Error, text);
}

// Fails with the message, the buffer cleared, and the last error as the failure left it
// (writing the message may change it).
bool Refuse(std::initializer_list<std::string_view> lines, char16_t* buffer, DWORD capacity) {
  const DWORD error = GetLastError();
  std::fill_n(buffer, capacity, u'\0');
  for (std::string_view line : lines) Report(line);
  SetLastError(error);
  return false;
}

}  // namespace

bool ReadConnectionString(char16_t* buffer, DWORD capacity) {
  if (buffer == nullptr || capacity == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  CRegistryKey key(HKEY_LOCAL_MACHINE);
  if (!key.Open(kMeridexProductKey, kConnectionSettingsAccess)) {
    return Refuse({"Failed to read from registry: Meridex registry is missing.",
                   "This tool must run on a machine with Meridex installed "},
                  buffer, capacity);
  }
  if (!key.Open(kMeridexDatabaseSubKey, kConnectionSettingsAccess)) {
    return Refuse({"Failed to read from registry: The Database configuration in registry is missing"}, buffer,
                  capacity);
  }
  for (const char16_t* name : {kPreferredConnectionValue, kFallbackConnectionValue}) {
    // A fresh zeroed buffer for each read: nothing a failed read left behind may trail the
    // next value, and a value shorter than the buffer ends up terminated.
    std::fill_n(buffer, capacity, u'\0');
    DWORD bytes = 0;
    if (!key.QueryValue(name, buffer, capacity, &bytes)) continue;
    // A value that reaches the last character without a NUL of its own has no room for
    // its terminator: it does not fit, like a larger one.
    if (std::find(buffer, buffer + capacity, u'\0') != buffer + capacity) return true;
    SetLastError(ERROR_MORE_DATA);
  }
  return Refuse({"Failed to read from registry: The Database configuration in registry is corrupted"}, buffer,
                capacity);
}
