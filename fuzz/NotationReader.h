#pragma once
// Reads the visible notation back, for the fuzzers of the notation: every '<' in what is
// shown opens a notation ('<' itself is written as "<U+003C>"), so what was shown can be
// read back without doubt. Whatever is not the notation's own text stops the fuzzer.
#include <cstddef>
#include <string>
#include <string_view>

#include "VisibleText.h"

namespace notation_reader {

inline int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;  // the notation writes capitals only
  return -1;
}

// Calls onByte(b) for each byte written as itself, onMarkedByte(b) for each "<xHH>", and
// onCodePoint(c) for each "<U+XXXX>"; traps on a '<' that opens no notation, a code point
// written with too many or too few digits, or one that the notation would have written
// as itself.
template <typename OnByte, typename OnCodePoint, typename OnMarkedByte>
void Read(std::string_view shown, OnByte onByte, OnCodePoint onCodePoint, OnMarkedByte onMarkedByte) {
  std::size_t i = 0;
  while (i < shown.size()) {
    if (shown[i] != '<') {
      onByte(static_cast<unsigned char>(shown[i++]));
      continue;
    }
    const std::size_t close = shown.find('>', i);
    if (close == std::string_view::npos) __builtin_trap();
    const std::string_view inner = shown.substr(i + 1, close - i - 1);
    unsigned value = 0;
    const bool isByte = inner.size() == 3 && inner[0] == 'x';
    const std::size_t digits = isByte ? 1 : 2;
    if (!isByte && (inner.size() < 6 || inner.size() > 8 || inner.substr(0, 2) != "U+")) __builtin_trap();
    for (std::size_t k = digits; k < inner.size(); ++k) {
      if (Hex(inner[k]) < 0) __builtin_trap();
      value = value * 16 + static_cast<unsigned>(Hex(inner[k]));
    }
    if (isByte) {
      onMarkedByte(static_cast<unsigned char>(value));
    } else {
      // The shortest form, and only for what the notation writes (a space only at the end).
      if ((inner.size() > 6 && value <= (inner.size() == 7 ? 0xFFFFu : 0xFFFFFu)) ||
          (!NeedsVisibleNotation(value) && !(value == ' ' && close + 1 == shown.size()))) {
        __builtin_trap();
      }
      onCodePoint(static_cast<char32_t>(value));
    }
    i = close + 1;
  }
}

// The same where a marked byte stands for the byte itself.
template <typename OnByte, typename OnCodePoint>
void Read(std::string_view shown, OnByte onByte, OnCodePoint onCodePoint) {
  Read(shown, onByte, onCodePoint, onByte);
}

// No byte that a terminal or an editor acts on: no C0 control, no DEL, no C1 in UTF-8.
inline void CheckNoControl(std::string_view shown) {
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const auto b = static_cast<unsigned char>(shown[i]);
    if (b < 0x20 || b == 0x7F) __builtin_trap();
    if (b == 0xC2 && i + 1 < shown.size() && static_cast<unsigned char>(shown[i + 1]) < 0xA0) __builtin_trap();
  }
}

}  // namespace notation_reader
