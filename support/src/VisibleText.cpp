#include "VisibleText.h"

#include <cstdint>

#include "Utf8Sequence.h"
#include "WideText.h"

namespace {

// The widest form of the notation: a tag character (U+E0000 and up) takes five digits,
// "<U+E0041>". Any other code point or a lone surrogate takes eight bytes.
constexpr std::size_t kNotationBytes = 9;

char* PutNotation(char* p, char32_t codePoint) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  *p++ = '<';
  *p++ = 'U';
  *p++ = '+';
  const int digits = codePoint > 0xFFFFF ? 6 : codePoint > 0xFFFF ? 5 : 4;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) *p++ = kHex[(codePoint >> shift) & 0xF];
  *p++ = '>';
  return p;
}

}  // namespace

bool NeedsVisibleNotation(char32_t c) {
  if (c < 0x80) return c < 0x20 || c == 0x7F || c == '<';
  if (c < 0xA0) return true;  // C1 controls, NEL among them
  // Marks that are invisible or that reorder text: soft hyphen, the Arabic letter mark,
  // zero-width space, joiners and direction marks, the line and paragraph separators
  // (editors break the line there), embeddings and overrides, the word joiner and the
  // invisible operators, isolates and the deprecated format controls, the byte-order
  // mark, the interlinear annotation marks, and the invisible tag characters.
  if (c == 0x00AD || c == 0x061C || c == 0xFEFF) return true;
  if ((c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F)) return true;
  if (c >= 0xFFF9 && c <= 0xFFFB) return true;
  if (c >= 0xE0000 && c <= 0xE007F) return true;
  // Not characters at all: half of a surrogate pair on its own, and the two noncharacters
  // of the BMP's end (U+FFFE is a byte-order mark read the wrong way round).
  return (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF;
}

void AppendVisibleUtf8(std::string& out, std::u16string_view text) {
  // Every listed name comes through here. Room for ordinary text is made once (no unit
  // takes more than 3 bytes) and written through a pointer; a character in the notation
  // takes more, and makes its room when it comes. Before each unit, at least 3 bytes per
  // unit still to come are free.
  const std::size_t n = text.size();
  const std::size_t start = out.size();
  out.resize(start + 3 * n);
  char* p = out.data() + start;
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t c = text[i];
    if (c >= 0x20 && c < 0x7F && c != u'<') {  // the common case: nothing below runs
      *p++ = static_cast<char>(c);
      continue;
    }
    char32_t codePoint = c;
    std::size_t units = 1;
    if (IsHighSurrogate(c) && i + 1 < n && IsLowSurrogate(text[i + 1])) {
      codePoint = CombineSurrogates(c, text[i + 1]);
      units = 2;
    }
    if (NeedsVisibleNotation(codePoint)) {
      const std::size_t used = static_cast<std::size_t>(p - out.data());
      const std::size_t needed = used + kNotationBytes + 3 * (n - i - units);
      if (needed > out.size()) {
        out.resize(needed);
        p = out.data() + used;
      }
      p = PutNotation(p, codePoint);
    } else {
      p = PutUtf8(p, codePoint);
    }
    i += units - 1;
  }
  out.resize(static_cast<std::size_t>(p - out.data()));
}

std::string VisibleUtf8(std::u16string_view text) {
  std::string out;
  AppendVisibleUtf8(out, text);
  return out;
}

void AppendVisibleBytes(std::string& out, std::string_view stored) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // Every listed name may come through here: the decoded text's room is kept between calls.
  static thread_local std::u16string run;
  run.clear();
  while (!stored.empty()) {
    char32_t c = 0;
    const std::size_t length = Utf8Sequence(stored, c);
    if (length == 0) {
      AppendVisibleUtf8(out, run);
      run.clear();
      const auto byte = static_cast<uint8_t>(stored[0]);
      out += "<x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
      out += '>';
      stored.remove_prefix(1);
      continue;
    }
    if (c > 0xFFFF) {
      run += static_cast<char16_t>(0xD7C0 + (c >> 10));
      run += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    } else {
      run += static_cast<char16_t>(c);
    }
    stored.remove_prefix(length);
  }
  AppendVisibleUtf8(out, run);
}
