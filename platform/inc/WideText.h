#pragma once
// UTF-16 (char16_t) <-> UTF-8 conversion, the same on both builds.
// Unpaired surrogates become U+FFFD: a character never stops a conversion.

#include <cstddef>
#include <string>
#include <string_view>

// Appends the UTF-8 form of text to out.
void AppendUtf8(std::string& out, std::u16string_view text);
std::string ToUtf8(std::u16string_view text);

// Decodes UTF-8; invalid sequences become U+FFFD.
std::u16string FromUtf8(std::string_view text);
// Decodes UTF-8 strictly: the first invalid sequence stops the decoding and gives false,
// out then holding the text before it. For input where a silent change would be wrong.
bool DecodeUtf8Strict(std::string_view text, std::u16string& out);

// Length of a NUL-terminated UTF-16 string (null counts as empty).
std::size_t WideLength(const char16_t* text);
