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

  // True when the last failed operation on this connection left an error; copies it.
  [[nodiscard]] bool GetError(_SQL_Error& error) const;

  // Runs one complete statement. Non-zero on success (a statement that affects no row
  // succeeds too); zero on failure, with the record filled.
  [[nodiscard]] int Execute(const char16_t* sql, _SQL_Error& error);
  // The same, telling how many rows the statement affected (-1 when the driver cannot).
  [[nodiscard]] int Execute(const char16_t* sql, _SQL_Error& error, SQLLEN* rowCount);

  // A transaction around several statements: autocommit is off until it ends. isolation,
  // when not 0, is the SQL_TXN_* level asked for first; a driver that refuses it, or
  // grants another, fails the call, so that no statement runs under a weaker guard than
  // the caller asked for (the level stays for later transactions of the connection). A
  // database that could not undo the transaction (SQLite without a rollback journal) is
  // refused once it is begun, and the transaction rolled back. Non-zero on success; zero
  // with the record filled.
  [[nodiscard]] int BeginTransaction(_SQL_Error& error, SQLULEN isolation = 0);
  // Commits or rolls back. Autocommit is switched back on only once the transaction has
  // ended: switching it on with a transaction open commits it. When neither the commit
  // nor the rollback succeeds, the connection is closed instead (never committed), so the
  // server undoes the transaction when the session ends. Zero with the record filled
  // when the transaction was not ended as asked; TransactionOutcome() then tells what
  // became of it.
  [[nodiscard]] int EndTransaction(bool commit, _SQL_Error& error);

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

  // True when deleting rows of `table` may make the database delete other rows of it by
  // itself: its catalogue shows a trigger on the table, or a foreign key that acts when
  // its rows are deleted. A server whose catalogue the library does not know
  // answers true. Non-zero on success; zero with the record filled.
  [[nodiscard]] int MayDeleteMoreThanAsked(const char16_t* table, bool& may, _SQL_Error& error);
  // The number of rows of `table`, as the open transaction sees it. Non-zero on success.
  [[nodiscard]] int CountRows(const char16_t* table, int64_t& rows, _SQL_Error& error);

  // PostgreSQL: a read transaction at REPEATABLE READ whose snapshot other sessions can
  // take (BeginInSnapshot), so that their statements see exactly the rows this one's do.
  // Non-zero with the transaction open and id naming its snapshot; zero with the record
  // filled and no transaction left open.
  [[nodiscard]] int BeginSharedSnapshot(std::u16string& id, _SQL_Error& error);
  // PostgreSQL: a transaction at REPEATABLE READ that sees what the snapshot `id`, of
  // another session's open transaction, sees. Non-zero on success; zero with the record
  // filled.
  [[nodiscard]] int BeginInSnapshot(std::u16string_view id, _SQL_Error& error);
  // What another connection like this one is made with: the string this one was
  // connected with, and the bound its lock waits were given (0 when none was).
  const std::u16string& ConnectionText() const { return m_connectionText; }
  int LockWaitSeconds() const { return m_lockWaitSeconds; }

  // Bounds, for the rest of the session, how long a statement waits for a lock that
  // another session holds: `seconds`, or the session's own bound where that is lower.
  // Past it the statement fails (ClassifyLockFailure then answers WaitTimedOut). Chosen
  // by the server the driver names. Non-zero on success; zero with the record filled.
  [[nodiscard]] int LimitLockWaits(int seconds, _SQL_Error& error);

  // Takes at once the lock that the open transaction's first write to `table` will need,
  // where taking it only then can deadlock with another writer: on SQLite, a transaction
  // that has read cannot get the database's write lock while another one holds it, nor
  // can that other one commit while this one still reads, so both would wait out their
  // busy timeouts. Nothing elsewhere: row locks come with the rows. Non-zero on success;
  // zero with the record filled.
  [[nodiscard]] int LockForWriting(const char16_t* table, _SQL_Error& error);

  // What a failed statement or commit says about other sessions.
  enum class LockFailure {
    None,          // something else
    WaitTimedOut,  // it waited for another session's lock until the bound ran out
    Conflict,      // another transaction changed or locked the same rows at the same time
                   // (a serialization failure, or the victim of a deadlock)
  };
  [[nodiscard]] LockFailure ClassifyLockFailure(const _SQL_Error& error) const;

  // Whether this session can change `table`, found out before anything is listed, and
  // without changing or keeping anything: a DELETE that matches no row, in a transaction
  // of its own that is rolled back at once (its lock waits the session's bound), which a
  // replica or a read-only server refuses; on PostgreSQL, whether the
  // transaction is read-only. Non-zero when the server took it;
  // zero with the record filled (ClassifyRefusal tells why).
  [[nodiscard]] int ProbeWrite(const char16_t* table, _SQL_Error& error);

  // Why a server refuses statements that would change the database, whatever they are.
  enum class Refusal {
    None,      // something else, or nothing
    NotReady,  // a cluster node that has not joined its cluster, or is not in sync
    ReadOnly,  // a replica (a hot standby, a read-intent secondary) or a read-only server
  };
  [[nodiscard]] Refusal ClassifyRefusal(const _SQL_Error& error) const;

  // The servers whose statements, error codes or driver quirks the library tells apart,
  // by the name the driver gives (SQL_DBMS_NAME); Other until connected.
  enum class Server { Other, SqlServer, PostgreSQL, MariaDB, SQLite };
  Server ServerKind() const { return m_server; }

  // The file that SQLite opened as the connection's main database, as SQLite names it
  // (its full path); false, with the error kept, on another server or when SQLite cannot
  // say. The name is read as its bytes, so no driver's conversion of text changes it; a
  // name that is not UTF-8 is false too, with path holding it for showing (U+FFFD for
  // each byte that is not).
  [[nodiscard]] bool OpenedFile(std::u16string& path);

  // The library's own business: the handle for recordsets, and the error record of a
  // failure that the library found itself (a refused schema version).
  SQLHDBC Handle() const { return m_hDbc.get(); }
  void SetError(const _SQL_Error& error);
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
  int Fail(const char16_t* state, const char16_t* text, _SQL_Error& error);
  int FailWithDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle, SQLRETURN rc, _SQL_Error& error);

  void ReadServerKind();
  bool TransactionAlreadyEnded(const _SQL_Error& rollbackError) const;
  // True when a failed commit's diagnostic means that the server rolled the transaction
  // back, or refused the commit and kept it open to be rolled back.
  bool CommitRefused(const _SQL_Error& commitError) const;
  // Rolls back a transaction that failed as it was begun; zero with the failure kept.
  int EndBegunTransaction(_SQL_Error& error);
  // Refuses a transaction that the database could not undo; zero with the record filled.
  int RequireRollbackJournal(_SQL_Error& error);
  // The first column of the first row of a query, as text; the record filled on failure.
  int QueryText(const char16_t* sql, std::u16string& value, _SQL_Error& error);
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
  Server m_server = Server::Other;
  _SQL_Error m_lastError;
  std::u16string m_connectionText;
  int m_lockWaitSeconds = 0;
};

// The schema version this build accepts.
constexpr long kAcceptedSchemaVersion = 4;

// 0 when the connected database holds exactly the accepted schema version. Otherwise
// non-zero, with an error on the connection that says what was found.
[[nodiscard]] long TestDBVersion(CODBCDatabase* database);

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
