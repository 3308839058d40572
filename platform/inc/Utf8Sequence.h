#pragma once
// Stored text read strictly as UTF-8, as Unicode defines its well-formed byte sequences:
// no overlong form, no surrogate, nothing above U+10FFFF. A byte that begins no such
// sequence is not text and must not be taken for any character. The one reader of
// stored names: the row readers count a name's characters with it, and the visible
// notation marks what it refuses, so both take the same bytes for text.

#include <cstddef>
#include <cstdint>
#include <string_view>

// The length of the well-formed sequence at the start of bytes, and its code point; 0
// when the first byte begins none (bytes must not be empty). A sequence cut short, or
// whose next byte is no continuation byte, is none: its lead byte is refused alone, and
// the continuation bytes after it each in turn (none begins a sequence).
inline std::size_t Utf8Sequence(std::string_view bytes, char32_t& codePoint) {
  const auto at = [&](std::size_t i) { return static_cast<uint8_t>(bytes[i]); };
  const uint8_t b0 = at(0);
  if (b0 < 0x80) {
    codePoint = b0;
    return 1;
  }
  std::size_t length;
  uint8_t low = 0x80, high = 0xBF;  // the second byte's range
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;   // overlong below
    if (b0 == 0xED) high = 0x9F;  // surrogates above
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;   // overlong below
    if (b0 == 0xF4) high = 0x8F;  // beyond U+10FFFF above
  } else {
    return 0;
  }
  if (bytes.size() < length || at(1) < low || at(1) > high) return 0;
  codePoint = b0 & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if (i > 1 && (at(i) < 0x80 || at(i) > 0xBF)) return 0;
    codePoint = (codePoint << 6) | (at(i) & 0x3F);
  }
  return length;
}
