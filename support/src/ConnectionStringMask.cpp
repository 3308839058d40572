#include "ConnectionStringMask.h"

#include "WideText.h"

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

bool ContainsFolded(std::u16string_view text, std::u16string_view lowerWord) {
  for (std::size_t start = 0; start + lowerWord.size() <= text.size(); ++start) {
    std::size_t i = 0;
    while (i < lowerWord.size() && FoldAscii(text[start + i]) == lowerWord[i]) ++i;
    if (i == lowerWord.size()) return true;
  }
  return false;
}

// Drivers name their secrets PWD and Password, and options of their own after them
// (SSLPassword, OldPwd): any key that contains either word carries one.
bool IsSecretKey(std::u16string_view key) { return ContainsFolded(key, u"pwd") || ContainsFolded(key, u"password"); }

// Whether key names lowerName, in any letter case and with blanks around it.
bool IsKey(std::u16string_view key, std::u16string_view lowerName) {
  while (!key.empty() && IsBlank(key.front())) key.remove_prefix(1);
  while (!key.empty() && IsBlank(key.back())) key.remove_suffix(1);
  if (key.size() != lowerName.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (FoldAscii(key[i]) != lowerName[i]) return false;
  }
  return true;
}

bool IsPqOptKey(std::u16string_view key) { return IsKey(key, u"pqopt"); }

// Where the value that starts at i ends: at the next ';' outside braces, or the end. A
// braced value may hold ';' and '='; "}}" stands for one '}'.
std::size_t ValueEnd(std::u16string_view text, std::size_t i) {
  const std::size_t n = text.size();
  std::size_t lead = i;
  while (lead < n && IsBlank(text[lead])) ++lead;
  if (lead < n && text[lead] == u'{') {
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
  }
  while (i < n && text[i] != u';') ++i;
  return i;
}

// NOTE: psqlODBC hands pqopt's value to libpq as its own settings, "key=value" separated by
// blanks, a value optionally in single quotes with backslash escapes. The braces are the
// driver's and come first: "}}" is one '}', and a single '}' ends the value whatever
// libpq would make of it. Appends value with the values of secret keys masked.
void AppendMaskedPqOpt(std::u16string& out, std::u16string_view value) {
  const std::size_t n = value.size();
  auto isSpace = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
  auto isClosing = [&](std::size_t at) { return value[at] == u'}' && !(at + 1 < n && value[at + 1] == u'}'); };
  // How far one character reaches: "}}" is one; so is an escape, unless it would take a '}'.
  auto width = [&](std::size_t at) -> std::size_t {
    if (value[at] == u'}') return 2;
    return value[at] == u'\\' && at + 1 < n && value[at + 1] != u'}' ? 2 : 1;
  };
  std::size_t i = 0;
  while (i < n) {
    if (isSpace(value[i]) || value[i] == u'{' || isClosing(i)) {
      out.push_back(value[i++]);
      continue;
    }
    const std::size_t keyStart = i;
    while (i < n && value[i] != u'=' && !isSpace(value[i]) && !isClosing(i)) i += value[i] == u'}' ? 2 : 1;
    const std::u16string_view key = value.substr(keyStart, i - keyStart);
    std::size_t at = i;
    while (at < n && isSpace(value[at])) ++at;
    if (at >= n || value[at] != u'=') {
      out.append(key);
      continue;
    }
    ++at;
    while (at < n && isSpace(value[at])) ++at;
    const std::size_t valueStart = at;
    if (at < n && value[at] == u'\'') {
      for (++at; at < n && value[at] != u'\'' && !isClosing(at);) at += width(at);
      if (at < n && value[at] == u'\'') ++at;
    }
    // Whatever sticks to the value (text right after its closing quote) goes with it.
    while (at < n && !isSpace(value[at]) && !isClosing(at)) at += value[at] == u'}' ? 2 : 1;
    out.append(value.substr(keyStart, valueStart - keyStart));
    out.append(IsSecretKey(key) ? std::u16string_view(u"****") : value.substr(valueStart, at - valueStart));
    i = at;
  }
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
    i = ValueEnd(text, i);
    if (IsSecretKey(key)) {
      out.append(u"****");
    } else if (IsPqOptKey(key)) {
      AppendMaskedPqOpt(out, text.substr(valueStart, i - valueStart));
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

bool ConnectionStringHasKey(std::u16string_view text, std::u16string_view lowerKey) {
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t keyStart = i;
    while (i < n && text[i] != u'=' && text[i] != u';') ++i;
    if (i >= n || text[i] == u';') continue;
    if (IsKey(text.substr(keyStart, i - keyStart), lowerKey)) return true;
    i = ValueEnd(text, i + 1);
  }
  return false;
}
