#include "SameFile.h"

#include <windows.h>

#include "UniqueHandle.h"

namespace {

struct FileTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type handle) { (void)::CloseHandle(handle); }
};

bool Identify(const char16_t* path, BY_HANDLE_FILE_INFORMATION& info) {
  // Opened for its attributes only, sharing everything: the database stays open in the
  // driver meanwhile.
  const CUniqueHandle<FileTraits> file(::CreateFileW(reinterpret_cast<LPCWSTR>(path), 0,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file && ::GetFileInformationByHandle(file.get(), &info) != 0;
}

}  // namespace

bool IsSameFile(const char16_t* first, const char16_t* second) {
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  return Identify(first, a) && Identify(second, b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}
