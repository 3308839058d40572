#include "CleanupRun.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "CRegTreeRecSet.h"
#include "Connect.h"
#include "ConnectionSettings.h"
#include "ConnectionStringMask.h"
#include "ConsoleText.h"
#include "JobControl.h"
#include "FaultExit.h"
#include "ProgressLine.h"
#include "RecordListFile.h"
#include "RowSetFingerprint.h"
#include "VisibleText.h"
#include "Win32Format.h"
#include "Win32Random.h"
#include "WideText.h"
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

// How far the run has come, for the last words of a run that runs out of memory or
// faults: what it was doing, and what DeleteListedRows answered once it has.
struct RunStage {
  enum Step { Configuration, Connection, Listing, Question, Deletion } step = Configuration;
  std::optional<int64_t> deleted;
  // The list file while it exists: a fault must not leave its new file behind.
  CRecordListFile* list = nullptr;
};

void FormatStatement(char16_t (&buffer)[kStatementChars], const char16_t* pattern) {
  std::memset(buffer, 0, sizeof buffer);
  (void)wsprintfW(buffer, pattern, kLowMask, kLowValue, kHighMask, kHighValue);
}

// A selection of rows, with the columns the recordset adds on this connection to read
// whole names (CRegTreeRecSet::StoredNameColumns) put after the selected ones. A
// statement that selects nothing is left as it is, and so is one that would not fit.
void FormatSelection(char16_t (&buffer)[kStatementChars], const char16_t* pattern, const CODBCDatabase& database) {
  FormatStatement(buffer, pattern);
  const std::u16string_view added = CRegTreeRecSet::StoredNameColumns(database);
  const std::u16string_view statement(buffer);
  const std::size_t from = statement.find(u" FROM ");
  if (added.empty() || statement.substr(0, 7) != u"SELECT " || from == std::u16string_view::npos ||
      statement.size() + added.size() >= kStatementChars) {
    return;
  }
  std::memmove(buffer + from + added.size(), buffer + from, (statement.size() - from) * sizeof(char16_t));
  std::memcpy(buffer + from, added.data(), added.size() * sizeof(char16_t));
}

// One value of the current row into the row's hash: what its buffer holds, or, for a
// value that did not fit there, the whole value read again from the driver. Only such
// rows pay for the second reading.
bool HashValue(CRegTreeRecSet& records, CRegTreeRecSet::Column column, SQLSMALLINT cType, const void* fetched,
               std::size_t fetchedBytes, CRowSetFingerprint::CRow& row) {
  if (!records.IsCut(column)) {
    row.Bytes(fetched, fetchedBytes);
    row.EndValue(fetchedBytes);
    return true;
  }
  int64_t total = 0;
  const auto piece = [](void* context, const uint8_t* bytes, std::size_t length) {
    static_cast<CRowSetFingerprint::CRow*>(context)->Bytes(bytes, length);
  };
  if (!SqlSucceeded(records.ReadWholeValue(column, cType, piece, &row, total))) return false;
  if (total == SQL_NULL_DATA) {
    row.Null();
  } else {
    row.EndValue(static_cast<uint64_t>(total));
  }
  return true;
}

// What the list shows of a row's name: the fetched text, or what its stored bytes
// decode to where the driver's text left some out.
struct ListedName {
  std::u16string_view text;
  bool cut = false;
  std::u16string decoded;
};

// Enough stored UTF-8 for the 260 characters a list line shows, however they decode.
constexpr std::size_t kShownNameBytes = 4 * CRegTreeRecSet::kFileNameChars;

// A name's stored bytes on their way: all into the row's hash, the first ones kept for
// the list (none in the check, which lists nothing).
struct StoredName {
  CRowSetFingerprint::CRow* row;
  std::string* head;
};

bool AddName(CRegTreeRecSet& records, CRowSetFingerprint::CRow& row, ListedName* listed) {
  if (records.IsFileNameNull()) {
    row.Null();  // listed as empty
    return true;
  }
  bool needsStoredBytes = false;
  if (!SqlSucceeded(records.FileNameNeedsStoredBytes(needsStoredBytes))) return false;
  if (!needsStoredBytes) {
    const std::u16string_view name = records.GetFetchedFileName();
    if (listed != nullptr) {
      listed->text = name;
      listed->cut = records.IsCut(CRegTreeRecSet::kFileNameColumn);
    }
    return HashValue(records, CRegTreeRecSet::kFileNameColumn, SQL_C_WCHAR, name.data(), name.size() * sizeof(char16_t),
                     row);
  }
  std::string head;
  StoredName sink = {&row, listed != nullptr ? &head : nullptr};
  const auto piece = [](void* context, const uint8_t* bytes, std::size_t length) {
    auto* name = static_cast<StoredName*>(context);
    name->row->Bytes(bytes, length);
    if (name->head != nullptr && name->head->size() < kShownNameBytes) {
      name->head->append(reinterpret_cast<const char*>(bytes), std::min(length, kShownNameBytes - name->head->size()));
    }
  };
  int64_t total = 0;
  if (!SqlSucceeded(records.ReadWholeValue(records.StoredFileNameColumn(), SQL_C_BINARY, piece, &sink, total))) {
    return false;
  }
  row.EndValueInOtherForm(static_cast<uint64_t>(std::max<int64_t>(total, 0)));
  if (listed != nullptr) {
    // Bytes that are not UTF-8 become U+FFFD, NULs stay: nothing stored vanishes from the
    // line. A head cut inside a character decodes wrongly only past what is shown.
    constexpr std::size_t kShownChars = CRegTreeRecSet::kFileNameChars - 1;
    listed->decoded = FromUtf8(head);
    listed->cut = static_cast<uint64_t>(total) > head.size() || listed->decoded.size() > kShownChars;
    if (listed->decoded.size() > kShownChars) listed->decoded.resize(kShownChars);
    listed->text = listed->decoded;
  }
  return true;
}

// The current row into the fingerprint, and what the list shows of its name when
// `listed` is given. False, with the error on the recordset, when a value could not be
// read whole.
bool AddRow(CRowSetFingerprint& rows, CRegTreeRecSet& records, ListedName* listed = nullptr) {
  CRowSetFingerprint::CRow row = rows.NewRow();
  row.Key(records.IsFileIDNull() ? std::nullopt : std::optional<int32_t>(records.GetFileID()));
  if (!AddName(records, row, listed)) return false;
  row.Integer(records.GetOperationType());
  const uint8_t* identification = records.GetFileIdentification();
  if (identification == nullptr) {
    row.Null();
  } else {
    const std::size_t fetched = std::min(static_cast<std::size_t>(records.GetFileIdentificationLength()),
                                         static_cast<std::size_t>(CRegTreeRecSet::kFileIdentificationBytes));
    if (!HashValue(records, CRegTreeRecSet::kFileIdentificationColumn, SQL_C_BINARY, identification, fetched, row)) {
      return false;
    }
  }
  rows.Add(row);
  return true;
}

// The rows written into the list file, their fingerprint, and the file itself, kept open
// until the run ends.
struct Listing {
  explicit Listing(const CSipHash::Key& key) : rows(key) {}
  int32_t count = 0;
  CRowSetFingerprint rows;
  CRecordListFile list;
};

// The rows the selection yields now. False with the error when they cannot all be read.
bool FingerprintSelection(CRegTreeRecSet& records, const char16_t* selection, CRowSetFingerprint& rows, _SQL_Error& error) {
  // A selection without a result set and without an error yields no row.
  if (records.Open(selection) < 0) return !records.GetError(error);
  // The check reads every listed row again: on a terminal, it shows how far it got.
  CListingProgress progress("records checked...");
  int32_t count = 0;
  while (!records.IsEof() && AddRow(rows, records)) {
    progress.Row(++count);
    records.MoveNext();
  }
  progress.Clear();
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
// statement trace). On SQLite the library begins a deferred transaction itself ("BEGIN
// TRANSACTION", so that the check streams; see BeginTransaction), and LockForWriting
// takes SQLite's write lock before the check: no other writer can commit between the
// check and the DELETE, readers go on, and a writer that holds the write lock makes the
// run fail after the driver's busy timeout ("database is locked"). psqlODBC sets PostgreSQL's
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
  std::string change, miscount;
  CRowSetFingerprint now = listed.Empty();
  FormatSelection(statement, statements.check, database);
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
      // The rows that match are the listed ones, yet the DELETE took another number (a
      // trigger kept some, or the driver could not count): nothing the table's change
      // explains, so the message does not blame one.
      miscount = deleted < 0 ? std::string("The database could not tell how many records the deletion removed")
                             : "The deletion would have removed " + std::to_string(static_cast<int64_t>(deleted)) +
                                   " records";
      miscount += ", but " + std::to_string(listed.Count()) + " were listed.";
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
  } else if (!miscount.empty()) {
    err << "Error:" << miscount.c_str() << " Nothing was deleted." << endl;
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

// A server that takes no changes, in one line: the operator must turn to another server,
// not repeat the run. False for any other failure.
bool ExplainRefusal(const CODBCDatabase& database, const _SQL_Error& error, CConsoleText& err) {
  switch (database.ClassifyRefusal(error)) {
    case CODBCDatabase::Refusal::ReadOnly:
      err << "Error:The database takes no changes: the server is a replica or a read-only server. Run the tool "
             "against the primary. Nothing was listed or deleted."
          << endl;
      return true;
    case CODBCDatabase::Refusal::NotReady:
      err << "Error:The database server is a cluster node that is not ready (not joined to its cluster, or not in "
             "sync). Run the tool once it is, or against another node. Nothing was listed or deleted."
          << endl;
      return true;
    case CODBCDatabase::Refusal::None:
      break;
  }
  return false;
}

// The connection string from the registry, then the connection.
bool Connect(CODBCDatabase& database, CConsoleText& err, RunStage& stage) {
  char16_t connection[kConnectionStringChars] = {};
  if (!ReadConnectionString(connection, kConnectionStringChars)) return false;
  stage.step = RunStage::Connection;
  if (ConnectToDatabase(database, connection)) return true;
  _SQL_Error error;
  (void)database.GetError(error);
  if (ExplainRefusal(database, error, err)) return false;
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
  CListingProgress progress("records listed...");
  while (!list.Failed() && !records.IsEof()) {
    // Fingerprinted before it is listed: a row whose values cannot be read whole is not
    // one the operator could confirm.
    ListedName name;
    if (!AddRow(listing.rows, records, &name)) break;
    // The name as fetched, embedded NULs included; a NULL name is listed as empty.
    list.WriteRow(name.text, name.cut, records.GetFileIdentification(), records.GetFileIdentificationLength());
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

bool ListOldRows(const CODBCDatabase& database, CRegTreeRecSet& records, const CleanupStatements& statements,
                 Listing& listing, CConsoleText& out, CConsoleText& err) {
  out << endl << "Searching for old records... This process may take a few minutes" << endl << endl;
  char16_t statement[kStatementChars];
  FormatSelection(statement, statements.selection, database);
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
            CConsoleText& out, CConsoleText& err, RunStage& stage) {
  stage.step = RunStage::Deletion;
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
  stage.deleted = deleted;
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
void ListAndDelete(CODBCDatabase& database, const CleanupStatements& statements, CConsoleText& out, CConsoleText& err,
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
  CRegTreeRecSet records(&database, CRegTreeRecSet::kReadOnlyCursor, CRegTreeRecSet::kNoOptions);
  Listing listing(CSipHash::Key::FromBytes(key));
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
// any: "Error:" and the cause, what the run was doing, and only what is known of the
// deletion. Before DeleteListedRows has answered, its transaction is still open (the
// connection, or the end of the process, rolls it back) or was rolled back; unless the
// connection was lost, or a fault struck during the commit, when nobody can tell
// whether the server committed.
void SayLastWords(std::string_view cause, const RunStage& stage, const CODBCDatabase& database) {
  static constexpr const char* kDoing[] = {"reading the connection string", "connecting to the database",
                                           "listing the old records", "asking for confirmation",
                                           "deleting the records"};
  const auto write = [](std::string_view text) { (void)ConsoleWriteUtf8(ConsoleStream::Error, text); };
  write("Error:");
  write(cause);
  if (stage.deleted && *stage.deleted >= 0) {
    char count[24];
    const auto end = std::to_chars(count, count + sizeof count, *stage.deleted).ptr;
    write(" after ");
    write(std::string_view(count, static_cast<std::size_t>(end - count)));
    write(" records were deleted.\n");
    return;
  }
  write(" while ");
  write(kDoing[stage.step]);
  write(".");
  bool unknown = false;
  if (stage.deleted) {
    unknown = *stage.deleted == kOutcomeUnknown;
  } else if (stage.step == RunStage::Deletion) {
    unknown = database.IsConnected() == 0 || database.IsCommitting();
  }
  write(unknown ? " The connection was lost while the deletion was committed: count the records left to know "
                  "whether they were deleted.\n"
                : " No records were deleted.\n");
}

// The run in progress, for the fault handler, which takes no argument of ours.
const RunStage* g_stage = nullptr;
const CODBCDatabase* g_database = nullptr;

void SayLastWordsOnFault(const char* fault) {
  // NOTE: psqlODBC 13.02 follows a null pointer (in CC_from_PGresult, called with no
  // connection from QR_next_tuple) when the server goes away while the rows of a FETCH
  // batch are arriving (UseDeclareFetch=1), and unixODBC 2.3.11's SQLGetDiagRecW crashes
  // when its own allocation fails. Neither is ours to mend; the run still ends as it
  // promises: a message that says what became of the deletion, and exit status 0.
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
  CODBCDatabase database;
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
    if (Connect(database, err, stage)) ListAndDelete(database, statements, out, err, stage);
  } catch (const std::bad_alloc&) {
    // An unfinished line goes: its end may be what could not be stored.
    out.Discard();
    err.Discard();
    SayLastWords("Out of memory", stage, database);
  }
  database.Close();
  out << endl;
  g_stage = nullptr;
  g_database = nullptr;
  return 0;
}
