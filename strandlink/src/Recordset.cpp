#include <climits>

#include "Diagnostics.h"
#include "strandlink.h"

CODBCRecordset::CODBCRecordset(CODBCDatabase* database, unsigned long /*cursorKind*/, unsigned long /*options*/,
                               int updatable)
    : m_database(database), m_updatable(updatable) {}

CODBCRecordset::~CODBCRecordset() { Close(); }

void CODBCRecordset::RecordStatementError(SQLRETURN rc, const char16_t* call) {
  ReadDiagnostic(SQL_HANDLE_STMT, HookStatement(), rc, m_lastError, call);
  m_hasError = true;
}

void CODBCRecordset::RecordError(const char16_t* state, const char16_t* text) {
  SetLibraryError(m_lastError, state, text);
  m_hasError = true;
}

bool CODBCRecordset::GetError(_SQL_Error& error) const { return CopyKeptError(m_hasError, m_lastError, error); }

int CODBCRecordset::Insert(int count) {
  if (count != 1) {
    RecordError(u"HY107", u"A recordset inserts one row at a time.");
    return SQL_ERROR;
  }
  return Write(WriteKind::Insert);
}

int CODBCRecordset::Delete() { return Write(WriteKind::Delete); }

int CODBCRecordset::Update() { return Write(WriteKind::Update); }

void CODBCRecordset::PrepareGet() {}

void CODBCRecordset::PrepareSet() {
  // From here on the slots say what the setters put in, not what a fetch found.
  for (Binding& b : m_bindings) b.cutByFetch = false;
}

int CODBCRecordset::BindFields() {
  // The plain recordset binds no column of its own; a derived one binds its fields on
  // top of this and reports whether all of them were bound.
  m_bFieldsBound = true;
  return SQL_SUCCESS;
}

SQLRETURN CODBCRecordset::BindLongFields() { return SQL_SUCCESS; }
SQLRETURN CODBCRecordset::UnbindLongFields() { return SQL_SUCCESS; }
SQLRETURN CODBCRecordset::GetLongFieldsData() { return SQL_SUCCESS; }
SQLRETURN CODBCRecordset::PutLongFieldsData() { return SQL_SUCCESS; }

int CODBCRecordset::BindField(int column, void* buffer, SQLSMALLINT cType, int32_t* lengthOrIndicator) {
  // NOTE: the SQLite3 driver and psqlODBC both accept a column number beyond the result
  // set and then fetch rows that never touch its buffer, so the library checks it.
  // (MariaDB Connector/ODBC refuses it with 07009 itself; the check answers the same.)
  if (!m_hStmt || column < 1 || column > m_resultColumns) {
    RecordError(u"07009", u"Invalid descriptor index: the result set has no such column to bind.");
    return SQL_ERROR;
  }
  // The slot carries the capacity in; from now on it is the column's length/indicator.
  const SQLLEN capacity = lengthOrIndicator != nullptr ? *lengthOrIndicator : 0;
  Binding& binding = m_bindings.emplace_back(Binding{column, buffer, cType, capacity, lengthOrIndicator, 0, false, 0});
  const SQLRETURN rc = SQLBindCol(m_hStmt.get(), static_cast<SQLUSMALLINT>(column), cType, buffer, capacity,
                                  lengthOrIndicator != nullptr ? &binding.indicator : nullptr);
  if (!SqlSucceeded(rc)) {
    RecordStatementError(rc);
    m_bindings.pop_back();
  }
  return rc;
}

void CODBCRecordset::CopyIndicatorsToSlots() {
  for (Binding& b : m_bindings) {
    if (b.slot == nullptr) continue;
    SQLLEN v = b.indicator;
    // Lengths beyond 32 bits do not fit the slot; they are far beyond any buffer anyway.
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    *b.slot = static_cast<int32_t>(v);
    NoteCutValue(b);
  }
}

SQLRETURN CODBCRecordset::Fetch() {
  SQLRETURN rc = SQLFetch(m_hStmt.get());
  if (rc == SQL_NO_DATA) {
    m_eof = true;
    m_hasError = false;
    return rc;
  }
  if (!SqlSucceeded(rc)) {
    // A row that cannot be fetched ends the walk, and the error says why: a caller must
    // be able to tell an interrupted listing from a complete one.
    RecordStatementError(rc, u"SQLFetch");
    m_eof = true;
    return rc;
  }
  CopyIndicatorsToSlots();
  if (m_updatable) KeepKey();
  m_eof = false;
  m_hasError = false;
  const SQLRETURN longRc = GetLongFieldsData();
  if (!SqlSucceeded(longRc) && longRc != SQL_NO_DATA) {
    if (longRc == SQL_INVALID_HANDLE) {
      RecordError(u"HY001", u"The long field of the row could not be stored: out of memory.");
    } else {
      RecordStatementError(longRc);
    }
    m_eof = true;
    return longRc;
  }
  return rc;
}

SQLRETURN CODBCRecordset::ReadWholeValue(int column, SQLSMALLINT cType, ValuePiece piece, void* context,
                                         int64_t& total) {
  // NOTE: each driver we run on allows SQLGetData on a bound column (SQL_GD_BOUND), and
  // its first call after a fetch starts at the value's beginning (measured: the SQLite3
  // driver, psqlODBC, MariaDB Connector/ODBC).
  total = 0;
  if (!m_hStmt || m_eof) {
    RecordError(u"24000", u"There is no current row to read.");
    return SQL_ERROR;
  }
  // Text pieces end with a NUL that is not part of the value.
  const std::size_t terminator = cType == SQL_C_WCHAR ? sizeof(SQLWCHAR) : (cType == SQL_C_CHAR ? 1 : 0);
  alignas(8) uint8_t buffer[4096];
  for (;;) {
    SQLLEN indicator = 0;
    const SQLRETURN rc =
        SQLGetData(m_hStmt.get(), static_cast<SQLUSMALLINT>(column), cType, buffer, sizeof buffer, &indicator);
    if (rc == SQL_NO_DATA) return SQL_SUCCESS;  // the value ended with the last piece
    if (!SqlSucceeded(rc)) {
      RecordStatementError(rc);
      return rc;
    }
    if (indicator == SQL_NULL_DATA) {
      total = SQL_NULL_DATA;
      return rc;
    }
    // Cut short (SQL_SUCCESS_WITH_INFO with more to come): the buffer is full but for the
    // terminator. The last piece: its indicator is what is left, all of it in the buffer.
    const bool more = indicator == SQL_NO_TOTAL || indicator > static_cast<SQLLEN>(sizeof buffer - terminator);
    if (!more && indicator < 0) {
      RecordError(u"HY000", u"The driver reported an invalid length for a value.");
      return SQL_ERROR;
    }
    const std::size_t length = more ? sizeof buffer - terminator : static_cast<std::size_t>(indicator);
    piece(context, buffer, length);
    total += static_cast<int64_t>(length);
    if (!more) return rc;
  }
}

int CODBCRecordset::AbandonOpen() {
  // The error recorded for the failed step is the one to report, whatever closing does.
  const _SQL_Error kept = m_lastError;
  Close();
  m_lastError = kept;
  m_hasError = true;
  return -1;
}

int CODBCRecordset::Open(const char16_t* sql) {
  Close();
  m_hasError = false;
  if (m_database == nullptr || !m_database->IsConnected()) {
    RecordError(u"08003", u"The connection is not open.");
    return -1;
  }
  SQLRETURN rc = AllocateHandle(m_database->Handle(), m_hStmt);
  if (!SqlSucceeded(rc)) {
    ReadDiagnostic(SQL_HANDLE_DBC, m_database->Handle(), rc, m_lastError);
    m_hasError = true;
    return -1;
  }
  rc = SQLExecDirectW(m_hStmt.get(), AsSqlText(sql != nullptr ? sql : u""), SQL_NTS);
  if (!SqlSucceeded(rc)) {
    if (rc == SQL_NO_DATA) {
      // A statement that ran but produced no result set: nothing to walk, and no error
      // that the driver could name.
      Close();
      return -1;
    }
    RecordStatementError(rc, u"SQLExecDirect");
    return AbandonOpen();
  }
  SQLSMALLINT columns = 0;
  rc = SQLNumResultCols(m_hStmt.get(), &columns);
  if (!SqlSucceeded(rc)) {
    // Not knowing the columns is a failure, not an empty result: the caller must not take
    // it for "no rows".
    RecordStatementError(rc);
    return AbandonOpen();
  }
  if (columns == 0) {
    Close();
    return -1;
  }
  m_resultColumns = columns;
  PrepareGet();
  const int bound = BindFields();
  if ((bound != SQL_SUCCESS && bound != SQL_SUCCESS_WITH_INFO) || !m_bFieldsBound) {
    // A column that could not be bound would be listed empty: refuse the result set.
    if (!m_hasError) RecordError(u"07009", u"The result set does not have the columns the recordset binds.");
    return AbandonOpen();
  }
  rc = Fetch();
  if (rc != SQL_NO_DATA && !SqlSucceeded(rc)) {
    return AbandonOpen();
  }
  return 0;
}

int CODBCRecordset::MoveNext() {
  if (!m_hStmt || m_eof) return SQL_NO_DATA;
  return Fetch();
}

void CODBCRecordset::Close() {
  m_hStmt.reset();
  m_bindings.clear();
  m_hasLongField = false;
  m_table.clear();
  m_columnNames.clear();
  m_keyLength = 0;
  m_resultColumns = 0;
  m_eof = true;
}
