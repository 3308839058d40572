#pragma once
// Text that the operator must read as exactly what it is: a name in the list file, a
// connection string echoed on the console. A character that would not show as itself
// (a control that moves the cursor, breaks the line or erases it, a mark that reorders or
// hides text, half of a surrogate pair) is written instead as "<U+XXXX>", its code point
// in upper-case hexadecimal, at least four digits. '<' and '>' cannot occur in a Windows
// file name, so the notation never reads as part of a real name; a '<' that a stored
// value holds anyway is written "<U+003C>" too, so that no two values are shown alike.
// Everything else (letters of any script, digits, punctuation, commas and quotes,
// characters beyond the BMP) is written as its UTF-8, unchanged.

#include <string>
#include <string_view>

// What ends a value that was longer than what was read of it: the line is not the whole value.
inline constexpr std::string_view kVisibleCutMark = "<cut>";

// Appends text to out as UTF-8 in the notation above. Ordinary text costs what a plain
// UTF-8 conversion costs: no allocation beyond out's own growth.
void AppendVisibleUtf8(std::string& out, std::u16string_view text);
std::string VisibleUtf8(std::u16string_view text);
// The same for text given as its stored UTF-8 bytes: each byte that is not part of a
// well-formed UTF-8 sequence is written "<xHH>", its value in upper-case hexadecimal.
void AppendVisibleBytes(std::string& out, std::string_view storedUtf8);

// Whether a code point is written in the notation rather than as itself.
bool NeedsVisibleNotation(char32_t codePoint);
