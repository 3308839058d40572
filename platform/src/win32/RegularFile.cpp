#include "RegularFile.h"

#include <string_view>

#include "../common/TemporaryName.h"
#include "WideText.h"
#include "Win32File.h"

namespace {

constexpr int kNameAttempts = 100;

const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

// The system's own words for an error, as the operator would read them in Windows, in
// UTF-8 like every other text the tool writes (the ANSI form would be another code page).
std::string SystemReason(DWORD error) {
  wchar_t text[512];
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                             sizeof text / sizeof text[0], nullptr);
  while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ')) --n;
  if (n == 0) return "error " + std::to_string(error);
  std::string reason;
  AppendUtf8(reason, std::u16string_view(reinterpret_cast<const char16_t*>(text), n));
  return reason;
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

struct CReplacementFile::Handles {
  UniqueFileHandle file;
  // Which file it is, taken while it still has the name it was created with.
  // NOTE: Wine answers a volume serial of 0 for a handle whose file was renamed since it
  // was opened; the file's identity does not change with a rename on Windows either.
  BY_HANDLE_FILE_INFORMATION identity = {};
  // The temporary name as Windows takes it, kept from its creation: Abandon runs from the
  // destructor, also while the run unwinds from a failed allocation, and must not need one.
  std::u16string temporary;
};

CReplacementFile::CReplacementFile() : m_handles(std::make_unique<Handles>()) {}

CReplacementFile::~CReplacementFile() { Abandon(); }

bool CReplacementFile::Fail(const std::string& reason) {
  m_reason = reason;
  Abandon();
  return false;
}

void CReplacementFile::Abandon() {
  if (m_committed) return;
  m_handles->file.reset();
  if (!m_handles->temporary.empty()) (void)::DeleteFileW(W(m_handles->temporary));
  m_handles->temporary.clear();
  m_temporary.clear();
}

bool CReplacementFile::Create(const char* path) {
  Abandon();
  m_handles->file.reset();
  m_path = path != nullptr ? path : "";
  m_reason.clear();
  m_written = 0;
  m_committed = false;
  const std::u16string wide = FromUtf8(m_path);
  // What the name holds now is opened as it is (a link itself, not what it leads to) only
  // to be looked at, and closed again: nothing of it is changed. Opening it for writing
  // is what Windows refuses for a read-only file, a directory, or a file in use.
  {
    UniqueFileHandle existing(::CreateFileW(W(wide), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!existing && ::GetLastError() != ERROR_FILE_NOT_FOUND) return Fail(SystemReason(::GetLastError()));
    // Nothing to open, yet the name may be taken: by a link to nothing, which Wine shows
    // to no call but the one that would create the name. It is asked, for a file that
    // goes again when its handle closes (also if the run is ended right here).
    if (!existing) {
      const UniqueFileHandle probe(::CreateFileW(W(wide), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
      if (!probe) {
        const DWORD error = ::GetLastError();
        return Fail(error == ERROR_FILE_EXISTS ? std::string(kNotARegularFile) : SystemReason(error));
      }
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (existing && (::GetFileType(existing.get()) != FILE_TYPE_DISK ||
                     !::GetFileInformationByHandle(existing.get(), &info) ||
                     (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
                     !IsWhereItsNameIs(existing.get(), wide))) {
      return Fail(kNotARegularFile);
    }
    // NOTE: Wine lets an administrator (root) open a read-only file for writing, and
    // replace it; Windows refuses both. The attribute is what the operator set: it holds.
    if (existing && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) return Fail(SystemReason(ERROR_ACCESS_DENIED));
  }
  // A new name of our own, made only if nothing has it. Others may read it and, once it
  // is in place, rename or delete it (IsInPlace tells); the rename below needs the latter.
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = TemporaryNameBeside(m_path, ::GetCurrentProcessId(), attempt);
    std::u16string wideName = FromUtf8(name);
    const HANDLE file = ::CreateFileW(W(wideName), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      m_handles->file.reset(file);
      m_temporary = name;
      m_handles->temporary = std::move(wideName);
      if (!::GetFileInformationByHandle(file, &m_handles->identity)) return Fail(SystemReason(::GetLastError()));
      return true;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return Fail(SystemReason(error));
  }
  return Fail(SystemReason(ERROR_FILE_EXISTS));
}

bool CReplacementFile::Write(const char* data, std::size_t size) {
  if (!m_handles->file || m_committed) return Fail(SystemReason(ERROR_INVALID_HANDLE));
  while (size > 0) {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(m_handles->file.get(), data, chunk, &written, nullptr)) return Fail(SystemReason(::GetLastError()));
    if (written == 0) return Fail(SystemReason(ERROR_WRITE_FAULT));
    data += written;
    size -= written;
    m_written += written;
  }
  return true;
}

bool CReplacementFile::Commit() {
  if (!m_handles->file || m_committed) return Fail(SystemReason(ERROR_INVALID_HANDLE));
  if (!::FlushFileBuffers(m_handles->file.get())) return Fail(SystemReason(::GetLastError()));
  // Write-through: the call returns once the new name is on disk.
  if (!::MoveFileExW(W(m_handles->temporary), W(FromUtf8(m_path)), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Fail(SystemReason(::GetLastError()));
  }
  m_committed = true;
  m_temporary.clear();
  m_handles->temporary.clear();
  // From now on the list is held so that no program of this system can change, delete,
  // rename or replace it while the question is on the screen: this share mode refuses
  // every opening for writing or deletion. (The write handle could not: the rename above
  // needed it to share deletion.) What share modes do not reach (the host under Wine,
  // another client of a network share) IsInPlace still sees; it compares what the name
  // leads to with the file created, so it needs no handle, and works without the hold.
  m_handles->file.reset();
  m_handles->file.reset(::CreateFileW(W(FromUtf8(m_path)), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return true;
}

bool CReplacementFile::IsInPlace() {
  BY_HANDLE_FILE_INFORMATION named;
  if (!m_committed) {
    m_reason = "it was never written";
    return false;
  }
  UniqueFileHandle current(::CreateFileW(W(FromUtf8(m_path)), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!current || !::GetFileInformationByHandle(current.get(), &named)) {
    m_reason = "it is no longer there";
  } else if (named.dwVolumeSerialNumber != m_handles->identity.dwVolumeSerialNumber ||
             named.nFileIndexHigh != m_handles->identity.nFileIndexHigh ||
             named.nFileIndexLow != m_handles->identity.nFileIndexLow) {
    m_reason = "another file has its name now";
  } else if (((static_cast<uint64_t>(named.nFileSizeHigh) << 32) | named.nFileSizeLow) != m_written) {
    m_reason = "it was changed since it was written";
  } else {
    return true;
  }
  return false;
}
