#include "WideText.h"

#include <algorithm>

char* PutUtf8(char* p, char32_t cp) {
  if (cp < 0x80) {
    *p++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *p++ = static_cast<char>(0xC0 | (cp >> 6));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *p++ = static_cast<char>(0xE0 | (cp >> 12));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *p++ = static_cast<char>(0xF0 | (cp >> 18));
    *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return p;
}

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// Both decoders: an invalid sequence becomes U+FFFD, or, when strict, ends the decoding.
bool DecodeUtf8(std::string_view text, std::u16string& out, bool strict) {
  out.clear();
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1, cp = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2, cp = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3, cp = b & 0x07, min = 0x10000;
    }
    // j ends on the first byte that is not part of this sequence.
    std::size_t j = i + 1;
    bool ok = extra > 0;
    for (int k = 0; ok && k < extra; ++k, ++j) {
      if (j >= n || (s[j] & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (s[j] & 0x3F);
    }
    if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      if (strict) return false;
      out.push_back(kReplacement);
    } else {
      AppendUtf16(out, cp);
    }
    i = j;
  }
  return true;
}

}  // namespace

void AppendUtf8(std::string& out, std::u16string_view text) {
  // The list file converts every row through here: room for the worst case is made
  // once and the bytes written through a pointer, rather than one push_back per byte.
  // No unit takes more than 3 bytes (a surrogate pair takes 4 for its two units).
  const std::size_t n = text.size();
  const std::size_t start = out.size();
  out.resize(start + 3 * n);
  char* const first = out.data() + start;
  char* p = first;
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t c = text[i];
    if (c < 0x80) {  // the common case: no branch below runs for ASCII
      *p++ = static_cast<char>(c);
    } else if (IsHighSurrogate(c) && i + 1 < n && IsLowSurrogate(text[i + 1])) {
      p = PutUtf8(p, CombineSurrogates(c, text[i + 1]));
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      p = PutUtf8(p, kReplacement);
    } else {
      p = PutUtf8(p, c);
    }
  }
  out.resize(start + static_cast<std::size_t>(p - first));
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendUtf8(out, text);
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  DecodeUtf8(text, out, false);
  return out;
}

bool DecodeUtf8Strict(std::string_view text, std::u16string& out) { return DecodeUtf8(text, out, true); }

void Utf16FromBytes(std::string_view bytes, bool littleEndian, std::u16string& out, std::size_t maxUnits) {
  out.resize(std::min(bytes.size() / 2, maxUnits));
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto b0 = static_cast<unsigned char>(bytes[2 * i]), b1 = static_cast<unsigned char>(bytes[2 * i + 1]);
    out[i] = static_cast<char16_t>(littleEndian ? (b1 << 8 | b0) : (b0 << 8 | b1));
  }
}

std::size_t WideLength(const char16_t* text) {
  if (text == nullptr) return 0;
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}
