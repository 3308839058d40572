#include "CleanupRun.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "CRegTreeRecSet.h"
#include "Connect.h"
#include "ConnectionSettings.h"
#include "ConnectionStringMask.h"
#include "ConsoleText.h"
#include "RecordListFile.h"
#include "Win32Format.h"
#include "strandlink.h"

namespace {

constexpr int kConnectionStringChars = 260;
constexpr int kStatementChars = 1024;
// The criterion: the two lowest bits of OperationType equal 2, bits 2 to 4 equal 16.
constexpr int kLowMask = 3, kLowValue = 2, kHighMask = 28, kHighValue = 16;
constexpr int32_t kManyRows = 1000;

// While rows are listed and standard error is a terminal, one line that counts them.
// Nothing at all when standard error is redirected: transcripts stay exact.
class ListingProgress {
 public:
  ListingProgress() : m_enabled(ConsoleIsTerminal(ConsoleStream::Error)), m_last(Clock::now()) {}

  void Row(int32_t count) {
    // The clock is read once per thousand rows, so the listing does not pay for it.
    if (!m_enabled || (count & 1023) != 0) return;
    const auto now = Clock::now();
    if (now - m_last < std::chrono::milliseconds(250)) return;
    m_last = now;
    const int n = std::snprintf(m_line, sizeof m_line, "\r%d records listed...", static_cast<int>(count));
    m_length = n > 0 ? std::min(static_cast<std::size_t>(n), sizeof m_line - 1) : 0;
    (void)ConsoleWriteUtf8(ConsoleStream::Error, std::string_view(m_line, m_length));
  }

  // Erases the line before the next message.
  void Clear() {
    if (m_length == 0) return;
    std::memset(m_line + 1, ' ', m_length - 1);
    m_line[m_length] = '\r';
    (void)ConsoleWriteUtf8(ConsoleStream::Error, std::string_view(m_line, m_length + 1));
    m_length = 0;
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool m_enabled;
  Clock::time_point m_last;
  // "\r", the count line, and room for the "\r" that ends its blanking.
  char m_line[48] = {};
  std::size_t m_length = 0;
};

void FormatStatement(char16_t (&buffer)[kStatementChars], const char16_t* pattern) {
  std::memset(buffer, 0, sizeof buffer);
  (void)wsprintfW(buffer, pattern, kLowMask, kLowValue, kHighMask, kHighValue);
}

}  // namespace

int RunCleanup(const CleanupStatements& statements) {
  // Before the connection exists: nothing it opens may land on a closed standard descriptor.
  ConsolePrepareProcess();
  CODBCDatabase database;
  _SQL_Error error;
  ConsoleText out(ConsoleStream::Output);
  ConsoleText err(ConsoleStream::Error);

  out << "This clean up tool will delete unnecessary records from the data base." << endl;
  out << "Warning: before using this tool the Meridex FE service must be restarted." << endl << endl;
  ConsolePause();

  char16_t connection[kConnectionStringChars] = {};
  if (!ReadConnectionString(connection, kConnectionStringChars)) {
    out << endl;
    return 0;
  }

  char16_t statement[kStatementChars];
  FormatStatement(statement, statements.selection);

  if (!ConnectToDatabase(database, connection)) {
    (void)database.GetError(error);
    // The string is echoed so the operator sees what was tried, but never its password.
    err << "Failed to connect to DB " << MaskConnectionString(connection) << endl;
    err << "Error:" << error.message << endl;
    out << endl;
    return 0;
  }

  std::optional<CRegTreeRecSet> records;
  records.emplace(&database, 1, 0);
  out << endl << "Searching for old records... This process may take a few minutes" << endl << endl;

  int32_t count = 0;
  if (records->Open(statement) >= 0) {
    RecordListFile list;
    (void)list.Open(statements.listFile);
    ListingProgress progress;
    while (!list.Failed() && !records->IsEof()) {
      // A NULL name leaves the previous row's name in the buffer: list it as empty.
      const char16_t* name = records->FieldSlot(2) == SQL_NULL_DATA ? u"" : records->GetFileName();
      list.WriteRow(name, records->GetFileIdentification(), records->GetFileIdentificationLength());
      ++count;
      progress.Row(count);
      records->MoveNext();
    }
    progress.Clear();
    // A row that could not be fetched ends the walk early; the deletion would then take
    // rows the operator never saw.
    const bool interrupted = !list.Failed() && records->GetError(error);
    const bool listed = list.Close();
    if (!listed) {
      err << "Failed to write the list of records into: " << statements.listFile << endl;
      err << list.FailureReason().c_str() << endl;
    } else if (interrupted) {
      out << "SQL Error reading table : ";
      out << error.message << endl;
    }
    if (!listed || interrupted) {
      records.reset();
      database.Close();
      out << endl;
      return 0;
    }
  } else if (records->GetError(error)) {
    out << "SQL Error open table : ";
    out << error.message << endl;
    out << endl;
    return 0;
  }

  records->Close();
  out << endl;

  if (count == 0) {
    out << "There aren't any old records to delete." << endl;
  } else {
    out << endl << count << " old records were found." << endl << endl;
    out << "The list of records was written into: " << statements.listFile << endl << endl;
    ConsoleDiscardTypeAhead();  // the answer is what is typed once the question is there
    out << "Are you sure you want to delete those records? yes\\no " << "\t" << endl;
    std::string answer;
    (void)ConsoleReadLine(answer);
    if (answer == "yes") {
      FormatStatement(statement, statements.deletion);
      out << "Deleting records..." << endl;
      if (count > kManyRows) out << "This process may take a few minutes" << endl;
      // One statement, as listed: in a transaction, so that it can be undone when it
      // would take rows that appeared after the listing and that the operator never saw.
      SQLLEN deleted = -1;
      const bool executed = database.BeginTransaction(error) != 0 && database.Execute(statement, error, &deleted) != 0;
      _SQL_Error rollbackError;
      if (executed && deleted > count) {
        (void)database.EndTransaction(false, rollbackError);
        err << "Error:" << "The deletion would have removed " << static_cast<int64_t>(deleted) << " records, but "
            << count << " were listed. Nothing was deleted." << endl;
        out << "No records were deleted" << endl;
      } else if (executed && database.EndTransaction(true, error) != 0) {
        // Fewer rows than listed means others removed some meanwhile: say what happened.
        out << (deleted >= 0 && deleted < count ? static_cast<int64_t>(deleted) : count) << " records were deleted." << endl;
      } else {
        (void)database.EndTransaction(false, rollbackError);
        err << "Error:" << error.message << endl;
        out << "No records were deleted" << endl;
      }
    } else {
      out << "No records were deleted" << endl;
    }
  }

  records.reset();
  database.Close();
  out << endl;
  return 0;
}
