#pragma once
// The basic Win32 types, constants and the thread's last-error value, for both builds.
// On Windows these are the SDK's own; on POSIX they are declared here with the same
// sizes, so that structures that cross the database (FILETIME, VS_FIXEDFILEINFO) have
// one layout on both builds.
//
// Text: the rest of the tool uses char16_t for UTF-16. On Windows the SDK spells it
// wchar_t; the forwarders in this folder are the only place that converts between them.

#include <cstddef>
#include <cstdint>

#ifdef _WIN32

#include <windows.h>

#else  // POSIX

// unixODBC's sqltypes.h already declares a few of these (DWORD, WORD, BYTE, BOOL, HWND);
// ours must agree with it, so it comes first and we add only what it lacks.
#include <sqltypes.h>

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef int32_t LONG;
typedef int32_t HRESULT;
typedef uint64_t ULONGLONG;
typedef int64_t LONGLONG;
typedef uint32_t ACCESS_MASK;
typedef ACCESS_MASK REGSAM;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t SIZE_T;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
typedef FILETIME* LPFILETIME;

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
typedef SYSTEMTIME* LPSYSTEMTIME;

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define INVALID_FILE_SIZE (static_cast<DWORD>(0xFFFFFFFF))

// The predefined keys are sign-extended 32-bit values, as in the 64-bit SDK.
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<LONG>(0x80000000))))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<LONG>(0x80000001))))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<LONG>(0x80000002))))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<LONG>(0x80000003))))
#define HKEY_CURRENT_CONFIG (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<LONG>(0x80000005))))

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_FILE_INVALID 1006L
#define ERROR_NO_DATA 232L
#define ERROR_MORE_DATA 234L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L

#define S_OK (static_cast<HRESULT>(0))
#define E_INVALIDARG (static_cast<HRESULT>(0x80070057))
#define E_OUTOFMEMORY (static_cast<HRESULT>(0x8007000E))
#define STG_E_INVALIDNAME (static_cast<HRESULT>(0x800300FC))
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

#define READ_CONTROL 0x00020000L
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x80
#define PAGE_READONLY 0x02
#define FILE_MAP_READ 0x0004

void SetLastError(DWORD error);
DWORD GetLastError();

#endif  // _WIN32
