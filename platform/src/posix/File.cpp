#include "Win32File.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

#include "FileTestHooks.h"
#include "HandleTable.h"
#include "PosixPath.h"
#include "UniqueDescriptor.h"

namespace {

// What a handle stands for. Its descriptor is owned by the table's entry: closing the
// handle closes it.
struct FileObject {
  int fd;
  bool readable;
};
// A mapping keeps its own descriptor, so that it outlives the file handle it was made
// from, as a section does on Windows.
struct MappingObject {
  int fd;
  uint64_t size;
};
using KernelObject = std::variant<FileObject, MappingObject>;

// The open file and mapping handles (a stale or forged one is ERROR_INVALID_HANDLE), and
// the mapped views by address.
class CFileObjects {
 public:
  // object.fd is descriptor's value; the table owns it from now on. Null when full.
  HANDLE Add(KernelObject object, UniqueDescriptor descriptor) {
    std::lock_guard lock(m_mutex);
    return reinterpret_cast<HANDLE>(m_objects.Add(Entry{object, std::move(descriptor)}));
  }

  // Copies the object out; false for an unknown handle.
  bool Find(HANDLE handle, KernelObject& object) {
    std::lock_guard lock(m_mutex);
    const Entry* entry = m_objects.Find(reinterpret_cast<uintptr_t>(handle));
    if (entry == nullptr) return false;
    object = entry->object;
    return true;
  }

  // Forgets the handle and closes its descriptor; false for an unknown handle.
  bool Remove(HANDLE handle) {
    std::lock_guard lock(m_mutex);
    return m_objects.Remove(reinterpret_cast<uintptr_t>(handle));
  }

  void AddView(const void* base, std::size_t length) {
    std::lock_guard lock(m_mutex);
    m_views.emplace(reinterpret_cast<uintptr_t>(base), length);
  }

  // The view that contains address (Windows accepts any address inside a view).
  bool FindView(const void* address, uintptr_t& base, std::size_t& length) {
    std::lock_guard lock(m_mutex);
    const auto it = ViewContaining(address);
    if (it == m_views.end()) return false;
    base = it->first;
    length = it->second;
    return true;
  }

  // Takes the view that contains address.
  bool RemoveView(const void* address, void*& base, std::size_t& length) {
    std::lock_guard lock(m_mutex);
    const auto it = ViewContaining(address);
    if (it == m_views.end()) return false;
    base = reinterpret_cast<void*>(it->first);
    length = it->second;
    m_views.erase(it);
    return true;
  }

 private:
  struct Entry {
    KernelObject object;
    UniqueDescriptor descriptor;
  };

  std::mutex m_mutex;
  CHandleTable<Entry> m_objects;
  std::map<uintptr_t, std::size_t> m_views;  // base -> length

  std::map<uintptr_t, std::size_t>::iterator ViewContaining(const void* address) {
    const auto a = reinterpret_cast<uintptr_t>(address);
    auto it = m_views.upper_bound(a);
    if (it == m_views.begin()) return m_views.end();
    --it;
    return a - it->first < it->second ? it : m_views.end();
  }
};

CFileObjects& Handles() {
  static CFileObjects table;
  return table;
}

// The access rights that read a file's data or write any of it (FILE_READ_DATA;
// FILE_WRITE_DATA, FILE_APPEND_DATA, GENERIC_ALL).
constexpr DWORD kFileReadData = 0x0001;
constexpr DWORD kAnyWriteAccess = 0x0002 | 0x0004 | 0x10000000u;

// Windows' view offsets must be multiples of the allocation granularity.
constexpr uint64_t kAllocationGranularity = 64 * 1024;
// 100-ns intervals from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;
constexpr uint64_t kLargestFileTime = 0x7FFFFFFFFFFFFFFFULL;
// Days from 1601-01-01 to 1970-01-01, the epoch of std::chrono's calendar.
constexpr int kDaysFrom1601To1970 = static_cast<int>(kUnixEpochAsFileTime / 864000000000LL);

FILETIME ToFileTime(const timespec& t) {
  // Times before 1601 or past 30828 cannot be expressed; they are held at the ends of the
  // range rather than wrapped into some other date.
  constexpr int64_t kEarliest = -kUnixEpochAsFileTime / 10000000;
  constexpr int64_t kLatest = (static_cast<int64_t>(kLargestFileTime) - kUnixEpochAsFileTime) / 10000000 - 1;
  const int64_t seconds = static_cast<int64_t>(t.tv_sec);
  uint64_t value = 0;
  if (seconds > kLatest) {
    value = kLargestFileTime;
  } else if (seconds >= kEarliest) {
    value = static_cast<uint64_t>(seconds * 10000000 + t.tv_nsec / 100 + kUnixEpochAsFileTime);
  }
  return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

bool FindFile(HANDLE handle, FileObject& file) {
  KernelObject object;
  if (!Handles().Find(handle, object) || !std::holds_alternative<FileObject>(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  file = std::get<FileObject>(object);
  return true;
}

// The status of the file behind a file handle; false with the last error set.
bool StatFile(HANDLE handle, struct stat& st) {
  FileObject file;
  if (!FindFile(handle, file)) return false;
  if (::fstat(file.fd, &st) != 0) {
    SetLastError(Win32ErrorFromErrno(errno, {}));
    return false;
  }
  return true;
}

}  // namespace

HANDLE CreateFileW(const char16_t* path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES /*security*/,
                   DWORD disposition, DWORD /*flags*/, HANDLE /*templateFile*/) {
  constexpr DWORD kAllShareModes = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if ((share & ~kAllShareModes) != 0 || disposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if ((access & (GENERIC_WRITE | kAnyWriteAccess)) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);  // the tool only reads files
    return INVALID_HANDLE_VALUE;
  }
  std::string native;
  if (!PosixPathFromWide(path, native)) return INVALID_HANDLE_VALUE;

  // Access 0 asks for the attributes only: O_PATH needs no read permission, as Windows
  // grants attribute queries on files its caller cannot read.
  const int mode = (access & (GENERIC_READ | kFileReadData)) != 0 ? O_RDONLY : O_PATH;
  // O_NONBLOCK: opening a FIFO must not hang the run waiting for a writer; such files
  // are refused below anyway.
  UniqueDescriptor fd(::open(native.c_str(), mode | O_CLOEXEC | O_NOCTTY | (mode == O_PATH ? 0 : O_NONBLOCK)));
  if (!fd) {
    SetLastError(Win32ErrorFromErrno(errno, native));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st {};
  DWORD error = ERROR_SUCCESS;
  if (::fstat(fd.get(), &st) != 0) {
    error = Win32ErrorFromErrno(errno, native);
  } else if (!S_ISREG(st.st_mode)) {
    // Windows opens a directory only for backup semantics, which the tool never asks for.
    error = ERROR_ACCESS_DENIED;
  } else if (mode != O_PATH) {
    const int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl < 0 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) error = Win32ErrorFromErrno(errno, native);
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  const FileObject file{fd.get(), mode == O_RDONLY};
  const HANDLE handle = Handles().Add(file, std::move(fd));
  SetLastError(handle != nullptr ? ERROR_SUCCESS : ERROR_TOO_MANY_OPEN_FILES);
  return handle != nullptr ? handle : INVALID_HANDLE_VALUE;
}

BOOL CloseHandle(HANDLE handle) {
  if (!Handles().Remove(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL GetFileTime(HANDLE handle, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite) {
  struct stat st {};
  if (!StatFile(handle, st)) return FALSE;
  // The creation time is the last-write time, which is what Wine reports for a Linux
  // file: the birth time that statx can give is deliberately not used, so that a record
  // built by the Linux build equals the one the Windows build makes of the same file.
  if (creation != nullptr) *creation = ToFileTime(st.st_mtim);
  if (lastAccess != nullptr) *lastAccess = ToFileTime(st.st_atim);
  if (lastWrite != nullptr) *lastWrite = ToFileTime(st.st_mtim);
  return TRUE;
}

DWORD GetFileSize(HANDLE handle, DWORD* high) {
  struct stat st {};
  if (!StatFile(handle, st)) return INVALID_FILE_SIZE;
  const auto size = static_cast<uint64_t>(st.st_size);
  if (high != nullptr) *high = static_cast<DWORD>(size >> 32);
  const auto low = static_cast<DWORD>(size & 0xFFFFFFFFu);
  // A size whose low half is INVALID_FILE_SIZE is told from a failure by the last error.
  if (low == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
  return low;
}

namespace {

std::mutex g_beforeMappingLock;
std::function<void()> g_beforeMapping;

}  // namespace

void RunBeforeNextMapping(std::function<void()> action) {
  const std::lock_guard<std::mutex> lock(g_beforeMappingLock);
  g_beforeMapping = std::move(action);
}

HANDLE CreateFileMappingW(HANDLE handle, LPSECURITY_ATTRIBUTES security, DWORD protect, DWORD maxHigh,
                          DWORD maxLow, const char16_t* name) {
  std::function<void()> beforeMapping;
  {
    const std::lock_guard<std::mutex> lock(g_beforeMappingLock);
    beforeMapping.swap(g_beforeMapping);
  }
  if (beforeMapping) beforeMapping();
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    // A section backed by the page file; the tool never needs one.
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  FileObject file;
  if (!FindFile(handle, file)) return nullptr;
  if (name != nullptr && name[0] != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);  // named sections are not supported
    return nullptr;
  }
  if (protect != PAGE_READONLY) {
    SetLastError(protect == PAGE_READWRITE || protect == PAGE_WRITECOPY ? ERROR_ACCESS_DENIED
                                                                        : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!file.readable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(file.fd, &st) != 0) {
    SetLastError(Win32ErrorFromErrno(errno, {}));
    return nullptr;
  }
  const auto fileSize = static_cast<uint64_t>(st.st_size);
  const uint64_t requested = (static_cast<uint64_t>(maxHigh) << 32) | maxLow;
  if (requested == 0 && fileSize == 0) {
    SetLastError(ERROR_FILE_INVALID);  // an empty file cannot be mapped
    return nullptr;
  }
  if (requested > fileSize) {
    // A read-only section cannot grow its file.
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  UniqueDescriptor fd(::fcntl(file.fd, F_DUPFD_CLOEXEC, 0));
  if (!fd) {
    SetLastError(Win32ErrorFromErrno(errno, {}));
    return nullptr;
  }
  const MappingObject mapping{fd.get(), requested != 0 ? requested : fileSize};
  const HANDLE section = Handles().Add(mapping, std::move(fd));
  SetLastError(section != nullptr ? ERROR_SUCCESS : ERROR_TOO_MANY_OPEN_FILES);
  return section;
}

LPVOID MapViewOfFile(HANDLE handle, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes) {
  KernelObject object;
  if (!Handles().Find(handle, object) || !std::holds_alternative<MappingObject>(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const MappingObject& mapping = std::get<MappingObject>(object);
  if ((access & FILE_MAP_WRITE) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
  if (offset % kAllocationGranularity != 0) {
    SetLastError(ERROR_MAPPED_ALIGNMENT);
    return nullptr;
  }
  if (offset >= mapping.size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const uint64_t available = mapping.size - offset;
  if (static_cast<uint64_t>(bytes) > available) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const uint64_t length = bytes != 0 ? bytes : available;
  if (length > SIZE_MAX) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // NOTE: unlike Windows, Linux lets another process shorten a mapped file; reading the
  // lost part of the view then raises SIGBUS. Nothing portable prevents that.
  void* view = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_SHARED, mapping.fd,
                      static_cast<off_t>(offset));
  if (view == MAP_FAILED) {
    SetLastError(errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : Win32ErrorFromErrno(errno, {}));
    return nullptr;
  }
  Handles().AddView(view, static_cast<std::size_t>(length));
  SetLastError(ERROR_SUCCESS);
  return view;
}

BOOL UnmapViewOfFile(LPCVOID address) {
  void* base = nullptr;
  std::size_t length = 0;
  if (!Handles().RemoveView(address, base, length)) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  ::munmap(base, length);
  return TRUE;
}

SIZE_T VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T length) {
  uintptr_t base = 0;
  std::size_t viewLength = 0;
  if (info == nullptr || length < sizeof *info || !Handles().FindView(address, base, viewLength)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t first = reinterpret_cast<uintptr_t>(address) / page * page;
  const uintptr_t end = (base + viewLength + page - 1) / page * page;
  *info = MEMORY_BASIC_INFORMATION{reinterpret_cast<LPVOID>(first), reinterpret_cast<LPVOID>(base), PAGE_READONLY,
                                   end - first, MEM_COMMIT, PAGE_READONLY, MEM_MAPPED};
  return sizeof *info;
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
  if (fileTime == nullptr || systemTime == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const uint64_t value = (static_cast<uint64_t>(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
  // Windows refuses the values with the high bit set; the output is left untouched.
  if (value > kLargestFileTime) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Milliseconds are truncated, not rounded, as on Windows.
  const uint64_t milliseconds = value / 10000;
  const uint64_t msOfDay = milliseconds % 86400000;
  // The proleptic Gregorian calendar, whose dates run from 1601 to 30828 here: well
  // inside what the calendar types hold (years up to 32767).
  const auto daysSince1601 = static_cast<int>(milliseconds / 86400000);
  const std::chrono::sys_days date{std::chrono::days{daysSince1601 - kDaysFrom1601To1970}};
  const std::chrono::year_month_day calendar{date};

  systemTime->wYear = static_cast<WORD>(static_cast<int>(calendar.year()));
  systemTime->wMonth = static_cast<WORD>(static_cast<unsigned>(calendar.month()));
  systemTime->wDayOfWeek = static_cast<WORD>(std::chrono::weekday{date}.c_encoding());
  systemTime->wDay = static_cast<WORD>(static_cast<unsigned>(calendar.day()));
  systemTime->wHour = static_cast<WORD>(msOfDay / 3600000);
  systemTime->wMinute = static_cast<WORD>(msOfDay / 60000 % 60);
  systemTime->wSecond = static_cast<WORD>(msOfDay / 1000 % 60);
  systemTime->wMilliseconds = static_cast<WORD>(msOfDay % 1000);
  return TRUE;
}
