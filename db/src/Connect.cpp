#include "Connect.h"

#include <optional>
#include <string>
#include <string_view>

#include "ConnectionString.h"
#include "ConnectionStringMask.h"
#include "Console.h"
#include "SameFile.h"
#include "VisibleText.h"
#include "WideText.h"

namespace {

// NOTE: what the SQLite3 driver takes for its busy timeout (measured): the text of its
// first Timeout= read as strtol reads a number in C's own notation (blanks before it, a
// sign, 0x for hexadecimal, a leading 0 for octal), used only when the whole text is
// that number and it is above 0. Anything else ("", "0", "1000 ", "abc") is its default,
// 100000 ms, which it was measured to wait twice.
bool IsSqliteTimeout(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  int base = 10;
  if (i + 2 < text.size() && text[i] == u'0' && FoldAscii(text[i + 1]) == u'x' && HexDigitValue(text[i + 2]) >= 0) {
    base = 16;
    i += 2;
  } else if (i < text.size() && text[i] == u'0') {
    base = 8;
  }
  const std::size_t digits = i;
  bool nonZero = false;
  for (; i < text.size(); ++i) {
    const int digit = HexDigitValue(text[i]);
    if (digit < 0 || digit >= base) break;
    nonZero = nonZero || digit != 0;
  }
  return i > digits && i == text.size() && nonZero && !negative;
}

// Whether the SQLite3 driver took a busy timeout of its own: from the string, or from its
// data source's entry in odbc.ini when the string sets none. completed is the connection
// string the driver gave back, which says what it took.
bool SqliteWaitIsBounded(std::u16string_view given, std::u16string_view completed) {
  const std::optional<ConnectionAttribute> taken = FindConnectionAttribute(completed, kSqliteOdbcReading, u"timeout");
  if (!taken || !IsSqliteTimeout(taken->value)) return false;
  // NOTE: from a data source without Timeout the driver reports its default, 100000: that
  // bounds nothing an operator chose.
  const std::optional<ConnectionAttribute> own = FindConnectionAttribute(given, kSqliteOdbcReading, u"timeout");
  return (own && !own->value.empty()) || taken->value != u"100000";
}

// The database that the string names to the SQLite3 driver: its Database=, or its data
// source's as the driver reported it.
std::u16string NamedSqliteDatabase(std::u16string_view given, std::u16string_view completed) {
  std::optional<ConnectionAttribute> named = FindConnectionAttribute(given, kSqliteOdbcReading, u"database");
  if (!named || named->value.empty()) named = FindConnectionAttribute(completed, kSqliteOdbcReading, u"database");
  return named ? named->value : std::u16string();
}

bool IsAscii(std::u16string_view text) {
  for (const char16_t c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

void KeepError(CODBCDatabase& database, const std::u16string& text) {
  _SQL_Error error;
  const std::u16string_view state = u"08004";
  state.copy(error.sqlState, state.size());
  error.sqlState[state.size()] = u'\0';
  const std::size_t kept = text.copy(error.message, std::size(error.message) - 1);
  error.message[kept] = u'\0';
  error.returnCode = SQL_ERROR;
  error.nativeError = 0;
  database.SetError(error);
}

// SQLite opens whatever file its driver was handed, and creates it when it is missing: a
// driver manager that converts the string lossily would have it open, fill or create
// another database than the one named. Confirmed by the file SQLite says it opened.
bool OpenedTheNamedDatabase(CODBCDatabase& database, std::u16string_view given, std::u16string_view completed) {
  const std::u16string named = NamedSqliteDatabase(given, completed);
  std::u16string opened;
  const bool exact = database.OpenedFile(opened);
  if (exact && !named.empty() && IsSameFile(named.c_str(), opened.c_str())) return true;
  if (!exact && opened.empty()) return false;
  KeepError(database, u"SQLite opened the file " + opened + u", not the database named, " + named +
                          u": the name did not reach the driver whole. Nothing was read or changed.");
  return false;
}

// A connection that the SQLite3 driver refused (its messages come tagged "[SQLite]"),
// where its own message, "connect failed", would not say why: the database named was not
// found (and the driver was kept from creating it), or it exists and a name that is not
// ASCII most likely reached the driver as another.
void ExplainMissedDatabase(CODBCDatabase& database, std::u16string_view given) {
  const std::optional<ConnectionAttribute> named = FindConnectionAttribute(given, kSqliteOdbcReading, u"database");
  _SQL_Error error;
  if (!named || named->value.empty() || !database.GetError(error)) return;
  if (std::u16string_view(error.message).rfind(u"[SQLite]", 0) != 0) return;
  std::u16string why = std::u16string(error.message) + u" The database named, " + named->value;
  if (!IsSameFile(named->value.c_str(), named->value.c_str())) {
    why += u", was not found. Nothing was created.";
  } else if (!IsAscii(given)) {
    why += u", exists: a name that is not ASCII may not reach the driver whole. Nothing was created or changed.";
  } else {
    return;
  }
  KeepError(database, why);
}

// The SQLite3 driver, connected with a bound on its wait for another writer, to the
// database named and no other. False with the connection closed and the reason kept.
bool BoundSqliteToTheNamedDatabase(CODBCDatabase& database, const std::u16string& copy, char16_t (&completed)[1024],
                                   int lockWaitSeconds) {
  // NOTE: the SQLite3 driver waits for another writer's lock in a busy handler of its
  // own, bounded only by the Timeout= it read when connecting; nothing changes it once
  // connected (PRAGMA busy_timeout, SQL_ATTR_QUERY_TIMEOUT, the connection timeouts
  // were measured to leave it). Without one of the operator's (in the string or the
  // data source) it is connected again with the run's bound, given first, since the
  // driver takes a key's first value; the driver waits it twice. The tool never wants
  // a database made for it: NoCreat=1 too.
  if (!SqliteWaitIsBounded(copy, completed)) {
    const std::u16string bounded =
        u"Timeout=" + FromUtf8(std::to_string(lockWaitSeconds * 500)) + u";NoCreat=1;" + copy;
    if (database.DriverConnect(bounded.c_str(), completed, nullptr, sqlNoPrompt) == 0) return false;
  }
  if (OpenedTheNamedDatabase(database, copy, completed)) return true;
  _SQL_Error error;
  (void)database.GetError(error);
  database.Close();
  database.SetError(error);
  return false;
}

// A server that takes no changes (a replica, a read-only server, a cluster node that is
// not ready) is found out before anything is listed: otherwise the operator would read
// the list and answer "yes" only for the DELETE to be refused. Only the servers whose
// refusals the library can tell apart are asked: SQLite has no replicas (and its probe
// would wait for another writer's lock), and another server's refusal would say nothing.
// False with the connection closed and the refusal kept.
bool TakesChanges(CODBCDatabase& database) {
  switch (database.ServerKind()) {
    case CODBCDatabase::Server::PostgreSQL:
    case CODBCDatabase::Server::MariaDB:
    case CODBCDatabase::Server::SqlServer:
      break;
    default:
      return true;
  }
  _SQL_Error error;
  const bool took = database.ProbeWrite(u"FileTree", error) != 0;
  // A rollback that failed gave the connection up, with its reason kept.
  if (!database.IsConnected()) return false;
  if (!took && database.ClassifyRefusal(error) != CODBCDatabase::Refusal::None) {
    database.Close();
    return false;
  }
  // Any other failure (no such table, no right to delete) is the version check's or the
  // deletion's to report, as it would be without the probe.
  database.ClearError();
  return true;
}

}  // namespace

bool ConnectToDatabase(CODBCDatabase& database, const char16_t* connectionString, int lockWaitSeconds) {
  // A private copy of the string, freed on every path out.
  const std::u16string copy(connectionString != nullptr ? connectionString : u"");
  if (database.IsConnected()) database.Close();
  char16_t completed[1024] = {};
  // NOTE: a driver manager converts the string for a driver without wide calls (the
  // SQLite3 driver's), and the conversion of text that is not ASCII can be lossy (odbc32
  // through a code page, unixODBC under Wine by dropping high bytes): the driver would
  // then open, or create, a database by another name. The tool never wants a database
  // made for it, by any name: a mistyped path would be created empty. NoCreat=1 keeps the
  // SQLite3 driver from creating one; the file it opened is checked below. Other drivers
  // ignore an attribute they do not know, as ODBC asks of them.
  const std::u16string first = u"NoCreat=1;" + copy;
  if (database.DriverConnect(first.c_str(), completed, nullptr, sqlNoPrompt) == 0) {
    ExplainMissedDatabase(database, copy);
    return false;
  }
  if (database.ServerKind() == CODBCDatabase::Server::SQLite &&
      !BoundSqliteToTheNamedDatabase(database, copy, completed, lockWaitSeconds)) {
    return false;
  }
  // Bounded for the whole session: a table locked by another session (LOCK TABLE, an
  // ALTER under way) would hold the version check and the listing without end.
  _SQL_Error error;
  if (database.LimitLockWaits(lockWaitSeconds, error) == 0) {
    database.Close();
    return false;
  }
  if (!TakesChanges(database)) return false;
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
