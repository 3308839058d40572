// Microsoft SQL Server: everything the tool does its own way there. No SQL Server runs
// where the tests do, so these statements are kept valid T-SQL on paper, and the rows are
// read as the driver hands over the bound columns (its drivers hand names over as the
// UTF-16 it stores). NOTE: the server could digest the rows itself, with
// HASHBYTES('SHA2_256', ...) over CAST(FileID AS binary(8)), CAST(DATALENGTH(FileName) AS
// binary(8)), CAST(FileName AS varbinary(max)) and so on, summing CONVERT(bigint,
// SUBSTRING(digest, 1, 8)) as decimal(38) so that the sum cannot overflow.

#include <string>

#include "../RowReader.h"
#include "Servers.h"
#include "WideText.h"

namespace {

constexpr int32_t kDeadlockVictim = 1205;

class CSqlServerRules final : public CServerRules {
 public:
  bool CommitRefused(const _SQL_Error& commitError) const override {
    // A deadlock victim, a snapshot update conflict: rolled back.
    const int32_t native = commitError.nativeError;
    return CServerRules::CommitRefused(commitError) ||
           (commitError.returnCode == SQL_ERROR && (native == kDeadlockVictim || native == 3960));
  }
  std::u16string LockWaitStatement(int seconds) const override {
    // NOTE: SQL Server counts in milliseconds; -1 means no bound.
    const std::u16string n = FromUtf8(std::to_string(seconds));
    return u"IF @@LOCK_TIMEOUT < 0 OR @@LOCK_TIMEOUT > " + n + u"000 SET LOCK_TIMEOUT " + n + u"000";
  }
  LockFailure ClassifyLockFailure(const _SQL_Error& error) const override {
    if (error.nativeError == 1222) return LockFailure::WaitTimedOut;  // LOCK_TIMEOUT ran out
    if (error.nativeError == kDeadlockVictim) return LockFailure::Conflict;
    return CServerRules::ClassifyLockFailure(error);
  }
  WriteProbe ProbeStatement(std::u16string_view table) const override {
    return {u"DELETE FROM " + std::u16string(table) + u" WHERE 1 = 0", false};
  }
  Refusal ClassifyRefusal(const _SQL_Error& error) const override {
    // NOTE: a connection string with ApplicationIntent=ReadOnly makes an availability
    // group's listener route the session to a readable secondary, where every change fails
    // with 3906 ("Failed to update database ... because the database is read-only"), as it
    // does on a database set READ_ONLY.
    return error.nativeError == 3906 ? Refusal::ReadOnly : Refusal::None;
  }
  std::u16string CascadeQuery(std::u16string_view table) const override {
    const std::u16string t(table);
    return u"SELECT (SELECT COUNT(*) FROM sys.triggers WHERE parent_id = OBJECT_ID('" + t +
           u"')) + (SELECT COUNT(*) FROM sys.foreign_keys WHERE referenced_object_id = OBJECT_ID('" + t +
           u"') AND delete_referential_action <> 0)";
  }
};

}  // namespace

const CServerRules& SqlServerRules() { return TheRules<CSqlServerRules>(); }
