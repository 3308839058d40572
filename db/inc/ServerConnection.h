#pragma once
// The tool's session with its database: a connection of the access library, with the
// rules of the server it reached (chosen once, as it connects) and what the clean-up run
// asks of that server through them.

#include <cstdint>
#include <string>

#include "ServerRules.h"
#include "strandlink.h"

class CServerConnection : public CODBCDatabase {
 public:
  // DriverConnect without a prompt, then the rules of the server the driver names. out,
  // when not null, must hold 1024 characters. Non-zero when connected.
  [[nodiscard]] int Connect(const char16_t* connect, char16_t* out);
  const CServerRules& Rules() const { return *m_rules; }

  // Bounds the session's lock waits (CServerRules::LockWaitStatement). Non-zero on
  // success; zero with the record filled.
  [[nodiscard]] int LimitLockWaits(int seconds, _SQL_Error& error);
  // The bound given, for another session like this one; 0 when none was.
  int LockWaitSeconds() const { return m_lockWaitSeconds; }

  // Whether this session can change `table`, found out before anything is listed and
  // without changing or keeping anything (CServerRules::ProbeStatement). Non-zero when
  // the server took it, or was not asked; zero with the record filled (ClassifyRefusal
  // tells why).
  [[nodiscard]] int ProbeWrite(const char16_t* table, _SQL_Error& error);

  // True when deleting rows of `table` may make the database delete other rows of it by
  // itself. Non-zero on success; zero with the record filled.
  [[nodiscard]] int MayDeleteMoreThanAsked(const char16_t* table, bool& may, _SQL_Error& error);
  // The number of rows of `table`, as the open transaction sees it. Non-zero on success.
  [[nodiscard]] int CountRows(const char16_t* table, int64_t& rows, _SQL_Error& error);

  LockFailure ClassifyLockFailure(const _SQL_Error& error) const { return m_rules->ClassifyLockFailure(error); }
  Refusal ClassifyRefusal(const _SQL_Error& error) const { return m_rules->ClassifyRefusal(error); }

 private:
  const CServerRules* m_rules = &CServerRules::For(u"");
  int m_lockWaitSeconds = 0;
};
