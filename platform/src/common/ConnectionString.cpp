#include "ConnectionString.h"

#include "WideText.h"

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trimmed(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::size_t Find(std::u16string_view text, char16_t c, std::size_t from) {
  const std::size_t at = text.find(c, from);
  return at == std::u16string_view::npos ? text.size() : at;
}

}  // namespace

std::vector<ConnectionAttribute> ParseConnectionString(std::u16string_view text, const ConnectionStringReading& reading) {
  std::vector<ConnectionAttribute> attributes;
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    if (text[i] == u';') {
      ++i;
      continue;
    }
    const std::size_t keyStart = i;
    const std::size_t equals = Find(text, u'=', i);
    const std::size_t semicolon = Find(text, u';', i);
    if (equals == n) break;
    if (semicolon < equals && !reading.strayRunsOn) {
      i = semicolon;
      continue;
    }
    ConnectionAttribute attribute;
    attribute.key = text.substr(keyStart, equals - keyStart);
    if (reading.trimsBlanks) attribute.key = Trimmed(attribute.key);
    attribute.valueStart = equals + 1;
    std::size_t v = attribute.valueStart;
    if (reading.trimsBlanks) {
      while (v < n && IsBlank(text[v])) ++v;
    }
    if (reading.braces && v < n && text[v] == u'{') {
      for (++v; v < n; ++v) {
        if (text[v] == u'}') {
          if (v + 1 < n && text[v + 1] == u'}') {
            ++v;
          } else {
            break;
          }
        }
        attribute.value.push_back(text[v]);
      }
      attribute.end = Find(text, u';', v);
    } else {
      attribute.end = Find(text, u';', v);
      std::u16string_view value = text.substr(v, attribute.end - v);
      if (reading.trimsBlanks) value = Trimmed(value);
      attribute.value = value;
    }
    i = attribute.end;
    attributes.push_back(std::move(attribute));
  }
  return attributes;
}

bool IsConnectionKey(std::u16string_view key, std::u16string_view lowerKey) {
  if (key.size() != lowerKey.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (FoldAscii(key[i]) != lowerKey[i]) return false;
  }
  return true;
}

std::optional<ConnectionAttribute> FindConnectionAttribute(std::u16string_view text,
                                                           const ConnectionStringReading& reading,
                                                           std::u16string_view lowerKey) {
  std::optional<ConnectionAttribute> found;
  for (ConnectionAttribute& attribute : ParseConnectionString(text, reading)) {
    if (!IsConnectionKey(attribute.key, lowerKey)) continue;
    found = std::move(attribute);
    if (reading.firstWins) break;
  }
  return found;
}
