#include "Connect.h"

#include <string>

#include "Console.h"
#include "ConnectionStringMask.h"
#include "VisibleText.h"

namespace {

// The probe waits for another session's table lock (an ALTER under way) no longer than
// the deletion would.
constexpr int kProbeLockWaitSeconds = 60;

}  // namespace

bool ConnectToDatabase(CODBCDatabase& database, const char16_t* connectionString) {
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
  // A server that takes no changes (a replica, a read-only server, a cluster node that
  // is not ready) is found out before anything is listed: otherwise the operator would
  // read the list and answer "yes" only for the DELETE to be refused. SQLite has no
  // replicas, and its probe would wait for another writer's lock.
  if (database.ServerKind() != CODBCDatabase::Server::SQLite) {
    _SQL_Error error;
    const bool took = database.ProbeWrite(u"FileTree", kProbeLockWaitSeconds, error) != 0;
    // A rollback that failed gave the connection up, with its reason kept.
    if (!database.IsConnected()) return false;
    if (!took && database.ClassifyRefusal(error) != CODBCDatabase::Refusal::None) {
      database.Close();
      return false;
    }
    // Any other failure (no such table, no right to delete) is the version check's or
    // the deletion's to report, as it would be without the probe.
    database.ClearError();
  }
  if (TestDBVersion(&database) == 0) return true;
  database.Close();
  // No line end: the caller's own message continues on this line.
  std::string message = "Can not connect to DB: \\";
  AppendVisibleUtf8(message, MaskConnectionString(copy));
  message += "\\. Illegal database version.";
  (void)ConsoleWriteUtf8(ConsoleStream::Error, message);
  return false;
}
