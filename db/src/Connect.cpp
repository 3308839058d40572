#include "Connect.h"

#include <string>

#include "Console.h"
#include "ConnectionStringMask.h"
#include "VisibleText.h"

bool ConnectToDatabase(CODBCDatabase& database, const char16_t* connectionString, int lockWaitSeconds) {
  // A private copy of the string, freed on every path out.
  const std::u16string copy(connectionString != nullptr ? connectionString : u"");
  if (database.IsConnected()) database.Close();
  if (database.DriverConnect(copy.c_str(), nullptr, nullptr, sqlNoPrompt) == 0) return false;
  // NOTE: the SQLite3 driver waits for another writer's lock in a busy handler of its own,
  // bounded only by its connection string's Timeout= in milliseconds (100 s when it is not
  // given, and measured to wait it twice: 200 s); nothing changes it once connected
  // (PRAGMA busy_timeout, SQL_ATTR_QUERY_TIMEOUT, the connection timeouts were measured to
  // leave it). A string without one is connected again with 30 s, so that the check and
  // the deletion after "yes" give up after about a minute, as on the other servers. An
  // operator's own Timeout= stands.
  if (database.ServerKind() == CODBCDatabase::Server::SQLite && !ConnectionStringHasKey(copy, u"timeout")) {
    const std::u16string bounded = copy + (copy.empty() || copy.back() == u';' ? u"" : u";") + u"Timeout=30000;";
    if (database.DriverConnect(bounded.c_str(), nullptr, nullptr, sqlNoPrompt) == 0) return false;
  }
  // Bounded for the whole session: a table locked by another session (LOCK TABLE, an
  // ALTER under way) would hold the version check and the listing without end.
  _SQL_Error error;
  if (database.LimitLockWaits(lockWaitSeconds, error) == 0) {
    database.Close();
    return false;
  }
  if (TestDBVersion(&database) == 0) return true;
  database.Close();
  // A version that could not be read for another session's lock is not an illegal one:
  // the caller's lines say what kept it.
  if (database.GetError(error) && database.ClassifyLockFailure(error) != CODBCDatabase::LockFailure::None) return false;
  // No line end: the caller's own message continues on this line.
  std::string message = "Can not connect to DB: \\";
  AppendVisibleUtf8(message, MaskConnectionString(copy));
  message += "\\. Illegal database version.";
  (void)ConsoleWriteUtf8(ConsoleStream::Error, message);
  return false;
}
