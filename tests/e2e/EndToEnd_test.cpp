// The whole run, as the operator has it: the built executable with piped standard input,
// against real SQLite and PostgreSQL databases. Each case checks standard output,
// standard error, the exit status, the list file byte for byte and the rows left.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Databases.h"
#include "TestSupport.h"
#include "ToolRunner.h"

using namespace testing_support;
using e2e::RunOptions;
using e2e::RunResult;
using e2e::ToolTarget;

namespace {

const char kBanner[] =
    "This clean up tool will delete unnecessary records from the data base.\n"
    "Warning: before using this tool the Meridex FE service must be restarted.\n\n";
const char kSearching[] = "\nSearching for old records... This process may take a few minutes\n\n";
const char kHeader[] = "File Name, File Write Time\n";
const char kPrompt[] = "Are you sure you want to delete those records? yes\\no \t\n";

// Selected: the two lowest bits are 2 and bits 2 to 4 are 16.
constexpr int kOld = 18;
constexpr int kOldToo = 50;  // a higher bit does not matter
constexpr int kKept[] = {0, 2, 16, 19, 22, 26};

constexpr uint64_t kUnixEpochAsFiletime = 116444736000000000ULL;
uint64_t FiletimeOfUnix(int64_t seconds) { return kUnixEpochAsFiletime + static_cast<uint64_t>(seconds) * 10000000ULL; }

// A 112-byte identification record whose last-write time is the given FILETIME.
std::string Identification(uint64_t lastWrite, std::size_t length = 112) {
  std::string record(length, '\0');
  if (length >= 4) record[0] = 1;
  if (length >= 8) record[4] = 28;
  if (length >= 36) record[32] = 56;
  for (int i = 0; i < 8 && 24 + i < static_cast<int>(length); ++i) {
    record[24 + i] = static_cast<char>((lastWrite >> (8 * i)) & 0xFF);
  }
  return record;
}

// A file's lines in sorted order, for lists whose order the server chooses.
std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// FileTree with its five columns in reverse order and a sixth (reordered), or in the
// schema's order without FileIdentification.
std::string FileTreeDefinition(Backend backend, bool reordered) {
  const bool pg = backend == Backend::PostgreSQL, maria = backend == Backend::MariaDB;
  const std::string name = pg ? "VARCHAR(260)" : maria ? "VARCHAR(260) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin" : "NVARCHAR(260)";
  const std::string data = pg ? "BYTEA" : maria ? "LONGBLOB" : "BLOB";
  const std::string identification = pg ? "BYTEA" : "VARBINARY(1000)";
  if (!reordered) {
    return "CREATE TABLE FileTree (FileID INTEGER NOT NULL PRIMARY KEY, FileName " + name +
           " NOT NULL, OperationType INTEGER NOT NULL, FileData " + data + " NULL)";
  }
  return "CREATE TABLE FileTree (Note VARCHAR(40) NULL, FileData " + data +
         " NULL, OperationType INTEGER NOT NULL, FileIdentification " + identification + " NULL, FileName " + name +
         " NOT NULL, FileID INTEGER NOT NULL PRIMARY KEY)";
}

class EndToEnd : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    target = e2e::TargetFromEnvironment();
    db = std::make_unique<TestDatabase>(GetParam());
  }

  // The registry as Meridex writes it, with the connection string as the fallback value.
  std::string Registry(const std::string& body) { return e2e::WriteRegistryFile(work.Path(), body); }
  std::string RegistryFor(const std::string& connection) { return e2e::WriteConnectionRegistry(work.Path(), connection); }
  std::string Connection() const { return Narrow(db->ConnectionString()); }

  RunResult Run(const std::string& input, const std::string& registry, long long fileSizeLimit = -1) {
    return RunExecutable(target, input, registry, fileSizeLimit);
  }
  RunResult RunExecutable(const ToolTarget& executable, const std::string& input, const std::string& registry,
                          long long fileSizeLimit = -1) {
    RunOptions options;
    options.workDir = work.Path();
    options.registryFile = registry;
    options.input = input;
    options.fileSizeLimit = fileSizeLimit;
    RunResult r = e2e::RunTool(executable, options);
    EXPECT_EQ(r.status, 0) << "stdout:\n" << r.out << "\nstderr:\n" << r.err;
    return r;
  }

  // The usual run on this test's database, for a test to change what it needs.
  RunOptions Options(const std::string& connection) {
    RunOptions options;
    options.workDir = work.Path();
    options.registryFile = RegistryFor(connection);
    return options;
  }

  std::string L(const std::string& text) const { return e2e::LineEnds(target, text); }
  // What the console pause prints: our own on Linux, the command processor's under Wine.
  std::string Pause() const { return target.windows ? "Press any key to continue... " : "Press any key to continue . . . \n"; }
  std::string Start() const { return L(kBanner) + Pause(); }

  std::string Found(int count, const std::string& tail) const {
    return Start() + L(std::string(kSearching) + "\n\n" + std::to_string(count) + " old records were found.\n\n" +
                       "The list of records was written into: Vestrum.csv\n\n" + kPrompt + tail + "\n");
  }

  bool ListExists() const { return std::filesystem::exists(work.File("Vestrum.csv")); }
  std::string List() const { return ReadFileBytes(work.File("Vestrum.csv")); }

  std::vector<TestRow> ThreeOldAmongKept() {
    std::vector<TestRow> rows;
    int id = 1;
    for (int op : kKept) rows.push_back({id++, u"kept" + Wide(std::to_string(op)), std::nullopt, op, std::nullopt});
    rows.push_back({10, u"C:\\data\\one.dat", Identification(FiletimeOfUnix(1299506700)), kOld, std::nullopt});
    rows.push_back({11, u"two", std::nullopt, kOldToo, std::string("\x01\x02", 2)});
    rows.push_back({12, u"three", Identification(0), kOld, std::nullopt});
    return rows;
  }

  ToolTarget target;
  TempDir work;
  std::unique_ptr<TestDatabase> db;
};

TEST_P(EndToEnd, RegistryFailuresNeverTouchTheDatabase) {
  struct Case {
    const char* name;
    std::string registry;  // empty: no key at all
    std::string message;
  };
  const Case cases[] = {
      {"no product key", "",
       "Failed to read from registry: Meridex registry is missing.\nThis tool must run on a machine with Meridex installed \n"},
      {"no Database key", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora\\Meridex_4]\r\n\"Other\"=\"x\"\r\n",
       "Failed to read from registry: The Database configuration in registry is missing\n"},
      {"no value", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora\\Meridex_4\\Database]\r\n\"Other\"=\"x\"\r\n",
       "Failed to read from registry: The Database configuration in registry is corrupted\n"},
  };
  ASSERT_TRUE(db->Insert({{1, u"old", std::nullopt, kOld, std::nullopt}}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = Run("\nyes\n", c.registry.empty() ? std::string() : Registry(c.registry));
    EXPECT_EQ(r.out, Start() + L("\n"));
    EXPECT_EQ(r.err, L(c.message));
    EXPECT_FALSE(ListExists());
  }
  EXPECT_EQ(db->RemainingIds(), std::vector<int>{1});
}

TEST_P(EndToEnd, PreferredValueWinsOverTheFallback) {
  ASSERT_TRUE(db->Insert({{1, u"old", std::nullopt, kOld, std::nullopt}}));
  const RunResult r = Run("\nno\n", Registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora\\Meridex_4\\Database]\r\n"
                                             "\"MSSQLConnectString\"=\"Driver={No Such Driver};\"\r\n"
                                             "\"GUI_MSSQLConnectString\"=\"" + e2e::RegString(Connection()) + "\"\r\n"));
  EXPECT_EQ(r.out, Found(1, "No records were deleted\n"));
  EXPECT_EQ(r.err, "");
}

TEST_P(EndToEnd, DriverRefusalIsReportedWithTheDriversMessage) {
  const std::string connection = "Driver={No Such Driver};Database=x;";
  const RunResult r = Run("\nyes\n", RegistryFor(connection));
  EXPECT_EQ(r.out, Start() + L("\n"));
  const std::string head = L("Failed to connect to DB " + connection + "\n") + "Error:";
  ASSERT_EQ(r.err.substr(0, head.size()), head) << r.err;
  EXPECT_NE(r.err.find("No Such Driver"), std::string::npos) << r.err;
  EXPECT_FALSE(ListExists());
}

TEST_P(EndToEnd, RefusedVersionPrintsBothMessagesOnOneLineWithThePasswordMasked) {
  ASSERT_TRUE(db->Exec("UPDATE SchemaVersion SET Version = 3"));
  ASSERT_TRUE(db->Insert({{1, u"old", std::nullopt, kOld, std::nullopt}}));
  // SQLite ignores a password; PostgreSQL's connection string carries a real one.
  std::string connection = Connection();
  if (GetParam() == Backend::SQLite) connection += "PWD=s3cret;";
  const std::string secret = GetParam() == Backend::SQLite ? "s3cret" : "meridex-test-pw";
  std::string masked = connection;
  masked.replace(masked.find(secret), secret.size(), "****");
  const RunResult r = Run("\nyes\n", RegistryFor(connection));
  EXPECT_EQ(r.out, Start() + L("\n"));
  EXPECT_EQ(r.err, L("Can not connect to DB: \\" + masked + "\\. Illegal database version.Failed to connect to DB " + masked +
                     "\nError:Schema version 3 found, version 4 expected.\n"));
  EXPECT_EQ(r.err.find(secret), std::string::npos);
  EXPECT_EQ(db->RemainingIds(), std::vector<int>{1});
}

TEST_P(EndToEnd, FailingSelectionShowsTheErrorAndWritesNoList) {
  struct Case {
    const char* name;
    std::string sql;
    const char* named;  // what the driver's message names, in lower case
  };
  const Case cases[] = {
      {"no table", "DROP TABLE FileTree", "filetree"},
      // The first case left no table.
      {"no FileIdentification column", FileTreeDefinition(GetParam(), false), "fileidentification"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(db->Exec(c.sql));
    const RunResult r = Run("\nyes\n", RegistryFor(Connection()));
    const std::string head = Start() + L(kSearching) + "SQL Error open table : ";
    ASSERT_EQ(r.out.substr(0, head.size()), head) << r.out;
    EXPECT_NE(Lower(r.out).find(c.named), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - L("\n\n").size()), L("\n\n"));
    EXPECT_EQ(r.out.find("Are you sure"), std::string::npos);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(ListExists());
  }
}

// The selection names its columns: a FileTree whose columns stand in another order, with
// one more, lists by name and deletes only what it listed.
TEST_P(EndToEnd, ColumnsInAnotherOrderAndAnExtraColumn) {
  ASSERT_TRUE(db->Exec("DROP TABLE FileTree;" + FileTreeDefinition(GetParam(), true)));
  ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
  ASSERT_TRUE(db->Exec("UPDATE FileTree SET Note = 'extra'"));
  const RunResult r = Run("\nyes\n", RegistryFor(Connection()));
  EXPECT_EQ(r.out, Found(3, "Deleting records...\n3 records were deleted.\n"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(List(), L(std::string(kHeader) + "C:\\data\\one.dat,03/07/2011  14:05\ntwo\nthree,01/01/1601  00:00\n"));
  EXPECT_EQ(db->RemainingIds(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

// The run built with an UPDATE as its selection: the statement runs, but yields no result
// set and no error. With rows it touches and without, the drivers answer differently
// (a statement without columns, or no data); both must read as an empty listing that
// wrote no list file, asked nothing and deleted nothing.
TEST_P(EndToEnd, SelectionFailingWithoutAnErrorIsAnEmptyListingWithoutAList) {
  const ToolTarget nonQuery = e2e::SiblingTarget(target, "meridex-cleanup-nonquery");
  for (const bool oldRows : {false, true}) {
    SCOPED_TRACE(oldRows ? "rows the statement touches" : "no row the statement touches");
    ASSERT_TRUE(db->Exec("DELETE FROM FileTree"));
    std::vector<TestRow> rows = {{1, u"young", std::nullopt, 2, std::nullopt}};
    if (oldRows) rows.push_back({2, u"old", Identification(0), kOld, std::nullopt});
    ASSERT_TRUE(db->Insert(rows));
    const RunResult r = RunExecutable(nonQuery, "\nyes\n", RegistryFor(Connection()));
    EXPECT_EQ(r.out, Start() + L(std::string(kSearching) + "\nThere aren't any old records to delete.\n\n"));
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(ListExists());
    EXPECT_EQ(db->RemainingIds(), oldRows ? (std::vector<int>{1, 2}) : std::vector<int>{1});
  }
}

TEST_P(EndToEnd, NoOldRowsWritesTheHeaderOnlyAndAsksNothing) {
  ASSERT_TRUE(db->Insert({{1, u"young", std::nullopt, 2, std::nullopt}}));
  const RunResult r = Run("\nyes\n", RegistryFor(Connection()));
  EXPECT_EQ(r.out, Start() + L(std::string(kSearching) + "\nThere aren't any old records to delete.\n\n"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(List(), L(kHeader));
  EXPECT_EQ(db->RemainingIds(), std::vector<int>{1});
}

TEST_P(EndToEnd, YesDeletesExactlyTheListedRows) {
  ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
  const RunResult r = Run("\nyes\n", RegistryFor(Connection()));
  EXPECT_EQ(r.out, Found(3, "Deleting records...\n3 records were deleted.\n"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(List(), L(std::string(kHeader) + "C:\\data\\one.dat,03/07/2011  14:05\ntwo\nthree,01/01/1601  00:00\n"));
  EXPECT_EQ(db->RemainingIds(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

// Another writer changes the table while the question is on the screen: through the
// test's own connection, which also shows that the tool holds no lock there. Whatever
// it did, nothing is deleted and the run says what changed.
TEST_P(EndToEnd, ChangesAfterTheListingDeleteNothing) {
  // Row 1's values are longer than the recordset's buffers: a change past them counts.
  ASSERT_TRUE(db->WidenColumns());
  const std::u16string longName = std::u16string(289, u'n') + u"a" + std::u16string(10, u'n');
  const std::string longIdentification = Identification(0) + std::string(1388, 'i');
  struct Case {
    const char* name;
    std::string sql;
    std::optional<TestRow> rewrite;  // row 1 as another writer stores it anew
    std::string change;
    std::vector<int> left;
    std::string before = "";  // row 1 made what it is listed as, when the fixture cannot
  };
  const std::string listedTwo = "2 records were listed";
  const std::string changed = listedTwo + ", but some of them were changed since.";
  std::vector<Case> cases = {
      {"a matching row inserted", "INSERT INTO FileTree (FileID, FileName, OperationType) VALUES (3, 'UNLISTED', 18)",
       std::nullopt, listedTwo + ", 3 match now.", {1, 2, 3, 5}},
      {"a listed row deleted", "DELETE FROM FileTree WHERE FileID = 2", std::nullopt, listedTwo + ", 1 match now.", {1, 5}},
      {"a listed row no longer matches", "UPDATE FileTree SET OperationType = 17 WHERE FileID = 2", std::nullopt,
       listedTwo + ", 1 match now.", {1, 2, 5}},
      {"a listed row swapped for an unlisted one",
       "UPDATE FileTree SET OperationType = 17 WHERE FileID = 1;"
       "INSERT INTO FileTree (FileID, FileName, OperationType) VALUES (3, 'UNLISTED', 18)",
       std::nullopt, listedTwo + " and as many match now, but not the same ones.", {1, 2, 3, 5}},
      {"a listed row's name changed", "UPDATE FileTree SET FileName = 'renamed' WHERE FileID = 1", std::nullopt, changed,
       {1, 2, 5}},
      {"a listed row's operation type changed, still matching", "UPDATE FileTree SET OperationType = 50 WHERE FileID = 2",
       std::nullopt, changed, {1, 2, 5}},
      {"a name changed past its 260th character", "",
       TestRow{1, std::u16string(289, u'n') + u"X" + std::u16string(10, u'n'), longIdentification, kOld, std::nullopt},
       changed, {1, 2, 5}},
      {"an identification changed past its 1000th byte", "",
       TestRow{1, longName, Identification(0) + std::string(1387, 'i') + "X", kOld, std::nullopt}, changed, {1, 2, 5}},
  };
  // Names that some drivers' wide text does not show whole: bytes that are not UTF-8
  // (SQLite; the servers refuse them) and a NUL (MariaDB; PostgreSQL's text cannot hold
  // one, and the SQLite3 driver never reads past it).
  if (GetParam() == Backend::SQLite) {
    cases.push_back({"a byte that is not UTF-8 changed", "UPDATE FileTree SET FileName = CAST(X'6162FE6364' AS TEXT) WHERE FileID = 1",
                     std::nullopt, changed, {1, 2, 5}, "UPDATE FileTree SET FileName = CAST(X'6162FF6364' AS TEXT) WHERE FileID = 1"});
  }
  if (GetParam() == Backend::MariaDB) {
    cases.push_back({"a name changed after an embedded NUL", "",
                     TestRow{1, std::u16string(u"ab\0EVIL", 7), longIdentification, kOld, std::nullopt}, changed,
                     {1, 2, 5}, "DELETE FROM FileTree WHERE FileID = 1"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(db->Exec("DELETE FROM FileTree"));
    ASSERT_TRUE(db->Insert({{1, longName, longIdentification, kOld, std::nullopt},
                            {2, u"listed too", Identification(0), kOld, std::nullopt},
                            {5, u"kept", std::nullopt, 0, std::nullopt}}));
    if (!c.before.empty()) ASSERT_TRUE(db->Exec(c.before));
    if (c.rewrite && c.rewrite->name.find(u'\0') != std::u16string::npos) {
      ASSERT_TRUE(db->Insert({{1, std::u16string(u"ab\0cd", 5), longIdentification, kOld, std::nullopt}}));
    }
    const auto change = [&] {
      if (!c.sql.empty()) EXPECT_TRUE(db->Exec(c.sql));
      if (c.rewrite) EXPECT_TRUE(db->Exec("DELETE FROM FileTree WHERE FileID = 1") && db->Insert({*c.rewrite}));
    };
    RunOptions options = Options(Connection());
    options.steps = {{"", nullptr, "\n"}, {"Are you sure", change, "yes\n"}};
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, Found(2, "Deleting records...\nNo records were deleted\n"));
    EXPECT_EQ(r.err, L("Error:The table changed after the listing: " + c.change + " Nothing was deleted.\n"));
    EXPECT_EQ(db->RemainingIds(), c.left);
  }
}

// The tool killed at each step of a large run, as a power cut would: afterwards the
// table holds every row, or exactly the unlisted ones, never a part of the listed.
TEST_P(EndToEnd, KilledAtAnyStepLeavesAllOrExactlyTheUnlisted) {
  // 65,536 listed rows, made by the database itself, and five that are not listed.
  ASSERT_TRUE(db->Insert({{1, u"listed", Identification(0), kOld, std::string(100, 'd')}}));
  for (int offset = 1; offset < 65536; offset *= 2) {
    ASSERT_TRUE(db->Exec("INSERT INTO FileTree (FileID, FileName, FileIdentification, OperationType, FileData) SELECT FileID + " +
                         std::to_string(offset) + ", FileName, FileIdentification, OperationType, FileData FROM FileTree"));
  }
  const std::vector<int> unlisted = {100001, 100002, 100003, 100004, 100005};
  for (int id : unlisted) ASSERT_TRUE(db->Insert({{id, u"kept", std::nullopt, 0, std::nullopt}}));
  if (GetParam() == Backend::PostgreSQL) ASSERT_TRUE(db->Exec("CHECKPOINT"));

  // The deletion is under way once the DELETE runs on the server, or SQLite's rollback
  // journal holds the first page it changed.
  const std::string journal = Narrow(db->ConnectionString()).substr(std::string("Driver=SQLite3;Database=").size());
  auto deleting = [&] {
    if (GetParam() == Backend::SQLite) return std::filesystem::exists(journal.substr(0, journal.size() - 1) + "-journal");
    if (GetParam() == Backend::MariaDB)
      return db->Scalar("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID <> CONNECTION_ID() AND "
                        "COMMAND = 'Query' AND INFO LIKE '%DELETE FROM FileTree%'") != "0";
    return db->Scalar("SELECT COUNT(*) FROM pg_stat_activity WHERE state = 'active' AND pid <> pg_backend_pid() AND query LIKE '%DELETE FROM FileTree%'") != "0";
  };
  struct Case {
    const char* name;
    std::vector<e2e::Step> steps;
  };
  bool sawDeletion = false;
  const e2e::Step pause = {"", nullptr, "\n"};
  const e2e::Step yes = {"Are you sure", nullptr, "yes\n"};
  const Case cases[] = {
      {"while listing", {pause, {"Searching for old records", [] { usleep(100000); }, "", true}}},
      {"at the question", {pause, {"Are you sure", nullptr, "", true}}},
      {"while checking", {pause, yes, {"Deleting records...", nullptr, "", true}}},
      {"while deleting",
       {pause, yes,
        {"Deleting records...",
         [&] {
           for (int i = 0; i < 60000 && !(sawDeletion = deleting()); ++i) usleep(500);
         },
         "", true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions options;
    options.workDir = work.Path();
    options.registryFile = RegistryFor(Connection());
    options.steps = c.steps;
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, -1) << "killed\n" << r.out << r.err;
    const std::vector<int> left = db->RemainingIds();
    if (left.size() != unlisted.size()) EXPECT_EQ(left.size(), 65536u + unlisted.size());
    EXPECT_EQ(std::vector<int>(left.end() - std::min(left.size(), unlisted.size()), left.end()), unlisted);
  }
  EXPECT_TRUE(sawDeletion) << "the kill was meant to land during the deletion";
}

TEST_P(EndToEnd, AnythingButYesKeepsEveryRow) {
  ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
  const std::vector<std::pair<const char*, std::string>> answers = {
      {"Yes", "\nYes\n"}, {"y", "\ny\n"}, {"yes and a space", "\nyes \n"}, {"leading space", "\n yes\n"},
      {"end of input after the pause", "\n"}, {"no input at all", ""}, {"yes without a line end", "\nyesno"},
      {"two CRs", "\nyes\r\r\n"}, {"a CR inside", "\nye\rs\n"},
  };
  for (const auto& [name, input] : answers) {
    SCOPED_TRACE(name);
    const RunResult r = Run(input, RegistryFor(Connection()));
    EXPECT_EQ(r.out, Found(3, "No records were deleted\n"));
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(db->RemainingIds().size(), 9u);
}

// One rule for the answer's line end on both builds: a CR before it, or at the end of
// input, is what Windows' text mode drops.
TEST_P(EndToEnd, YesEndedByCrLfOrCrDeletes) {
  for (const char* input : {"\nyes\r\n", "\nyes\r"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(input)));
    ASSERT_TRUE(db->Exec("DELETE FROM FileTree"));
    ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
    const RunResult r = Run(input, RegistryFor(Connection()));
    EXPECT_EQ(r.out, Found(3, "Deleting records...\n3 records were deleted.\n"));
    EXPECT_EQ(db->RemainingIds().size(), 6u);
  }
}

// Standard input that never ends (</dev/zero): the answer is read up to its bound, is
// not "yes", and the run ends as usual.
TEST_P(EndToEnd, EndlessInputIsNoAnswer) {
  ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
  RunOptions options = Options(Connection());
  options.inputFile = "/dev/zero";
  options.timeoutSeconds = 60;
  const RunResult r = e2e::RunTool(target, options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Found(3, "No records were deleted\n"));
  EXPECT_EQ(db->RemainingIds().size(), 9u);
}

// Output into a pipe that nobody reads (| head -c 0): the run is not stopped by it, and
// the operator's "yes" still counts.
TEST_P(EndToEnd, ClosedOutputStreamsDoNotStopTheRun) {
  ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
  RunOptions options = Options(Connection());
  options.input = "\nyes\n";
  options.closedOutputs = true;
  const RunResult r = e2e::RunTool(target, options);
  EXPECT_EQ(r.status, 0) << "signal " << r.signal;
  EXPECT_EQ(db->RemainingIds().size(), 6u);
}

// Whatever "Vestrum.csv" is when it is not a regular file, nothing is written through it,
// nothing is asked and nothing is deleted.
TEST_P(EndToEnd, ListFileThatIsNotARegularFileIsRefused) {
  ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
  const std::string list = work.File("Vestrum.csv");
  const std::string outside = work.File("elsewhere.txt");
  struct Case {
    const char* name;
    std::function<void()> make;
  };
  const Case cases[] = {
      {"link to a file", [&] {
         WriteFileBytes(outside, "keep me");
         std::filesystem::create_symlink(outside, list);
       }},
      {"link to nothing", [&] { std::filesystem::create_symlink(outside, list); }},
      {"FIFO", [&] { ASSERT_EQ(mkfifo(list.c_str(), 0600), 0); }},
      {"device", [&] { ASSERT_EQ(mknod(list.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0) << "needs root, as the test script runs"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(list);
    std::filesystem::remove(outside);
    c.make();
    const RunResult r = Run("\nyes\n", RegistryFor(Connection()));
    EXPECT_EQ(r.out, Start() + L(std::string(kSearching) + "\n"));
    const std::string head = L("Failed to write the list of records into: Vestrum.csv\n");
    EXPECT_EQ(r.err.substr(0, head.size()), head) << r.err;
    if (std::string(c.name) == "link to a file") {
      EXPECT_EQ(ReadFileBytes(outside), "keep me");
    } else {
      EXPECT_FALSE(std::filesystem::exists(outside));
    }
    EXPECT_EQ(db->RemainingIds().size(), 9u);
  }
  std::filesystem::remove(list);
}

TEST_P(EndToEnd, SecondWarningOnlyAboveAThousandRows) {
  for (int count : {1000, 1001}) {
    SCOPED_TRACE(count);
    ASSERT_TRUE(db->Exec("DELETE FROM FileTree"));
    std::vector<TestRow> rows;
    std::string list = kHeader;
    for (int i = 1; i <= count; ++i) {
      rows.push_back({i, u"f" + Wide(std::to_string(i)), std::nullopt, kOld, std::nullopt});
      list += "f" + std::to_string(i) + "\n";
    }
    rows.push_back({5000, u"kept", std::nullopt, 0, std::nullopt});
    ASSERT_TRUE(db->Insert(rows));
    const RunResult r = Run("\nyes\n", RegistryFor(Connection()));
    const std::string warning = count > 1000 ? "This process may take a few minutes\n" : "";
    EXPECT_EQ(r.out, Found(count, "Deleting records...\n" + warning + std::to_string(count) + " records were deleted.\n"));
    // The rows come in the server's order: PostgreSQL puts the second round's rows into
    // the room the first round's left once it has been vacuumed.
    EXPECT_EQ(SortedLines(List()), SortedLines(L(list)));
    EXPECT_EQ(db->RemainingIds(), std::vector<int>{5000});
  }
}

TEST_P(EndToEnd, NamesAndIdentificationsOfEveryShapeAreListedAsStored) {
  // The production column holds 260 characters; a longer stored name must still be
  // listed safely, so this table takes one.
  ASSERT_TRUE(db->WidenColumns());
  const std::u16string longName(300, u'n');
  const uint64_t highBit = 0x8000000000000000ULL;
  const std::vector<TestRow> rows = {
      {1, u"with,comma, and more", Identification(FiletimeOfUnix(951782400)), kOld, std::nullopt},  // 2000-02-29 00:00
      {2, longName, std::nullopt, kOld, std::nullopt},
      {3, u"\u00e9t\u00e9 \u65e5\u672c \U0001F600", Identification(FiletimeOfUnix(1709208000 + 59 * 60)), kOld, std::nullopt},
      {4, u"null identification", std::nullopt, kOld, std::nullopt},
      {5, u"111 bytes", Identification(0, 111), kOld, std::nullopt},
      {6, u"113 bytes", Identification(0, 113), kOld, std::nullopt},
      {7, u"high bit", Identification(highBit), kOld, std::nullopt},
      {8, u"empty identification", std::string(), kOld, std::nullopt},
  };
  ASSERT_TRUE(db->Insert(rows));
  const RunResult r = Run("\nno\n", RegistryFor(Connection()));
  EXPECT_EQ(r.out, Found(8, "No records were deleted\n"));
  const std::string expected = std::string(kHeader) + "with,comma, and more,02/29/2000  00:00\n" + std::string(260, 'n') + "\n" +
                               "\xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80,02/29/2024  12:59\n" +
                               "null identification\n111 bytes\n113 bytes\nhigh bit,\nempty identification\n";
  EXPECT_EQ(List(), L(expected));
}

TEST_P(EndToEnd, UnwritableListDeletesNothing) {
  ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
  std::filesystem::create_directory(work.File("Vestrum.csv"));
  const RunResult r = Run("\nyes\n", RegistryFor(Connection()));
  EXPECT_EQ(r.out, Start() + L(std::string(kSearching) + "\n"));
  const std::string head = L("Failed to write the list of records into: Vestrum.csv\n");
  ASSERT_EQ(r.err.substr(0, head.size()), head) << r.err;
  EXPECT_GT(r.err.size(), head.size() + 2) << "the reason follows";
  EXPECT_EQ(db->RemainingIds().size(), 9u);
}

TEST_P(EndToEnd, ReadOnlyWorkingDirectoryDeletesNothing) {
  ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
  // A file system mounted read-only: even root cannot create the list there.
  const std::string readOnly = work.File("readonly");
  std::filesystem::create_directory(readOnly);
  ASSERT_EQ(std::system(("mount -t tmpfs -o ro,size=64k tmpfs '" + readOnly + "'").c_str()), 0)
      << "mounting needs root, as the test script runs";
  RunOptions options;
  options.workDir = readOnly;
  options.registryFile = RegistryFor(Connection());
  options.input = "\nyes\n";
  const RunResult r = e2e::RunTool(target, options);
  std::system(("umount '" + readOnly + "'").c_str());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Start() + L(std::string(kSearching) + "\n"));
  const std::string head = L("Failed to write the list of records into: Vestrum.csv\n");
  ASSERT_EQ(r.err.substr(0, head.size()), head) << r.err;
  EXPECT_EQ(db->RemainingIds().size(), 9u);
}

TEST_P(EndToEnd, FullDiskWhileListingDeletesNothing) {
  std::vector<TestRow> rows;
  for (int i = 1; i <= 2000; ++i) rows.push_back({i, std::u16string(200, u'x'), std::nullopt, kOld, std::nullopt});
  ASSERT_TRUE(db->Insert(rows));
  const RunResult r = Run("\nyes\n", RegistryFor(Connection()), 100000);
  EXPECT_EQ(r.out, Start() + L(std::string(kSearching) + "\n"));
  const std::string head = L("Failed to write the list of records into: Vestrum.csv\n");
  ASSERT_EQ(r.err.substr(0, head.size()), head) << r.err;
  EXPECT_EQ(db->RemainingIds().size(), 2000u);
}

INSTANTIATE_TEST_SUITE_P(Backends, EndToEnd, ::testing::ValuesIn(AllBackends()), BackendParamName());

// What only the POSIX build has: its own descriptors and its own terminal handling (the
// Windows build pauses through the command processor). e2e_windows leaves out Posix*.
// True once the tool's terminal takes single keys (the pause is waiting), within 5 s.
bool WaitForSingleKeyMode() {
  for (int i = 0; i < 250; ++i) {
    termios mode;
    if (tcgetattr(e2e::RunningTerminal(), &mode) == 0 && (mode.c_lflag & ICANON) == 0) return true;
    usleep(20000);
  }
  return false;
}

// True once the process is stopped (a job stop), within 5 s.
bool WaitUntilStopped(pid_t pid) {
  for (int i = 0; i < 250; ++i) {
    const std::string stat = ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    if (end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'T') return true;
    usleep(20000);
  }
  return false;
}

class PosixConsole : public EndToEnd {
 protected:
  RunResult RunInTerminal(std::vector<e2e::Step> steps, const std::string& connection) {
    RunOptions options = Options(connection);
    options.terminal = true;
    options.steps = std::move(steps);
    options.timeoutSeconds = 30;
    return e2e::RunTool(target, options);
  }
};

// A closed standard descriptor at start must not become the database connection's: the
// console text would go into the connection, or the answer be read from it.
TEST_P(PosixConsole, ClosedStandardDescriptorsAtStart) {
  for (const int fd : {0, 1, 2}) {
    SCOPED_TRACE(fd);
    ASSERT_TRUE(db->Exec("DELETE FROM FileTree"));
    ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
    RunOptions options = Options(Connection());
    options.input = "\nyes\n";
    options.closedDescriptors = {fd};
    options.timeoutSeconds = 60;
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, 0);
    if (fd == 0) {
      // Nothing to read: no answer, nothing deleted.
      EXPECT_EQ(r.out, Found(3, "No records were deleted\n"));
      EXPECT_EQ(db->RemainingIds().size(), 9u);
    } else {
      EXPECT_EQ(db->RemainingIds().size(), 6u) << r.out << r.err;
    }
    if (fd != 1) {
      EXPECT_NE(r.out.find("old records were found."), std::string::npos);
    }
  }
}

TEST_P(PosixConsole, TerminalTakesWholeKeysAndOnlyWhatIsTypedAfterTheQuestion) {
  // An arrow key at the pause is one key: nothing of it reaches the answer.
  ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
  RunResult r = RunInTerminal({{"Press any key", nullptr, "\x1b[A"}, {"Are you sure", nullptr, "yes\r"}}, Connection());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("3 records were deleted."), std::string::npos) << r.out;
  EXPECT_TRUE(r.terminalCooked);

  // "yes" typed while the rows are listed is not the answer. The listing waits for a
  // lock this test holds on FileTree until the typing is in the terminal, so it is typed
  // before the question for certain. SQLite locks only the whole database, which would
  // hold the version check before the listing as well: PostgreSQL only.
  if (GetParam() != Backend::PostgreSQL) return;
  ASSERT_TRUE(db->Exec("DELETE FROM FileTree"));
  ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
  ASSERT_TRUE(db->Exec("BEGIN; LOCK TABLE FileTree IN ACCESS EXCLUSIVE MODE"));
  bool locked = true;
  auto unlock = [&] {
    usleep(200000);  // the typing has reached the terminal
    locked = !db->Exec("COMMIT");
  };
  r = RunInTerminal({{"Press any key", nullptr, "x"},
                     {"Searching for old records", nullptr, "yes\r"},
                     {"Searching for old records", unlock, ""},
                     {"Are you sure", nullptr, "no\r"}},
                    Connection());
  if (locked) (void)db->Exec("COMMIT");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("No records were deleted"), std::string::npos) << r.out;
  EXPECT_EQ(db->RemainingIds().size(), 9u);
}

INSTANTIATE_TEST_SUITE_P(Posix, PosixConsole, ::testing::ValuesIn(AllBackends()), BackendParamName());

// The pause on a terminal: whatever signal ends the run there gives the terminal back as
// it was; a job stopped there gives it back too, and takes single keys again when it goes on.
TEST(PosixTerminal, PauseGivesTheTerminalBack) {
  const ToolTarget target = e2e::TargetFromEnvironment();
  TempDir work;
  struct Case {
    const char* name;
    std::string keys;  // typed at the pause; empty: the signal is sent
    int signal;
  };
  const Case cases[] = {{"Ctrl+C", "\x03", SIGINT}, {"Ctrl+\\", "\x1c", SIGQUIT}, {"kill", "", SIGTERM}, {"hang-up", "", SIGHUP}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions options;
    options.workDir = work.Path();
    options.terminal = true;
    options.timeoutSeconds = 30;
    options.steps = {{"Press any key", [&] {
                        ASSERT_TRUE(WaitForSingleKeyMode());
                        if (c.keys.empty()) kill(e2e::RunningTool(), c.signal);
                      },
                      c.keys}};
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.signal, c.signal);
    EXPECT_TRUE(r.terminalCooked);
  }

  // Ctrl+Z, then the shell takes the terminal back and continues the job, as fg does.
  bool cookedWhileStopped = false;
  bool singleKeysAgain = false;
  RunOptions options;
  options.workDir = work.Path();
  options.terminal = true;
  options.timeoutSeconds = 30;
  options.steps = {{"Press any key", [] { ASSERT_TRUE(WaitForSingleKeyMode()); }, "\x1a"},
                   {"", [&] {
                      ASSERT_TRUE(WaitUntilStopped(e2e::RunningTool()));
                      cookedWhileStopped = e2e::IsCooked(e2e::RunningTerminal());
                      // The shell puts its own mode back before it continues the job.
                      termios mode;
                      ASSERT_EQ(tcgetattr(e2e::RunningTerminal(), &mode), 0);
                      mode.c_lflag |= ICANON | ECHO;
                      ASSERT_EQ(tcsetattr(e2e::RunningTerminal(), TCSANOW, &mode), 0);
                      kill(e2e::RunningTool(), SIGCONT);
                      singleKeysAgain = WaitForSingleKeyMode();
                    },
                    "x"}};
  const RunResult r = e2e::RunTool(target, options);
  EXPECT_TRUE(cookedWhileStopped);
  EXPECT_TRUE(singleKeysAgain);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Meridex registry is missing"), std::string::npos) << "one key ended the pause:\n" << r.out;
  EXPECT_TRUE(r.terminalCooked);
}

// PostgreSQL only: a role that may read FileTree but not delete from it.
TEST(EndToEndPostgres, RefusedDeletionShowsTheErrorAndClaimsNothing) {
  const ToolTarget target = e2e::TargetFromEnvironment();
  TempDir work;
  TestDatabase db(Backend::PostgreSQL);
  ASSERT_TRUE(db.Insert({{1, u"old", std::nullopt, kOld, std::nullopt}, {2, u"kept", std::nullopt, 0, std::nullopt}}));
  const std::string role = "meridex_reader_" + std::to_string(::getpid());
  ASSERT_TRUE(db.Exec("CREATE ROLE " + role + " LOGIN PASSWORD 'reader-pw'; GRANT SELECT ON FileTree, SchemaVersion TO " + role));
  std::string connection = Narrow(db.ConnectionString());
  connection.replace(connection.find("Uid="), std::string::npos, "Uid=" + role + ";Pwd=reader-pw;");
  connection += "Database=" + db.Scalar("SELECT current_database()") + ";";
  const std::string registry = e2e::WriteConnectionRegistry(work.Path(), connection);
  RunOptions options;
  options.workDir = work.Path();
  options.registryFile = registry;
  options.input = "\nyes\n";
  const RunResult r = e2e::RunTool(target, options);
  db.Exec("REVOKE ALL ON FileTree, SchemaVersion FROM " + role + "; DROP ROLE " + role);
  EXPECT_EQ(r.status, 0);
  const std::string tail = e2e::LineEnds(target, "Deleting records...\nNo records were deleted\n\n");
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
  EXPECT_EQ(r.out.find("records were deleted."), std::string::npos);
  EXPECT_EQ(r.err.substr(0, 6), "Error:") << r.err;
  EXPECT_NE(Lower(r.err).find("permission denied"), std::string::npos) << r.err;
  EXPECT_EQ(db.RemainingIds(), (std::vector<int>{1, 2}));
}

// Triggers of the test's own reach into the transaction after "yes": one keeps a listed
// row from being deleted, so the DELETE's count differs from the listing's; one ends the
// server session inside the DELETE, so that the rollback after it fails; one ends it at
// the commit, after which nobody can say whether the server committed.
TEST(EndToEndPostgres, DeletionThatGoesWrongInsideTheTransactionDeletesNothing) {
  const char* const kNothingDeleted = "No records were deleted\n";
  struct Case {
    const char* name;
    const char* function;  // the body of a plpgsql trigger function
    const char* trigger;   // what follows CREATE
    const char* message;
    const char* outcome;
  };
  const Case cases[] = {
      {"the DELETE takes fewer rows than were listed", "BEGIN IF OLD.FileID = 2 THEN RETURN NULL; END IF; RETURN OLD; END",
       "TRIGGER hook BEFORE DELETE ON FileTree FOR EACH ROW",
       "Error:The deletion would have removed 1 records, but 2 were listed. Nothing was deleted.",
       kNothingDeleted},
      {"the session ends between the DELETE and the rollback",
       "BEGIN PERFORM pg_terminate_backend(pg_backend_pid()); RETURN NULL; END",
       "TRIGGER hook AFTER DELETE ON FileTree FOR EACH STATEMENT", "Error:", kNothingDeleted},
      {"the session ends at the commit", "BEGIN PERFORM pg_terminate_backend(pg_backend_pid()); RETURN NULL; END",
       "CONSTRAINT TRIGGER hook AFTER DELETE ON FileTree DEFERRABLE INITIALLY DEFERRED FOR EACH ROW", "Error:",
       "The connection was lost while the deletion was committed: count the records left to know whether they were "
       "deleted.\n"},
  };
  const ToolTarget target = e2e::TargetFromEnvironment();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir work;
    TestDatabase db(Backend::PostgreSQL);
    ASSERT_TRUE(db.Insert({{1, u"old", std::nullopt, kOld, std::nullopt},
                           {2, u"old too", std::nullopt, kOld, std::nullopt},
                           {3, u"kept", std::nullopt, 0, std::nullopt}}));
    _SQL_Error error;
    ASSERT_NE(db.Connection().Execute(Wide(std::string("CREATE FUNCTION hook() RETURNS trigger LANGUAGE plpgsql AS '") +
                                           c.function + "'").c_str(), error), 0) << Narrow(error.message);
    ASSERT_NE(db.Connection().Execute(Wide(std::string("CREATE ") + c.trigger + " EXECUTE FUNCTION hook()").c_str(),
                                      error), 0) << Narrow(error.message);
    RunOptions options;
    options.workDir = work.Path();
    options.registryFile = e2e::WriteConnectionRegistry(work.Path(), Narrow(db.ConnectionString()));
    options.input = "\nyes\n";
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, 0);
    const std::string tail = e2e::LineEnds(target, std::string("Deleting records...\n") + c.outcome + "\n");
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out << r.err;
    EXPECT_EQ(r.err.substr(0, std::strlen(c.message)), c.message) << r.err;
    EXPECT_EQ(db.RemainingIds(), (std::vector<int>{1, 2, 3}));
  }
}

// Another writer holds SQLite's write lock when the operator says "yes": after the
// driver's busy timeout the run says so and deletes nothing.
TEST(EndToEndSQLite, DatabaseLockedAtYesDeletesNothing) {
  const ToolTarget target = e2e::TargetFromEnvironment();
  TempDir work;
  TestDatabase db(Backend::SQLite);
  ASSERT_TRUE(db.Insert({{1, u"old", std::nullopt, kOld, std::nullopt}, {2, u"kept", std::nullopt, 0, std::nullopt}}));
  RunOptions options;
  options.workDir = work.Path();
  options.registryFile = e2e::WriteConnectionRegistry(work.Path(), Narrow(db.ConnectionString()) + "Timeout=1000;");
  _SQL_Error error;
  auto lock = [&] {
    ASSERT_NE(db.Connection().BeginTransaction(error), 0) << Narrow(error.message);
    ASSERT_NE(db.Connection().Execute(u"UPDATE FileTree SET FileData = NULL WHERE FileID = 2", error), 0) << Narrow(error.message);
  };
  options.steps = {{"", nullptr, "\n"}, {"Are you sure", lock, "yes\n"}};
  const RunResult r = e2e::RunTool(target, options);
  ASSERT_NE(db.Connection().EndTransaction(false, error), 0) << Narrow(error.message);
  EXPECT_EQ(r.status, 0);
  const std::string tail = e2e::LineEnds(target, "Deleting records...\nNo records were deleted\n\n");
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
  EXPECT_EQ(r.err.substr(0, 6), "Error:") << r.err;
  EXPECT_NE(Lower(r.err).find("locked"), std::string::npos) << r.err;
  EXPECT_EQ(db.RemainingIds(), (std::vector<int>{1, 2}));
}

}  // namespace
