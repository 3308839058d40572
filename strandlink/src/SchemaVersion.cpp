#include <algorithm>
#include <string>
#include <string_view>

#include "Diagnostics.h"
#include "WideText.h"
#include "strandlink.h"

namespace {

// The version column read as text: longer than any number of a sane schema.
constexpr std::size_t kVersionTextChars = 40;

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// True when text is a plain decimal number ("4", "04", "4.0", "4E0", "0.4e1") whose value
// is exactly `wanted`: decided on the digits, never through a floating-point value, which
// would take 4.00000000000000001 for 4. Blanks, signs other than '+' and any other text
// are refused.
bool IsExactly(std::u16string_view text, long wanted) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  if (i < n && text[i] == u'+') ++i;
  std::string digits;
  long long exponent = 0;
  bool any = false;
  for (; i < n && IsDigit(text[i]); ++i, any = true) digits.push_back(static_cast<char>(text[i]));
  if (i < n && text[i] == u'.') {
    for (++i; i < n && IsDigit(text[i]); ++i, any = true) {
      digits.push_back(static_cast<char>(text[i]));
      --exponent;
    }
  }
  if (!any) return false;
  if (i < n && (text[i] == u'e' || text[i] == u'E')) {
    ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    if (i >= n || !IsDigit(text[i])) return false;
    long long power = 0;
    for (; i < n && IsDigit(text[i]); ++i) power = std::min(power * 10 + (text[i] - u'0'), 1000000LL);
    exponent += negative ? -power : power;
  }
  if (i != n) return false;
  // digits x 10^exponent, with leading zeros and trailing zeros (into the exponent) gone.
  const std::size_t lead = digits.find_first_not_of('0');
  if (lead == std::string::npos) return wanted == 0;
  digits.erase(0, lead);
  while (digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
  std::string want = std::to_string(wanted);
  long long wantExponent = 0;
  while (want.size() > 1 && want.back() == '0') {
    want.pop_back();
    ++wantExponent;
  }
  return digits == want && exponent == wantExponent;
}

// The version as the message shows it: a plain number as it is, anything else quoted,
// so that blanks and stray text can be seen.
std::u16string ShownVersion(std::u16string_view text, bool cut) {
  bool plain = !text.empty() && !cut;
  for (std::size_t i = 0; i < text.size() && plain; ++i) {
    plain = IsDigit(text[i]) || text[i] == u'.' || (i == 0 && text[i] == u'-');
  }
  if (plain) return std::u16string(text);
  return u"'" + std::u16string(text) + (cut ? u"...'" : u"'");
}

// What the version query answered: how many rows (counted up to 2), and the first one.
struct VersionRows {
  int rows = 0;
  std::u16string first;
  bool isNull = false;
  bool cut = false;
};

// Reads the rows of the version query. False, with error filled, when a row cannot be
// read.
bool ReadVersionRows(SQLHSTMT stmt, VersionRows& found, _SQL_Error& error) {
  // Read as text, whatever the column's type, so that nothing the driver would round or
  // cut on the way to an integer ('4abc', 4.5) can pass for version 4.
  char16_t version[kVersionTextChars + 1] = {};
  SQLLEN indicator = 0;
  SQLRETURN rc;
  while ((rc = SQLFetch(stmt)) != SQL_NO_DATA) {
    if (SqlSucceeded(rc)) rc = SQLGetData(stmt, 1, SQL_C_WCHAR, AsSqlText(version), sizeof version, &indicator);
    if (!SqlSucceeded(rc)) {
      ReadDiagnostic(SQL_HANDLE_STMT, stmt, rc, error);
      return false;
    }
    if (found.rows == 0) {
      found.isNull = indicator == SQL_NULL_DATA;
      version[kVersionTextChars] = 0;
      found.first = version;
      found.cut = indicator == SQL_NO_TOTAL || indicator > static_cast<SQLLEN>(kVersionTextChars * sizeof(char16_t));
    }
    if (++found.rows > 1) break;
  }
  return true;
}

// Why the rows found are not the accepted version; empty when they are.
std::u16string VersionMismatch(const VersionRows& found) {
  const std::u16string expected = u"version " + FromUtf8(std::to_string(kAcceptedSchemaVersion)) + u" expected";
  if (found.rows == 0) return u"The SchemaVersion table holds no version; " + expected + u".";
  if (found.rows > 1) return u"The SchemaVersion table holds more than one row; " + expected + u".";
  if (found.isNull) return u"The SchemaVersion table holds a NULL version; " + expected + u".";
  if (found.cut || !IsExactly(found.first, kAcceptedSchemaVersion)) return VersionFoundMessage(found.first, found.cut);
  return {};
}

}  // namespace

std::u16string VersionFoundMessage(std::u16string_view version, bool cut) {
  return u"Schema version " + ShownVersion(version, cut) + u" found, version " +
         FromUtf8(std::to_string(kAcceptedSchemaVersion)) + u" expected.";
}

long TestDBVersion(CODBCDatabase* database) {
  if (database == nullptr || !database->IsConnected()) return 1;
  _SQL_Error error;
  UniqueStmtHandle stmt;
  SQLRETURN rc = AllocateHandle(database->Handle(), stmt);
  if (!SqlSucceeded(rc)) {
    ReadDiagnostic(SQL_HANDLE_DBC, database->Handle(), rc, error);
    database->SetError(error);
    return 1;
  }
  rc = SQLExecDirectW(stmt.get(), AsSqlText(u"SELECT Version FROM SchemaVersion"), SQL_NTS);
  VersionRows found;
  if (!SqlSucceeded(rc)) {
    // Typically a database without the table: the driver's message says so.
    ReadDiagnostic(SQL_HANDLE_STMT, stmt.get(), rc, error);
  } else if (ReadVersionRows(stmt.get(), found, error)) {
    const std::u16string mismatch = VersionMismatch(found);
    if (mismatch.empty()) {
      database->ClearError();
      return 0;
    }
    SetLibraryError(error, u"HY000", mismatch.c_str());
  }
  database->SetError(error);
  return 1;
}
