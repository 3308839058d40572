#pragma once
// Text that the operator must read as exactly what it is: a name in the list file, a
// connection string, a driver's message or a path on the console. Whatever would not show
// as itself is written instead in a notation that a Windows file name cannot contain
// ('<' and '>' are not allowed in one), so it never reads as part of a real name:
// - a character that shows as nothing or as a blank, or that moves the cursor, breaks the
//   line or reorders text, and half of a surrogate pair: "<U+XXXX>", its code point in
//   upper-case hexadecimal, at least four digits. These are every Default_Ignorable_Code_Point,
//   the general categories Cc, Cf, Cs, Zl and Zp, every Zs but U+0020, the
//   noncharacters, and what draws a blank though no property says so (BRAILLE PATTERN
//   BLANK and the other names that end in BLANK or FILLER), as Unicode's data gives them
//   (VisibleTextRanges.inc, made by scripts/notation-table);
// - '<' itself ("<U+003C>"), so that no two values are shown alike; and in a value (a
//   name, a path) '"' ("<U+0022>"), which a CSV reader would take for the start of a
//   quoted field, and a space that ends it ("<U+0020>"), which Windows does not keep in
//   a file name;
// - a byte that is not part of well-formed UTF-8: "<xHH>", each byte on its own.
// Everything else (letters of any script, digits, punctuation, commas, U+FFFD itself,
// characters beyond the BMP) is written as its UTF-8, unchanged; NFC and NFD forms stay
// as they are.
//
// The notation sits with the platform because the platform's own messages (the registry
// file's) name paths too.

#include <string>
#include <string_view>

// What ends a value that was longer than what was read of it: the line is not the whole value.
inline constexpr std::string_view kVisibleCutMark = "<cut>";

// Appends text to out as UTF-8 in the notation above. Ordinary text costs what a plain
// UTF-8 conversion costs: no allocation beyond out's own growth.
void AppendVisibleUtf8(std::string& out, std::u16string_view text);
std::string VisibleUtf8(std::u16string_view text);

// The same for a message that quotes values (a driver's, the driver manager's) on the
// console, but for the two rules that serve values: a '"' and a last space show as
// themselves, as messages quote names with quotes ("relation \"filetree\"") and no CSV
// reader reads a console. '<' stays in the notation, so the notation's text in a message
// is always the notation.
void AppendVisibleMessage(std::string& out, std::u16string_view message);

// Stored bytes that should be UTF-8, as the text of a message (UTF-16, which ends at a
// NUL): each well-formed character as itself, and what such text cannot carry, a byte
// that is not part of one and a NUL, as the unpaired surrogate U+DC00 + the byte, which
// AppendVisibleMessage writes as the notation of that byte ("<xHH>", a NUL "<U+0000>"):
// a message that names a stored value shows its bytes as the list would.
std::u16string MessageTextOfBytes(std::string_view storedUtf8);

// Appends bytes that should be UTF-8, as a database or the system stores them: each well-
// formed character exactly as AppendVisibleUtf8 writes it, and each byte that is not part
// of one (an overlong form, a surrogate, anything above U+10FFFF, a truncated sequence,
// whose bytes are marked one by one) as "<xHH>". Ordinary text is copied as it is.
void AppendVisibleBytes(std::string& out, std::string_view storedUtf8);
std::string VisibleBytes(std::string_view storedUtf8);

// Whether a code point is written in the notation rather than as itself (wherever it
// stands; a space only at the end of a value).
bool NeedsVisibleNotation(char32_t codePoint);
