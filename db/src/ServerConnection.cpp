#include "ServerConnection.h"

#include <string>

int CServerConnection::Connect(const char16_t* connect, char16_t* out) {
  const int connected = DriverConnect(connect, out, nullptr, sqlNoPrompt);
  m_rules = &CServerRules::For(DbmsName());
  SetTransactionRules(m_rules);
  return connected;
}

int CServerConnection::LimitLockWaits(int seconds, _SQL_Error& error) {
  if (IsConnected() == 0) return Fail(u"08003", u"The connection is not open.", error);
  m_lockWaitSeconds = seconds;
  const std::u16string sql = m_rules->LockWaitStatement(seconds);
  return sql.empty() ? 1 : Execute(sql.c_str(), error);
}

int CServerConnection::ProbeWrite(const char16_t* table, _SQL_Error& error) {
  const CServerRules::WriteProbe probe = m_rules->ProbeStatement(table);
  if (probe.statement.empty()) return 1;
  if (BeginTransaction(error) == 0) return 0;
  bool took;
  if (probe.readsSetting) {
    std::u16string setting;
    took = QueryText(probe.statement.c_str(), setting, error) != 0;
    if (took && setting != u"off") took = Fail(u"25006", u"The transaction is read-only.", error) != 0;
  } else {
    // Its lock waits are the session's, bounded since it connected.
    took = Execute(probe.statement.c_str(), error) != 0;
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

int CServerConnection::MayDeleteMoreThanAsked(const char16_t* table, bool& may, _SQL_Error& error) {
  may = true;
  const std::u16string sql = m_rules->CascadeQuery(table);
  if (sql.empty()) return 1;  // a catalogue of its own: the check is paid
  std::u16string found;
  if (QueryText(sql.c_str(), found, error) == 0) return 0;
  may = found != u"0";
  return 1;
}

int CServerConnection::CountRows(const char16_t* table, int64_t& rows, _SQL_Error& error) {
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
