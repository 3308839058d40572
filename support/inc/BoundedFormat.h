#pragma once
// Formatting wide text into a caller's fixed buffer, never past it. The results follow
// the published contract of StringCchPrintfW / StringCbPrintfW:
//   S_OK                        the whole output fit; the buffer is terminated
//   E_INVALIDARG                capacity 0 or above 0x7FFFFFFF characters; buffer untouched
//   kInsufficientBufferStatus   the output was cut to capacity - 1 characters and terminated
// A null destination or format is E_INVALIDARG too, and BoundedFormatV applies the same
// capacity limit as the entry points. The Cb form uses capacity / 2 characters: an odd last
// byte is never written. A format the platform's formatter refuses leaves an empty string
// and kInsufficientBufferStatus.

#include <cstdarg>
#include <cstdint>

#include "Win32Types.h"

constexpr HRESULT kInsufficientBufferStatus = static_cast<HRESULT>(0x8007007A);
constexpr uint32_t kMaxFormatCapacity = 0x7FFFFFFF;

[[nodiscard]] HRESULT BoundedFormatCch(char16_t* destination, uint32_t capacityInCharacters, const char16_t* format, ...);
[[nodiscard]] HRESULT BoundedFormatCb(char16_t* destination, uint32_t capacityInBytes, const char16_t* format, ...);
[[nodiscard]] HRESULT BoundedFormatV(char16_t* destination, uint32_t capacityInCharacters, const char16_t* format,
                                     va_list arguments);
