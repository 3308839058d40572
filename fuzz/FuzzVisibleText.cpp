// UTF-16 text as the list file and the console show it: a name a driver gives as UTF-16
// (any units, lone surrogates too) as a value, and a driver's message. What is shown is
// well-formed UTF-8 without a control or a lone surrogate left raw, and reads back as
// exactly the units that were given. In a message, which ends at a NUL, a stored byte
// that is not UTF-8 stands as U+DC00 + the byte (MessageTextOfBytes) and shows as the
// byte's notation, "<xHH>", a NUL byte (U+DC00) as "<U+0000>".
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "NotationReader.h"
#include "VisibleText.h"
#include "WideText.h"

namespace {

void CheckReadsBack(std::u16string_view text, const std::string& shown, bool message) {
  notation_reader::CheckNoControl(shown);
  std::u16string wide;
  if (!DecodeUtf8Strict(shown, wide)) __builtin_trap();
  // The bytes written as themselves are whole UTF-8 characters: collect them, decode them.
  std::u16string back;
  std::string plain;
  const auto flush = [&] {
    std::u16string units;
    if (!DecodeUtf8Strict(plain, units)) __builtin_trap();
    back += units;
    plain.clear();
  };
  notation_reader::Read(
      shown, [&](unsigned char b) { plain.push_back(static_cast<char>(b)); },
      [&](char32_t c) {
        flush();
        if (message && c == 0) c = 0xDC00;
        if (c >= 0x10000) {
          back.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
          back.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
          back.push_back(static_cast<char16_t>(c));
        }
      },
      [&](unsigned char b) {
        if (!message || b < 0x80) __builtin_trap();  // text of units holds no bytes
        flush();
        back.push_back(static_cast<char16_t>(0xDC00 | b));
      });
  flush();
  if (back != text) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text(size / 2, u'\0');
  for (size_t i = 0; i + 1 < size; i += 2) text[i / 2] = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  const std::string value = VisibleUtf8(text);
  CheckReadsBack(text, value, false);
  if (value.find('"') != std::string::npos) __builtin_trap();  // a CSV reader would start a quoted field
  const std::u16string_view asMessage = std::u16string_view(text).substr(0, text.find(u'\0'));
  std::string message;
  AppendVisibleMessage(message, asMessage);
  CheckReadsBack(asMessage, message, true);
  return 0;
}
