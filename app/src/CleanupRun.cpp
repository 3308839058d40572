#include "CleanupRun.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "Connect.h"
#include "ConnectionSettings.h"
#include "ConnectionStringMask.h"
#include "ConsoleText.h"
#include "JobControl.h"
#include "FaultExit.h"
#include "ProgressLine.h"
#include "RecordListFile.h"
#include "RowSetFingerprint.h"
#include "StoredRowSet.h"
#include "VisibleText.h"
#include "Win32Format.h"
#include "Win32Random.h"
#include "strandlink.h"

namespace {

constexpr int kStatementChars = 1024;
// The criterion: the two lowest bits of OperationType equal 2, bits 2 to 4 equal 16.
constexpr int kLowMask = 3, kLowValue = 2, kHighMask = 28, kHighValue = 16;
constexpr int32_t kManyRows = 1000;
// What the run says when the commit's outcome is not known: the database did not say,
// or the run ended before it could.
constexpr char kCommitUnknown[] =
    "The database did not say whether the deletion was committed: count the records left to know whether they were "
    "deleted.";
constexpr char kEndedWhileCommitting[] =
    "The run ended before the database said whether the deletion was committed: count the records left to know "
    "whether they were deleted.";

// How far the run has come, for the last words of a run that runs out of memory or
// faults: what it was doing, and how many records the deletion takes. What became of
// the deletion is the transaction's own outcome, on the connection.
struct RunStage {
  enum Step { Configuration, Connection, Listing, Question, Deletion } step = Configuration;
  int32_t listed = 0;
  // The list file while it exists: a fault must not leave its new file behind.
  CRecordListFile* list = nullptr;
};

void FormatStatement(char16_t (&buffer)[kStatementChars], const char16_t* pattern) {
  std::memset(buffer, 0, sizeof buffer);
  (void)wsprintfW(buffer, pattern, kLowMask, kLowValue, kHighMask, kHighValue);
}

// The rows written into the list file, their fingerprint, and the file itself, kept open
// until the run ends.
struct Listing {
  int32_t count = 0;
  CRowSetFingerprint rows;
  CRecordListFile list;
};

// The rows that match now, summed as the listed ones were. False with the error when
// they cannot all be read.
bool SummarizeSelection(CStoredRowSet& records, std::u16string_view condition, const CRowSetFingerprint& listed,
                        CStoredRowSet::Sums& now, _SQL_Error& error) {
  // Where the rows are read again here: on a terminal, it shows how far it got.
  CListingProgress progress("records checked...");
  const auto row = [](void* context, int64_t count) { static_cast<CListingProgress*>(context)->Row(count); };
  const bool summed = records.Summarize(condition, listed.Sums(), now, row, &progress, error);
  progress.Clear();
  return summed;
}

// After the driver's line: what a failure that other sessions caused means for the
// operator.
void ExplainLockFailure(const CServerConnection& database, const _SQL_Error& error, CConsoleText& err) {
  switch (database.ClassifyLockFailure(error)) {
    case LockFailure::WaitTimedOut:
      err << "Another session holds records of the table: nothing was deleted, and the run can be repeated once it "
             "lets them go."
          << endl;
      break;
    case LockFailure::Conflict:
      err << "Another run or session changed or locked the table at the same time: nothing was deleted." << endl;
      break;
    case LockFailure::None:
      break;
  }
}

// What is wrong with a DELETE that took `deleted` rows where `listed` were listed, and
// made the table lose `lost` (when it was counted): empty when nothing is. Whatever it is,
// the rows that match are the listed ones, so the message blames no change of the table.
std::string Miscount(SQLLEN deleted, int64_t listed, std::optional<int64_t> lost) {
  std::string miscount;
  if (deleted != listed) {
    // A trigger kept some, or the driver could not count.
    miscount = deleted < 0 ? std::string("The database could not tell how many records the deletion removed")
                           : "The deletion would have removed " + std::to_string(static_cast<int64_t>(deleted)) +
                                 " records";
    miscount += ", but " + std::to_string(listed) + " were listed.";
  } else if (lost && *lost != deleted) {
    miscount = "The deletion would have removed " + std::to_string(*lost) + " records from the table, but " +
               std::to_string(listed) + " were listed: a trigger or a foreign key of the table takes others.";
  }
  return miscount;
}

// After "yes", in one short transaction at serializable isolation: the rows that match
// now must be exactly the rows that were listed, and the one DELETE that repeats the
// criterion must take as many; otherwise everything is rolled back. Nothing is locked
// before this, while the operator reads the question, and no wait for another session's
// locks is without end. What each server's serializable isolation guards, and how, is in
// docs/SAFETY.md. What became of the deletion is the transaction's outcome
// (CODBCDatabase::TransactionOutcome); the reason of a failure goes to `err`.
void DeleteListedRows(CServerConnection& database, CStoredRowSet& records, const CleanupStatements& statements,
                      const CRowSetFingerprint& listed, CConsoleText& err) {
  _SQL_Error error;
  char16_t statement[kStatementChars];
  if (database.Rules().BeginDeletion(database, error) == 0) {
    err << "Error:" << error.message << endl;
    ExplainLockFailure(database, error, err);
    return;
  }
  // Whatever ends this early, an allocation that fails included, nothing stays but a
  // commit that succeeded.
  CODBCDatabase::CRollbackGuard rollBackUnlessCommitted(database);
  std::string change, miscount;
  CStoredRowSet::Sums now;
  FormatStatement(statement, statements.condition);
  bool failed = !SummarizeSelection(records, statement, listed, now, error);
  if (!failed) change = listed.DescribeChange(now);
  if (!failed && change.empty()) {
    // The DELETE's row count leaves out what triggers and cascading keys delete: where
    // the catalogue shows either, the table is counted before and after.
    bool mayTakeMore = false;
    int64_t before = 0, after = 0;
    failed = database.MayDeleteMoreThanAsked(u"FileTree", mayTakeMore, error) == 0 ||
             (mayTakeMore && database.CountRows(u"FileTree", before, error) == 0);
    FormatStatement(statement, statements.deletion);
    // NOTE: a driver that cannot count the deleted rows answers -1, which never equals
    // the listed count: the deletion is then rolled back rather than taken on trust.
    SQLLEN deleted = -1;
    failed = failed || database.Execute(statement, error, &deleted) == 0 ||
             (mayTakeMore && database.CountRows(u"FileTree", after, error) == 0);
    if (!failed) {
      miscount = Miscount(deleted, listed.Count(), mayTakeMore ? std::optional(before - after) : std::nullopt);
    }
    if (!failed && miscount.empty()) {
      if (database.EndTransaction(true, error) != 0) return;
      err << "Error:" << error.message << endl;
      // A commit the server refused has been rolled back; any other failed commit leaves
      // the outcome unknown, which the caller says.
      if (database.TransactionOutcome() == CODBCDatabase::Outcome::RolledBack) ExplainLockFailure(database, error, err);
      return;
    }
  }
  if (failed) {
    err << "Error:" << error.message << endl;
    ExplainLockFailure(database, error, err);
  } else if (!miscount.empty()) {
    err << "Error:" << miscount.c_str() << " Nothing was deleted." << endl;
  } else {
    err << "Error:" << "The table changed after the listing: " << change.c_str() << " Nothing was deleted." << endl;
  }
  if (database.EndTransaction(false, error) == 0) {
    // The library closed the connection without committing: the server undoes the
    // transaction as the session ends.
    err << "Error:" << error.message << endl;
  }
}

// The run's steps, each ending the run early by returning false, with what went wrong on
// the console.

// A server that takes no changes, in one line: the operator must turn to another server,
// not repeat the run. False for any other failure.
bool ExplainRefusal(const CServerConnection& database, const _SQL_Error& error, CConsoleText& err) {
  switch (database.ClassifyRefusal(error)) {
    case Refusal::ReadOnly:
      err << "Error:The database takes no changes: the server is a replica or a read-only server. Run the tool "
             "against the primary. Nothing was listed or deleted."
          << endl;
      return true;
    case Refusal::NotReady:
      err << "Error:The database server is a cluster node that is not ready (not joined to its cluster, or not in "
             "sync). Run the tool once it is, or against another node. Nothing was listed or deleted."
          << endl;
      return true;
    case Refusal::None:
      break;
  }
  return false;
}

// The connection string from the registry, then the connection.
bool Connect(CServerConnection& database, int lockWaitSeconds, CConsoleText& err, RunStage& stage) {
  char16_t connection[kConnectionStringCapacity] = {};
  if (!ReadConnectionString(connection, kConnectionStringCapacity)) return false;
  stage.step = RunStage::Connection;
  if (ConnectToDatabase(database, connection, lockWaitSeconds)) return true;
  _SQL_Error error;
  (void)database.GetError(error);
  if (ExplainRefusal(database, error, err)) return false;
  // The string is echoed so the operator sees what was tried, but never its password, and
  // no character in it can move the cursor or hide what follows.
  err << "Failed to connect to DB " << VisibleUtf8(MaskConnectionString(connection)).c_str() << endl;
  err << "Error:" << error.message << endl;
  ExplainLockFailure(database, error, err);
  return false;
}

// Walks the open selection into the list file, fingerprinting each row listed.
bool WriteList(CStoredRowSet& records, const char* listFile, Listing& listing, CConsoleText& out, CConsoleText& err) {
  CRecordListFile& list = listing.list;
  (void)list.Open(listFile);
  CListingProgress progress("records listed...");
  while (!list.Failed() && !records.IsEof()) {
    // Fingerprinted before it is listed: a row whose values cannot be read whole is not
    // one the operator could confirm.
    CStoredRowSet::Name name;
    CStoredRowSet::Digest digest;
    if (!records.ReadRow(name, digest)) break;
    listing.rows.Add(digest);
    // The name as stored, embedded NULs included; a NULL name is listed as empty.
    int identificationLength = 0;
    const uint8_t* identification = records.ListedIdentification(identificationLength);
    if (name.utf8) {
      list.WriteRow(name.bytes, name.cut, identification, identificationLength);
    } else {
      list.WriteRow(name.text, name.cut, identification, identificationLength);
    }
    ++listing.count;
    progress.Row(listing.count);
    records.MoveNext();
  }
  progress.Clear();
  // The reading ends, whatever became of the list. Where the server summed the rows
  // apart from it, its sums are the fingerprint.
  CStoredRowSet::Sums sums = listing.rows.Sums();
  const bool summed = records.FinishRows(listing.count, sums);
  listing.rows.Take(sums);
  // A row that could not be fetched ends the walk early; the deletion would then take
  // rows the operator never saw.
  _SQL_Error error;
  const bool interrupted = !list.Failed() && (records.GetError(error) || !summed);
  // A walk cut short is no list: what had the list's name keeps it.
  if (interrupted) list.Abandon();
  const bool listed = interrupted || list.Close();
  if (!listed && list.IsInPlaceUnflushed()) {
    // The new list has the name; only its folder did not reach the disk. A list that a
    // crash could still take away is no record to delete by.
    err << "The list of records was written into: " << listFile
        << ", but its folder could not be flushed to disk, so a crash of the system could lose it. Nothing was "
           "deleted."
        << endl;
    err << list.FailureReason().c_str() << endl;
  } else if (!listed) {
    err << "Failed to write the list of records into: " << listFile << endl;
    err << VisibleBytes(list.FailureReason()).c_str() << endl;
  } else if (interrupted) {
    out << "SQL Error reading table : ";
    out << error.message << endl;
  }
  return listed && !interrupted;
}

bool ListOldRows(const CServerConnection& database, CStoredRowSet& records, const CleanupStatements& statements,
                 Listing& listing, CConsoleText& out, CConsoleText& err) {
  out << endl << "Searching for old records... This process may take a few minutes" << endl << endl;
  char16_t statement[kStatementChars];
  FormatStatement(statement, statements.selection != nullptr ? statements.selection : statements.condition);
  bool listed = true;
  {
    // While the read is open it holds others out (SQLite's shared lock, PostgreSQL's
    // cursor): a stop (Ctrl+Z) waits until it has ended, and so does what the run has to
    // say, which a stopped terminal (Ctrl+S) would hold.
    CHeldConsoleText quiet(out, err);
    CHeldJobStops stops;
    _SQL_Error error;
    const int opened = statements.selection != nullptr ? records.Open(statement) : records.OpenRows(statement);
    if (opened >= 0) {
      listed = WriteList(records, statements.listFile, listing, out, err);
    } else if (records.GetError(error)) {
      out << "SQL Error open table : ";
      out << error.message << endl;
      ExplainLockFailure(database, error, err);
      listed = false;
    }
    // A selection that fails without an error has no rows, and no list file.
    records.Close();
  }
  if (listed) out << endl;
  return listed;
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
      << VisibleBytes(listing.list.FailureReason()).c_str() << ". Nothing was deleted." << endl;
  return false;
}

void Delete(CServerConnection& database, CStoredRowSet& records, const CleanupStatements& statements, Listing& listing,
            CConsoleText& out, CConsoleText& err, RunStage& stage) {
  stage.step = RunStage::Deletion;
  out << "Deleting records..." << endl;
  if (!ListStillInPlace(listing, statements.listFile, err)) {
    out << "No records were deleted" << endl;
    return;
  }
  if (listing.count > kManyRows) out << "This process may take a few minutes" << endl;
  stage.listed = listing.count;
  {
    // Ctrl+Z waits until the transaction has ended: a stopped run would keep its locks,
    // and other sessions out, for as long as it stays stopped. What it says waits too: a
    // stopped terminal (Ctrl+S) would hold the write before the rollback.
    CHeldConsoleText quiet(out, err);
    CHeldJobStops held;
    DeleteListedRows(database, records, statements, listing.rows, err);
  }
  // A committed deletion took exactly the listed rows: the check saw to that.
  switch (database.TransactionOutcome()) {
    case CODBCDatabase::Outcome::Committed:
      out << listing.count << " records were deleted." << endl;
      break;
    case CODBCDatabase::Outcome::Committing:
    case CODBCDatabase::Outcome::Unknown:
      out << kCommitUnknown << endl;
      break;
    default:
      out << "No records were deleted" << endl;
      break;
  }
}

// Everything that needs the connection; the recordset goes before the connection closes.
void ListAndDelete(CServerConnection& database, const CleanupStatements& statements, CConsoleText& out, CConsoleText& err,
                   RunStage& stage) {
  stage.step = RunStage::Listing;
  // The fingerprint's key, drawn for this run alone. Without one the check after "yes"
  // could be aimed at, so the run does not start the listing.
  uint8_t key[16];
  if (!GenerateRandomBytes(key, sizeof key)) {
    err << "Error:" << "No random key could be drawn from the system (error " << static_cast<int64_t>(GetLastError())
        << "), so the records could not be listed safely. Nothing was deleted." << endl;
    return;
  }
  // A list in a folder that anyone may write could be swapped while the operator reads it.
  std::string folder;
  if (!IsFolderGuarded(statements.listFile, folder)) {
    err << "Error:" << "The list of records would be kept in " << VisibleBytes(folder).c_str()
        << ", a folder that any user may change (writable by all, not sticky), so the records were not listed. "
           "Nothing was deleted."
        << endl;
    return;
  }
  CStoredRowSet records(&database, key);
  Listing listing;
  struct CListForFaults {
    RunStage& stage;
    ~CListForFaults() { stage.list = nullptr; }
  } listForFaults{stage};
  stage.list = &listing.list;
  if (!ListOldRows(database, records, statements, listing, out, err)) return;
  stage.step = RunStage::Question;
  if (listing.count == 0) {
    out << "There aren't any old records to delete." << endl;
  } else if (Confirm(listing, statements.listFile, out)) {
    Delete(database, records, statements, listing, out, err, stage);
  } else {
    out << "No records were deleted" << endl;
  }
}

// The last words of a run that runs out of memory or faults, written without allocating
// any: "Error:" and the cause, what the run was doing, and what the transaction's
// outcome says of the deletion. A transaction still open is undone by the connection's
// end, or the process's.
void SayLastWords(std::string_view cause, const RunStage& stage, const CODBCDatabase& database) {
  static constexpr const char* kDoing[] = {"reading the connection string", "connecting to the database",
                                           "listing the old records", "asking for confirmation",
                                           "deleting the records"};
  const auto write = [](std::string_view text) { (void)ConsoleWriteUtf8(ConsoleStream::Error, text); };
  EraseProgressLine();
  const CODBCDatabase::Outcome outcome = database.TransactionOutcome();
  write("Error:");
  write(cause);
  if (outcome == CODBCDatabase::Outcome::Committed) {
    char count[24];
    const auto end = std::to_chars(count, count + sizeof count, stage.listed).ptr;
    write(" after ");
    write(std::string_view(count, static_cast<std::size_t>(end - count)));
    write(" records were deleted.\n");
    return;
  }
  write(" while ");
  write(kDoing[stage.step]);
  write(". ");
  switch (outcome) {
    case CODBCDatabase::Outcome::Committing:
      write(kEndedWhileCommitting);
      break;
    case CODBCDatabase::Outcome::Unknown:
      write(kCommitUnknown);
      break;
    default:
      write("No records were deleted.");
      break;
  }
  write("\n");
}

// The run in progress, for the fault handler, which takes no argument of ours.
const RunStage* g_stage = nullptr;
const CODBCDatabase* g_database = nullptr;

void SayLastWordsOnFault(const char* fault) {
  // NOTE: psqlODBC 13.02 follows a null pointer (in CC_from_PGresult, called with no
  // connection from QR_next_tuple) when the server goes away while the rows of a FETCH
  // batch are arriving (UseDeclareFetch=1), and unixODBC 2.3.11's SQLGetDiagRecW crashes
  // when its own allocation fails. Neither is ours to mend; the run still says what
  // became of the deletion before the process ends by its fault.
  if (g_stage == nullptr || g_database == nullptr) return;
  char cause[80] = "The run was ended by a fault (";
  std::size_t length = std::strlen(cause);
  for (const char* p = fault; *p != 0 && length + 2 < sizeof cause; ++p) cause[length++] = *p;
  cause[length++] = ')';
  SayLastWords(std::string_view(cause, length), *g_stage, *g_database);
  // A list not yet in place goes (closing and removing a file is safe here); the
  // previous one stays as it was.
  if (g_stage->list != nullptr) g_stage->list->Abandon();
}

}  // namespace

int RunCleanup(const CleanupStatements& statements) {
  // Before the connection exists: nothing it opens may land on a closed standard descriptor.
  ConsolePrepareProcess();
  CServerConnection database;
  CConsoleText out(ConsoleStream::Output);
  CConsoleText err(ConsoleStream::Error);

  RunStage stage;
  g_stage = &stage;
  g_database = &database;
  CFaultExit faultExit(SayLastWordsOnFault);
  // The standard library reports a failed allocation by throwing std::bad_alloc, from
  // wherever it happened; here it ends the run. The objects of the run are gone by then,
  // an open transaction among them uncommitted: the connection rolls it back as it
  // closes below. Nothing after this point allocates.
  try {
    out << "This clean up tool will delete unnecessary records from the data base." << endl;
    out << "Warning: before using this tool the Meridex FE service must be restarted." << endl << endl;
    ConsolePause();
    if (Connect(database, statements.lockWaitSeconds, err, stage)) ListAndDelete(database, statements, out, err, stage);
  } catch (const std::bad_alloc&) {
    // An unfinished line goes: its end may be what could not be stored.
    out.Discard();
    err.Discard();
    // The transaction ends before a word is written, which a stopped terminal (Ctrl+S)
    // would hold; the transaction's outcome stays as the server gave it.
    database.Close();
    SayLastWords("Out of memory", stage, database);
  }
  database.Close();
  out << endl;
  g_stage = nullptr;
  g_database = nullptr;
  return 0;
}
