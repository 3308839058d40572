// Stored bytes as the list file and the console show them (a name, a path, a system
// message): any bytes at all come from a database or the file system. What is shown is
// well-formed UTF-8 without a control, an invalid byte or a surrogate left raw, and reads
// back as exactly the bytes that were stored; the strict readers of stored text agree on
// which bytes are not text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "NotationReader.h"
#include "Utf8Sequence.h"
#include "VisibleText.h"
#include "WideText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view stored(reinterpret_cast<const char*>(data), size);
  const std::string shown = VisibleBytes(stored);
  notation_reader::CheckNoControl(shown);
  std::u16string wide;
  if (!DecodeUtf8Strict(shown, wide)) __builtin_trap();  // no invalid byte, no surrogate raw

  std::string back;
  std::size_t marked = 0;
  notation_reader::Read(
      shown, [&](unsigned char b) { back.push_back(static_cast<char>(b)); },
      [&](char32_t c) {
        char utf8[4];
        back.append(utf8, static_cast<std::size_t>(PutUtf8(utf8, c) - utf8));
      });
  for (std::size_t at = shown.find("<x"); at != std::string::npos; at = shown.find("<x", at + 1)) ++marked;
  if (back != stored) __builtin_trap();

  // The row reader's walk marks the same bytes as the notation, and the strict decoder
  // refuses exactly the stored text that has one.
  std::size_t refused = 0;
  for (std::size_t i = 0; i < size;) {
    char32_t c = 0;
    const std::size_t length = Utf8Sequence(stored.substr(i), c);
    refused += length == 0;
    i += length == 0 ? 1 : length;
  }
  if (refused != marked) __builtin_trap();
  std::u16string decoded;
  if (DecodeUtf8Strict(stored, decoded) != (marked == 0)) __builtin_trap();
  if (marked == 0 && VisibleUtf8(decoded) != shown) __builtin_trap();
  return 0;
}
