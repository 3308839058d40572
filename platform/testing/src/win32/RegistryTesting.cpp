#include "RegistryTesting.h"

#include <string>

#include "WideText.h"
#include "Win32Types.h"

bool ImportRegistryFileForTesting(const std::string& path) {
  // regedit wants a Windows path; "/tmp/..." becomes "Z:\tmp\..." under Wine, whose
  // current drive is the one that maps the Unix root.
  const std::u16string wide = FromUtf8(path);
  wchar_t full[4096];
  const DWORD length = ::GetFullPathNameW(reinterpret_cast<const wchar_t*>(wide.c_str()), 4096, full, nullptr);
  if (length == 0 || length >= 4096) return false;

  std::wstring command = L"regedit.exe /S \"";
  command += full;
  command += L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 1;
  const BOOL known = ::GetExitCodeProcess(process.hProcess, &exitCode);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return known && exitCode == 0;
}

// Windows keeps no count of registry handles that a test could read (and Wine's process
// handle count is always 0).
long OpenRegistryKeysForTesting() { return -1; }
