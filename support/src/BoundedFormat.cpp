#include "BoundedFormat.h"

#include "Win32Format.h"

HRESULT BoundedFormatCch(char16_t* destination, uint32_t capacityInCharacters, const char16_t* format, ...) {
  if (capacityInCharacters > kMaxFormatCapacity) return E_INVALIDARG;
  va_list arguments;
  va_start(arguments, format);
  const HRESULT result = BoundedFormatV(destination, capacityInCharacters, format, arguments);
  va_end(arguments);
  return result;
}

HRESULT BoundedFormatCb(char16_t* destination, uint32_t capacityInBytes, const char16_t* format, ...) {
  // An odd last byte cannot hold a character and is never written.
  const uint32_t capacityInCharacters = capacityInBytes / sizeof(char16_t);
  if (capacityInCharacters > kMaxFormatCapacity) return E_INVALIDARG;
  va_list arguments;
  va_start(arguments, format);
  const HRESULT result = BoundedFormatV(destination, capacityInCharacters, format, arguments);
  va_end(arguments);
  return result;
}

HRESULT BoundedFormatV(char16_t* destination, uint32_t capacityInCharacters, const char16_t* format,
                       va_list arguments) {
  // The limit is checked here too, since callers may come straight to this worker; a null
  // buffer or format is refused the same way instead of being handed to the formatter.
  if (capacityInCharacters == 0 || capacityInCharacters > kMaxFormatCapacity || destination == nullptr ||
      format == nullptr) {
    return E_INVALIDARG;
  }
  const std::size_t max = capacityInCharacters - 1;
  const int written = _vsnwprintf(destination, max, format, arguments);
  if (written < 0 || static_cast<std::size_t>(written) > max) {
    destination[max] = u'\0';
    return kInsufficientBufferStatus;
  }
  // At exactly max characters the formatter had no room for the terminator.
  if (static_cast<std::size_t>(written) == max) destination[max] = u'\0';
  return S_OK;
}
