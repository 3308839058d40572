#include "ConnectionStringMask.h"

#include <algorithm>
#include <utility>
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

// libpq reads a conninfo that starts with postgresql:// or postgres:// as one URI, and
// anything else as its list of "key=value" settings.
bool IsLibpqUri(std::u16string_view conninfo) {
  return conninfo.substr(0, 13) == u"postgresql://" || conninfo.substr(0, 11) == u"postgres://";
}

// A key of a URI's query as libpq reads it: "%XX" stands for the byte XX.
std::u16string PercentDecoded(std::u16string_view key) {
  std::u16string out;
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (key[i] == u'%' && i + 2 < key.size() && HexDigitValue(key[i + 1]) >= 0 && HexDigitValue(key[i + 2]) >= 0) {
      out.push_back(static_cast<char16_t>(HexDigitValue(key[i + 1]) * 16 + HexDigitValue(key[i + 2])));
      i += 2;
    } else {
      out.push_back(key[i]);
    }
  }
  return out;
}

// NOTE: libpq reads a value that starts with postgresql:// (pqopt's, or a dbname inside
// it) as a URI, and any driver may read a value as one: a password stands in the user
// information ("user:password@") and in the query ("?password=..."). Marks in secret the
// password of every URI in text[from, to). The user information ends at the last '@'
// before the host's '/': libpq stops at the first '@', a reader of the generic syntax
// at the last one, and masking up to the last covers both. A query's value ends at '&',
// at a braced value's closing '}' (the driver's, not the URI's: it stays in sight, as the
// other masks leave it), in pqopt's value also at a blank, as above (a URI holds no blank
// that is not encoded), or else at the end of the span: what follows a URI in a value may
// be masked with it, never less than the password.
void MarkUriSecrets(std::u16string_view text, std::size_t from, std::size_t to, bool pqopt, std::vector<bool>& secret) {
  std::size_t open = from;
  while (open < to && text[open] == u' ') ++open;
  const bool braced = pqopt || (open < to && text[open] == u'{');
  const auto ends = [&](std::size_t at) {
    const char16_t c = text[at];
    return c == u'&' || (braced && c == u'}' && (at + 1 == to || text[at + 1] != u'}')) ||
           (pqopt && (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'));
  };
  for (std::size_t mark = text.find(u"://", from); mark != std::u16string_view::npos && mark + 3 <= to;
       mark = text.find(u"://", mark + 3)) {
    const std::size_t start = mark + 3;
    std::size_t slash = start;
    while (slash < to && text[slash] != u'/') ++slash;
    std::size_t at = slash;
    while (at > start && text[at - 1] != u'@') --at;
    std::size_t hostStart = start;
    if (at > start) {  // user information up to at - 1
      hostStart = at;
      std::size_t colon = start;
      while (colon < at - 1 && text[colon] != u':') ++colon;
      if (colon < at - 1) std::fill(secret.begin() + colon + 1, secret.begin() + at - 1, true);
    }
    std::size_t query = hostStart;
    while (query < to && text[query] != u'?') ++query;
    for (std::size_t param = query + 1; param < to;) {
      std::size_t next = param;
      while (next < to && !ends(next)) next += braced && text[next] == u'}' ? 2 : 1;  // "}}" is one '}'
      next = std::min(next, to);
      const std::size_t equals = text.substr(param, next - param).find(u'=');
      if (equals != std::u16string_view::npos && IsSecretKey(PercentDecoded(text.substr(param, equals)))) {
        std::fill(secret.begin() + param + equals + 1, secret.begin() + next, true);
      }
      param = next + 1;
    }
  }
}

// Every character that some reader takes for part of a secret is masked: a string that
// one driver reads one way and another driver another way shows no password either way.
std::u16string MaskOnce(std::u16string_view text) {
  std::vector<bool> secret(text.size(), false);
  for (const ConnectionStringReading& reading : kEveryReading) {
    for (const ConnectionAttribute& attribute : ParseConnectionString(text, reading)) {
      const bool pqopt = IsConnectionKey(attribute.key, u"pqopt");
      MarkUriSecrets(text, attribute.valueStart, attribute.end, pqopt, secret);
      if (IsSecretKey(attribute.key)) {
        std::fill(secret.begin() + attribute.valueStart, secret.begin() + attribute.end, true);
      } else if (pqopt && !IsLibpqUri(attribute.value)) {
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

}  // namespace

std::u16string MaskConnectionString(std::u16string_view text) {
  // One reading's mask can hide what another reading took for the end of a secret (an
  // '&' of a URI's query inside a masked pqopt value): masked again, such a string would
  // show less. So it is masked until nothing changes, and what is shown stays as it is
  // when masked again. A pass that changes the string hides more of it; the passes stop
  // at the string's length in any case.
  std::u16string masked = MaskOnce(text);
  for (std::size_t pass = 0; pass < text.size(); ++pass) {
    std::u16string again = MaskOnce(masked);
    if (again == masked) break;
    masked = std::move(again);
  }
  return masked;
}
