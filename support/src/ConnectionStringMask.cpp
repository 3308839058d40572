#include "ConnectionStringMask.h"

#include <algorithm>
#include <vector>

#include "ConnectionString.h"
#include "WideText.h"

namespace {

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

// NOTE: psqlODBC hands pqopt's value to libpq as its own settings, "key=value" separated by
// blanks, a value optionally in single quotes with backslash escapes. The braces are the
// driver's and come first: "}}" is one '}', and a single '}' ends the value whatever
// libpq would make of it. Marks in secret (from offset on) the values of secret keys.
void MarkPqOptSecrets(std::u16string_view value, std::size_t offset, std::vector<bool>& secret) {
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
      ++i;
      continue;
    }
    const std::size_t keyStart = i;
    while (i < n && value[i] != u'=' && !isSpace(value[i]) && !isClosing(i)) i += value[i] == u'}' ? 2 : 1;
    const std::u16string_view key = value.substr(keyStart, i - keyStart);
    std::size_t at = i;
    while (at < n && isSpace(value[at])) ++at;
    if (at >= n || value[at] != u'=') continue;
    ++at;
    while (at < n && isSpace(value[at])) ++at;
    const std::size_t valueStart = at;
    if (at < n && value[at] == u'\'') {
      for (++at; at < n && value[at] != u'\'' && !isClosing(at);) at += width(at);
      if (at < n && value[at] == u'\'') ++at;
    }
    // Whatever sticks to the value (text right after its closing quote) goes with it.
    while (at < n && !isSpace(value[at]) && !isClosing(at)) at += value[at] == u'}' ? 2 : 1;
    if (IsSecretKey(key)) std::fill(secret.begin() + offset + valueStart, secret.begin() + offset + at, true);
    i = at;
  }
}

}  // namespace

std::u16string MaskConnectionString(std::u16string_view text) {
  // Every character that some reader takes for part of a secret is masked: a string that
  // one driver reads one way and another driver another way shows no password either way.
  std::vector<bool> secret(text.size(), false);
  for (const ConnectionStringReading& reading : kEveryReading) {
    for (const ConnectionAttribute& attribute : ParseConnectionString(text, reading)) {
      if (IsSecretKey(attribute.key)) {
        std::fill(secret.begin() + attribute.valueStart, secret.begin() + attribute.end, true);
      } else if (IsConnectionKey(attribute.key, u"pqopt")) {
        MarkPqOptSecrets(text.substr(attribute.valueStart, attribute.end - attribute.valueStart), attribute.valueStart,
                         secret);
      }
    }
  }
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (!secret[i]) {
      out.push_back(text[i++]);
      continue;
    }
    out.append(u"****");
    while (i < text.size() && secret[i]) ++i;
  }
  return out;
}
