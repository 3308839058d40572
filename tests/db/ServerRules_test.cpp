// What each server's rules make of its diagnostics, without a database: the words that
// decide whether a run says "nothing was deleted", "another session holds records" or
// "the server takes no changes". The statements themselves run for real in the
// end-to-end tables.

#include <gtest/gtest.h>

#include <string>

#include "ServerRules.h"

namespace {

_SQL_Error Diagnostic(const char16_t* state, int32_t native, SQLRETURN rc = SQL_ERROR, const char16_t* text = u"") {
  _SQL_Error error;
  error.returnCode = rc;
  std::u16string_view(state).copy(error.sqlState, 5);
  error.nativeError = native;
  error.message[std::u16string_view(text).copy(error.message, 1023)] = u'\0';
  return error;
}

TEST(ServerRules, ChosenByTheNameTheDriverGives) {
  const CServerRules& other = CServerRules::For(u"");
  EXPECT_EQ(&CServerRules::For(u"MySQL"), &CServerRules::For(u"MariaDB"));
  for (const char16_t* known : {u"SQLite", u"PostgreSQL", u"MariaDB", u"Microsoft SQL Server"}) {
    EXPECT_NE(&CServerRules::For(known), &other);
  }
  // Only the exact name: another server that merely resembles one is not taken for it.
  for (const char16_t* unknown : {u"sqlite", u"PostgreSQL 15", u"Oracle", u"FaultDriver"}) {
    EXPECT_EQ(&CServerRules::For(unknown), &other);
  }
  // A server whose catalogue is not known may take other rows, and is not probed.
  EXPECT_TRUE(other.CascadeQuery(u"FileTree").empty());
  EXPECT_TRUE(other.ProbeStatement(u"FileTree").statement.empty());
  EXPECT_TRUE(CServerRules::For(u"SQLite").ProbeStatement(u"FileTree").statement.empty());
}

TEST(ServerRules, WhatAFailureSaysOfOtherSessionsAndOfTheServer) {
  struct Case {
    const char16_t* server;
    _SQL_Error error;
    LockFailure lock;
    Refusal refusal;
    bool commitRefused;
  };
  const Case cases[] = {
      {u"", Diagnostic(u"40001", 0), LockFailure::Conflict, Refusal::None, true},
      {u"", Diagnostic(u"40003", 0), LockFailure::None, Refusal::None, false},  // completion unknown
      {u"", Diagnostic(u"40001", 0, SQL_SUCCESS_WITH_INFO), LockFailure::Conflict, Refusal::None, false},
      {u"", Diagnostic(u"HY000", 1205), LockFailure::None, Refusal::None, false},
      {u"PostgreSQL", Diagnostic(u"55P03", 0), LockFailure::WaitTimedOut, Refusal::None, false},
      {u"PostgreSQL", Diagnostic(u"40P01", 0), LockFailure::Conflict, Refusal::None, true},
      {u"PostgreSQL", Diagnostic(u"23503", 0), LockFailure::None, Refusal::None, true},  // a deferred key
      {u"PostgreSQL", Diagnostic(u"25006", 0), LockFailure::None, Refusal::ReadOnly, false},
      {u"PostgreSQL", Diagnostic(u"08006", 0), LockFailure::None, Refusal::None, false},
      {u"MariaDB", Diagnostic(u"HY000", 1205), LockFailure::WaitTimedOut, Refusal::None, false},
      {u"MariaDB", Diagnostic(u"40001", 1213), LockFailure::Conflict, Refusal::None, true},
      {u"MariaDB", Diagnostic(u"HY000", 1213), LockFailure::Conflict, Refusal::None, true},
      {u"MariaDB", Diagnostic(u"08S01", 1047), LockFailure::None, Refusal::NotReady, false},
      {u"MariaDB", Diagnostic(u"HY000", 1290), LockFailure::None, Refusal::ReadOnly, false},
      {u"MariaDB", Diagnostic(u"25006", 1792), LockFailure::None, Refusal::ReadOnly, false},
      {u"MariaDB", Diagnostic(u"23000", 1451), LockFailure::None, Refusal::None, false},
      {u"Microsoft SQL Server", Diagnostic(u"HYT00", 1222), LockFailure::WaitTimedOut, Refusal::None, false},
      {u"Microsoft SQL Server", Diagnostic(u"40001", 1205), LockFailure::Conflict, Refusal::None, true},
      {u"Microsoft SQL Server", Diagnostic(u"HY000", 3960), LockFailure::None, Refusal::None, true},
      {u"Microsoft SQL Server", Diagnostic(u"42000", 3906), LockFailure::None, Refusal::ReadOnly, false},
      {u"SQLite", Diagnostic(u"HY000", 5), LockFailure::WaitTimedOut, Refusal::None, true},
      {u"SQLite", Diagnostic(u"HY000", 6), LockFailure::WaitTimedOut, Refusal::None, true},
      {u"SQLite", Diagnostic(u"HY000", 19), LockFailure::None, Refusal::None, true},
      {u"SQLite", Diagnostic(u"HY000", 13), LockFailure::None, Refusal::None, false},  // SQLITE_FULL
      {u"SQLite", Diagnostic(u"HY000", 5, SQL_SUCCESS_WITH_INFO), LockFailure::WaitTimedOut, Refusal::None, false},
  };
  for (const Case& c : cases) {
    const CServerRules& rules = CServerRules::For(c.server);
    SCOPED_TRACE(std::string(c.server, c.server + std::char_traits<char16_t>::length(c.server)) + " " +
                 std::to_string(c.error.nativeError) + " " + std::string(c.error.sqlState, c.error.sqlState + 5));
    EXPECT_EQ(rules.ClassifyLockFailure(c.error), c.lock);
    EXPECT_EQ(rules.ClassifyRefusal(c.error), c.refusal);
    EXPECT_EQ(rules.CommitRefused(c.error), c.commitRefused);
  }
  // Only SQLite ends a transaction by itself, and says so in its rollback's refusal.
  const _SQL_Error noTransaction =
      Diagnostic(u"HY000", 1, SQL_ERROR, u"cannot rollback - no transaction is active (1)");
  EXPECT_TRUE(CServerRules::For(u"SQLite").RollbackFoundNothing(noTransaction));
  EXPECT_FALSE(CServerRules::For(u"SQLite").RollbackFoundNothing(Diagnostic(u"HY000", 1)));
  EXPECT_FALSE(CServerRules::For(u"PostgreSQL").RollbackFoundNothing(noTransaction));
}

}  // namespace
