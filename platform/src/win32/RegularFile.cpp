#include "RegularFile.h"

#include <fcntl.h>
#include <io.h>

#include <string_view>

#include "WideText.h"
#include "Win32File.h"

namespace {

// A C runtime descriptor, once the file handle has been given to it.
struct CrtDescriptorTraits {
  using Type = int;
  static Type Invalid() { return -1; }
  static void Close(Type fd) { (void)::_close(fd); }
};
using UniqueCrtDescriptor = CUniqueHandle<CrtDescriptorTraits>;

const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::string SystemMessage(DWORD error) {
  char text[512];
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                             sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
  return n > 0 ? std::string(text, n) : "error " + std::to_string(error);
}

std::u16string FinalPath(HANDLE h) {
  wchar_t buffer[4096];
  const DWORD n = ::GetFinalPathNameByHandleW(h, buffer, 4096, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= 4096) return std::u16string();
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), n);
}

bool SameText(std::u16string_view a, std::u16string_view b) {
  return ::CompareStringOrdinal(reinterpret_cast<const wchar_t*>(a.data()), static_cast<int>(a.size()),
                                reinterpret_cast<const wchar_t*>(b.data()), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// True when the opened file is the one its name leads to in its own directory. A link
// resolves elsewhere; this also sees links that are not reparse points to the system
// that runs us (a Unix symbolic link under Wine). The directory is resolved the same way,
// so junctions, mapped drives and short names in the directory's own path do not count.
bool IsWhereItsNameIs(HANDLE file, const std::u16string& path) {
  wchar_t full[4096];
  wchar_t* name = nullptr;
  const DWORD n = ::GetFullPathNameW(W(path), 4096, full, &name);
  if (n == 0 || n >= 4096 || name == nullptr) return false;
  const std::u16string fileName(reinterpret_cast<const char16_t*>(name));
  *name = L'\0';
  UniqueFileHandle directory(::CreateFileW(full, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!directory) return false;
  std::u16string expected = FinalPath(directory.get());
  const std::u16string actual = FinalPath(file);
  if (expected.empty() || actual.empty()) return false;
  if (expected.back() != u'\\') expected.push_back(u'\\');
  return SameText(actual, expected + fileName);
}

}  // namespace

const char* const kNotARegularFile = "it is not a regular file (a link, a pipe or a device has that name)";

std::FILE* CreateRegularFileForWriting(const char* path, std::string& reason) {
  const std::u16string wide = FromUtf8(path != nullptr ? path : "");
  // A new file first; only when the name exists is it opened as it is, so that a link
  // whose target is missing never makes one. Either way the link itself is opened, not
  // what it points to, and nothing is emptied before it is known to be a regular file.
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  UniqueFileHandle file(::CreateFileW(W(wide), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, flags, nullptr));
  if (!file && ::GetLastError() == ERROR_FILE_EXISTS) {
    file = UniqueFileHandle(::CreateFileW(W(wide), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr));
  }
  if (!file) {
    reason = SystemMessage(::GetLastError());
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(file.get()) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      !IsWhereItsNameIs(file.get(), wide)) {
    reason = kNotARegularFile;
    return nullptr;
  }
  if (!::SetEndOfFile(file.get())) {
    reason = SystemMessage(::GetLastError());
    return nullptr;
  }
  UniqueCrtDescriptor fd(::_open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_WRONLY | _O_BINARY));
  if (!fd) {
    reason = "the file cannot be given to the C runtime";
    return nullptr;
  }
  (void)file.release();  // the descriptor owns it now
  std::FILE* stream = ::_fdopen(fd.get(), "wb");
  if (stream == nullptr) {
    reason = "the file cannot be given to the C runtime";
    return nullptr;
  }
  (void)fd.release();  // the stream owns it now
  return stream;
}
