#include <algorithm>
#include <string>

#include "Diagnostics.h"
#include "WideText.h"
#include "strandlink.h"

namespace {

// How long a driver may take to log in before it gives up: a server that accepts the
// connection and never answers is then reported, not waited on.
// NOTE: psqlODBC honours it; MariaDB Connector/ODBC 3.1.15 ignores it and waits for ever
// unless the connection string sets its own CONN_TIMEOUT.
constexpr SQLULEN kLoginTimeoutSeconds = 20;

}  // namespace

CODBCDatabase::CODBCDatabase() = default;

CODBCDatabase::~CODBCDatabase() {
  Close();
  if (m_hDbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, m_hDbc);
  if (m_hEnv != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, m_hEnv);
}

int CODBCDatabase::IsConnected() const { return m_connected ? 1 : 0; }

void CODBCDatabase::Close() {
  if (m_connected) {
    // Whatever a transaction left open is undone, never committed by a disconnect.
    if (m_inTransaction && !SqlSucceeded(SQLEndTran(SQL_HANDLE_DBC, m_hDbc, SQL_ROLLBACK))) {
      Abandon();
      return;
    }
    m_inTransaction = false;
    SQLDisconnect(m_hDbc);
    m_connected = false;
  }
  // The connection handle is kept for reuse; the last error stays readable after Close,
  // so that a caller can still report why a connection was closed.
}

bool CODBCDatabase::EnsureEnvironment() {
  if (m_hEnv == SQL_NULL_HENV) {
    if (!SqlSucceeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_hEnv))) {
      m_hEnv = SQL_NULL_HENV;
      SetLibraryError(m_lastError, u"HY001", u"The ODBC environment could not be allocated.");
      m_hasError = true;
      return false;
    }
    SQLSetEnvAttr(m_hEnv, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  }
  if (m_hDbc == SQL_NULL_HDBC) {
    const SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_DBC, m_hEnv, &m_hDbc);
    if (!SqlSucceeded(rc)) {
      ReadDiagnostic(SQL_HANDLE_ENV, m_hEnv, rc, m_lastError);
      m_hDbc = SQL_NULL_HDBC;
      m_hasError = true;
      return false;
    }
  }
  return true;
}

int CODBCDatabase::DriverConnect(const char16_t* connect, char16_t* out, HWND window, drvCompletion completion) {
  if (m_connected) Close();
  m_hasError = false;
  if (!EnsureEnvironment()) return 0;
  SQLSetConnectAttr(m_hDbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(kLoginTimeoutSeconds), 0);
  static const char16_t kEmpty[] = u"";
  const char16_t* text = connect != nullptr ? connect : kEmpty;
  SQLSMALLINT outLength = 0;
  const SQLRETURN rc =
      SQLDriverConnectW(m_hDbc, static_cast<SQLHWND>(window), AsSqlText(text), SQL_NTS, out != nullptr ? AsSqlText(out) : nullptr,
                        out != nullptr ? 1024 : 0, &outLength, static_cast<SQLUSMALLINT>(completion));
  if (!SqlSucceeded(rc)) {
    ReadDiagnostic(SQL_HANDLE_DBC, m_hDbc, rc, m_lastError);
    m_hasError = true;
    return 0;
  }
  m_connected = true;
  return 1;
}

bool CODBCDatabase::GetError(_SQL_Error& error) const {
  if (!m_hasError) return false;
  const int16_t record = error.recordNumber;
  error = m_lastError;
  error.recordNumber = record;
  return true;
}

void CODBCDatabase::SetError(const _SQL_Error& error) {
  m_lastError = error;
  m_hasError = true;
}

int CODBCDatabase::Execute(const char16_t* sql, _SQL_Error& error) { return Execute(sql, error, nullptr); }

int CODBCDatabase::BeginTransaction(_SQL_Error& error, SQLULEN isolation) {
  if (!m_connected || m_inTransaction) {
    SetLibraryError(m_lastError, m_connected ? u"25000" : u"08003",
                    m_connected ? u"A transaction is already open." : u"The connection is not open.");
    m_hasError = true;
    error = m_lastError;
    return 0;
  }
  auto failed = [&](SQLRETURN rc) {
    ReadDiagnostic(SQL_HANDLE_DBC, m_hDbc, rc, m_lastError);
    m_hasError = true;
    error = m_lastError;
    return 0;
  };
  if (isolation != 0) {
    SQLRETURN rc = SQLSetConnectAttr(m_hDbc, SQL_ATTR_TXN_ISOLATION, reinterpret_cast<SQLPOINTER>(isolation), SQL_IS_UINTEGER);
    if (!SqlSucceeded(rc)) return failed(rc);
    // A driver may substitute another level and only say so in a warning (01S02): ask
    // what it took.
    SQLUINTEGER granted = 0;
    rc = SQLGetConnectAttr(m_hDbc, SQL_ATTR_TXN_ISOLATION, &granted, sizeof granted, nullptr);
    if (!SqlSucceeded(rc)) return failed(rc);
    if (granted != isolation) {
      SetLibraryError(m_lastError, u"HYC00", u"The driver does not offer the transaction isolation level asked for.");
      m_hasError = true;
      error = m_lastError;
      return 0;
    }
  }
  const SQLRETURN rc =
      SQLSetConnectAttr(m_hDbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER);
  if (!SqlSucceeded(rc)) return failed(rc);
  m_inTransaction = true;
  return 1;
}

int CODBCDatabase::EndTransaction(bool commit, _SQL_Error& error) {
  if (!m_connected || !m_inTransaction) {
    SetLibraryError(m_lastError, u"25000", u"There is no transaction to end.");
    m_hasError = true;
    error = m_lastError;
    return 0;
  }
  SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, m_hDbc, commit ? SQL_COMMIT : SQL_ROLLBACK);
  const bool ok = SqlSucceeded(rc);
  if (!ok) {
    ReadDiagnostic(SQL_HANDLE_DBC, m_hDbc, rc, m_lastError);
    m_hasError = true;
    error = m_lastError;
    // A transaction that could not be committed must not be half left: undo it. On a
    // connection that died there is nothing left to ask, and the caller must be able to
    // tell that the server's outcome is unknown: the connection is closed instead.
    // NOTE: psqlODBC answers a rollback on a dead connection with success, so the driver
    // is asked first; a driver that cannot tell leaves the connection taken as alive.
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (commit && SqlSucceeded(SQLGetConnectAttr(m_hDbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
        dead == SQL_CD_TRUE) {
      Abandon();
      return 0;
    }
    if (commit) rc = SQLEndTran(SQL_HANDLE_DBC, m_hDbc, SQL_ROLLBACK);
    if (!SqlSucceeded(rc)) {
      // The transaction may still be open: switching autocommit on would commit it.
      Abandon();
      return 0;
    }
  }
  m_inTransaction = false;
  SQLSetConnectAttr(m_hDbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER);
  return ok ? 1 : 0;
}

void CODBCDatabase::Abandon() {
  // ODBC refuses to disconnect with a transaction open (25000) and commits nothing
  // then; when it refuses, the handle is left as it is, and the session ends with the
  // process, which makes the server undo the transaction.
  m_inTransaction = false;
  m_connected = false;
  if (!SqlSucceeded(SQLDisconnect(m_hDbc))) m_hDbc = SQL_NULL_HDBC;
}

int CODBCDatabase::Execute(const char16_t* sql, _SQL_Error& error, SQLLEN* rowCount) {
  if (rowCount != nullptr) *rowCount = -1;
  if (!m_connected) {
    SetLibraryError(m_lastError, u"08003", u"The connection is not open.");
    m_hasError = true;
    error = m_lastError;
    return 0;
  }
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, m_hDbc, &stmt);
  if (!SqlSucceeded(rc)) {
    ReadDiagnostic(SQL_HANDLE_DBC, m_hDbc, rc, m_lastError);
    m_hasError = true;
    error = m_lastError;
    return 0;
  }
  rc = SQLExecDirectW(stmt, AsSqlText(sql != nullptr ? sql : u""), SQL_NTS);
  // A searched statement that matches no row answers SQL_NO_DATA: that is success.
  // NOTE: MariaDB Connector/ODBC answers SQL_SUCCESS with a row count of 0 instead.
  const bool ok = SqlSucceeded(rc) || rc == SQL_NO_DATA;
  if (!ok) {
    m_lastError.recordNumber = error.recordNumber;
    ReadDiagnostic(SQL_HANDLE_STMT, stmt, rc, m_lastError);
    m_hasError = true;
    error = m_lastError;
  } else {
    m_hasError = false;
    if (rowCount != nullptr && rc != SQL_NO_DATA && !SqlSucceeded(SQLRowCount(stmt, rowCount))) *rowCount = -1;
    if (rowCount != nullptr && rc == SQL_NO_DATA) *rowCount = 0;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return ok ? 1 : 0;
}

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
std::u16string ShownVersion(const std::u16string& text, bool cut) {
  bool plain = !text.empty() && !cut;
  for (std::size_t i = 0; i < text.size() && plain; ++i) {
    plain = IsDigit(text[i]) || text[i] == u'.' || (i == 0 && text[i] == u'-');
  }
  if (plain) return text;
  return u"'" + text + (cut ? u"...'" : u"'");
}

}  // namespace

long TestDBVersion(CODBCDatabase* database) {
  if (database == nullptr || !database->IsConnected()) return 1;
  _SQL_Error error;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, database->Handle(), &stmt);
  if (!SqlSucceeded(rc)) {
    ReadDiagnostic(SQL_HANDLE_DBC, database->Handle(), rc, error);
    database->SetError(error);
    return 1;
  }
  long result = 1;
  rc = SQLExecDirectW(stmt, AsSqlText(u"SELECT Version FROM SchemaVersion"), SQL_NTS);
  if (!SqlSucceeded(rc)) {
    // Typically a database without the table: the driver's message says so.
    ReadDiagnostic(SQL_HANDLE_STMT, stmt, rc, error);
    database->SetError(error);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return result;
  }
  // Read as text, whatever the column's type, so that nothing the driver would round or
  // cut on the way to an integer ('4abc', 4.5) can pass for version 4.
  char16_t version[kVersionTextChars + 1] = {};
  SQLLEN indicator = 0;
  int rows = 0;
  bool fetchFailed = false;
  std::u16string first;
  bool isNull = false;
  bool cut = false;
  while ((rc = SQLFetch(stmt)) != SQL_NO_DATA) {
    if (!SqlSucceeded(rc)) {
      ReadDiagnostic(SQL_HANDLE_STMT, stmt, rc, error);
      fetchFailed = true;
      break;
    }
    rc = SQLGetData(stmt, 1, SQL_C_WCHAR, AsSqlText(version), sizeof version, &indicator);
    if (!SqlSucceeded(rc)) {
      ReadDiagnostic(SQL_HANDLE_STMT, stmt, rc, error);
      fetchFailed = true;
      break;
    }
    if (rows == 0) {
      isNull = indicator == SQL_NULL_DATA;
      version[kVersionTextChars] = 0;
      first = version;
      cut = indicator == SQL_NO_TOTAL || indicator > static_cast<SQLLEN>(kVersionTextChars * sizeof(char16_t));
    }
    if (++rows > 1) break;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);

  const std::u16string expected = u"version " + FromUtf8(std::to_string(kAcceptedSchemaVersion)) + u" expected";
  std::u16string text;
  if (fetchFailed) {
    database->SetError(error);
    return result;
  }
  if (rows == 0) {
    text = u"The SchemaVersion table holds no version; " + expected + u".";
  } else if (rows > 1) {
    text = u"The SchemaVersion table holds more than one row; " + expected + u".";
  } else if (isNull) {
    text = u"The SchemaVersion table holds a NULL version; " + expected + u".";
  } else if (cut || !IsExactly(first, kAcceptedSchemaVersion)) {
    text = u"Schema version " + ShownVersion(first, cut) + u" found, " + expected + u".";
  } else {
    database->ClearError();
    return 0;
  }
  SetLibraryError(error, u"HY000", text.c_str());
  database->SetError(error);
  return result;
}
