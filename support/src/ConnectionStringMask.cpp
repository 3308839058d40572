#include "ConnectionStringMask.h"

namespace {

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

bool IsPasswordKey(std::u16string_view key) {
  while (!key.empty() && IsBlank(key.front())) key.remove_prefix(1);
  while (!key.empty() && IsBlank(key.back())) key.remove_suffix(1);
  static constexpr std::u16string_view kKeys[] = {u"pwd", u"password"};
  for (std::u16string_view candidate : kKeys) {
    if (key.size() != candidate.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < key.size() && same; ++i) same = FoldAscii(key[i]) == candidate[i];
    if (same) return true;
  }
  return false;
}

}  // namespace

std::u16string MaskConnectionString(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    // One attribute: key '=' value, up to the next ';' outside braces.
    const std::size_t keyStart = i;
    while (i < n && text[i] != u'=' && text[i] != u';') ++i;
    if (i >= n || text[i] == u';') {
      out.append(text.substr(keyStart, i - keyStart + (i < n ? 1 : 0)));
      if (i < n) ++i;
      continue;
    }
    const std::u16string_view key = text.substr(keyStart, i - keyStart);
    out.append(key);
    out.push_back(u'=');
    ++i;  // past '='
    const std::size_t valueStart = i;
    std::size_t lead = i;
    while (lead < n && IsBlank(text[lead])) ++lead;
    if (lead < n && text[lead] == u'{') {
      // A braced value may hold ';' and '='; "}}" stands for one '}'.
      i = lead + 1;
      while (i < n) {
        if (text[i] == u'}') {
          if (i + 1 < n && text[i + 1] == u'}') {
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        ++i;
      }
      while (i < n && text[i] != u';') ++i;
    } else {
      while (i < n && text[i] != u';') ++i;
    }
    if (IsPasswordKey(key)) {
      out.append(u"****");
    } else {
      out.append(text.substr(valueStart, i - valueStart));
    }
    if (i < n) {
      out.push_back(u';');
      ++i;
    }
  }
  return out;
}
