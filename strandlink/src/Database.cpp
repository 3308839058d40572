#include <algorithm>
#include <string>
#include <string_view>

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

// The owners free the connection and then the environment; a connection still open
// cannot be freed, so it is closed first.
CODBCDatabase::~CODBCDatabase() { Close(); }

int CODBCDatabase::IsConnected() const { return m_connected ? 1 : 0; }

void CODBCDatabase::Close() {
  if (m_connected) {
    // Whatever a transaction left open is undone, never committed by a disconnect.
    if (InTransaction()) {
      const bool rolledBack = EndTran(false);
      m_outcome = Outcome::RolledBack;
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
  ReadServerKind();
  return 1;
}

void CODBCDatabase::ReadServerKind() {
  char16_t name[64] = {};
  SQLSMALLINT length = 0;
  m_server = Server::Other;
  if (!SqlSucceeded(SQLGetInfoW(m_hDbc.get(), SQL_DBMS_NAME, name, sizeof name - sizeof name[0], &length))) return;
  const std::u16string_view text(name);
  if (text == u"Microsoft SQL Server") m_server = Server::SqlServer;
  if (text == u"PostgreSQL") m_server = Server::PostgreSQL;
  if (text == u"MariaDB" || text == u"MySQL") m_server = Server::MariaDB;
  if (text == u"SQLite") m_server = Server::SQLite;
}

bool CODBCDatabase::OpenedFile(std::u16string& path) {
  path.clear();
  if (!m_connected || m_server != Server::SQLite) {
    SetLibraryError(m_lastError, u"HYC00", u"Only SQLite opens a file of its own.");
    m_hasError = true;
    return false;
  }
  UniqueStmtHandle stmt;
  SQLRETURN rc = AllocateHandle(m_hDbc.get(), stmt);
  if (!SqlSucceeded(rc)) {
    ReadDiagnostic(SQL_HANDLE_DBC, m_hDbc.get(), rc, m_lastError);
    m_hasError = true;
    return false;
  }
  // In hexadecimal: the bytes of the name as SQLite holds them, in ASCII that no
  // conversion between the driver and the tool can change; hex() gives a text's bytes in
  // the database's own encoding, which a database made by sqlite3_open16 has as UTF-16.
  rc = SQLExecDirectW(
      stmt.get(),
      AsSqlText(u"SELECT hex(file), encoding FROM pragma_database_list, pragma_encoding WHERE name = 'main'"),
      SQL_NTS);
  if (SqlSucceeded(rc)) rc = SQLFetch(stmt.get());
  std::string hex(16384, '\0');
  char encoding[16] = {};
  SQLLEN length = 0, encodingLength = 0;
  if (SqlSucceeded(rc)) rc = SQLGetData(stmt.get(), 1, SQL_C_CHAR, hex.data(), static_cast<SQLLEN>(hex.size()), &length);
  if (SqlSucceeded(rc)) rc = SQLGetData(stmt.get(), 2, SQL_C_CHAR, encoding, sizeof encoding, &encodingLength);
  if (!SqlSucceeded(rc)) {
    ReadDiagnostic(SQL_HANDLE_STMT, stmt.get(), rc, m_lastError);
    m_hasError = true;
    return false;
  }
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size() && hex[i] != '\0'; i += 2) {
    const int high = HexDigitValue(static_cast<unsigned char>(hex[i]));
    const int low = HexDigitValue(static_cast<unsigned char>(hex[i + 1]));
    if (high < 0 || low < 0) break;
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  if (length == SQL_NULL_DATA || length < 0 || static_cast<std::size_t>(length) >= hex.size()) {
    SetLibraryError(m_lastError, u"HY000", u"SQLite did not say which file it opened.");
    m_hasError = true;
    return false;
  }
  // A UTF-16 database's text: whole units, in the byte order its encoding names.
  if (std::string_view(encoding).substr(0, 6) == "UTF-16") {
    Utf16FromBytes(bytes, std::string_view(encoding) == "UTF-16le", path);
    return true;
  }
  // NOTE: SQLite keeps file names as UTF-8 on every system; a name that is not (the low
  // bytes a driver manager kept of one) is given for showing only.
  if (!DecodeUtf8Strict(bytes, path)) {
    path = FromUtf8(bytes);
    SetLibraryError(m_lastError, u"HY000", u"SQLite opened a file whose name is not UTF-8.");
    m_hasError = true;
    return false;
  }
  return true;
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
  if (m_server == Server::SQLite) {
    // NOTE: the SQLite3 driver steps through a result (StepAPI=1) only while it has no
    // transaction of its own: with autocommit off it sends "BEGIN TRANSACTION" as the
    // next statement is prepared, and from then on reads every SELECT whole into memory
    // before handing over the first row (measured: about 0.4 KB a row, 422 MiB for a
    // check of 1,000,000 rows). So on SQLite the transaction is begun and ended in SQL,
    // with the driver left in autocommit: SQLite holds it just the same (a deferred
    // transaction, its shared lock from the first read on), and the rows stream. A
    // connection closed with it open rolls it back, as SQLite does for any connection.
    _SQL_Error found;
    if (Execute(u"BEGIN TRANSACTION", found) == 0) return Fail(error);
    m_transactionInSql = true;
    m_outcome = Outcome::Open;
    return RequireRollbackJournal(error);
  }
  const SQLRETURN rc =
      SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER);
  if (!SqlSucceeded(rc)) return FailWithDiagnostic(SQL_HANDLE_DBC, dbc, rc, error);
  m_outcome = Outcome::Open;
  return 1;
}

int CODBCDatabase::RequireRollbackJournal(_SQL_Error& error) {
  // NOTE: SQLite without a rollback journal (journal_mode OFF, which the SQLite3 driver's
  // JournalMode=off sets too) writes a DELETE's pages in place: a ROLLBACK cannot undo
  // them, and a failure after them leaves the file corrupt. A journal held in memory is
  // lost with the process, and a fault mid-DELETE then corrupts the file just the same.
  // Both are refused before anything is written.
  std::u16string mode;
  if (QueryText(u"PRAGMA journal_mode", mode, error) != 0) {
    std::u16string lower;
    for (const char16_t c : mode) lower.push_back(c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c);
    if (lower != u"off" && lower != u"memory") return 1;
    SetLibraryError(m_lastError, u"HY000",
                    (u"The database keeps no rollback journal (SQLite journal_mode " + lower +
                     u"): a deletion that failed halfway could not be undone, so none is made.")
                        .c_str());
    (void)Fail(error);
  }
  // The refusal, or the failure to read the mode, is what the caller reports: the
  // rollback only closes what was begun.
  const _SQL_Error refusal = m_lastError;
  const bool rolledBack = EndTran(false);
  m_outcome = Outcome::RolledBack;
  if (!rolledBack) Abandon();
  m_lastError = refusal;
  return Fail(error);
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

int CODBCDatabase::CountRows(const char16_t* table, int64_t& rows, _SQL_Error& error) {
  rows = -1;
  std::u16string count;
  if (QueryText((u"SELECT COUNT(*) FROM " + std::u16string(table)).c_str(), count, error) == 0) return 0;
  // Up to 18 digits: no table holds more rows, and no int64_t overflows.
  if (count.empty() || count.size() > 18 || count.find_first_not_of(u"0123456789") != std::u16string::npos) {
    return Fail(u"HY000", u"The row count is not a number.", error);
  }
  rows = 0;
  for (const char16_t c : count) rows = rows * 10 + (c - u'0');
  return 1;
}

int CODBCDatabase::MayDeleteMoreThanAsked(const char16_t* table, bool& may, _SQL_Error& error) {
  may = true;
  // Any trigger on the table counts, not only delete triggers: a key that sets NULL or a
  // default on a delete updates rows, and an update trigger may delete. Any key that acts
  // on a delete from the table counts too, wherever it is: the rows it takes may have
  // triggers of their own.
  const std::u16string t(table);
  std::u16string sql;
  switch (m_server) {
    case Server::SQLite:
      sql = u"SELECT (SELECT COUNT(*) FROM sqlite_master WHERE type = 'trigger' AND tbl_name = '" + t +
            u"' COLLATE NOCASE) + (SELECT COUNT(*) FROM sqlite_master AS m, pragma_foreign_key_list(m.name) AS f "
            u"WHERE m.type = 'table' AND f.\"table\" = '" + t +
            u"' COLLATE NOCASE AND f.on_delete NOT IN ('NO ACTION', 'RESTRICT'))";
      break;
    case Server::PostgreSQL:
      // Rules too: a rule on DELETE may do more than the DELETE.
      sql = u"SELECT (SELECT COUNT(*) FROM pg_trigger WHERE tgrelid = '" + t +
            u"'::regclass AND NOT tgisinternal) + (SELECT COUNT(*) FROM pg_constraint WHERE contype = 'f' AND "
            u"confrelid = '" + t + u"'::regclass AND confdeltype IN ('c', 'n', 'd')) + (SELECT COUNT(*) FROM "
            u"pg_rewrite WHERE ev_class = '" + t + u"'::regclass AND ev_type = '4')";
      break;
    case Server::MariaDB:
      sql = u"SELECT (SELECT COUNT(*) FROM information_schema.TRIGGERS WHERE EVENT_OBJECT_SCHEMA = DATABASE() AND "
            u"EVENT_OBJECT_TABLE = '" + t + u"') + (SELECT COUNT(*) FROM information_schema.REFERENTIAL_CONSTRAINTS "
            u"WHERE UNIQUE_CONSTRAINT_SCHEMA = DATABASE() AND REFERENCED_TABLE_NAME = '" + t +
            u"' AND DELETE_RULE NOT IN ('NO ACTION', 'RESTRICT'))";
      break;
    case Server::SqlServer:
      sql = u"SELECT (SELECT COUNT(*) FROM sys.triggers WHERE parent_id = OBJECT_ID('" + t +
            u"')) + (SELECT COUNT(*) FROM sys.foreign_keys WHERE referenced_object_id = OBJECT_ID('" + t +
            u"') AND delete_referential_action <> 0)";
      break;
    default:
      return 1;  // a catalogue of its own: the check is paid
  }
  std::u16string found;
  if (QueryText(sql.c_str(), found, error) == 0) return 0;
  may = found != u"0";
  return 1;
}

bool CODBCDatabase::EndTran(bool commit) {
  if (!m_transactionInSql) {
    if (commit) m_outcome = Outcome::Committing;
    const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, m_hDbc.get(), commit ? SQL_COMMIT : SQL_ROLLBACK);
    if (commit && SqlSucceeded(rc)) m_outcome = Outcome::Committed;  // before any other driver call
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
    const bool ended = EndTran(false) || TransactionAlreadyEnded(m_lastError);
    // Rolled back either way: what the library cannot end, it abandons, and the server
    // undoes it as the session ends.
    m_outcome = Outcome::RolledBack;
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
  if (refused && rolledBack) {
    m_outcome = Outcome::RolledBack;
    ResumeAutocommit();
    return 0;
  }
  m_outcome = refused ? Outcome::RolledBack : Outcome::Unknown;
  Abandon();
  return 0;
}

void CODBCDatabase::ResumeAutocommit() {
  m_transactionInSql = false;
  SQLSetConnectAttr(m_hDbc.get(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER);
}

bool CODBCDatabase::CommitRefused(const _SQL_Error& commitError) const {
  if (commitError.returnCode != SQL_ERROR) return false;
  const std::u16string_view state(commitError.sqlState);
  // Class 40 is the standard's "transaction rollback", but for 40003, "statement
  // completion unknown".
  if (state.substr(0, 2) == u"40" && state != u"40003") return true;
  switch (m_server) {
    case Server::PostgreSQL:
      // A deferred constraint that fails at the COMMIT rolls the transaction back.
      return state.substr(0, 2) == u"23";
    case Server::MariaDB:
      return commitError.nativeError == 1213;  // deadlock: InnoDB rolled back
    case Server::SqlServer:
      return commitError.nativeError == 1205 || commitError.nativeError == 3960;  // deadlock, snapshot conflict
    case Server::SQLite:
      // SQLITE_BUSY, SQLITE_LOCKED, SQLITE_CONSTRAINT (a deferred foreign key): SQLite
      // refuses the COMMIT and keeps the transaction open, to be rolled back.
      return commitError.nativeError == 5 || commitError.nativeError == 6 || commitError.nativeError == 19;
    default:
      return false;
  }
}

CODBCDatabase::CRollbackGuard::~CRollbackGuard() {
  if (m_database.m_outcome != Outcome::Open) return;
  _SQL_Error ignored;
  (void)m_database.EndTransaction(false, ignored);
}

bool CODBCDatabase::TransactionAlreadyEnded(const _SQL_Error& rollbackError) const {
  // NOTE: SQLite ends the transaction itself on some failures (a full disk, an I/O
  // error, no memory), and then refuses the ROLLBACK that its driver sends with "cannot
  // rollback - no transaction is active": nothing is open any more.
  return m_server == Server::SQLite &&
         std::u16string_view(rollbackError.message).find(u"no transaction is active") != std::u16string_view::npos;
}

int CODBCDatabase::BeginSharedSnapshot(std::u16string& id, _SQL_Error& error) {
  id.clear();
  if (m_server != Server::PostgreSQL) return Fail(u"HYC00", u"Only PostgreSQL shares a snapshot.", error);
  if (BeginTransaction(error, SQL_TXN_REPEATABLE_READ) == 0) return 0;
  // The transaction's first query takes its snapshot, which every later one sees.
  if (QueryText(u"SELECT pg_export_snapshot()", id, error) != 0 && !id.empty()) return 1;
  return EndBegunTransaction(error);
}

int CODBCDatabase::BeginInSnapshot(std::u16string_view id, _SQL_Error& error) {
  if (m_server != Server::PostgreSQL) return Fail(u"HYC00", u"Only PostgreSQL shares a snapshot.", error);
  // An identifier as PostgreSQL makes them (hexadecimal and dashes) is all that is put
  // into the statement.
  if (id.empty() || id.find_first_not_of(u"0123456789ABCDEFabcdef-") != std::u16string_view::npos) {
    return Fail(u"HY024", u"The snapshot's name is not one PostgreSQL gives.", error);
  }
  if (BeginTransaction(error, SQL_TXN_REPEATABLE_READ) == 0) return 0;
  if (Execute((u"SET TRANSACTION SNAPSHOT '" + std::u16string(id) + u"'").c_str(), error) != 0) return 1;
  return EndBegunTransaction(error);
}

int CODBCDatabase::EndBegunTransaction(_SQL_Error& error) {
  const _SQL_Error failure = m_lastError;
  _SQL_Error ended;
  (void)EndTransaction(false, ended);
  m_lastError = failure;
  return Fail(error);
}

int CODBCDatabase::LimitLockWaits(int seconds, _SQL_Error& error) {
  if (!m_connected) return Fail(u"08003", u"The connection is not open.", error);
  m_lockWaitSeconds = seconds;
  const std::u16string n = FromUtf8(std::to_string(seconds));
  std::u16string sql;
  // Each bound is the lower of ours and the one the session already has: a server set to
  // give up sooner keeps its own choice.
  switch (m_server) {
    case Server::PostgreSQL:
      // lock_timeout is in milliseconds; 0 means no bound at all.
      sql = u"SELECT set_config('lock_timeout', CASE WHEN setting::bigint > 0 AND setting::bigint < " + n +
            u"000 THEN setting ELSE '" + n + u"000' END, false) FROM pg_settings WHERE name = 'lock_timeout'";
      break;
    case Server::MariaDB:
      // Row locks are InnoDB's to bound, table locks (a LOCK TABLES, an ALTER) the server's;
      // 0 is a bound too (no wait at all).
      sql = u"SET SESSION innodb_lock_wait_timeout = LEAST(@@SESSION.innodb_lock_wait_timeout, " + n +
            u"), SESSION lock_wait_timeout = LEAST(@@SESSION.lock_wait_timeout, " + n + u")";
      break;
    case Server::SqlServer:
      // NOTE: SQL Server counts in milliseconds; -1 means no bound.
      sql = u"IF @@LOCK_TIMEOUT < 0 OR @@LOCK_TIMEOUT > " + n + u"000 SET LOCK_TIMEOUT " + n + u"000";
      break;
    default:
      // NOTE: the SQLite3 driver waits for a locked database in a busy handler of its own,
      // bounded by the connection string's Timeout= (100 s when it is not given; measured:
      // it waits that twice for another writer's lock, 200 s), and offers no way to
      // change it once connected: PRAGMA busy_timeout,
      // SQL_ATTR_QUERY_TIMEOUT and SQL_ATTR_CONNECTION_TIMEOUT were each measured to
      // leave the wait as it was. Its bound is set when connecting (ConnectToDatabase).
      return 1;
  }
  return Execute(sql.c_str(), error);
}

int CODBCDatabase::LockForWriting(const char16_t* table, _SQL_Error& error) {
  if (!m_connected || !InTransaction()) return Fail(u"25000", u"There is no transaction to lock for.", error);
  if (m_server != Server::SQLite) return 1;
  // A write that changes nothing still takes SQLite's write lock, waiting in the driver's
  // busy handler while another writer holds it; readers go on meanwhile.
  const std::u16string sql = u"DELETE FROM " + std::u16string(table) + u" WHERE 1 = 0";
  return Execute(sql.c_str(), error);
}

CODBCDatabase::LockFailure CODBCDatabase::ClassifyLockFailure(const _SQL_Error& error) const {
  const std::u16string_view state(error.sqlState);
  // Serialization failures and deadlock victims: the standard's class 40.
  if (state == u"40001" || state == u"40P01") return LockFailure::Conflict;
  switch (m_server) {
    case Server::PostgreSQL:
      if (state == u"55P03") return LockFailure::WaitTimedOut;  // lock_timeout ran out
      break;
    case Server::MariaDB:
      if (error.nativeError == 1205) return LockFailure::WaitTimedOut;  // "Lock wait timeout exceeded"
      if (error.nativeError == 1213) return LockFailure::Conflict;      // deadlock
      break;
    case Server::SqlServer:
      if (error.nativeError == 1222) return LockFailure::WaitTimedOut;  // LOCK_TIMEOUT ran out
      if (error.nativeError == 1205) return LockFailure::Conflict;      // deadlock victim
      break;
    case Server::SQLite:
      // SQLITE_BUSY, SQLITE_LOCKED: the busy handler gave up.
      if (error.nativeError == 5 || error.nativeError == 6) return LockFailure::WaitTimedOut;
      break;
    default:
      break;
  }
  return LockFailure::None;
}

int CODBCDatabase::ProbeWrite(const char16_t* table, _SQL_Error& error) {
  if (BeginTransaction(error) == 0) return 0;
  bool took;
  if (m_server == Server::PostgreSQL) {
    // NOTE: PostgreSQL fires a table's statement triggers for a DELETE that matches no
    // row, and makes it wait for any lock on the table. The transaction's own setting
    // says what it may do without touching the table: every transaction of a hot standby
    // is read-only, and so is every one of a session made read-only by default.
    std::u16string readOnly;
    took = QueryText(u"SHOW transaction_read_only", readOnly, error) != 0;
    if (took && readOnly != u"off") {
      took = Fail(u"25006", u"The transaction is read-only.", error) != 0;
    }
  } else {
    const std::u16string sql = u"DELETE FROM " + std::u16string(table) + u" WHERE 1 = 0";
    // Its lock waits are the session's, bounded since it connected.
    took = Execute(sql.c_str(), error) != 0;
  }
  // The probe's answer is the statement's; the rollback only ends it (and a rollback that
  // fails closes the connection, so nothing of it outlives the probe either way). A
  // statement trigger on DELETE fires for it too, and what it did is rolled back with it.
  _SQL_Error ended;
  if (EndTransaction(false, ended) == 0 && took) {
    error = ended;
    return 0;
  }
  if (!took) SetError(error);
  return took ? 1 : 0;
}

CODBCDatabase::Refusal CODBCDatabase::ClassifyRefusal(const _SQL_Error& error) const {
  const std::u16string_view state(error.sqlState);
  switch (m_server) {
    case Server::PostgreSQL:
      // A hot standby, or a session whose transactions are read-only by default.
      if (state == u"25006") return Refusal::ReadOnly;
      break;
    case Server::MariaDB:
      // NOTE: a Galera node that is not part of the primary component, or still receives
      // its state, answers 1047 ("WSREP has not yet prepared node for application use")
      // to any statement on a table; 1290 is read_only=1 for a user without the privilege
      // to override it, 1792 a read-only transaction.
      if (error.nativeError == 1047) return Refusal::NotReady;
      if (error.nativeError == 1290 || error.nativeError == 1792) return Refusal::ReadOnly;
      break;
    case Server::SqlServer:
      // NOTE: a connection string with ApplicationIntent=ReadOnly makes an availability
      // group's listener route the session to a readable secondary, where every change
      // fails with 3906 ("Failed to update database ... because the database is
      // read-only"), as it does on a database set READ_ONLY. Not measured here: there is
      // no SQL Server on the test machines.
      if (error.nativeError == 3906) return Refusal::ReadOnly;
      break;
    default:
      break;
  }
  return Refusal::None;
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
  if (commits) m_outcome = Outcome::Committing;
  rc = SQLExecDirectW(stmt, AsSqlText(sql != nullptr ? sql : u""), SQL_NTS);
  // A searched statement that matches no row answers SQL_NO_DATA: that is success.
  // NOTE: MariaDB Connector/ODBC answers SQL_SUCCESS with a row count of 0 instead.
  const bool ok = SqlSucceeded(rc) || rc == SQL_NO_DATA;
  // A COMMIT that succeeded is the transaction's outcome before the statement is freed.
  if (ok && commits) m_outcome = Outcome::Committed;
  if (!ok) {
    m_lastError.recordNumber = error.recordNumber;
    return FailWithDiagnostic(SQL_HANDLE_STMT, stmt, rc, error);
  }
  m_hasError = false;
  if (rowCount != nullptr && rc != SQL_NO_DATA && !SqlSucceeded(SQLRowCount(stmt, rowCount))) *rowCount = -1;
  if (rowCount != nullptr && rc == SQL_NO_DATA) *rowCount = 0;
  return 1;
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
  if (found.cut || !IsExactly(found.first, kAcceptedSchemaVersion)) {
    return u"Schema version " + ShownVersion(found.first, found.cut) + u" found, " + expected + u".";
  }
  return {};
}

}  // namespace

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
