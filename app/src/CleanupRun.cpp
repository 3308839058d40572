#include "CleanupRun.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "CRegTreeRecSet.h"
#include "Connect.h"
#include "ConnectionSettings.h"
#include "ConnectionStringMask.h"
#include "ConsoleText.h"
#include "JobControl.h"
#include "ProgressLine.h"
#include "RecordListFile.h"
#include "RowSetFingerprint.h"
#include "VisibleText.h"
#include "Win32Format.h"
#include "strandlink.h"

namespace {

constexpr int kConnectionStringChars = 260;
constexpr int kStatementChars = 1024;
// The criterion: the two lowest bits of OperationType equal 2, bits 2 to 4 equal 16.
constexpr int kLowMask = 3, kLowValue = 2, kHighMask = 28, kHighValue = 16;
constexpr int32_t kManyRows = 1000;
// What DeleteListedRows answers when nothing was deleted, and when the connection was
// lost at the commit, so that nobody can tell whether the server committed.
constexpr int64_t kNothingDeleted = -1, kOutcomeUnknown = -2;

void FormatStatement(char16_t (&buffer)[kStatementChars], const char16_t* pattern) {
  std::memset(buffer, 0, sizeof buffer);
  (void)wsprintfW(buffer, pattern, kLowMask, kLowValue, kHighMask, kHighValue);
}

void AddRow(CRowSetFingerprint& rows, const CRegTreeRecSet& row) {
  const std::optional<int32_t> key = row.IsFileIDNull() ? std::nullopt : std::optional<int32_t>(row.GetFileID());
  const bool nameIsNull = row.IsFileNameNull();
  const std::size_t identificationLength = std::min(static_cast<std::size_t>(row.GetFileIdentificationLength()),
                                                    static_cast<std::size_t>(CRegTreeRecSet::kFileIdentificationBytes));
  rows.Add(key, nameIsNull ? std::u16string_view() : std::u16string_view(row.GetFileName()), nameIsNull,
           row.GetOperationType(), row.GetFileIdentification(), identificationLength);
}

// The rows written into the list file, their fingerprint, and the file itself, kept open
// until the run ends.
struct Listing {
  int32_t count = 0;
  CRowSetFingerprint rows;
  CRecordListFile list;
};

// The rows the selection yields now. False with the error when they cannot all be read.
bool FingerprintSelection(CRegTreeRecSet& records, const char16_t* selection, CRowSetFingerprint& rows, _SQL_Error& error) {
  // A selection without a result set and without an error yields no row.
  if (records.Open(selection) < 0) return !records.GetError(error);
  while (!records.IsEof()) {
    AddRow(rows, records);
    records.MoveNext();
  }
  const bool failed = records.GetError(error);
  records.Close();
  return !failed;
}

// After the driver's line: what a failure that other sessions caused means for the
// operator.
void ExplainLockFailure(const CODBCDatabase& database, const _SQL_Error& error, CConsoleText& err) {
  switch (database.ClassifyLockFailure(error)) {
    case CODBCDatabase::LockFailure::WaitTimedOut:
      err << "Another session holds records of the table: nothing was deleted, and the run can be repeated once it "
             "lets them go."
          << endl;
      break;
    case CODBCDatabase::LockFailure::Conflict:
      err << "Another run or session changed or locked the table at the same time: nothing was deleted." << endl;
      break;
    case CODBCDatabase::LockFailure::None:
      break;
  }
}

// After "yes", in one short transaction at serializable isolation: the rows that match
// now must be exactly the rows that were listed, and the one DELETE that repeats the
// criterion must take as many; otherwise everything is rolled back. Nothing is locked
// before this, while the operator reads the question. The check reads only the columns
// it compares: FileData would cross the connection again for nothing. Returns the rows
// deleted, kNothingDeleted or kOutcomeUnknown, with the reason on `err`.
//
// NOTE: what serializable means depends on the driver (measured with each driver's
// statement trace). The SQLite3 driver accepts the level and begins a deferred
// transaction ("BEGIN TRANSACTION") at the first statement, which here takes SQLite's
// write lock before the check: no other writer can commit between the check and the
// DELETE, readers go on, and a writer that holds the write lock makes the run fail
// after the driver's busy timeout ("database is locked"). psqlODBC sets PostgreSQL's
// serializable snapshot isolation for the session ("SET SESSION CHARACTERISTICS AS
// TRANSACTION ISOLATION LEVEL SERIALIZABLE"): the check and the DELETE see one snapshot,
// and a row another writer changes meanwhile fails the DELETE or the COMMIT with a
// serialization failure (40001), which rolls everything back. MariaDB's driver sends
// "SET SESSION TRANSACTION ISOLATION LEVEL SERIALIZABLE" and turns autocommit off, and
// InnoDB then makes the check's plain SELECT a locking read: every row the scan reads
// (the whole table, since no index serves the criterion) stays share-locked until the
// commit, so other writers wait for the check and the DELETE, matching rows or not (or
// give up after their lock wait timeout), while readers go on. SQL Server takes range
// locks on what the check read and holds them until the commit.
//
// No wait for another session's locks is without end: each is bounded (about a minute),
// and on SQLite the write lock is taken before the check, so that two runs answered at
// the same moment do not each wait for the other until their busy timeouts run out.
int64_t DeleteListedRows(CODBCDatabase& database, CRegTreeRecSet& records, const CleanupStatements& statements,
                         const CRowSetFingerprint& listed, CConsoleText& err) {
  _SQL_Error error;
  char16_t statement[kStatementChars];
  if (database.BeginTransaction(error, SQL_TXN_SERIALIZABLE) == 0) {
    err << "Error:" << error.message << endl;
    return kNothingDeleted;
  }
  bool open = true;
  std::string change;
  CRowSetFingerprint now;
  FormatStatement(statement, statements.check);
  bool failed = database.LimitLockWaits(statements.lockWaitSeconds, error) == 0 ||
                database.LockForWriting(u"FileTree", error) == 0 ||
                !FingerprintSelection(records, statement, now, error);
  if (!failed) change = listed.DescribeChange(now);
  if (!failed && change.empty()) {
    FormatStatement(statement, statements.deletion);
    // NOTE: a driver that cannot count the deleted rows answers -1, which never equals
    // the listed count: the deletion is then rolled back rather than taken on trust.
    SQLLEN deleted = -1;
    failed = database.Execute(statement, error, &deleted) == 0;
    if (!failed && deleted != listed.Count()) {
      change = "the deletion would have removed " + std::to_string(static_cast<int64_t>(deleted)) + " records, but " +
               std::to_string(listed.Count()) + " were listed.";
    } else if (!failed) {
      if (database.EndTransaction(true, error) != 0) return deleted;
      // A commit that fails has been rolled back, or the connection closed, by the library.
      // Closed means the server could not even be asked to roll back: the connection
      // failed, before the server committed or after, and the run must not claim either.
      if (!database.IsConnected()) {
        err << "Error:" << error.message << endl;
        return kOutcomeUnknown;
      }
      failed = true;
      open = false;
    }
  }
  if (failed) {
    err << "Error:" << error.message << endl;
    ExplainLockFailure(database, error, err);
  } else {
    err << "Error:" << "The table changed after the listing: " << change.c_str() << " Nothing was deleted." << endl;
  }
  if (open && database.EndTransaction(false, error) == 0) {
    // The library closed the connection without committing: the server undoes the
    // transaction as the session ends.
    err << "Error:" << error.message << endl;
  }
  return kNothingDeleted;
}

// The run's steps, each ending the run early by returning false, with what went wrong on
// the console.

// The connection string from the registry, then the connection.
bool Connect(CODBCDatabase& database, CConsoleText& err) {
  char16_t connection[kConnectionStringChars] = {};
  if (!ReadConnectionString(connection, kConnectionStringChars)) return false;
  if (ConnectToDatabase(database, connection)) return true;
  _SQL_Error error;
  (void)database.GetError(error);
  // The string is echoed so the operator sees what was tried, but never its password, and
  // no character in it can move the cursor or hide what follows.
  err << "Failed to connect to DB " << VisibleUtf8(MaskConnectionString(connection)).c_str() << endl;
  err << "Error:" << error.message << endl;
  return false;
}

// Walks the open selection into the list file, fingerprinting each row listed.
bool WriteList(CRegTreeRecSet& records, const char* listFile, Listing& listing, CConsoleText& out, CConsoleText& err) {
  CRecordListFile& list = listing.list;
  (void)list.Open(listFile);
  CListingProgress progress;
  while (!list.Failed() && !records.IsEof()) {
    // A NULL name leaves the previous row's name in the buffer: list it as empty.
    const char16_t* name = records.IsFileNameNull() ? u"" : records.GetFileName();
    list.WriteRow(name, false, records.GetFileIdentification(), records.GetFileIdentificationLength());
    AddRow(listing.rows, records);
    ++listing.count;
    progress.Row(listing.count);
    records.MoveNext();
  }
  progress.Clear();
  // A row that could not be fetched ends the walk early; the deletion would then take
  // rows the operator never saw.
  _SQL_Error error;
  const bool interrupted = !list.Failed() && records.GetError(error);
  // A walk cut short is no list: what had the list's name keeps it.
  if (interrupted) list.Abandon();
  const bool listed = interrupted || list.Close();
  if (!listed) {
    err << "Failed to write the list of records into: " << listFile << endl;
    err << list.FailureReason().c_str() << endl;
  } else if (interrupted) {
    out << "SQL Error reading table : ";
    out << error.message << endl;
  }
  return listed && !interrupted;
}

bool ListOldRows(CRegTreeRecSet& records, const CleanupStatements& statements, Listing& listing, CConsoleText& out,
                 CConsoleText& err) {
  out << endl << "Searching for old records... This process may take a few minutes" << endl << endl;
  char16_t statement[kStatementChars];
  FormatStatement(statement, statements.selection);
  _SQL_Error error;
  if (records.Open(statement) >= 0) {
    if (!WriteList(records, statements.listFile, listing, out, err)) return false;
  } else if (records.GetError(error)) {
    out << "SQL Error open table : ";
    out << error.message << endl;
    return false;
  }
  // A selection that fails without an error has no rows, and no list file.
  records.Close();
  out << endl;
  return true;
}

// What was found, and the question. True when the answer is "yes".
bool Confirm(const Listing& listing, const char* listFile, CConsoleText& out) {
  out << endl << listing.count << " old records were found." << endl << endl;
  out << "The list of records was written into: " << listFile << endl << endl;
  ConsoleDiscardTypeAhead();  // the answer is what is typed once the question is there
  out << "Are you sure you want to delete those records? yes\\no " << "\t" << endl;
  std::string answer;
  (void)ConsoleReadLine(answer);
  return answer == "yes";
}

// The list is the only record of what is deleted: it must still be the file the operator
// was shown, under its name. Kept open since it was written, it is compared with what
// the name leads to now (the same file, as long as it was written), which works alike on
// both builds; holding it so that nobody could remove it has no POSIX equivalent.
bool ListStillInPlace(Listing& listing, const char* listFile, CConsoleText& err) {
  if (listing.list.IsInPlace()) return true;
  err << "Error:" << "The list of records is not as it was written: " << listFile << ": "
      << listing.list.FailureReason().c_str() << ". Nothing was deleted." << endl;
  return false;
}

void Delete(CODBCDatabase& database, CRegTreeRecSet& records, const CleanupStatements& statements, Listing& listing,
            CConsoleText& out, CConsoleText& err) {
  out << "Deleting records..." << endl;
  if (!ListStillInPlace(listing, statements.listFile, err)) {
    out << "No records were deleted" << endl;
    return;
  }
  if (listing.count > kManyRows) out << "This process may take a few minutes" << endl;
  int64_t deleted;
  {
    // Ctrl+Z waits until the transaction has ended: a stopped run would keep its locks,
    // and other sessions out, for as long as it stays stopped.
    CHeldJobStops held;
    deleted = DeleteListedRows(database, records, statements, listing.rows, err);
  }
  if (deleted >= 0) {
    out << deleted << " records were deleted." << endl;
  } else if (deleted == kOutcomeUnknown) {
    out << "The connection was lost while the deletion was committed: count the records left to know whether "
           "they were deleted."
        << endl;
  } else {
    out << "No records were deleted" << endl;
  }
}

// Everything that needs the connection; the recordset goes before the connection closes.
void ListAndDelete(CODBCDatabase& database, const CleanupStatements& statements, CConsoleText& out, CConsoleText& err) {
  CRegTreeRecSet records(&database, CRegTreeRecSet::kReadOnlyCursor, CRegTreeRecSet::kNoOptions);
  Listing listing;
  if (!ListOldRows(records, statements, listing, out, err)) return;
  if (listing.count == 0) {
    out << "There aren't any old records to delete." << endl;
  } else if (Confirm(listing, statements.listFile, out)) {
    Delete(database, records, statements, listing, out, err);
  } else {
    out << "No records were deleted" << endl;
  }
}

}  // namespace

int RunCleanup(const CleanupStatements& statements) {
  // Before the connection exists: nothing it opens may land on a closed standard descriptor.
  ConsolePrepareProcess();
  CODBCDatabase database;
  CConsoleText out(ConsoleStream::Output);
  CConsoleText err(ConsoleStream::Error);

  out << "This clean up tool will delete unnecessary records from the data base." << endl;
  out << "Warning: before using this tool the Meridex FE service must be restarted." << endl << endl;
  ConsolePause();

  if (Connect(database, err)) ListAndDelete(database, statements, out, err);
  database.Close();
  out << endl;
  return 0;
}
