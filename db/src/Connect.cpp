#include "Connect.h"

#include <string>

#include "ConnectionStringMask.h"
#include "Console.h"
#include "VisibleText.h"
#include "servers/Servers.h"

namespace {

// A server that takes no changes (a replica, a read-only server, a cluster node that is
// not ready) is found out before anything is listed: otherwise the operator would read
// the list and answer "yes" only for the DELETE to be refused. Only the servers whose
// refusals the rules can tell apart are asked (CServerRules::ProbeStatement). A probe
// that waited out the lock-wait bound behind another session's lock on the table ends the
// run too: the listing would only wait the bound a second time. False with the connection
// closed and the refusal or the lock failure kept.
bool TakesChanges(CServerConnection& database) {
  _SQL_Error error;
  const bool took = database.ProbeWrite(u"FileTree", error) != 0;
  // A rollback that failed gave the connection up, with its reason kept.
  if (!database.IsConnected()) return false;
  if (!took && (database.ClassifyRefusal(error) != Refusal::None ||
                database.ClassifyLockFailure(error) != LockFailure::None)) {
    database.Close();
    return false;
  }
  // Any other failure (no such table, no right to delete) is the version check's or the
  // deletion's to report, as it would be without the probe.
  database.ClearError();
  return true;
}

}  // namespace

bool ConnectToDatabase(CServerConnection& database, const char16_t* connectionString, int lockWaitSeconds) {
  // A private copy of the string, freed on every path out.
  const std::u16string copy(connectionString != nullptr ? connectionString : u"");
  if (database.IsConnected()) database.Close();
  char16_t completed[1024] = {};
  // NOTE: a driver manager converts the string for a driver without wide calls (the
  // SQLite3 driver's), and the conversion of text that is not ASCII can be lossy (odbc32
  // through a code page, unixODBC under Wine by dropping high bytes): the driver would
  // then open, or create, a database by another name. The tool never wants a database
  // made for it, by any name: a mistyped path would be created empty. NoCreat=1 keeps the
  // SQLite3 driver from creating one; the file it opened is checked as the connection is
  // settled. Other drivers ignore an attribute they do not know, as ODBC asks of them.
  const std::u16string first = u"NoCreat=1;" + copy;
  if (database.Connect(first.c_str(), completed) == 0) {
    ExplainSqliteRefusal(database, copy);
    return false;
  }
  if (!database.Rules().SettleConnection(database, copy, completed, lockWaitSeconds)) return false;
  // Bounded for the whole session: a table locked by another session (LOCK TABLE, an
  // ALTER under way) would hold the version check and the listing without end.
  _SQL_Error error;
  if (database.LimitLockWaits(lockWaitSeconds, error) == 0) {
    database.Close();
    return false;
  }
  if (!TakesChanges(database)) return false;
  if (database.Rules().StoredVersionPasses(database) && TestDBVersion(&database) == 0) return true;
  database.Close();
  // A version that could not be read for another session's lock is not an illegal one:
  // the caller's lines say what kept it.
  if (database.GetError(error) && database.ClassifyLockFailure(error) != LockFailure::None) return false;
  // No line end: the caller's own message continues on this line.
  std::string message = "Can not connect to DB: \\";
  AppendVisibleUtf8(message, MaskConnectionString(copy));
  message += "\\. Illegal database version.";
  (void)ConsoleWriteUtf8(ConsoleStream::Error, message);
  return false;
}
