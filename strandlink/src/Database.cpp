#include <string>
#include <string_view>

#include "Diagnostics.h"
#include "strandlink.h"

namespace {

// How long a driver may take to log in before it gives up: a server that accepts the
// connection and never answers is then reported, not waited on.
// NOTE: psqlODBC honours it; MariaDB Connector/ODBC 3.1.15 ignores it and waits for ever
// unless the connection string sets its own CONN_TIMEOUT.
constexpr SQLULEN kLoginTimeoutSeconds = 20;

}  // namespace

bool CTransactionRules::CommitRefused(const _SQL_Error& commitError) const {
  const std::u16string_view state(commitError.sqlState);
  return commitError.returnCode == SQL_ERROR && state.substr(0, 2) == u"40" && state != u"40003";
}

CODBCDatabase::CODBCDatabase() = default;

// The owners free the connection and then the environment; a connection still open
// cannot be freed, so it is closed first.
CODBCDatabase::~CODBCDatabase() { Close(); }

int CODBCDatabase::IsConnected() const { return m_connected ? 1 : 0; }

void CODBCDatabase::Close() {
  if (m_connected) {
    // Whatever a transaction left open is undone, never committed by a disconnect. A
    // commit already sent may have been taken: the rollback cannot tell, so that outcome
    // stays in doubt.
    if (InTransaction()) {
      const bool rolledBack = EndTran(false);
      MoveOutcome(Outcome::RolledBack);
      if (!rolledBack) {
        Abandon();
        return;
      }
    }
    m_transactionInSql = false;
    SQLDisconnect(m_hDbc.get());
    m_connected = false;
  }
  // The connection handle is kept for reuse; the last error stays readable after Close,
  // so that a caller can still report why a connection was closed.
}

void CODBCDatabase::MoveOutcome(Outcome next, bool serverSaid) {
  if (m_outcome == Outcome::Committing) {
    const bool allowed = next == Outcome::Committed || next == Outcome::Unknown ||
                         (next == Outcome::RolledBack && serverSaid);
    if (!allowed) next = Outcome::Unknown;
  }
  m_outcome = next;
}

bool CODBCDatabase::EnsureEnvironment() {
  if (!m_hEnv) {
    if (!SqlSucceeded(AllocateHandle(SQL_NULL_HANDLE, m_hEnv))) {
      SetLibraryError(m_lastError, u"HY001", u"The ODBC environment could not be allocated.");
      m_hasError = true;
      return false;
    }
    SQLSetEnvAttr(m_hEnv.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  }
  if (!m_hDbc) {
    const SQLRETURN rc = AllocateHandle(m_hEnv.get(), m_hDbc);
    if (!SqlSucceeded(rc)) {
      ReadDiagnostic(SQL_HANDLE_ENV, m_hEnv.get(), rc, m_lastError);
      m_hasError = true;
      return false;
    }
  }
  return true;
}

int CODBCDatabase::DriverConnect(const char16_t* connect, char16_t* out, HWND window, drvCompletion completion) {
  if (m_connected) Close();
  m_hasError = false;
  m_dbmsName.clear();
  m_dbmsVersion.clear();
  if (!EnsureEnvironment()) return 0;
  SQLSetConnectAttr(m_hDbc.get(), SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(kLoginTimeoutSeconds), 0);
  static const char16_t kEmpty[] = u"";
  const char16_t* text = connect != nullptr ? connect : kEmpty;
  SQLSMALLINT outLength = 0;
  const SQLRETURN rc =
      DriverConnectW(m_hDbc.get(), static_cast<SQLHWND>(window), text, out, out != nullptr ? 1024 : 0, &outLength,
                     static_cast<SQLUSMALLINT>(completion));
  if (!SqlSucceeded(rc)) {
    ReadDiagnostic(SQL_HANDLE_DBC, m_hDbc.get(), rc, m_lastError);
    m_hasError = true;
    return 0;
  }
  m_connected = true;
  m_connectionText = text;
  char16_t name[64] = {};
  SQLSMALLINT length = 0;
  if (SqlSucceeded(SQLGetInfoW(m_hDbc.get(), SQL_DBMS_NAME, name, sizeof name - sizeof name[0], &length))) {
    m_dbmsName = name;
  }
  char16_t version[64] = {};
  if (SqlSucceeded(SQLGetInfoW(m_hDbc.get(), SQL_DBMS_VER, version, sizeof version - sizeof version[0], &length))) {
    m_dbmsVersion = version;
  }
  return 1;
}

bool CODBCDatabase::GetError(_SQL_Error& error) const { return CopyKeptError(m_hasError, m_lastError, error); }

void CODBCDatabase::SetError(const _SQL_Error& error) {
  m_lastError = error;
  m_hasError = true;
}

int CODBCDatabase::Execute(const char16_t* sql, _SQL_Error& error) { return Execute(sql, error, nullptr); }

int CODBCDatabase::Fail(_SQL_Error& error) {
  m_hasError = true;
  error = m_lastError;
  return 0;
}

int CODBCDatabase::Fail(const char16_t* state, const char16_t* text, _SQL_Error& error) {
  SetLibraryError(m_lastError, state, text);
  return Fail(error);
}

int CODBCDatabase::FailWithDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle, SQLRETURN rc, _SQL_Error& error) {
  ReadDiagnostic(handleType, handle, rc, m_lastError);
  return Fail(error);
}

int CODBCDatabase::BeginTransaction(_SQL_Error& error, SQLULEN isolation) {
  if (!m_connected || InTransaction()) {
    return Fail(m_connected ? u"25000" : u"08003",
                m_connected ? u"A transaction is already open." : u"The connection is not open.", error);
  }
  const SQLHDBC dbc = m_hDbc.get();
  if (isolation != 0) {
    SQLRETURN rc = SQLSetConnectAttr(dbc, SQL_ATTR_TXN_ISOLATION, reinterpret_cast<SQLPOINTER>(isolation), SQL_IS_UINTEGER);
    if (!SqlSucceeded(rc)) return FailWithDiagnostic(SQL_HANDLE_DBC, dbc, rc, error);
    // A driver may substitute another level and only say so in a warning (01S02): ask
    // what it took.
    SQLUINTEGER granted = 0;
    rc = SQLGetConnectAttr(dbc, SQL_ATTR_TXN_ISOLATION, &granted, sizeof granted, nullptr);
    if (!SqlSucceeded(rc)) return FailWithDiagnostic(SQL_HANDLE_DBC, dbc, rc, error);
    if (granted != isolation) {
      return Fail(u"HYC00", u"The driver does not offer the transaction isolation level asked for.", error);
    }
  }
  if (m_rules != nullptr && m_rules->TransactionsInSql()) {
    // The server holds the transaction just the same; a connection closed with it open
    // rolls it back, as it does any connection's.
    _SQL_Error found;
    if (Execute(u"BEGIN TRANSACTION", found) == 0) return Fail(error);
    m_transactionInSql = true;
    MoveOutcome(Outcome::Open);
    return 1;
  }
  const SQLRETURN rc =
      SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER);
  if (!SqlSucceeded(rc)) return FailWithDiagnostic(SQL_HANDLE_DBC, dbc, rc, error);
  MoveOutcome(Outcome::Open);
  return 1;
}

int CODBCDatabase::QueryText(const char16_t* sql, std::u16string& value, _SQL_Error& error) {
  value.clear();
  if (!m_connected) return Fail(u"08003", u"The connection is not open.", error);
  UniqueStmtHandle stmt;
  SQLRETURN rc = AllocateHandle(m_hDbc.get(), stmt);
  if (!SqlSucceeded(rc)) return FailWithDiagnostic(SQL_HANDLE_DBC, m_hDbc.get(), rc, error);
  rc = SQLExecDirectW(stmt.get(), AsSqlText(sql), SQL_NTS);
  if (SqlSucceeded(rc)) rc = SQLFetch(stmt.get());
  if (rc == SQL_NO_DATA) return Fail(u"HY000", u"The query answered no row.", error);
  char16_t text[64] = {};
  SQLLEN indicator = 0;
  if (SqlSucceeded(rc)) rc = SQLGetData(stmt.get(), 1, SQL_C_WCHAR, AsSqlText(text), sizeof text - sizeof text[0], &indicator);
  if (!SqlSucceeded(rc)) return FailWithDiagnostic(SQL_HANDLE_STMT, stmt.get(), rc, error);
  if (indicator != SQL_NULL_DATA) value = text;
  return 1;
}

bool CODBCDatabase::EndTran(bool commit) {
  if (!m_transactionInSql) {
    if (commit) MoveOutcome(Outcome::Committing);
    const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, m_hDbc.get(), commit ? SQL_COMMIT : SQL_ROLLBACK);
    if (commit && SqlSucceeded(rc)) MoveOutcome(Outcome::Committed);  // before any other driver call
    if (!SqlSucceeded(rc)) ReadDiagnostic(SQL_HANDLE_DBC, m_hDbc.get(), rc, m_lastError);
    return SqlSucceeded(rc);
  }
  // Execute keeps its error on the connection, as the other ending does; a success must
  // not clear an error kept from before.
  const bool hadError = m_hasError;
  _SQL_Error found;
  if (Run(commit ? u"COMMIT TRANSACTION" : u"ROLLBACK TRANSACTION", found, nullptr, commit) == 0) return false;
  m_hasError = hadError;
  return true;
}

int CODBCDatabase::EndTransaction(bool commit, _SQL_Error& error) {
  if (!m_connected || m_outcome != Outcome::Open) return Fail(u"25000", u"There is no transaction to end.", error);
  if (!commit) {
    // A rollback that the server did already, on a failure of its own, is no failure.
    const bool ended = EndTran(false) || (m_rules != nullptr && m_rules->RollbackFoundNothing(m_lastError));
    // Rolled back either way: what the library cannot end, it abandons, and the server
    // undoes it as the session ends.
    MoveOutcome(Outcome::RolledBack);
    if (!ended) {
      (void)Fail(error);
      // The transaction may still be open: switching autocommit on would commit it.
      Abandon();
      return 0;
    }
    m_hasError = false;
    ResumeAutocommit();
    return 1;
  }
  if (EndTran(true)) {
    ResumeAutocommit();
    return 1;
  }
  (void)Fail(error);
  // The commit's error is the one to report; what follows only decides.
  const _SQL_Error commitError = m_lastError;
  // Still open: the commit was never sent (its statement could not be made), so it
  // failed for certain.
  const bool neverSent = m_outcome == Outcome::Open;
  // NOTE: psqlODBC answers a rollback on a dead connection with success, so the driver
  // is asked first; a driver that cannot tell leaves the connection taken as alive.
  SQLUINTEGER dead = SQL_CD_FALSE;
  const bool lost = SqlSucceeded(SQLGetConnectAttr(m_hDbc.get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
                    dead == SQL_CD_TRUE;
  // The commit failed for certain only when the server says so and can still be asked to
  // roll back. Any other failure (a lost connection, an unknown return code, a driver that
  // failed or crashed inside the commit, a ROLLBACK that finds nothing open after a
  // COMMIT was sent) may have come after the server committed: the rollback still undoes
  // what may be open, but the outcome stays unknown, and the connection is given up
  // rather than trusted with autocommit.
  const bool refused = neverSent || (!lost && CommitRefused(commitError));
  const bool rolledBack = !lost && EndTran(false);
  m_lastError = commitError;
  MoveOutcome(refused ? Outcome::RolledBack : Outcome::Unknown, refused);
  if (refused && rolledBack) {
    ResumeAutocommit();
    return 0;
  }
  Abandon();
  return 0;
}

void CODBCDatabase::ResumeAutocommit() {
  m_transactionInSql = false;
  SQLSetConnectAttr(m_hDbc.get(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER);
}

bool CODBCDatabase::CommitRefused(const _SQL_Error& commitError) const {
  static const CTransactionRules kOdbc;
  return (m_rules != nullptr ? *m_rules : kOdbc).CommitRefused(commitError);
}

CODBCDatabase::CRollbackGuard::~CRollbackGuard() {
  if (m_database.m_outcome != Outcome::Open) return;
  _SQL_Error ignored;
  (void)m_database.EndTransaction(false, ignored);
}

int CODBCDatabase::AbandonBegunTransaction(_SQL_Error& error) {
  const _SQL_Error failure = m_lastError;
  _SQL_Error ended;
  (void)EndTransaction(false, ended);
  m_lastError = failure;
  return Fail(error);
}

void CODBCDatabase::Abandon() {
  // ODBC refuses to disconnect with a transaction open (25000) and commits nothing
  // then; when it refuses, the handle is left as it is, and the session ends with the
  // process, which makes the server undo the transaction. The handle is given up, not
  // freed: ODBC refuses to free a connection that is still connected.
  m_transactionInSql = false;
  m_connected = false;
  if (!SqlSucceeded(SQLDisconnect(m_hDbc.get()))) (void)m_hDbc.release();
}

int CODBCDatabase::Execute(const char16_t* sql, _SQL_Error& error, SQLLEN* rowCount) {
  return Run(sql, error, rowCount, false);
}

int CODBCDatabase::Run(const char16_t* sql, _SQL_Error& error, SQLLEN* rowCount, bool commits) {
  if (rowCount != nullptr) *rowCount = -1;
  if (!m_connected) return Fail(u"08003", u"The connection is not open.", error);
  UniqueStmtHandle owner;
  SQLRETURN rc = AllocateHandle(m_hDbc.get(), owner);
  if (!SqlSucceeded(rc)) return FailWithDiagnostic(SQL_HANDLE_DBC, m_hDbc.get(), rc, error);
  const SQLHSTMT stmt = owner.get();
  // The COMMIT's outcome is in doubt from the moment it is sent until it answers.
  if (commits) MoveOutcome(Outcome::Committing);
  rc = SQLExecDirectW(stmt, AsSqlText(sql != nullptr ? sql : u""), SQL_NTS);
  // A searched statement that matches no row answers SQL_NO_DATA: that is success.
  // NOTE: MariaDB Connector/ODBC answers SQL_SUCCESS with a row count of 0 instead.
  const bool ok = SqlSucceeded(rc) || rc == SQL_NO_DATA;
  // A COMMIT that succeeded is the transaction's outcome before the statement is freed.
  if (ok && commits) MoveOutcome(Outcome::Committed);
  if (!ok) {
    m_lastError.recordNumber = error.recordNumber;
    return FailWithDiagnostic(SQL_HANDLE_STMT, stmt, rc, error);
  }
  m_hasError = false;
  if (rowCount != nullptr && rc != SQL_NO_DATA && !SqlSucceeded(SQLRowCount(stmt, rowCount))) *rowCount = -1;
  if (rowCount != nullptr && rc == SQL_NO_DATA) *rowCount = 0;
  return 1;
}
