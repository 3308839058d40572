#include "BoundedFormat.h"

#include "Win32Format.h"

HRESULT BoundedFormatCch(char16_t* destination, uint32_t capacityInCharacters, const char16_t* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const HRESULT result = BoundedFormatV(destination, capacityInCharacters, format, arguments);
  va_end(arguments);
  return result;
}

HRESULT BoundedFormatCb(char16_t* destination, uint32_t capacityInBytes, const char16_t* format, ...) {
  // An odd last byte cannot hold a character and is never written.
  const uint32_t capacityInCharacters = capacityInBytes / sizeof(char16_t);
  va_list arguments;
  va_start(arguments, format);
  const HRESULT result = BoundedFormatV(destination, capacityInCharacters, format, arguments);
  va_end(arguments);
  return result;
}

HRESULT BoundedFormatV(char16_t* destination, uint32_t capacityInCharacters, const char16_t* format,
                       va_list arguments) {
  // Every entry comes through here: a capacity above the limit, a null buffer or a null
  // format is refused instead of being handed to the formatter.
  if (capacityInCharacters == 0 || capacityInCharacters > kMaxFormatCapacity || destination == nullptr ||
      format == nullptr) {
    return E_INVALIDARG;
  }
  const std::size_t max = capacityInCharacters - 1;
  if (max == 0) {
    // Room for the terminator alone: only an empty output fits. The formatter is asked
    // with room for one character, never for none (Wine's msvcrt writes outside the
    // buffer when given none).
    char16_t probe[1];
    const int length = _vsnwprintf(probe, 1, format, arguments);
    destination[0] = u'\0';
    return length == 0 ? S_OK : kInsufficientBufferStatus;
  }
  const int written = _vsnwprintf(destination, max, format, arguments);
  if (written < 0 || static_cast<std::size_t>(written) > max) {
    destination[max] = u'\0';
    return kInsufficientBufferStatus;
  }
  // At exactly max characters the formatter had no room for the terminator.
  if (static_cast<std::size_t>(written) == max) destination[max] = u'\0';
  return S_OK;
}
