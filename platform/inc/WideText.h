#pragma once
// UTF-16 (char16_t) <-> UTF-8 conversion, the same on both builds.
// Unpaired surrogates become U+FFFD: a character never stops a conversion.

#include <cstddef>
#include <string>
#include <string_view>

// Appends the UTF-8 form of text to out.
void AppendUtf8(std::string& out, std::u16string_view text);
// Writes the UTF-8 form of one code point (1 to 4 bytes) at p; returns the position after it.
char* PutUtf8(char* p, char32_t codePoint);

constexpr bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
constexpr char32_t CombineSurrogates(char16_t high, char16_t low) {
  return 0x10000 + ((static_cast<char32_t>(high) - 0xD800) << 10) + (static_cast<char32_t>(low) - 0xDC00);
}
std::string ToUtf8(std::u16string_view text);

// Decodes UTF-8; invalid sequences become U+FFFD.
std::u16string FromUtf8(std::string_view text);
// Decodes UTF-8 strictly: the first invalid sequence stops the decoding and gives false,
// out then holding the text before it. For input where a silent change would be wrong.
bool DecodeUtf8Strict(std::string_view text, std::u16string& out);

// The UTF-16 units that `bytes` holds in the given byte order, at most maxUnits of them
// (an odd last byte is no unit), into out. For text a database stores as UTF-16.
void Utf16FromBytes(std::string_view bytes, bool littleEndian, std::u16string& out,
                    std::size_t maxUnits = std::u16string::npos);

// An ASCII capital as its small letter; every other unit as it is. Names that Windows
// compares without case in ASCII only (keys of a connection string, resource names) use it.
constexpr char16_t FoldAscii(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// The value of a hexadecimal digit (either case), or -1 for any other unit.
constexpr int HexDigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Length of a NUL-terminated UTF-16 string (null counts as empty).
std::size_t WideLength(const char16_t* text);
