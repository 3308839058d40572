#pragma once
// The file services the tool uses: opening a file (also for its attributes only), its
// size and times, read-only memory mapping, and the conversion of a FILETIME to calendar
// time. On Windows these are the SDK's functions behind char16_t forwarders; on POSIX our
// own, which give the results and last-error values that Windows gives (Wine is the
// reference the tests are checked against).
//
// POSIX notes:
// - A path is taken as it is, converted to UTF-8; a backslash is an ordinary character
//   in a Linux file name, not a separator. A path holding an unpaired surrogate has no
//   UTF-8 form and is refused (ERROR_INVALID_NAME) rather than opening another file.
// - Only OPEN_EXISTING, for reading or for the attributes only, is supported: the tool
//   only reads files it is given (write access is ERROR_ACCESS_DENIED). Share modes are
//   accepted but not enforced, since nothing else on Linux honours them.
// - Only regular files are opened (a directory or anything else is ERROR_ACCESS_DENIED):
//   a FIFO or a device could block the run or has no meaningful contents to identify.
// - Mapping is of files only (no page-file sections, no named mappings), read-only.

#include "UniqueHandle.h"
#include "Win32Types.h"

#ifdef _WIN32

inline HANDLE CreateFileW(const char16_t* path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
  return ::CreateFileW(reinterpret_cast<LPCWSTR>(path), access, share, security, disposition, flags, templateFile);
}

inline HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect, DWORD maxHigh,
                                 DWORD maxLow, const char16_t* name) {
  return ::CreateFileMappingW(file, security, protect, maxHigh, maxLow, reinterpret_cast<LPCWSTR>(name));
}

// An unnamed mapping is asked for with a literal nullptr, which would otherwise match the
// SDK's declaration and ours alike.
inline HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect, DWORD maxHigh,
                                 DWORD maxLow, std::nullptr_t) {
  return ::CreateFileMappingW(file, security, protect, maxHigh, maxLow, static_cast<LPCWSTR>(nullptr));
}

#else  // POSIX

#define PAGE_READWRITE 0x04
#define PAGE_WRITECOPY 0x08
#define FILE_MAP_WRITE 0x0002
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_INVALID_NAME 123L
#define ERROR_INVALID_ADDRESS 487L
#define ERROR_MAPPED_ALIGNMENT 1132L
#define ERROR_CANT_RESOLVE_FILENAME 1921L

HANDLE CreateFileW(const char16_t* path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite);
DWORD GetFileSize(HANDLE file, DWORD* high);
HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect, DWORD maxHigh,
                          DWORD maxLow, const char16_t* name);
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes);
BOOL UnmapViewOfFile(LPCVOID address);

#define MEM_COMMIT 0x1000
#define MEM_MAPPED 0x40000

struct MEMORY_BASIC_INFORMATION {
  LPVOID BaseAddress;
  LPVOID AllocationBase;
  DWORD AllocationProtect;
  SIZE_T RegionSize;
  DWORD State;
  DWORD Protect;
  DWORD Type;
};
typedef MEMORY_BASIC_INFORMATION* PMEMORY_BASIC_INFORMATION;

// Describes the pages of a view made by MapViewOfFile from the page that holds address to
// the view's end, as Windows describes a read-only view: RegionSize is whole pages. Other
// memory is not described here (0, ERROR_INVALID_PARAMETER).
SIZE_T VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T length);

BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);

#endif  // _WIN32

// CreateFileW fails with INVALID_HANDLE_VALUE, CreateFileMappingW with null.
struct FileHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { (void)::CloseHandle(h); }
};
struct MappingHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { (void)::CloseHandle(h); }
};
struct MappedViewTraits {
  using Type = LPCVOID;
  static Type Invalid() { return nullptr; }
  static void Close(Type view) { (void)::UnmapViewOfFile(view); }
};

using UniqueFileHandle = CUniqueHandle<FileHandleTraits>;
using UniqueMappingHandle = CUniqueHandle<MappingHandleTraits>;
using UniqueMappedView = CUniqueHandle<MappedViewTraits>;
