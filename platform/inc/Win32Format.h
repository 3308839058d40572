#pragma once
// Wide-string formatting and comparison under their Win32 / C runtime names.
//
// _vsnwprintf (msvcrt's): writes at most count characters of the output. When the whole
// output fits it returns its length and writes a terminator only if there is room for
// one (length == count leaves the buffer unterminated). When the output is longer than
// count it writes the first count characters and returns a negative number.
// In a wide format %s and %c take wide text, %hs, %S, %hc and %C narrow text; "l" is
// Windows' 32-bit long; a null string prints as "(null)".
//
// wsprintfW (user32's): the buffer is taken to hold 1024 characters. The output is always
// terminated: an output of at most 1022 characters is stored whole and its length
// returned; a longer one is stored cut to its first 1023 characters and the result is
// 1024, which callers read as "the limit was reached". Unlike _vsnwprintf it knows no
// "+", " " or "*" in a directive and no octal.
//
// lstrcmpW: case-sensitive comparison; -1, 0 or 1. Null sorts before every string,
// the empty one included, and two nulls are equal.
//
// On Windows these are the real ones. On POSIX they are ours, built to give the same
// answers; whatever our formatter does not support (floating point, %n, length
// modifiers Windows does not know, unknown conversions, a width or precision beyond
// INT_MAX) it refuses: it returns a negative number and leaves an empty string where it
// had room for one. It never reads an argument as a type the format did not name.

#include <cstdarg>
#include <cstddef>

#include "Win32Types.h"

#ifdef _WIN32

#include <wchar.h>

// With the UCRT, mingw-w64 turns _vsnwprintf into an inline over a different engine;
// Windows' own msvcrt.dll export is the behaviour this tool is written against.
#ifdef _UCRT
#error "The Windows build must link msvcrt: _vsnwprintf has to be msvcrt.dll's"
#endif

inline int _vsnwprintf(char16_t* buffer, size_t count, const char16_t* format, va_list args) {
  return ::_vsnwprintf(reinterpret_cast<wchar_t*>(buffer), count, reinterpret_cast<const wchar_t*>(format), args);
}

inline int wsprintfW(char16_t* buffer, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = ::wvsprintfW(reinterpret_cast<LPWSTR>(buffer), reinterpret_cast<LPCWSTR>(format), args);
  va_end(args);
  return result;
}

inline int lstrcmpW(const char16_t* left, const char16_t* right) {
  return ::lstrcmpW(reinterpret_cast<LPCWSTR>(left), reinterpret_cast<LPCWSTR>(right));
}

#else  // POSIX

int _vsnwprintf(char16_t* buffer, size_t count, const char16_t* format, va_list args);
int wsprintfW(char16_t* buffer, const char16_t* format, ...);
int lstrcmpW(const char16_t* left, const char16_t* right);

#endif  // _WIN32

// The buffer size that wsprintfW assumes, in characters.
inline constexpr int kWsprintfBufferCharacters = 1024;
