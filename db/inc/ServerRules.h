#pragma once
// What the tool does differently on each database server, one unit per server under
// db/src/servers/: the selection and how a stored row is read and digested, the summary
// the check compares, the probe before the listing and what a refusal means, how lock
// waits are bounded and the write lock taken, whether deleting may take other rows, the
// snapshot the listing shares, the identity of the database file. The rules are chosen
// once, when the connection is made, from the name the driver gives its server; a server
// the tool has no unit for gets the defaults here, which ask its catalogue nothing and
// assume the worst where it matters. Statements and classifications need no connection:
// each can be checked on its own.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "strandlink.h"

class CServerConnection;
class CStoredRowSet;
class CRowReader;

// What a failed statement or commit says about other sessions.
enum class LockFailure {
  None,          // something else
  WaitTimedOut,  // it waited for another session's lock until the bound ran out
  Conflict,      // another transaction changed or locked the same rows at the same time
                 // (a serialization failure, or the victim of a deadlock)
};

// Why a server refuses statements that would change the database, whatever they are.
enum class Refusal {
  None,      // something else, or nothing
  NotReady,  // a cluster node that has not joined its cluster, or is not in sync
  ReadOnly,  // a replica (a hot standby, a read-intent secondary) or a read-only server
};

class CServerRules : public CTransactionRules {
 public:
  // The rules of the server the driver names (SQL_DBMS_NAME); the defaults for any other.
  static const CServerRules& For(std::u16string_view dbmsName);

  // What the connection still needs once the driver took it, given the string it was
  // given and the one the driver completed. False with the connection closed and the
  // reason kept on it.
  [[nodiscard]] virtual bool SettleConnection(CServerConnection& database, std::u16string_view given,
                                              std::u16string_view completed, int lockWaitSeconds) const;

  // The stored schema version, where the driver's text of it could hide what is stored
  // (its type, an embedded NUL, bytes that are not text), before TestDBVersion reads that
  // text. False, with the refusal kept on the connection, for a value that is not the
  // accepted version; true for whatever TestDBVersion reads exactly (and for a failure to
  // read, which it reports). By default nothing is asked.
  [[nodiscard]] virtual bool StoredVersionPasses(CServerConnection& database) const;

  // The statement that bounds, for the rest of the session, how long a statement waits
  // for another session's lock: `seconds`, or the session's own bound where that is
  // lower. Empty where nothing can be sent once connected.
  virtual std::u16string LockWaitStatement(int seconds) const;
  virtual LockFailure ClassifyLockFailure(const _SQL_Error& error) const;

  // The probe of whether the session may change `table`, before anything is listed:
  // a statement run in a transaction of its own that is rolled back at once, which a
  // server that takes no changes refuses; or, where `readsSetting`, a query whose answer
  // must be "off" (the transaction's read-only setting). Empty: not probed.
  struct WriteProbe {
    std::u16string statement;
    bool readsSetting = false;
  };
  virtual WriteProbe ProbeStatement(std::u16string_view table) const;
  virtual Refusal ClassifyRefusal(const _SQL_Error& error) const;

  // Begins the deletion's transaction, at serializable isolation, with whatever the
  // server needs taken before the check. Non-zero on success; zero with the record
  // filled and no transaction left open.
  [[nodiscard]] virtual int BeginDeletion(CServerConnection& database, _SQL_Error& error) const;

  // A query that answers 0 when the catalogue shows no way for a deletion from `table` to
  // take other rows (a trigger, a rule, a key that acts on deletions). Empty where the
  // catalogue is not known: it may.
  virtual std::u16string CascadeQuery(std::u16string_view table) const;

  // How the rows are read, digested and summed: for a recordset of this server's rows.
  virtual std::unique_ptr<CRowReader> MakeRowReader(CStoredRowSet& rows) const;

 protected:
  CServerRules() = default;
  ~CServerRules() override = default;
};
