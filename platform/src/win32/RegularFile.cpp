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
  // The new file's name as Windows takes it, made before the file: Abandon runs from the
  // destructor, also while the run unwinds from a failed allocation, and must not need one.
  std::u16string temporary;
  // Which file was put in place, and its change time then, taken from the handle that
  // holds it. NOTE: Wine answers a volume serial of 0 for a handle whose file was renamed
  // since it was opened: the hold is opened by the final name, after the move.
  BY_HANDLE_FILE_INFORMATION identity = {};
  LARGE_INTEGER changed = {};
};

namespace {

// Marks the open file for deletion when its last handle closes, or takes the mark away.
bool SetDeletedOnClose(HANDLE file, bool deleted) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = deleted ? TRUE : FALSE;
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

bool ChangeTime(HANDLE file, LARGE_INTEGER& changed) {
  FILE_BASIC_INFO basic;
  if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) return false;
  changed = basic.ChangeTime;
  return true;
}

}  // namespace

CReplacementFile::CReplacementFile() : m_handles(std::make_unique<Handles>()) {}

CReplacementFile::~CReplacementFile() { Abandon(); }

std::string CReplacementFile::BadHandleReason() const { return SystemReason(ERROR_INVALID_HANDLE); }

void CReplacementFile::DiscardFile() {
  // The file is marked for deletion: closing it removes it, also when the process ends
  // without closing it itself.
  m_handles->file.reset();
  m_handles->temporary.clear();
}

bool CReplacementFile::BeginFile(std::string& reason) {
  const std::u16string wide = FromUtf8(m_path);
  // What the name holds now is opened as it is (a link itself, not what it leads to) only
  // to be looked at, and closed again: nothing of it is changed. Opening it for writing
  // is what Windows refuses for a read-only file, a directory, or a file in use.
  {
    UniqueFileHandle existing(::CreateFileW(W(wide), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!existing && ::GetLastError() != ERROR_FILE_NOT_FOUND) return reason = SystemReason(::GetLastError()), false;
    // Nothing to open, yet the name may be taken: by a link to nothing, which Wine shows
    // to no call but the one that would create the name. It is asked, for a file that
    // goes again when its handle closes (also if the run is ended right here).
    if (!existing) {
      const UniqueFileHandle probe(::CreateFileW(W(wide), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
      if (!probe) {
        const DWORD error = ::GetLastError();
        return reason = error == ERROR_FILE_EXISTS ? std::string(kNotARegularFile) : SystemReason(error), false;
      }
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (existing && (::GetFileType(existing.get()) != FILE_TYPE_DISK ||
                     !::GetFileInformationByHandle(existing.get(), &info) ||
                     (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
                     !IsWhereItsNameIs(existing.get(), wide))) {
      return reason = kNotARegularFile, false;
    }
    // NOTE: Wine lets an administrator (root) open a read-only file for writing, and
    // replace it; Windows refuses both. The attribute is what the operator set: it holds.
    if (existing && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
      return reason = SystemReason(ERROR_ACCESS_DENIED), false;
    }
  }
  // A new name of our own, made only if nothing has it, and marked at once for deletion
  // when its handle closes: however the process ends before the move, the file goes with
  // it. Others may read it and, once it is in place, rename or delete it (IsInPlace
  // tells); the move below needs the latter.
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::u16string name = FromUtf8(TemporaryNameBeside(m_path, ::GetCurrentProcessId(), attempt));
    UniqueFileHandle file(::CreateFileW(W(name), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return reason = SystemReason(error), false;
      continue;
    }
    if (!SetDeletedOnClose(file.get(), true)) {
      reason = SystemReason(::GetLastError());
      (void)::DeleteFileW(W(name));
      return false;
    }
    m_handles->file = std::move(file);
    m_handles->temporary = std::move(name);
    return true;
  }
  return reason = SystemReason(ERROR_FILE_EXISTS), false;
}

std::size_t CReplacementFile::WriteSome(const char* data, std::size_t size, std::string& reason) {
  const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
  DWORD written = 0;
  if (!::WriteFile(m_handles->file.get(), data, chunk, &written, nullptr)) {
    reason = SystemReason(::GetLastError());
    return 0;
  }
  if (written == 0) reason = SystemReason(ERROR_WRITE_FAULT);
  return written;
}

bool CReplacementFile::FlushFile(std::string& reason) {
  if (::FlushFileBuffers(m_handles->file.get())) return true;
  reason = SystemReason(::GetLastError());
  return false;
}

bool CReplacementFile::PutInPlace(std::string& reason) {
  Handles& h = *m_handles;
  const std::u16string wide = FromUtf8(m_path);
  // The mark comes off just before the move, and goes back on if the move fails.
  // Write-through: the move returns once the new name is on disk.
  if (!SetDeletedOnClose(h.file.get(), false) ||
      !::MoveFileExW(W(h.temporary), W(wide), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    reason = SystemReason(::GetLastError());
    (void)SetDeletedOnClose(h.file.get(), true);
    return false;
  }
  h.temporary.clear();
  // From now on the list is held so that no program of this system can change, delete,
  // rename or replace it while the question is on the screen: this share mode refuses
  // every opening for writing or deletion. (The write handle could not: the move above
  // needed it to share deletion.) What share modes do not reach (the host under Wine,
  // another client of a network share) IsInPlace still sees; it compares what the name
  // leads to with the file put in place, so it needs no handle, and works without the hold.
  h.file.reset();
  h.file.reset(::CreateFileW(W(wide), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  // Without the hold (another program opened the list first), it is looked at all the same.
  const UniqueFileHandle look(h.file ? INVALID_HANDLE_VALUE
                                     : ::CreateFileW(W(wide), FILE_READ_ATTRIBUTES,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  const HANDLE placed = h.file ? h.file.get() : look.get();
  if (!::GetFileInformationByHandle(placed, &h.identity) || !ChangeTime(placed, h.changed)) {
    h.identity = {};
    h.changed = {};
  }
  return true;
}

bool CReplacementFile::FlushFolder(std::string&) { return true; }

bool CReplacementFile::StillInPlace(std::string& reason) {
  BY_HANDLE_FILE_INFORMATION named;
  LARGE_INTEGER changed = {};
  UniqueFileHandle current(::CreateFileW(W(FromUtf8(m_path)), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!current || !::GetFileInformationByHandle(current.get(), &named)) {
    reason = "it is no longer there";
  } else if (named.dwVolumeSerialNumber != m_handles->identity.dwVolumeSerialNumber ||
             named.nFileIndexHigh != m_handles->identity.nFileIndexHigh ||
             named.nFileIndexLow != m_handles->identity.nFileIndexLow) {
    reason = "another file has its name now";
  } else if (((static_cast<uint64_t>(named.nFileSizeHigh) << 32) | named.nFileSizeLow) != m_written ||
             !ChangeTime(current.get(), changed) || changed.QuadPart != m_handles->changed.QuadPart) {
    reason = "it was changed since it was written";
  } else {
    return true;
  }
  return false;
}

bool CReplacementFile::ReadBack(uint64_t offset, char* data, std::size_t size) {
  if (!m_committed || !m_handles->file) return false;
  while (size > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD read = 0;
    if (!::ReadFile(m_handles->file.get(), data, chunk, &read, &at) || read == 0) return false;
    data += read;
    size -= read;
    offset += read;
  }
  return true;
}

bool IsFolderGuarded(const char*, std::string& folder) {
  folder.clear();
  return true;
}
