#pragma once
// The database access library: one connection (CODBCDatabase), one statement with bound
// columns (CODBCRecordset), the error record (_SQL_Error) and the schema version check.
// Failures are reported by return values; the diagnostics of the failing ODBC call are
// copied out right after it and handed over by GetError.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "OdbcApi.h"
#include "OdbcHandle.h"

// How DriverConnect may involve the user. The tool always passes sqlNoPrompt.
enum drvCompletion {
  sqlNoPrompt = SQL_DRIVER_NOPROMPT,
  sqlComplete = SQL_DRIVER_COMPLETE,
  sqlPrompt = SQL_DRIVER_PROMPT,
  sqlCompleteRequired = SQL_DRIVER_COMPLETE_REQUIRED,
};

// The error record: the first diagnostic of the call that failed.
struct _SQL_Error {
  _SQL_Error();

  int16_t recordNumber;   // the diagnostic record to report first; 1 after construction
  SQLRETURN returnCode;   // what the failing call returned
  char16_t sqlState[6];   // five characters and NUL
  int32_t nativeError;    // the backend's own error number
  char16_t message[1024]; // NUL-terminated, cut to fit
};

// Fills error with a message of the library's, or its caller's, own: an SQL_ERROR with no
// native error.
void SetLibraryError(_SQL_Error& error, const char16_t* state, const char16_t* text);

// What the library's transactions must know of the server at hand, and ODBC does not say:
// asked of whoever connected the database (SetTransactionRules); without rules, what ODBC
// defines holds.
class CTransactionRules {
 public:
  virtual ~CTransactionRules() = default;
  // Begin and end transactions with BEGIN, COMMIT and ROLLBACK TRANSACTION, the driver left
  // in autocommit, where the driver's own transactions would cost what the server's do not.
  virtual bool TransactionsInSql() const { return false; }
  // A failed commit's diagnostic that means the server rolled the transaction back, or
  // refused the commit and kept it open to be rolled back. By default the standard's class
  // 40 ("transaction rollback"), but for 40003 ("statement completion unknown").
  virtual bool CommitRefused(const _SQL_Error& commitError) const;
  // A failed rollback's diagnostic that means the server had ended the transaction itself.
  virtual bool RollbackFoundNothing(const _SQL_Error&) const { return false; }
};

class CODBCDatabase {
 public:
  CODBCDatabase();
  ~CODBCDatabase();
  CODBCDatabase(const CODBCDatabase&) = delete;
  CODBCDatabase& operator=(const CODBCDatabase&) = delete;

  [[nodiscard]] int IsConnected() const;
  void Close();

  // Non-zero when connected. out, when not null, must hold 1024 characters.
  [[nodiscard]] int DriverConnect(const char16_t* connect, char16_t* out, HWND window, drvCompletion completion);
  // The name the driver gives its database server (SQL_DBMS_NAME); empty until connected.
  const std::u16string& DbmsName() const { return m_dbmsName; }
  // The version the driver gives of its database server (SQL_DBMS_VER, "15.0.18"); empty
  // until connected or where it gives none.
  const std::u16string& DbmsVersion() const { return m_dbmsVersion; }
  // What another connection like this one is made with: the string this one was connected
  // with.
  const std::u16string& ConnectionText() const { return m_connectionText; }
  // The rules the transactions follow from now on; null for ODBC's own. Not owned: they
  // must outlive the connection.
  void SetTransactionRules(const CTransactionRules* rules) { m_rules = rules; }

  // True when the last failed operation on this connection left an error; copies it.
  [[nodiscard]] bool GetError(_SQL_Error& error) const;

  // Runs one complete statement. Non-zero on success (a statement that affects no row
  // succeeds too); zero on failure, with the record filled.
  [[nodiscard]] int Execute(const char16_t* sql, _SQL_Error& error);
  // The same, telling how many rows the statement affected (-1 when the driver cannot).
  [[nodiscard]] int Execute(const char16_t* sql, _SQL_Error& error, SQLLEN* rowCount);
  // The first column of the first row of a query, as text of up to 63 characters (NULL is
  // empty). Non-zero on success; zero with the record filled, also when no row came.
  [[nodiscard]] int QueryText(const char16_t* sql, std::u16string& value, _SQL_Error& error);

  // A transaction around several statements: autocommit is off until it ends. isolation,
  // when not 0, is the SQL_TXN_* level asked for first; a driver that refuses it, or
  // grants another, fails the call, so that no statement runs under a weaker guard than
  // the caller asked for (the level stays for later transactions of the connection).
  // Non-zero on success; zero with the record filled.
  [[nodiscard]] int BeginTransaction(_SQL_Error& error, SQLULEN isolation = 0);
  // Commits or rolls back. Autocommit is switched back on only once the transaction has
  // ended: switching it on with a transaction open commits it. When neither the commit
  // nor the rollback succeeds, the connection is closed instead (never committed), so the
  // server undoes the transaction when the session ends. Zero with the record filled
  // when the transaction was not ended as asked; TransactionOutcome() then tells what
  // became of it.
  [[nodiscard]] int EndTransaction(bool commit, _SQL_Error& error);
  // Rolls back a transaction that failed as it was begun (the caller's first statement
  // in it failed), keeping that failure as the error. Always zero, with the record filled.
  [[nodiscard]] int AbandonBegunTransaction(_SQL_Error& error);

  // What became of the connection's last transaction. It is set the moment the server
  // answers, before the library calls the driver again, so that last words said from a
  // fault handler can read it: Committed as soon as the commit succeeded, Unknown when a
  // commit failed without the server saying that it rolled back (a lost connection, a
  // driver that failed or faulted inside the commit), when nobody can tell.
  enum class Outcome { None, Open, Committing, Committed, RolledBack, Unknown };
  Outcome TransactionOutcome() const { return m_outcome; }

  // Rolls the transaction back when it leaves scope still open: whatever ends a run early
  // (a failed allocation's unwinding included), only a commit that succeeded stays.
  class CRollbackGuard {
   public:
    explicit CRollbackGuard(CODBCDatabase& database) : m_database(database) {}
    ~CRollbackGuard();
    CRollbackGuard(const CRollbackGuard&) = delete;
    CRollbackGuard& operator=(const CRollbackGuard&) = delete;

   private:
    CODBCDatabase& m_database;
  };

  // The library's own business: the handle for recordsets, and the error record of a
  // failure that the caller found itself (a refused schema version).
  SQLHDBC Handle() const { return m_hDbc.get(); }
  void SetError(const _SQL_Error& error);
  // The same with a message of the caller's own; always zero, with the record filled.
  int Fail(const char16_t* state, const char16_t* text, _SQL_Error& error);
  void ClearError() { m_hasError = false; }

 private:
  bool EnsureEnvironment();
  void Abandon();
  // Commits or rolls back the open transaction, the way it was begun; false with the
  // reason in m_lastError.
  bool EndTran(bool commit);
  // Keep the error on the connection, copy it out to the caller's record, and answer 0:
  // the end of every failed operation that reports through a record.
  int Fail(_SQL_Error& error);
  int FailWithDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle, SQLRETURN rc, _SQL_Error& error);
  // The one place the outcome changes. Committing, once the commit is sent, ends only as
  // Committed, as RolledBack on the server's word (serverSaid), or as Unknown.
  void MoveOutcome(Outcome next, bool serverSaid = false);
  // Whether a failed commit was refused, by the rules at hand or by ODBC's.
  bool CommitRefused(const _SQL_Error& commitError) const;
  // Execute's work; commits marks the statement that commits the open transaction.
  int Run(const char16_t* sql, _SQL_Error& error, SQLLEN* rowCount, bool commits);
  void ResumeAutocommit();
  bool InTransaction() const { return m_outcome == Outcome::Open || m_outcome == Outcome::Committing; }

  // Declared in this order so that the connection is freed before its environment.
  UniqueEnvHandle m_hEnv;
  UniqueDbcHandle m_hDbc;
  bool m_connected = false;
  // Volatile: a fault handler reads it between the driver calls that change it.
  volatile Outcome m_outcome = Outcome::None;
  bool m_transactionInSql = false;  // begun with BEGIN TRANSACTION, the driver in autocommit
  bool m_hasError = false;
  const CTransactionRules* m_rules = nullptr;
  _SQL_Error m_lastError;
  std::u16string m_connectionText;
  std::u16string m_dbmsName;
  std::u16string m_dbmsVersion;
};

// The schema version this build accepts.
constexpr long kAcceptedSchemaVersion = 4;

// 0 when the connected database holds exactly the accepted schema version. Otherwise
// non-zero, with an error on the connection that says what was found.
[[nodiscard]] long TestDBVersion(CODBCDatabase* database);
// TestDBVersion's words for a version found that is not the accepted one, for a caller
// that read the stored value its own way: `version` as it is when a plain number, else
// quoted, with "..." where it was cut.
std::u16string VersionFoundMessage(std::u16string_view version, bool cut);

class CODBCRecordset {
 public:
  // cursorKind and options ask nothing of this library: every result set is read forward,
  // once. updatable is 1 when the recordset will write rows (Insert, Update, Delete),
  // which makes it remember each fetched row's key.
  CODBCRecordset(CODBCDatabase* database, unsigned long cursorKind, unsigned long options, int updatable);
  virtual ~CODBCRecordset();
  CODBCRecordset(const CODBCRecordset&) = delete;
  CODBCRecordset& operator=(const CODBCRecordset&) = delete;

  // The virtual operations, in this order.
  [[nodiscard]] virtual int Insert(int count);
  [[nodiscard]] virtual int Delete();
  [[nodiscard]] virtual int Update();
  virtual void PrepareGet();
  virtual void PrepareSet();
  [[nodiscard]] virtual int BindFields();
  virtual SQLRETURN BindLongFields();
  virtual SQLRETURN UnbindLongFields();
  virtual SQLRETURN GetLongFieldsData();
  virtual SQLRETURN PutLongFieldsData();

  // 0 or more: executed and positioned on the first row or at end. Negative on failure;
  // GetError then tells whether there is an error record (a statement without a result
  // set fails without one).
  [[nodiscard]] int Open(const char16_t* sql);
  [[nodiscard]] int IsEof() const { return m_eof ? 1 : 0; }
  // Fetches the next row into the bound buffers. SQL_NO_DATA at end, negative on failure.
  int MoveNext();
  void Close();
  // True when the last operation on this recordset failed and left an error; copies it.
  [[nodiscard]] bool GetError(_SQL_Error& error) const;

  // The current row's value of a column read again, whole, with SQLGetData in pieces:
  // for a bound column whose value did not fit its buffer. `piece` receives the bytes in
  // order (text without the terminating NULs that each piece carries); `total` the byte
  // count, or SQL_NULL_DATA. On failure the error is kept for GetError and the row must
  // not be trusted.
  using ValuePiece = void (*)(void* context, const uint8_t* bytes, std::size_t length);
  SQLRETURN ReadWholeValue(int column, SQLSMALLINT cType, ValuePiece piece, void* context, int64_t& total);

 protected:
  // Binds a 1-based column. The 32-bit slot holds the capacity when called and the
  // driver's length or indicator after each fetch. 0 or 1 on success.
  int BindField(int column, void* buffer, SQLSMALLINT cType, int32_t* lengthOrIndicator);
  // The connection the recordset reads from.
  CODBCDatabase* Database() const { return m_database; }
  // How many columns the open result set has; 0 when none is open.
  int ResultColumns() const { return m_resultColumns; }

  // The long field's binding for a write, made by BindLongFields: one SQLBindCol on the
  // statement, and the library's note of it, so that a write can send the value (at
  // execution time when the slot holds a data-at-execution length, with the buffer's
  // address as the token SQLParamData hands back). Null buffer and slot unbind it.
  SQLRETURN BindLongField(int column, void* buffer, SQLLEN length, int32_t* lengthOrIndicator);

  // Keeps an error that the recordset found itself (not the driver), for GetError.
  void RecordError(const char16_t* state, const char16_t* text);

  // The statement the long-field hooks work on: while a row is written, the write's own
  // statement (where the long field is bound and its data sent); otherwise the result
  // set's.
  SQLHSTMT HookStatement() const { return m_writeStmt != SQL_NULL_HSTMT ? m_writeStmt : m_hStmt.get(); }

  int32_t m_nFields = 0;
  bool m_bFieldsBound = false;

 private:
  struct Binding {
    int column;
    void* buffer;
    SQLSMALLINT cType;
    SQLLEN capacity;
    int32_t* slot;
    SQLLEN indicator;
    // The last fetch put into the slot a length that the buffer could not hold (the
    // value arrived cut); a write refuses to send it while the slot still says so.
    bool cutByFetch;
    int32_t cutSlot;
  };
  struct Parameter;
  struct WritePlan;
  class CWriteScope;
  enum class WriteKind { Insert, Update, Delete };

  SQLRETURN Fetch();
  // Closes a result that failed to open, keeping its error for GetError; answers -1.
  int AbandonOpen();
  SQLRETURN Write(WriteKind kind);
  bool CanWrite(WriteKind kind);
  void PlanColumn(const Binding& b, bool longField, WriteKind kind, WritePlan& plan) const;
  void PlanStatement(WriteKind kind, WritePlan& plan);
  SQLRETURN SendWrite(WriteKind kind, SQLHSTMT write, WritePlan& plan);
  SQLRETURN CheckRowWritten(WriteKind kind, SQLHSTMT write, SQLRETURN rc);
  bool ReadWriteTarget();
  void KeepKey();
  bool KeptRowExists();
  void NoteCutValue(Binding& binding);
  void CopyIndicatorsToSlots();
  void RecordStatementError(SQLRETURN rc, const char16_t* call = nullptr);

  UniqueStmtHandle m_hStmt;
  SQLHSTMT m_writeStmt = SQL_NULL_HSTMT;  // not owned: the write in progress owns it
  CODBCDatabase* m_database;
  int m_updatable;
  int m_resultColumns = 0;
  bool m_eof = true;
  bool m_hasError = false;
  // ODBC writes SQLLEN (64 bits here) indicators; the recordset's slots are 32 bits.
  // A deque keeps the addresses that ODBC holds stable as columns are added.
  std::deque<Binding> m_bindings;
  Binding m_longField = {};
  bool m_hasLongField = false;
  // What a write names: the base table and the columns of the result set, read from its
  // metadata once, and the key (the first column) of the current row as it was fetched.
  std::u16string m_table;
  std::vector<std::u16string> m_columnNames;
  uint8_t m_key[8] = {};
  SQLLEN m_keyLength = 0;
  _SQL_Error m_lastError;
};
