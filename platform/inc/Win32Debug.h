#pragma once
// The debugger output channel. OutputDebugStringW takes one terminated wide string,
// returns nothing and never fails the caller; a null string sends nothing.
//
// On Windows it is the real one: a debugger attached to the process sees the text. On
// POSIX the text is appended as UTF-8 to the file named by $MERIDEX_DEBUG_OUTPUT, and
// goes nowhere when that is unset; it never reaches standard output or error, where it
// would mix into what the operator reads. Neither errno nor the last error changes.

#include "Win32Types.h"

#ifdef _WIN32

inline void OutputDebugStringW(const char16_t* text) { ::OutputDebugStringW(reinterpret_cast<LPCWSTR>(text)); }

#else  // POSIX

void OutputDebugStringW(const char16_t* text);

#endif  // _WIN32
