// Writing the recordset's bound row: Insert, Update and Delete.
//
// NOTE: positioned writes through the cursor (SQLBulkOperations, SQLSetPos) are not used.
// The SQLite3 driver's SQLBulkOperations ignores SQL_COLUMN_IGNORE and data-at-execution
// lengths and reports success after storing wrong bytes, its SQLSetPos updates fail with
// data at execution, and unixODBC's cursor library reports success for positioned updates
// that change nothing. So a write is one parameterised statement on a statement handle of
// its own, built from the result set's metadata: the bound columns whose slot is not
// SQL_IGNORE become parameters that point at the row buffers, and the long field is sent
// at execution time through the recordset's own hooks. Update and Delete find the row by
// its first column, as it was fetched. Every statement is plain SQL that SQL Server,
// PostgreSQL, MariaDB and SQLite all accept.

#include <cstring>
#include <string>
#include <vector>

#include "Diagnostics.h"
#include "strandlink.h"

namespace {

// Why a row is not written; nothing of it is sent then.
constexpr const char16_t* kOddColumnName =
    u"A column of this result set has a name that is not a plain identifier: the row cannot be written.";
constexpr const char16_t* kMoreThanTheBuffer =
    u"A value to be written claims more bytes than its buffer holds: nothing was written.";
constexpr const char16_t* kFetchedCut =
    u"A value of the row was fetched longer than its buffer and cannot be written back whole: nothing was written.";

bool IsPlainIdentifier(const std::u16string& name) {
  if (name.empty() || name.size() > 128) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    const bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_';
    const bool digit = c >= u'0' && c <= u'9';
    if (!letter && !(digit && i > 0)) return false;
  }
  return true;
}

std::u16string ColumnText(SQLHSTMT stmt, int column, SQLUSMALLINT field) {
  char16_t text[256] = {};
  SQLSMALLINT length = 0;
  if (!SqlSucceeded(SQLColAttributeW(stmt, static_cast<SQLUSMALLINT>(column), field, text, sizeof text, &length, nullptr))) {
    return {};
  }
  text[255] = 0;
  return text;
}

// The SQL type a parameter is declared with, from the C type of its buffer.
SQLSMALLINT SqlTypeOf(SQLSMALLINT cType, bool longField) {
  switch (cType) {
    case SQL_C_LONG:
    case SQL_C_SLONG:
    case SQL_C_ULONG:
      return SQL_INTEGER;
    case SQL_C_SHORT:
    case SQL_C_SSHORT:
    case SQL_C_USHORT:
      return SQL_SMALLINT;
    case SQL_C_SBIGINT:
    case SQL_C_UBIGINT:
      return SQL_BIGINT;
    case SQL_C_WCHAR:
      return longField ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
    case SQL_C_CHAR:
      return longField ? SQL_LONGVARCHAR : SQL_VARCHAR;
    default:
      return longField ? SQL_LONGVARBINARY : SQL_VARBINARY;
  }
}

std::size_t FixedSize(SQLSMALLINT cType) {
  switch (cType) {
    case SQL_C_LONG:
    case SQL_C_SLONG:
    case SQL_C_ULONG:
      return 4;
    case SQL_C_SHORT:
    case SQL_C_SSHORT:
    case SQL_C_USHORT:
      return 2;
    case SQL_C_SBIGINT:
    case SQL_C_UBIGINT:
      return 8;
    default:
      return 0;
  }
}

}  // namespace

struct CODBCRecordset::Parameter {
  void* buffer;
  SQLSMALLINT cType;
  SQLSMALLINT sqlType;
  SQLULEN columnSize;
  SQLLEN bufferLength;
  SQLLEN indicator;
};

// One write as it is built: its statement, its parameters in order, and the first reason
// found why the row cannot be written as it stands (nothing is sent then).
struct CODBCRecordset::WritePlan {
  std::vector<Parameter> parameters;
  std::u16string columns;  // the column list of an insert
  std::u16string values;   // the value list of an insert, the SET list of an update
  std::u16string sql;
  const char16_t* refusal = nullptr;
  const char16_t* refusalState = u"HY000";

  void Refuse(const char16_t* state, const char16_t* text) {
    if (refusal != nullptr) return;
    refusalState = state;
    refusal = text;
  }
};

// While a row is written, the long-field hooks work on the write's statement.
class CODBCRecordset::CWriteScope {
 public:
  CWriteScope(CODBCRecordset& recordset, SQLHSTMT write) : m_recordset(recordset) { m_recordset.m_writeStmt = write; }
  ~CWriteScope() { m_recordset.m_writeStmt = SQL_NULL_HSTMT; }
  CWriteScope(const CWriteScope&) = delete;
  CWriteScope& operator=(const CWriteScope&) = delete;

 private:
  CODBCRecordset& m_recordset;
};

SQLRETURN CODBCRecordset::BindLongField(int column, void* buffer, SQLLEN length, int32_t* lengthOrIndicator) {
  if (buffer == nullptr && lengthOrIndicator == nullptr) {
    m_hasLongField = false;
    return SQLBindCol(HookStatement(), static_cast<SQLUSMALLINT>(column), SQL_C_BINARY, nullptr, 0, nullptr);
  }
  m_longField = Binding{column, buffer, SQL_C_BINARY, length, lengthOrIndicator,
                        lengthOrIndicator != nullptr ? *lengthOrIndicator : SQL_NULL_DATA, false, 0};
  m_hasLongField = true;
  return SQLBindCol(HookStatement(), static_cast<SQLUSMALLINT>(column), SQL_C_BINARY, buffer, length,
                    &m_longField.indicator);
}

void CODBCRecordset::KeepKey() {
  // The first bound column identifies the row for Update and Delete; keep it as fetched,
  // since the setters may change the buffer before the write.
  m_keyLength = 0;
  if (m_bindings.empty() || m_bindings.front().column != 1) return;
  const Binding& key = m_bindings.front();
  const std::size_t size = FixedSize(key.cType);
  if (size == 0 || key.indicator == SQL_NULL_DATA) return;
  std::memcpy(m_key, key.buffer, size);
  m_keyLength = static_cast<SQLLEN>(size);
}

bool CODBCRecordset::KeptRowExists() {
  UniqueStmtHandle owner;
  if (!SqlSucceeded(AllocateHandle(m_database->Handle(), owner))) return false;
  const SQLHSTMT check = owner.get();
  const Binding& key = m_bindings.front();
  const std::u16string sql = u"SELECT COUNT(*) FROM " + m_table + u" WHERE " + m_columnNames[key.column] + u" = ?";
  SQLLEN keyLength = m_keyLength;
  SQLINTEGER count = 0;
  SQLLEN countIndicator = 0;
  const bool exists =
      SqlSucceeded(SQLPrepareW(check, AsSqlText(sql.c_str()), SQL_NTS)) &&
      SqlSucceeded(SQLBindParameter(check, 1, SQL_PARAM_INPUT, key.cType, SqlTypeOf(key.cType, false), 0, 0, m_key,
                                    m_keyLength, &keyLength)) &&
      SqlSucceeded(SQLExecute(check)) && SqlSucceeded(SQLBindCol(check, 1, SQL_C_SLONG, &count, 0, &countIndicator)) &&
      SqlSucceeded(SQLFetch(check)) && count > 0;
  return exists;
}

void CODBCRecordset::NoteCutValue(Binding& b) {
  // A character value needs room for its terminator. A driver that cannot tell a value's
  // length (SQL_NO_TOTAL) has cut it too. Fixed-size types always fit.
  const SQLLEN holds = b.cType == SQL_C_WCHAR ? b.capacity - 2 : b.cType == SQL_C_CHAR ? b.capacity - 1 : b.capacity;
  b.cutByFetch = FixedSize(b.cType) == 0 && (b.indicator == SQL_NO_TOTAL || b.indicator > holds);
  b.cutSlot = *b.slot;
}

bool CODBCRecordset::ReadWriteTarget() {
  if (!m_table.empty()) return true;
  const SQLHSTMT cursor = m_hStmt.get();
  std::u16string table = ColumnText(cursor, 1, SQL_DESC_BASE_TABLE_NAME);
  if (table.empty()) table = ColumnText(cursor, 1, SQL_DESC_TABLE_NAME);
  std::vector<std::u16string> names(static_cast<std::size_t>(m_resultColumns) + 1);
  for (int c = 1; c <= m_resultColumns; ++c) {
    names[c] = ColumnText(cursor, c, SQL_DESC_BASE_COLUMN_NAME);
    if (names[c].empty()) names[c] = ColumnText(cursor, c, SQL_DESC_NAME);
  }
  if (!IsPlainIdentifier(table)) {
    RecordError(u"HY000", u"The rows of this result set cannot be written: it does not come from one table.");
    return false;
  }
  m_table = table;
  m_columnNames = std::move(names);
  return true;
}

bool CODBCRecordset::CanWrite(WriteKind kind) {
  if (!m_updatable) {
    RecordError(u"HY092", u"The recordset was opened for reading only.");
    return false;
  }
  if (!m_hStmt || m_database == nullptr || !m_database->IsConnected()) {
    RecordError(u"HY010", u"The recordset has no open result set to write through.");
    return false;
  }
  if (kind != WriteKind::Insert && (m_eof || m_keyLength == 0)) {
    RecordError(u"24000", u"There is no current row to write.");
    return false;
  }
  return ReadWriteTarget();
}

void CODBCRecordset::PlanColumn(const Binding& b, bool longField, WriteKind kind, WritePlan& plan) const {
  // NOTE: the slot, not the indicator bound with SQLBindCol, says what to send: the
  // SQLite3 driver resets a bound indicator to 0 when the statement is prepared.
  const SQLLEN slot = static_cast<SQLLEN>(*b.slot);
  if (slot == SQL_IGNORE || b.column < 1 || b.column > m_resultColumns) return;
  if (!IsPlainIdentifier(m_columnNames[b.column])) {
    plan.Refuse(u"HY000", kOddColumnName);
    return;
  }
  Parameter p{b.buffer, b.cType, SqlTypeOf(b.cType, longField), 1, b.capacity, slot};
  if (slot <= SQL_LEN_DATA_AT_EXEC_OFFSET) {
    // Sent through PutLongFieldsData: the driver hands the buffer address back as the
    // token that says which value it wants.
    p.columnSize = static_cast<SQLULEN>(-(slot - SQL_LEN_DATA_AT_EXEC_OFFSET));
    p.bufferLength = 0;
    if (b.buffer == nullptr || static_cast<SQLLEN>(p.columnSize) > b.capacity) {
      plan.Refuse(u"HY090", kMoreThanTheBuffer);
    }
  } else if (slot >= 0) {
    SQLLEN length = slot;
    // Fetched longer than its buffer: what the buffer holds is not the value.
    if (b.cutByFetch && *b.slot == b.cutSlot) plan.Refuse(u"22001", kFetchedCut);
    // A character value counted with its terminator would store the NUL too.
    if (b.cType == SQL_C_WCHAR && length >= 2 && length <= b.capacity &&
        reinterpret_cast<const char16_t*>(b.buffer)[length / 2 - 1] == 0) {
      length -= 2;
    }
    if (length > b.capacity || (b.buffer == nullptr && length > 0)) {
      plan.Refuse(longField ? u"HY090" : u"22001", kMoreThanTheBuffer);
    }
    p.indicator = length;
    const SQLULEN characters = b.cType == SQL_C_WCHAR ? static_cast<SQLULEN>(length / 2) : static_cast<SQLULEN>(length);
    p.columnSize = characters > 0 ? characters : 1;
  } else if (slot != SQL_NULL_DATA) {
    return;  // no other indicator means anything to send
  }
  if (FixedSize(b.cType) != 0) p.columnSize = 0;
  if (!plan.columns.empty()) {
    plan.columns += u", ";
    plan.values += u", ";
  }
  plan.columns += m_columnNames[b.column];
  plan.values += kind == WriteKind::Insert ? std::u16string(u"?") : m_columnNames[b.column] + u" = ?";
  plan.parameters.push_back(p);
}

void CODBCRecordset::PlanStatement(WriteKind kind, WritePlan& plan) {
  if (kind != WriteKind::Delete) {
    for (const Binding& b : m_bindings) PlanColumn(b, false, kind, plan);
    if (m_hasLongField) PlanColumn(m_longField, true, kind, plan);
  }
  if (kind == WriteKind::Insert) {
    plan.sql = u"INSERT INTO " + m_table + u" (" + plan.columns + u") VALUES (" + plan.values + u")";
    return;
  }
  const Binding& key = m_bindings.front();
  if (!IsPlainIdentifier(m_columnNames[key.column])) plan.Refuse(u"HY000", kOddColumnName);
  const std::u16string where = u" WHERE " + m_columnNames[key.column] + u" = ?";
  plan.parameters.push_back(Parameter{m_key, key.cType, SqlTypeOf(key.cType, false), 0, m_keyLength, m_keyLength});
  plan.sql = kind == WriteKind::Update ? u"UPDATE " + m_table + u" SET " + plan.values + where
                                       : u"DELETE FROM " + m_table + where;
}

SQLRETURN CODBCRecordset::SendWrite(WriteKind kind, SQLHSTMT write, WritePlan& plan) {
  if (plan.refusal != nullptr) {
    RecordError(plan.refusalState, plan.refusal);
    return SQL_ERROR;
  }
  if (plan.parameters.empty() || (kind == WriteKind::Insert && plan.columns.empty()) ||
      (kind == WriteKind::Update && plan.parameters.size() == 1)) {
    if (kind == WriteKind::Update) return SQL_SUCCESS;  // nothing set: nothing to update
    RecordError(u"HY000", u"No column of the row is set to be written.");
    return SQL_ERROR;
  }
  SQLRETURN rc = SQLPrepareW(write, AsSqlText(plan.sql.c_str()), SQL_NTS);
  for (std::size_t i = 0; SqlSucceeded(rc) && i < plan.parameters.size(); ++i) {
    Parameter& p = plan.parameters[i];
    rc = SQLBindParameter(write, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, p.cType, p.sqlType, p.columnSize, 0,
                          p.buffer, p.bufferLength, &p.indicator);
  }
  if (SqlSucceeded(rc)) rc = SQLExecute(write);
  if (rc == SQL_NEED_DATA) rc = PutLongFieldsData();
  if (!SqlSucceeded(rc) && rc != SQL_NO_DATA) {
    RecordStatementError(rc);
    return rc;
  }
  return CheckRowWritten(kind, write, rc);
}

SQLRETURN CODBCRecordset::CheckRowWritten(WriteKind kind, SQLHSTMT write, SQLRETURN rc) {
  if (kind == WriteKind::Insert) return rc;
  // The row is found by its key: no row means it is gone, and that is no success.
  SQLLEN rows = -1;
  SQLRowCount(write, &rows);
  // NOTE: MariaDB Connector/ODBC counts the rows an UPDATE changed, not the rows it
  // found, so an update that writes the values already stored counts 0; whether the
  // row is there is asked again before the write is called a failure.
  if ((rows == 0 || rc == SQL_NO_DATA) && !(kind == WriteKind::Update && KeptRowExists())) {
    RecordError(u"HY000", u"The current row no longer exists: nothing was written.");
    return SQL_ERROR;
  }
  return SQL_SUCCESS;
}

SQLRETURN CODBCRecordset::Write(WriteKind kind) {
  m_hasError = false;
  if (!CanWrite(kind)) return SQL_ERROR;

  UniqueStmtHandle write;
  SQLRETURN rc = AllocateHandle(m_database->Handle(), write);
  if (!SqlSucceeded(rc)) {
    ReadDiagnostic(SQL_HANDLE_DBC, m_database->Handle(), rc, m_lastError);
    m_hasError = true;
    return rc;
  }
  // The hooks bind the long field and send its data on the write's statement; the result
  // set's statement stays as it is.
  const CWriteScope scope(*this, write.get());
  m_hasLongField = false;
  if (kind != WriteKind::Delete) {
    rc = BindLongFields();
    if (!SqlSucceeded(rc)) {
      RecordStatementError(rc);
      return rc;
    }
  }
  WritePlan plan;
  PlanStatement(kind, plan);
  rc = SendWrite(kind, write.get(), plan);
  if (kind != WriteKind::Delete) {
    UnbindLongFields();
    m_hasLongField = false;
  }
  return rc;
}
