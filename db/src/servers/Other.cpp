// Any ODBC database the tool has no unit for: the rules' defaults. Its catalogue is not
// known, so a deletion may take other rows; it is not probed, since a refusal it gave
// would say nothing; and its rows are read as the driver hands over the bound columns.

#include <algorithm>

#include "../RowReader.h"
#include "Servers.h"

namespace {

class COtherServerRules final : public CServerRules {};

}  // namespace

const CServerRules& OtherServerRules() { return TheRules<COtherServerRules>(); }

const CServerRules& CServerRules::For(std::u16string_view dbmsName) {
  struct Known {
    std::u16string_view name;
    const CServerRules& (*rules)();
  };
  static const Known kKnown[] = {{u"SQLite", SqliteRules},
                                 {u"PostgreSQL", PostgresRules},
                                 {u"MariaDB", MariaRules},
                                 {u"MySQL", MariaRules},
                                 {u"Microsoft SQL Server", SqlServerRules}};
  for (const Known& known : kKnown) {
    if (known.name == dbmsName) return known.rules();
  }
  return OtherServerRules();
}

bool CServerRules::SettleConnection(CServerConnection&, std::u16string_view, std::u16string_view, int) const {
  return true;
}

bool CServerRules::StoredVersionPasses(CServerConnection&) const { return true; }

std::u16string CServerRules::LockWaitStatement(int) const { return {}; }

LockFailure CServerRules::ClassifyLockFailure(const _SQL_Error& error) const {
  // Serialization failures and deadlock victims: the standard's class 40.
  const std::u16string_view state(error.sqlState);
  return state == u"40001" || state == u"40P01" ? LockFailure::Conflict : LockFailure::None;
}

CServerRules::WriteProbe CServerRules::ProbeStatement(std::u16string_view) const { return {}; }

Refusal CServerRules::ClassifyRefusal(const _SQL_Error&) const { return Refusal::None; }

int CServerRules::BeginDeletion(CServerConnection& database, _SQL_Error& error) const {
  return database.BeginTransaction(error, SQL_TXN_SERIALIZABLE);
}

std::u16string CServerRules::CascadeQuery(std::u16string_view) const { return {}; }

std::unique_ptr<CRowReader> CServerRules::MakeRowReader(CStoredRowSet& rows) const {
  return std::make_unique<CBoundRowReader>(rows);
}

std::u16string CBoundRowReader::Selection(std::u16string_view condition) const {
  return u"SELECT FileID, FileName, FileIdentification, OperationType FROM FileTree WHERE " + std::u16string(condition);
}

bool CBoundRowReader::ReadRow(Name& name, Digest& digest) {
  // The bound values as the driver hands them over, a value longer than its buffer read
  // whole again. (SQL Server stores names as UTF-16, which its drivers hand over as
  // stored.)
  CStoredRowSet& rows = Rows();
  CSipHash row(SipKey());
  row.UpdateWord(rows.IsFileIDNull() ? kNullWord : static_cast<uint32_t>(rows.GetFileID()));
  row.UpdateWord(rows.IsNull(CRegTreeRecSet::kOperationTypeColumn) ? kNullWord
                                                                   : static_cast<uint32_t>(rows.GetOperationType()));
  const auto value = [&](CRegTreeRecSet::Column column, SQLSMALLINT type, const void* fetched, std::size_t length) {
    if (rows.IsNull(column)) {
      row.UpdateWord(kNullWord);
      return true;
    }
    if (!rows.IsCut(column)) {
      row.Update(fetched, length);
      row.UpdateWord(length);
      return true;
    }
    int64_t total = 0;
    if (!SqlSucceeded(rows.ReadWholeValue(column, type, HashPiece, &row, total))) return false;
    row.UpdateWord(total == SQL_NULL_DATA ? kNullWord : static_cast<uint64_t>(total));
    return true;
  };
  const std::u16string_view text = rows.GetFetchedFileName();
  const std::size_t identificationBytes = std::min<std::size_t>(
      static_cast<std::size_t>(rows.GetFileIdentificationLength()), CRegTreeRecSet::kFileIdentificationBytes);
  if (!value(CRegTreeRecSet::kFileNameColumn, SQL_C_WCHAR, text.data(), text.size() * sizeof(char16_t)) ||
      !value(CRegTreeRecSet::kFileIdentificationColumn, SQL_C_BINARY, rows.GetFileIdentification(),
             identificationBytes)) {
    return false;
  }
  digest = {row.Final(), KeyDigest(SipKey(), rows.IsFileIDNull(), rows.GetFileID())};
  name = Name();
  name.null = rows.IsFileNameNull();
  name.text = text;
  name.cut = rows.IsCut(CRegTreeRecSet::kFileNameColumn);
  return true;
}

const uint8_t* CBoundRowReader::ListedIdentification(int& length) {
  length = Rows().GetFileIdentificationLength();
  return Rows().GetFileIdentification();
}
