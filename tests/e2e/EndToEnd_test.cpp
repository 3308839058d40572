// The whole run, as the operator has it: the built executable with piped standard input,
// against real SQLite and PostgreSQL databases. Each case checks standard output,
// standard error, the exit status, the list file byte for byte and the rows left.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "ConnectionString.h"
#include "Databases.h"
#include "ScopedEnvironment.h"
#include "TestRegistry.h"
#include "TestSupport.h"
#include "ToolRunner.h"

using namespace testing_support;
using e2e::RunOptions;
using e2e::RunResult;
using e2e::ToolTarget;
using e2e::WaitUntilStopped;

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

// The names in a directory, sorted.
std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
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
  // The string as it is echoed: a control character in it cannot clear the screen, and no
  // driver's reading of it finds a password shown.
  // psqlODBC hands pqopt to libpq, which takes a URI there with its password: the test
  // server's real one, to a database that does not exist.
  const std::string base = PostgresBase();
  const auto attribute = [&](const char16_t* key) {
    return Narrow(FindConnectionAttribute(Wide(base), kPsqlOdbcReading, key).value().value);
  };
  const std::string uri = "postgresql://" + attribute(u"uid") + ":" + attribute(u"pwd") + "@" + attribute(u"server") +
                          ":" + attribute(u"port") + "/nosuchdb";
  const struct {
    std::string connection, shown;
    const char* named;  // what the driver's message names
  } connections[] = {
      {"Driver={No Such Driver};Database=x;", "Driver={No Such Driver};Database=x;", "No Such Driver"},
      {"Driver={No Such Driver};Database=x\x1b[2J\x1b[H;", "Driver={No Such Driver};Database=x<U+001B>[2J<U+001B>[H;",
       "No Such Driver"},
      // unixODBC's "Can't open lib" quotes the driver's name: in the notation too.
      {"Driver={No Such Driver\x1b[8m};", "Driver={No Such Driver<U+001B>[8m};", "No Such Driver"},
      // psqlODBC reads no brace after a blank: its password is pw, masked though MariaDB's
      // driver would read the braced value as the database.
      {"Driver={No Such Driver};Database= {u8;Pwd=pw;}", "Driver={No Such Driver};Database= {u8;Pwd=****;}",
       "No Such Driver"},
      {"Driver={PostgreSQL Unicode};pqopt={" + uri + "};",
       "Driver={PostgreSQL Unicode};pqopt={postgresql://" + attribute(u"uid") + ":****@" + attribute(u"server") + ":" +
           attribute(u"port") + "/nosuchdb};",
       "nosuchdb"},
  };
  for (const auto& [connection, shown, named] : connections) {
    const RunResult r = Run("\nyes\n", RegistryFor(connection));
    EXPECT_EQ(r.out, Start() + L("\n"));
    const std::string head = L("Failed to connect to DB " + shown + "\n") + "Error:";
    ASSERT_EQ(r.err.substr(0, head.size()), head) << r.err;
    EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(attribute(u"pwd")), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    EXPECT_FALSE(ListExists());
  }
}

// The version as stored, and as the refusal shows it. On SQLite a value of any type can
// stand in the column, and the driver's text of it ends at a NUL, drops bytes that are not
// UTF-8 and rounds a REAL.
TEST_P(EndToEnd, RefusedVersionPrintsBothMessagesOnOneLineWithThePasswordMasked) {
  ASSERT_TRUE(db->Insert({{1, u"old", std::nullopt, kOld, std::nullopt}}));
  // SQLite ignores a password; PostgreSQL's connection string carries a real one.
  std::string connection = Connection();
  if (GetParam() == Backend::SQLite) connection += "PWD=s3cret;";
  const std::string secret = GetParam() == Backend::SQLite ? "s3cret" : "meridex-test-pw";
  std::string masked = connection;
  masked.replace(masked.find(secret), secret.size(), "****");
  std::vector<std::pair<std::string, std::string>> versions = {{"3", "3"}};
  if (GetParam() == Backend::SQLite) {
    versions.insert(versions.end(), {{"CAST(X'34006F6C64' AS TEXT)", "'4<U+0000>old'"},
                                     {"CAST(X'34FF' AS TEXT)", "'4<xFF>'"},
                                     {"CAST(X'35FFFE' AS TEXT)", "'5<xFF><xFE>'"},
                                     {"4.000000000000001", "4.000000000000001"},
                                     {"X'34'", "X'34'"}});
  }
  for (const auto& [stored, shown] : versions) {
    SCOPED_TRACE(stored);
    ASSERT_TRUE(db->Exec("UPDATE SchemaVersion SET Version = " + stored));
    const RunResult r = Run("\nyes\n", RegistryFor(connection));
    EXPECT_EQ(r.out, Start() + L("\n"));
    EXPECT_EQ(r.err, L("Can not connect to DB: \\" + masked + "\\. Illegal database version.Failed to connect to DB " +
                       masked + "\nError:Schema version " + shown + " found, version 4 expected.\n"));
    EXPECT_EQ(r.err.find(secret), std::string::npos);
    EXPECT_EQ(db->RemainingIds(), std::vector<int>{1});
  }
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
  // Also with another session's commit during the question that leaves the listed rows
  // as they were: the check then cannot take the table for unchanged, and reads again.
  for (const bool otherCommit : {false, true}) {
    SCOPED_TRACE(otherCommit ? "an unlisted row changed" : "nothing changed");
    ASSERT_TRUE(db->Exec("DELETE FROM FileTree"));
    ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
    RunOptions options = Options(Connection());
    const auto change = [&] {
      if (otherCommit) {
        EXPECT_TRUE(db->Exec("UPDATE FileTree SET FileName = 'renamed' WHERE FileID = 1"));
      }
    };
    options.steps = {{"", nullptr, "\n"}, {"Are you sure", change, "yes\n"}};
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.out, Found(3, "Deleting records...\n3 records were deleted.\n"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(List(), L(std::string(kHeader) + "C:\\data\\one.dat,03/07/2011  14:05\ntwo\nthree,01/01/1601  00:00\n"));
    EXPECT_EQ(db->RemainingIds(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
  }
}

// Another writer changes the table while the question is on the screen: through the
// test's own connection, which also shows that the tool holds no lock there. Whatever
// it did, nothing is deleted and the run says what changed. On the Galera cluster the
// other writer is on node 2, the tool on node 1, and the rows are checked on every node.
class ConcurrentChange : public EndToEnd {};

TEST_P(ConcurrentChange, ChangesAfterTheListingDeleteNothing) {
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
    std::string connection = "";  // added to the tool's connection string
    std::string line = "";  // row 1's line in the list, where the case is about it
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
      // Each row's digest is its own: a sum of digests that add up column by column would
      // not see two listed rows swap a value.
      {"two listed rows' names swapped",
       "UPDATE FileTree SET FileName = CASE FileID WHEN 1 THEN 'listed too' ELSE 'n' END WHERE FileID IN (1, 2)",
       std::nullopt, changed, {1, 2, 5}, "UPDATE FileTree SET FileName = 'n' WHERE FileID = 1"},
      {"a name changed past its 260th character", "",
       TestRow{1, std::u16string(289, u'n') + u"X" + std::u16string(10, u'n'), longIdentification, kOld, std::nullopt},
       changed, {1, 2, 5}},
      {"an identification changed past its 1000th byte", "",
       TestRow{1, longName, Identification(0) + std::string(1387, 'i') + "X", kOld, std::nullopt}, changed, {1, 2, 5}},
  };
  // Names that some drivers' wide text does not show whole: bytes that are not UTF-8
  // (SQLite; the servers refuse them) and a NUL (SQLite and MariaDB; PostgreSQL's text
  // cannot hold one).
  if (GetParam() == Backend::SQLite) {
    cases.push_back({"a byte that is not UTF-8 changed", "UPDATE FileTree SET FileName = CAST(X'6162FE6364' AS TEXT) WHERE FileID = 1",
                     std::nullopt, changed, {1, 2, 5}, "UPDATE FileTree SET FileName = CAST(X'6162FF6364' AS TEXT) WHERE FileID = 1"});
    // Made by the database: the driver's parameters end at a NUL too.
    cases.push_back({"a name changed after an embedded NUL",
                     "UPDATE FileTree SET FileName = CAST(X'6162004556494C' AS TEXT) WHERE FileID = 1", std::nullopt,
                     changed, {1, 2, 5}, "UPDATE FileTree SET FileName = CAST(X'6162006364' AS TEXT) WHERE FileID = 1"});
  }
  if (GetParam() == Backend::SQLite) {
    // Bytes that its driver's text takes for other characters: a sequence cut short, and
    // one beyond U+10FFFF renamed to the valid character it would be shown as.
    cases.push_back({"a sequence cut short changed", "UPDATE FileTree SET FileName = CAST(X'62E28F63' AS TEXT) WHERE FileID = 1",
                     std::nullopt, changed, {1, 2, 5}, "UPDATE FileTree SET FileName = CAST(X'62E28263' AS TEXT) WHERE FileID = 1",
                     "", "b<xE2><x82>c"});
    cases.push_back({"a name beyond U+10FFFF made valid",
                     "UPDATE FileTree SET FileName = CAST(X'78F09080802E747874' AS TEXT) WHERE FileID = 1", std::nullopt,
                     changed, {1, 2, 5}, "UPDATE FileTree SET FileName = CAST(X'78F49080802E747874' AS TEXT) WHERE FileID = 1",
                     "", "x<xF4><x90><x80><x80>.txt"});
  }
  if (GetParam() == Backend::SQLite) {
    // Values that a driver's conversion reads alike (a C integer keeps 32 bits and reads
    // 18.5 and '18abc' as 18), and values of another storage class with the same bytes.
    // 2^32 + 2 reads as 2 through the test's C integer too.
    cases.push_back({"a listed key swapped for one 2^32 above", "UPDATE FileTree SET FileID = 4294967298 WHERE FileID = 2",
                     std::nullopt, listedTwo + " and as many match now, but not the same ones.", {1, 5, 2}});
    for (const char* type : {"4294967314", "-4294967278", "18.5", "'18abc'"}) {
      cases.push_back({type, std::string("UPDATE FileTree SET OperationType = ") + type + " WHERE FileID = 2",
                       std::nullopt, changed, {1, 2, 5}});
    }
    cases.push_back({"a name made a BLOB of its bytes", "UPDATE FileTree SET FileName = CAST(FileName AS BLOB) WHERE FileID = 2",
                     std::nullopt, changed, {1, 2, 5}});
    cases.push_back({"an identification made an INTEGER of its digits",
                     "UPDATE FileTree SET FileIdentification = 123 WHERE FileID = 2", std::nullopt, changed, {1, 2, 5},
                     "UPDATE FileTree SET FileIdentification = X'313233' WHERE FileID = 2"});
  }
  if (IsMariaDB(GetParam())) {
    cases.push_back({"a name changed after an embedded NUL", "",
                     TestRow{1, std::u16string(u"ab\0EVIL", 7), longIdentification, kOld, std::nullopt}, changed,
                     {1, 2, 5}, "DELETE FROM FileTree WHERE FileID = 1"});
    // Names that the connection's character set cannot show: the driver's text of them is
    // question marks, the stored bytes are not.
    cases.push_back({"a name renamed under a latin1 connection",
                     "UPDATE FileTree SET FileName = 'smile \xf0\x9f\x98\x83.png' WHERE FileID = 1", std::nullopt, changed,
                     {1, 2, 5}, "UPDATE FileTree SET FileName = 'smile \xf0\x9f\x98\x80.png' WHERE FileID = 1",
                     "CHARSET=latin1;", "smile \xf0\x9f\x98\x80.png"});
    // A name column of bytes (last: the column stays so for the cases after it).
    cases.push_back({"a byte of a binary name changed",
                     "UPDATE FileTree SET FileName = X'6E6F7465735FFE5F6F6C642E747874' WHERE FileID = 1", std::nullopt,
                     changed, {1, 2, 5},
                     "ALTER TABLE FileTree MODIFY FileName VARBINARY(2000) NOT NULL;"
                     "UPDATE FileTree SET FileName = X'6E6F7465735FFF5F6F6C642E747874' WHERE FileID = 1",
                     "", "notes_<xFF>_old.txt"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(db->Exec("DELETE FROM FileTree"));
    ASSERT_TRUE(db->Insert({{1, longName, longIdentification, kOld, std::nullopt},
                            {2, u"listed too", Identification(0), kOld, std::nullopt},
                            {5, u"kept", std::nullopt, 0, std::nullopt}}));
    if (!c.before.empty()) {
      ASSERT_TRUE(db->Exec(c.before));
    }
    if (c.rewrite && c.rewrite->name.find(u'\0') != std::u16string::npos) {
      ASSERT_TRUE(db->Insert({{1, std::u16string(u"ab\0cd", 5), longIdentification, kOld, std::nullopt}}));
    }
    const auto change = [&] {
      if (!c.sql.empty()) {
        EXPECT_TRUE(db->Exec(c.sql));
      }
      if (c.rewrite) {
        EXPECT_TRUE(db->Exec("DELETE FROM FileTree WHERE FileID = 1") && db->Insert({*c.rewrite}));
      }
    };
    RunOptions options = Options(Connection() + c.connection);
    options.steps = {{"", nullptr, "\n"}, {"Are you sure", change, "yes\n"}};
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, Found(2, "Deleting records...\nNo records were deleted\n"));
    EXPECT_EQ(r.err, L("Error:The table changed after the listing: " + c.change + " Nothing was deleted.\n"));
    EXPECT_EQ(db->RemainingIds(), c.left);
    if (!c.line.empty()) {
      EXPECT_NE(List().find(L(c.line + "\n")), std::string::npos) << List();
    }
  }
}

// The database itself would take more than the DELETE: a trigger or a cascading key
// that deletes an unlisted row when a listed one goes, which the DELETE's own count
// leaves out. Or it could not undo the deletion: SQLite without a rollback journal.
// Nothing is deleted, the run says why, and the database is left whole. A trigger that
// takes nothing of the table does not stand in the way.
TEST_P(EndToEnd, DatabaseThatWouldTakeUnlistedRowsOrCouldNotUndoDeletesNothing) {
  struct Case {
    const char* name;
    std::vector<std::string> ddl;  // statements of the test's own, run first
    std::string options;           // added to the connection string
    std::string error;             // standard error; empty: the rows are deleted
  };
  const std::string takesOthers =
      "Error:The deletion would have removed 3 records from the table, but 2 were listed: a trigger or a foreign key "
      "of the table takes others. Nothing was deleted.\n";
  const bool sqlite = GetParam() == Backend::SQLite, postgres = GetParam() == Backend::PostgreSQL;
  std::vector<Case> cases;
  if (sqlite) {
    cases = {
        {"a trigger deletes an unlisted row",
         {"CREATE TRIGGER alsogo AFTER DELETE ON FileTree WHEN OLD.FileID = 2 BEGIN DELETE FROM FileTree WHERE FileID = 5; "
          "END"},
         "", takesOthers},
        {"a trigger that takes nothing of the table",
         {"CREATE TABLE Deleted (FileID INTEGER)",
          "CREATE TRIGGER noted AFTER DELETE ON FileTree BEGIN INSERT INTO Deleted VALUES (OLD.FileID); END"},
         "", ""},
        {"no rollback journal", {}, "JournalMode=off;",
         "Error:The database keeps no rollback journal (SQLite journal_mode off): a deletion that failed halfway could "
         "not be undone, so none is made.\n"},
        {"a journal in memory, lost with the process", {}, "JournalMode=memory;",
         "Error:The database keeps no rollback journal (SQLite journal_mode memory): a deletion that failed halfway "
         "could not be undone, so none is made.\n"},
    };
  } else if (postgres) {
    cases = {
        {"a trigger deletes an unlisted row",
         {"CREATE FUNCTION alsogo() RETURNS trigger LANGUAGE plpgsql AS 'BEGIN DELETE FROM FileTree WHERE FileID = 5; "
          "RETURN NULL; END'",
          "CREATE TRIGGER alsogo AFTER DELETE ON FileTree FOR EACH ROW WHEN (OLD.FileID = 2) EXECUTE FUNCTION alsogo()"},
         "", takesOthers},
        {"a cascading key takes an unlisted row",
         {"ALTER TABLE FileTree ADD COLUMN ParentID INTEGER REFERENCES FileTree (FileID) ON DELETE CASCADE",
          "UPDATE FileTree SET ParentID = 2 WHERE FileID = 5"},
         "", takesOthers},
    };
  } else {
    // MariaDB: a trigger may not change the table it is on; a key may.
    cases = {
        {"a cascading key takes an unlisted row",
         {"ALTER TABLE FileTree ADD COLUMN ParentID INTEGER NULL, ADD FOREIGN KEY (ParentID) REFERENCES FileTree (FileID) "
          "ON DELETE CASCADE",
          "UPDATE FileTree SET ParentID = 2 WHERE FileID = 5"},
         "", takesOthers},
    };
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestDatabase fresh(GetParam());
    ASSERT_TRUE(fresh.Insert({{1, u"listed", std::nullopt, kOld, std::nullopt},
                              {2, u"listed too", std::nullopt, kOld, std::nullopt},
                              {5, u"kept", std::nullopt, 0, std::nullopt}}));
    for (const std::string& sql : c.ddl) {
      _SQL_Error error;  // whole, not split at the ';' inside a trigger's body
      ASSERT_NE(fresh.Connection().Execute(Wide(sql).c_str(), error), 0) << sql << "\n" << Narrow(error.message);
    }
    RunOptions options = Options(Narrow(fresh.ConnectionString()) + c.options);
    options.input = "\nyes\n";
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, Found(2, c.error.empty() ? "Deleting records...\n2 records were deleted.\n"
                                              : "Deleting records...\nNo records were deleted\n"));
    EXPECT_EQ(r.err, L(c.error));
    EXPECT_EQ(fresh.RemainingIds(), c.error.empty() ? std::vector<int>{5} : (std::vector<int>{1, 2, 5}));
    if (sqlite) {
      EXPECT_EQ(fresh.Scalar("PRAGMA integrity_check"), "ok");
    }
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
  if (GetParam() == Backend::PostgreSQL) {
    ASSERT_TRUE(db->Exec("CHECKPOINT"));
  }

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
    if (left.size() != unlisted.size()) {
      EXPECT_EQ(left.size(), 65536u + unlisted.size());
    }
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

// What "Vestrum.csv" held before the run: a list that is written replaces the name only
// (a hard link's other name, a backup made with cp -al, keep what they held; a file
// another user left in a shared sticky directory is replaced, not written into), and a
// read-only one is kept, with nothing asked.
TEST_P(EndToEnd, PreviousListIsReplacedWholeOrKept) {
  ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
  const std::string listed =
      L(std::string(kHeader) + "C:\\data\\one.dat,03/07/2011  14:05\ntwo\nthree,01/01/1601  00:00\n");
  std::string other(188894, '\0');
  for (std::size_t i = 0; i < other.size(); ++i) other[i] = static_cast<char>(i * 7);
  struct Case {
    const char* name;
    std::function<void(const std::string& dir)> make;
    const char* otherName;  // a name that must keep `other`
    bool refused;
    unsigned mode = 0;  // the new list's permissions and group (Linux build), when not a new file's
    unsigned group = 0;
  };
  const Case cases[] = {
      {"hard link to another file",
       [&](const std::string& dir) {
         WriteFileBytes(dir + "/other.bin", other);
         std::filesystem::create_hard_link(dir + "/other.bin", dir + "/Vestrum.csv");
       },
       "other.bin", false},
      {"a file of another user in a sticky directory",
       [&](const std::string& dir) {
         std::filesystem::permissions(dir, std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
         WriteFileBytes(dir + "/Vestrum.csv", other);
         ASSERT_EQ(chown((dir + "/Vestrum.csv").c_str(), 64002, 64002), 0) << "needs root, as the test script runs";
         ASSERT_EQ(chmod((dir + "/Vestrum.csv").c_str(), 0666), 0);
         std::filesystem::create_hard_link(dir + "/Vestrum.csv", dir + "/theirs.csv");
       },
       "theirs.csv", false},
      {"read-only",
       [&](const std::string& dir) {
         WriteFileBytes(dir + "/Vestrum.csv", other);
         ASSERT_EQ(chmod((dir + "/Vestrum.csv").c_str(), 0444), 0);
       },
       "Vestrum.csv", true},
      {"private to its owner, shared with a group",
       [&](const std::string& dir) {
         WriteFileBytes(dir + "/Vestrum.csv", other);
         ASSERT_EQ(chown((dir + "/Vestrum.csv").c_str(), getuid(), 64003), 0) << "needs root, as the test script runs";
         ASSERT_EQ(chmod((dir + "/Vestrum.csv").c_str(), 0640), 0);
         std::filesystem::create_hard_link(dir + "/Vestrum.csv", dir + "/backup.csv");
       },
       "backup.csv", false, 0640, 64003},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = work.File("list");
    std::filesystem::create_directory(dir);
    c.make(dir);
    RunOptions options = Options(Connection());
    options.workDir = dir;
    options.input = "\nno\n";
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadFileBytes(dir + "/" + c.otherName), other);
    EXPECT_EQ(Entries(dir).size(), c.refused ? 1u : 2u) << "no new file left behind";
    if (c.refused) {
      EXPECT_EQ(r.out, Start() + L(std::string(kSearching) + "\n"));
      EXPECT_EQ(r.err, L(std::string("Failed to write the list of records into: Vestrum.csv\n") +
                         (target.windows ? "Access denied." : "Permission denied") + "\n"));
    } else {
      EXPECT_EQ(r.out, Found(3, "No records were deleted\n"));
      EXPECT_EQ(ReadFileBytes(dir + "/Vestrum.csv"), listed);
      struct stat st;
      ASSERT_EQ(stat((dir + "/Vestrum.csv").c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, getuid()) << "the run's own file";
      EXPECT_EQ(st.st_nlink, 1u);
      if (c.mode != 0 && !target.windows) {
        EXPECT_EQ(st.st_mode & 0777, c.mode);
        EXPECT_EQ(st.st_gid, c.group);
      }
    }
    std::filesystem::remove_all(dir);
  }
  EXPECT_EQ(db->RemainingIds().size(), 9u);
}

// The list the operator was shown goes, or is another file, while the question is on the
// screen: "yes" deletes nothing, and the run says why.
TEST_P(EndToEnd, ListGoneBeforeYesDeletesNothing) {
  ASSERT_TRUE(db->Insert(ThreeOldAmongKept()));
  struct Case {
    const char* name;
    std::string command;  // run in the list's directory
    const char* reason;
    const char* undo = "";  // run in the list's directory after the run
  };
  const Case cases[] = {
      {"removed", "rm Vestrum.csv", "it is no longer there"},
      {"its directory removed", "cd .. && rm -r list", "it is no longer there"},
      {"replaced by a copy", "cp Vestrum.csv copy && mv copy Vestrum.csv", "another file has its name now"},
      {"cut", "truncate -s 10 Vestrum.csv", "it was changed since it was written"},
      {"rewritten in place, same size", "printf 9 | dd of=Vestrum.csv bs=1 seek=30 conv=notrunc status=none",
       "it was changed since it was written"},
      // The same inode number, size and change time, on another file system: an overlay
      // whose lower layer is the list's folder, its view of the list mounted over the name.
      {"the same file seen through another file system, mounted over it",
       "mkdir ../up ../ov && mount -t tmpfs tmpfs ../up && mkdir ../up/u ../up/w && mount -t overlay overlay -o "
       "lowerdir=\"$PWD\",upperdir=\"$PWD/../up/u\",workdir=\"$PWD/../up/w\" ../ov && "
       "mount --bind ../ov/Vestrum.csv Vestrum.csv",
       "another file has its name now", "umount Vestrum.csv; umount ../ov; umount ../up; rm -r ../up ../ov"},
  };
  for (const Case& c : cases) {
    // NOTE: Wine gives every file of the host one volume serial, so only the Linux build
    // tells the two file systems apart.
    if (c.undo[0] != 0 && target.windows) continue;
    SCOPED_TRACE(c.name);
    const std::string dir = work.File("list");
    std::filesystem::create_directory(dir);
    RunOptions options = Options(Connection());
    options.workDir = dir;
    options.steps = {{"", nullptr, "\n"},
                     {"Are you sure", [&] { EXPECT_EQ(std::system(("cd '" + dir + "' && " + c.command).c_str()), 0); },
                      "yes\n"}};
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, Found(3, "Deleting records...\nNo records were deleted\n"));
    EXPECT_EQ(r.err, L(std::string("Error:The list of records is not as it was written: Vestrum.csv: ") + c.reason +
                       ". Nothing was deleted.\n"));
    if (c.undo[0] != 0) std::system(("cd '" + dir + "' && " + c.undo).c_str());
    std::filesystem::remove_all(dir);
  }
  EXPECT_EQ(db->RemainingIds().size(), 9u);
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
  const std::string expected = std::string(kHeader) + "with,comma, and more,02/29/2000  00:00\n" + std::string(260, 'n') + "<cut>\n" +
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

// The list cannot be written to its end: the previous list stays exactly as it was, no
// new file is left beside it, nothing is asked or deleted, and the reason is the one the
// system gave (each build's own words).
TEST_P(EndToEnd, ListThatCannotBeWrittenKeepsThePreviousOneAndSaysWhy) {
  std::vector<TestRow> rows;
  for (int i = 1; i <= 2000; ++i) rows.push_back({i, std::u16string(200, u'x'), std::nullopt, kOld, std::nullopt});
  ASSERT_TRUE(db->Insert(rows));
  const std::string previous = "File Name, File Write Time\nthe previous list\n";
  struct Case {
    const char* name;
    const char* linuxReason;
    const char* windowsReason;  // Wine's words for what the host reported
  };
  const Case cases[] = {
      {"file size limit", "File too large", "General failure."},
      {"full disk", "No space left on device", "Disk full."},
      {"working directory removed", "No such file or directory", "Path not found."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = work.File("list");
    std::filesystem::create_directory(dir);
    const std::string name = c.name;
    if (name == "full disk") {
      ASSERT_EQ(std::system(("mount -t tmpfs -o size=64k tmpfs '" + dir + "'").c_str()), 0)
          << "mounting needs root, as the test script runs";
    }
    WriteFileBytes(dir + "/Vestrum.csv", previous);
    RunOptions options = Options(Connection());
    options.workDir = dir;
    if (name == "file size limit") options.fileSizeLimit = 100000;
    if (name == "working directory removed") {
      options.steps = {{"Press any key", [&] { std::filesystem::remove_all(dir); }, "\nyes\n"}};
    } else {
      options.input = "\nyes\n";
    }
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, 0) << "signal " << r.signal;
    EXPECT_EQ(r.out, Start() + L(std::string(kSearching) + "\n"));
    EXPECT_EQ(r.err, L("Failed to write the list of records into: Vestrum.csv\n" +
                       std::string(target.windows ? c.windowsReason : c.linuxReason) + "\n"));
    if (name != "working directory removed") {
      EXPECT_EQ(ReadFileBytes(dir + "/Vestrum.csv"), previous);
      EXPECT_EQ(Entries(dir), std::vector<std::string>{"Vestrum.csv"}) << "no new file left behind";
    }
    if (name == "full disk") std::system(("umount '" + dir + "'").c_str());
    std::filesystem::remove_all(dir);
    EXPECT_EQ(db->RemainingIds().size(), 2000u);
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, EndToEnd, ::testing::ValuesIn(AllBackends()), BackendParamName());
INSTANTIATE_TEST_SUITE_P(Backends, ConcurrentChange, ::testing::ValuesIn(AllBackendsAndCluster()), BackendParamName());

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

// What a terminal run showed before it said how many rows it found.
std::string ListingOutput(const RunResult& r) { return r.out.substr(0, r.out.find("old records were found")); }
std::size_t CountLines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

// The listing on a terminal: its count fits a narrow terminal, one copy over the other,
// and a terminal stopped with Ctrl+S holds the count, never the listing (nor the read it
// keeps open on the table).
TEST(PosixTerminal, ProgressFitsTheTerminalAndNeverHoldsTheListing) {
  const ToolTarget target = e2e::TargetFromEnvironment();
  TempDir work;
  TestDatabase db(Backend::SQLite);
  constexpr int kRows = 400000;
  std::vector<TestRow> rows;
  for (int id = 1; id <= kRows; ++id) rows.push_back({id, u"old", std::nullopt, kOld, std::nullopt});
  ASSERT_TRUE(db.Insert(rows));
  RunOptions options;
  options.workDir = work.Path();
  // Stepping through the result as it is read: the listing holds its read on the database.
  options.registryFile = e2e::WriteConnectionRegistry(work.Path(), Narrow(db.ConnectionString()) + "StepAPI=1;");
  options.terminal = true;
  options.columns = 20;
  options.timeoutSeconds = 180;  // the sanitized build on a busy machine lists slowly
  options.steps = {{"Press any key", nullptr, "x"}, {"Are you sure", nullptr, "no\r"}};
  RunResult r = e2e::RunTool(target, options);
  EXPECT_NE(r.out.find(std::to_string(kRows) + " old records were found."), std::string::npos) << r.out;
  const std::string listing = ListingOutput(r);
  int counts = 0;
  for (std::size_t start = listing.find('\r'); start != std::string::npos; start = listing.find('\r', start + 1)) {
    const std::size_t end = std::min(listing.find_first_of("\r\n", start + 1), listing.size());
    // What the line shows, after the erasing of what was below it.
    std::string shown = listing.substr(start + 1, end - start - 1);
    if (shown.rfind("\x1b[J", 0) == 0) shown.erase(0, 3);
    EXPECT_LE(shown.size(), 19u) << "wider than the terminal: " << shown;
    if (!shown.empty() && std::isdigit(static_cast<unsigned char>(shown[0]))) ++counts;
  }
  EXPECT_GT(counts, 0) << "a count was shown:\n" << listing;

  // Ctrl+S at the first count: the whole list is written before Ctrl+Q, and the count
  // that the stopped terminal kept on the screen is erased before the next words.
  bool listedWhileStopped = false;
  auto waitForTheList = [&] {
    for (int i = 0; i < 1200 && !listedWhileStopped; ++i) {
      usleep(100000);
      listedWhileStopped = std::filesystem::exists(work.File("Vestrum.csv")) &&
                           CountLines(ReadFileBytes(work.File("Vestrum.csv"))) == kRows + 1;
    }
  };
  std::filesystem::remove(work.File("Vestrum.csv"));
  options.steps = {{"Press any key", nullptr, "x"},
                   {" records\r", nullptr, "\x13"},
                   {" records\r", waitForTheList, "\x11"},
                   {"Are you sure", nullptr, "no\r"}};
  r = e2e::RunTool(target, options);
  EXPECT_TRUE(listedWhileStopped);
  const std::size_t lastCount = r.out.rfind(" records\r");
  const std::size_t found = r.out.find("old records were found");
  ASSERT_NE(lastCount, std::string::npos) << r.out;
  EXPECT_NE(r.out.substr(lastCount, found - lastCount).find("\r\x1b[J"), std::string::npos)
      << "the count erased before what follows: " << r.out.substr(lastCount);
  EXPECT_NE(r.out.find("No records were deleted"), std::string::npos) << r.out;
  EXPECT_EQ(db.RemainingIds().size(), static_cast<std::size_t>(kRows));

  // Ctrl+Z while the rows are listed: the run stops once its read has ended, so another
  // session's write is not kept out while it stays stopped (SQLite's shared lock).
  bool stopped = false;
  std::string written = "not tried";
  double writeSeconds = -1;
  auto stopAndWrite = [&] {
    kill(e2e::RunningTool(), SIGTSTP);
    for (int i = 0; i < 12 && !stopped; ++i) stopped = WaitUntilStopped(e2e::RunningTool());
    const auto start = std::chrono::steady_clock::now();
    written = e2e::WriteAsAnotherSession(db);
    writeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    kill(e2e::RunningTool(), SIGCONT);
  };
  options.columns = 0;
  options.steps = {
      {"Press any key", nullptr, "x"}, {"records listed...", stopAndWrite, ""}, {"Are you sure", nullptr, "no\r"}};
  r = e2e::RunTool(target, options);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(written, "") << "the other session's write, with the run stopped";
  EXPECT_LT(writeSeconds, 3.0);
  EXPECT_NE(r.out.find(std::to_string(kRows) + " old records were found."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("No records were deleted"), std::string::npos) << r.out;
}

// What is typed or pasted after the answer is the tool's to discard, not the shell's to
// run: the further lines of a paste, the rest of a line longer than an answer.
TEST(PosixTerminal, NothingTypedAfterTheAnswerIsLeftForTheShell) {
  const ToolTarget target = e2e::TargetFromEnvironment();
  TempDir work;
  TestDatabase db(Backend::SQLite);
  const struct {
    const char* name;
    std::string paste;
  } cases[] = {{"lines of a paste", "no\ryes\recho pasted\r"}, {"a long line, then yes", std::string(5000, 'x') + "\ryes\r"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(db.Exec("DELETE FROM FileTree"));
    ASSERT_TRUE(db.Insert({{1, u"old", std::nullopt, kOld, std::nullopt}}));
    RunOptions options;
    options.workDir = work.Path();
    options.registryFile = e2e::WriteConnectionRegistry(work.Path(), Narrow(db.ConnectionString()));
    options.terminal = true;
    options.timeoutSeconds = 30;
    options.steps = {{"Press any key", nullptr, "x"}, {"Are you sure", nullptr, c.paste}};
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("No records were deleted"), std::string::npos) << r.out;
    EXPECT_EQ(r.unreadInput, "");
    EXPECT_EQ(db.RemainingIds(), std::vector<int>{1});
  }
}

// The Linux build reads its registry file only when nobody but its owner (root or the user
// running the tool) can change it or a directory above it, a sticky directory being
// shared safely; otherwise it says which and why, and connects to nothing. The files are
// in a folder of /tmp that the user nobody can reach, so that the tool can run as nobody
// too, from a copy of it there.
TEST(PosixRegistryTrust, OnlyAFileThatItsOwnerAloneCanChangeIsRead) {
  const ToolTarget target = e2e::TargetFromEnvironment();
  if (geteuid() != 0) GTEST_SKIP() << "giving files to other users and running as one takes root (CI runs as root)";
  TempDir work;
  TestDatabase db(Backend::SQLite);
  ASSERT_TRUE(db.Insert({{1, u"old", std::nullopt, kOld, std::nullopt}}));
  struct SBase {
    std::string path;
    SBase() {
      char name[] = "/tmp/meridex-trust-XXXXXX";
      path = mkdtemp(name) != nullptr ? name : "";
    }
    ~SBase() { std::filesystem::remove_all(path); }
  } base;
  ASSERT_FALSE(base.path.empty());
  ASSERT_EQ(chmod(base.path.c_str(), 0755), 0);
  ToolTarget copy = target;
  copy.path = base.path + "/" + std::filesystem::path(target.path).filename().string();
  std::filesystem::copy_file(target.path, copy.path);

  auto uidOf = [](const char* name) {
    const passwd* account = getpwnam(name);
    return account != nullptr ? account->pw_uid : static_cast<uid_t>(-1);
  };
  const uid_t root = 0, nobody = uidOf("nobody"), daemon = uidOf("daemon");
  ASSERT_NE(nobody, static_cast<uid_t>(-1));
  ASSERT_NE(daemon, static_cast<uid_t>(-1));
  auto owner = [](const char* name, uid_t uid) { return std::string(" belongs to ") + name + " (uid " + std::to_string(uid) + "), not to root or to the user running the tool"; };
  const std::string byOthers = " can be changed by other users than its owner (mode ";
  // The file is top/holder/meridex.reg.
  const struct {
    const char* name;
    const char* user;  // who runs the tool: "" the test's user, root
    mode_t file, holder, top;
    uid_t fileOwner, holderOwner;
    const char* culprit;  // nullptr: the file is read; "": the file; or "holder", "top"
    std::string why;
  } cases[] = {
      {"0600, root's", "", 0600, 0755, 0755, root, root, nullptr, ""},
      {"0644, root's", "", 0644, 0755, 0755, root, root, nullptr, ""},
      {"0600, the user's (nobody)", "nobody", 0600, 0755, 0755, nobody, nobody, nullptr, ""},
      {"0644, root's, run by nobody", "nobody", 0644, 0755, 0755, root, root, nullptr, ""},
      {"sticky directory 1777", "", 0600, 01777, 0755, root, root, nullptr, ""},
      {"0666", "", 0666, 0755, 0755, root, root, "", byOthers + "0666)"},
      {"0664", "", 0664, 0755, 0755, root, root, "", byOthers + "0664)"},
      {"0644, another user's", "", 0644, 0755, 0755, nobody, root, "", owner("nobody", nobody)},
      {"0644, a third user's, run by nobody", "nobody", 0644, 0755, 0755, daemon, nobody, "", owner("daemon", daemon)},
      {"directory 0777", "", 0600, 0777, 0755, root, root, "holder", byOthers + "0777)"},
      {"directory 0775", "", 0600, 0775, 0755, root, root, "holder", byOthers + "0775)"},
      {"directory of another user", "", 0600, 0755, 0755, root, nobody, "holder", owner("nobody", nobody)},
      {"directory 0777 two levels up", "", 0600, 0755, 0777, root, root, "top", byOthers + "0777)"},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // A directory's name that would hide the rest of the line on a terminal: the refusal
    // names it in the notation.
    const std::string top = base.path + "/" + std::to_string(++index) + "\x1b[8m";
    const std::string holder = top + "/holder";
    std::filesystem::create_directories(holder);
    const std::string file = e2e::WriteConnectionRegistry(holder, Narrow(db.ConnectionString()));
    ASSERT_EQ(chmod(file.c_str(), c.file), 0);
    ASSERT_EQ(chown(file.c_str(), c.fileOwner, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod(holder.c_str(), c.holder), 0);
    ASSERT_EQ(chown(holder.c_str(), c.holderOwner, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod(top.c_str(), c.top), 0);
    RunOptions options;
    options.workDir = *c.user == '\0' ? work.Path() : top;
    options.user = c.user;
    options.registryFile = file;
    options.input = "\nno\n";
    const RunResult r = e2e::RunTool(copy, options);
    EXPECT_EQ(r.status, 0);
    if (c.culprit == nullptr) {
      // Read: the run goes on to the connection (which nobody may not be let to make).
      EXPECT_EQ(r.err.find("Registry file"), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("Failed to read from registry"), std::string::npos) << r.err;
      if (*c.user == '\0') {
        EXPECT_NE(r.out.find("1 old records were found."), std::string::npos) << r.out << r.err;
      }
      continue;
    }
    const auto shown = [](std::string path) { return path.replace(path.find('\x1b'), 1, "<U+001B>"); };
    const std::string what = *c.culprit == '\0' ? "the file" : "the directory \"" + shown(c.culprit == std::string("top") ? top : holder) + "\"";
    EXPECT_EQ(r.err, "Registry file \"" + shown(file) + "\" is not trusted: " + what + c.why + "; the registry is empty.\n" +
                         "Failed to read from registry: Meridex registry is missing.\n"
                         "This tool must run on a machine with Meridex installed \n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Press any key to continue . . . \n\n") << "nothing connected";
  }
  EXPECT_EQ(db.RemainingIds(), std::vector<int>{1});
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

// A server that takes no changes is refused in one line before anything is listed: a
// PostgreSQL hot standby, MariaDB with read_only=1 for a user without the right to
// override it, a Galera node cut off from its cluster. On the primary the same probe
// leaves no lock behind: another session takes the whole table while the question is on
// the screen.
TEST(ReadOnlyServers, RefusedInOneLineBeforeTheListing) {
  const std::string readOnly =
      "Error:The database takes no changes: the server is a replica or a read-only server. Run the tool against the "
      "primary. Nothing was listed or deleted.\n";
  const std::string notReady =
      "Error:The database server is a cluster node that is not ready (not joined to its cluster, or not in sync). Run "
      "the tool once it is, or against another node. Nothing was listed or deleted.\n";
  const std::string user = "meridex_ro_" + std::to_string(::getpid());
  struct Case {
    const char* name;
    Backend backend;
    std::function<std::string(TestDatabase&)> prepare;  // the tool's connection string
    std::function<void(TestDatabase&)> undo;
    std::string err;  // empty: the run goes on to the question
  };
  const Case cases[] = {
      {"a PostgreSQL hot standby", Backend::PostgreSQL,
       [](TestDatabase& db) {
         // Once the standby has replayed everything written so far.
         const std::string written = db.Scalar("SELECT pg_current_wal_lsn()");
         for (int i = 0; i < 300 && db.Scalar("SELECT COUNT(*) FROM pg_stat_replication WHERE replay_lsn >= '" + written +
                                              "'") != "1";
              ++i) {
           usleep(100000);
         }
         return Env("MERIDEX_TEST_PG_STANDBY") + "Database=" + db.Scalar("SELECT current_database()") + ";";
       },
       [](TestDatabase&) {}, readOnly},
      {"MariaDB with read_only=1", Backend::MariaDB,
       [&](TestDatabase& db) {
         const std::string name = db.Scalar("SELECT DATABASE()");
         EXPECT_TRUE(db.Exec("CREATE USER " + user + "@'127.0.0.1' IDENTIFIED BY 'ro-pw'; GRANT SELECT, DELETE ON " + name +
                             ".* TO " + user + "@'127.0.0.1'; SET GLOBAL read_only = 1"));
         std::string connection = Narrow(db.ConnectionString());
         return connection.replace(connection.find("Uid="), connection.find("Database=") - connection.find("Uid="),
                                   "Uid=" + user + ";Pwd=ro-pw;");
       },
       [&](TestDatabase& db) { EXPECT_TRUE(db.Exec("SET GLOBAL read_only = 0; DROP USER " + user + "@'127.0.0.1'")); },
       readOnly},
      {"a Galera node cut off from its cluster", Backend::Galera,
       [](TestDatabase& db) {
         EXPECT_TRUE(db.IsolateNode3(true));
         return Narrow(db.NodeConnectionString(3));
       },
       [](TestDatabase& db) { EXPECT_TRUE(db.IsolateNode3(false)); }, notReady},
      {"the PostgreSQL primary", Backend::PostgreSQL, [](TestDatabase& db) { return Narrow(db.ConnectionString()); },
       [](TestDatabase&) {}, ""},
      {"the MariaDB primary", Backend::MariaDB, [](TestDatabase& db) { return Narrow(db.ConnectionString()); },
       [](TestDatabase&) {}, ""},
  };
  const ToolTarget target = e2e::TargetFromEnvironment();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir work;
    TestDatabase db(c.backend);
    ASSERT_TRUE(db.Insert({{1, u"old", std::nullopt, kOld, std::nullopt}, {2, u"kept", std::nullopt, 0, std::nullopt}}));
    RunOptions options;
    options.workDir = work.Path();
    options.registryFile = e2e::WriteConnectionRegistry(work.Path(), c.prepare(db));
    std::string locked = "not tried";
    const auto lockTable = [&] {
      _SQL_Error error;
      if (IsMariaDB(c.backend)) {
        locked = db.Connection().Execute(u"SET SESSION lock_wait_timeout = 1", error) &&
                         db.Connection().Execute(u"LOCK TABLES FileTree WRITE", error)
                     ? ""
                     : Narrow(error.message);
        ASSERT_NE(db.Connection().Execute(u"UNLOCK TABLES", error), 0);
        return;
      }
      ASSERT_NE(db.Connection().BeginTransaction(error), 0);
      locked = db.Connection().Execute(u"LOCK TABLE FileTree IN ACCESS EXCLUSIVE MODE NOWAIT", error) ? "" : Narrow(error.message);
      ASSERT_NE(db.Connection().EndTransaction(false, error), 0);
    };
    options.steps = {{"", nullptr, "\n"}, {"Are you sure", lockTable, "no\n"}};
    const RunResult r = e2e::RunTool(target, options);
    c.undo(db);
    EXPECT_EQ(r.status, 0);
    if (c.err.empty()) {
      EXPECT_EQ(locked, "") << "a lock outlived the probe";
      EXPECT_EQ(r.err, "");
      EXPECT_NE(r.out.find("No records were deleted"), std::string::npos) << r.out;
    } else {
      EXPECT_EQ(r.err, e2e::LineEnds(target, c.err));
      EXPECT_EQ(r.out.find("Searching"), std::string::npos) << r.out;
      EXPECT_FALSE(std::filesystem::exists(work.File("Vestrum.csv")));
    }
    EXPECT_EQ(db.RemainingIds(), (std::vector<int>{1, 2}));
  }
}

// The rows' digests are keyed so that nobody can prepare two rows that the check after
// "yes" takes for each other; a key that is the same from run to run could be aimed at.
// The key is in the summary statements the server was sent (the listing's, on a second
// session, and the check's): the server logs them for the test's database, and the
// check's is found by the tool's session. Each run's must be its own 16 bytes.
TEST(EndToEndPostgres, EachRunKeysItsDigestsWithAKeyOfItsOwn) {
  const ToolTarget target = e2e::TargetFromEnvironment();
  TestDatabase db(Backend::PostgreSQL);
  ASSERT_TRUE(db.Exec("ALTER DATABASE \"" + db.Scalar("SELECT current_database()") + "\" SET log_statement = 'all'"));
  const char* dir = std::getenv("MERIDEX_TEST_PG_DIR");
  ASSERT_NE(dir, nullptr);
  const std::string log = std::string(dir) + "/server.log";
  std::vector<std::string> keys;
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(db.Insert({{1, u"old", std::nullopt, kOld, std::nullopt}}));
    TempDir work;
    std::string session;
    RunOptions options;
    options.workDir = work.Path();
    options.registryFile = e2e::WriteConnectionRegistry(work.Path(), Narrow(db.ConnectionString()));
    options.steps = {{"", nullptr, "\n"},
                     {"Are you sure", [&] {
                        session = db.Scalar("SELECT pid FROM pg_stat_activity WHERE datname = current_database() "
                                            "AND pid <> pg_backend_pid()");
                      }, "yes\n"}};
    const std::size_t logged = std::filesystem::file_size(log);
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(db.RemainingIds(), std::vector<int>{});
    const std::string sent = ReadFileBytes(log).substr(logged);
    // The check's statement hashes each row under the run's two 64-bit seeds.
    std::smatch key;
    const std::regex checked("\\[" + session + "\\][^\n]*OperationType\\), (-?[0-9]+)\\), (-?[0-9]+)\\)");
    ASSERT_TRUE(!session.empty() && std::regex_search(sent, key, checked)) << session << "\n" << sent;
    keys.push_back(std::string(key[1]) + " " + std::string(key[2]));
    // The listing's rows were summed apart, in its snapshot.
    EXPECT_NE(sent.find("SET TRANSACTION SNAPSHOT"), std::string::npos) << sent;
    // A seed drawn at random has fewer than 10 digits about once in 2^34 runs.
    for (const std::string& seed : {std::string(key[1]), std::string(key[2])}) {
      EXPECT_GE(seed.size() - (seed[0] == '-' ? 1 : 0), 10u) << seed << " does not look drawn at random";
    }
  }
  EXPECT_NE(keys[0], keys[1]) << "two runs keyed their digests alike";
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
    const char* setup = nullptr;  // statements instead of the trigger
    const char* shown = nullptr;  // what the "Error:" line must show of the driver's message
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
       "The database did not say whether the deletion was committed: count the records left to know whether they were "
       "deleted.\n"},
      // The server's message quotes the name, whose escape sequences would erase the
      // "Error:" line, claim a deletion and hide what follows on a terminal.
      {"a foreign key on a name that holds escape sequences", nullptr, nullptr, "Error:", kNothingDeleted,
       "UPDATE FileTree SET FileName = E'old.log\\x1b[2K\\x1b[1A\\x1b[2K\\r2 records were deleted.\\x1b[8m' "
       "WHERE FileID = 1; ALTER TABLE FileTree ADD UNIQUE (FileName); "
       "CREATE TABLE Refs (Name VARCHAR(260) REFERENCES FileTree (FileName)); "
       "INSERT INTO Refs SELECT FileName FROM FileTree WHERE FileID = 1",
       "=(old.log<U+001B>[2K<U+001B>[1A<U+001B>[2K<U+000D>2 records were deleted.<U+001B>[8m)"},
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
    if (c.setup != nullptr) {
      ASSERT_TRUE(db.Exec(c.setup));
    } else {
      ASSERT_NE(db.Connection().Execute(Wide(std::string("CREATE FUNCTION hook() RETURNS trigger LANGUAGE plpgsql AS '") +
                                             c.function + "'").c_str(), error), 0) << Narrow(error.message);
      ASSERT_NE(db.Connection().Execute(Wide(std::string("CREATE ") + c.trigger + " EXECUTE FUNCTION hook()").c_str(),
                                        error), 0) << Narrow(error.message);
    }
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
    if (c.shown != nullptr) {
      EXPECT_NE(r.err.find(c.shown), std::string::npos) << r.err;
    }
    EXPECT_EQ((r.out + r.err).find('\x1b'), std::string::npos) << "no escape reaches the terminal";
    EXPECT_EQ(db.RemainingIds(), (std::vector<int>{1, 2, 3}));
  }
}

// A file-size limit (ulimit -f) that the list stays under but SQLite's rollback journal
// passes, after "yes": the database's error, nothing deleted, the run ends as usual.
TEST(EndToEndSQLite, FileSizeLimitInTheJournalDeletesNothing) {
  const ToolTarget target = e2e::TargetFromEnvironment();
  TempDir work;
  TestDatabase db(Backend::SQLite);
  std::vector<TestRow> rows;
  for (int i = 1; i <= 50; ++i) rows.push_back({i, u"old", std::nullopt, kOld, std::string(16384, 'd')});
  ASSERT_TRUE(db.Insert(rows));
  RunOptions options;
  options.workDir = work.Path();
  options.registryFile = e2e::WriteConnectionRegistry(work.Path(), Narrow(db.ConnectionString()));
  options.input = "\nyes\n";
  options.fileSizeLimit = 200000;
  const RunResult r = e2e::RunTool(target, options);
  EXPECT_EQ(r.status, 0) << "signal " << r.signal;
  const std::string tail = e2e::LineEnds(target, "Deleting records...\nNo records were deleted\n\n");
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
  EXPECT_EQ(r.err.substr(0, 6), "Error:") << r.err;
  EXPECT_NE(r.err.find("[SQLite]"), std::string::npos) << "the database's own error: " << r.err;
  EXPECT_EQ(db.RemainingIds().size(), 50u);
}

// The names in a folder.
std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A database file whose path is not ASCII opens, and loses its old rows; or, where the
// driver manager cannot hand the SQLite3 driver (which has only narrow calls) the name
// whole, the run refuses the file SQLite opened instead, creating, reading and deleting
// nothing anywhere. Under Wine the Windows build's odbc32 goes through this machine's
// unixODBC, whose buffer for the narrow string has one byte per character and which
// otherwise keeps each character's low byte: only one character of two bytes fits there
// (Windows itself has no such step). The Linux build takes any name, the driver named by
// its library's file name too; a decoy database under the name of the low bytes
// ("1070.db" for "база.db") keeps its rows. The fault driver (FaultDriver.c) hands the
// real one, on both builds, the name of another decoy: refused too, a byte of the name
// that is not UTF-8 shown as itself.
TEST(EndToEndSQLite, DatabaseNamedIsOpenedOrRefusedAndNoneCreated) {
  const ToolTarget target = e2e::TargetFromEnvironment();
  const struct {
    const char* name;
    const char* driver;
    bool opensUnderWine;
    bool present = true;
    const char* decoy = nullptr;  // the file the fault driver opens instead, and as shown
    const char* decoyShown = nullptr;
  } cases[] = {{"named.db", "", false, true, "other.db", "other.db"},
               {"named.db", "", false, true, "other\xFF.db", "other<xFF>.db"},
               {"B\xc3\xa9.db", "SQLite3", true},
               {"B\xc3\xa9ta-\xce\xb2-\xe6\x97\xa5.db", "SQLite3", false},
               {"\xce\xb2\xce\xae\xcf\x84\xce\xb1.db", "SQLite3", false},
               {"\xf0\x9f\x98\x80.db", "SQLite3", false},
               {"\xd0\xb1\xd0\xb0\xd0\xb7\xd0\xb0.db", "libsqlite3odbc.so", false},
               {"mistyped.db", "SQLite3", false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool opens = c.present && c.decoy == nullptr && (!target.windows || c.opensUnderWine);
    TempDir work;
    TestDatabase db(Backend::SQLite);
    ASSERT_TRUE(db.Insert({{1, u"old", std::nullopt, kOld, std::nullopt}, {2, u"kept", std::nullopt, 0, std::nullopt}}));
    // The same database under the name (a link to its file), and a decoy with its rows.
    std::string connection = Narrow(db.ConnectionString());
    const std::size_t at = connection.find("Database=") + 9;
    const std::string file = connection.substr(at, connection.find(';', at) - at);
    const std::string named = work.File(c.name);
    if (c.present) {
      ASSERT_EQ(link(file.c_str(), named.c_str()), 0);
    }
    std::filesystem::copy_file(file, work.File("1070.db"));
    connection.replace(at, file.size(), named);
    connection.replace(connection.find("SQLite3"), 7, c.decoy != nullptr ? work.File("d") : c.driver);
    if (c.decoy != nullptr) {
      ASSERT_EQ(symlink(MERIDEX_E2E_FAULT_DRIVER, work.File("d").c_str()), 0);
      std::filesystem::copy_file(file, work.File(c.decoy));
      std::string wish;  // a byte that is not ASCII as %HH
      for (const char b : work.File(c.decoy)) {
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(b));
        wish += b >= 0 ? std::string(1, b) : std::string(escaped);
      }
      connection += "FaultDriverDbms=SQLite;FaultDriverDatabase=" + wish + ";";
    }
    RunOptions options;
    options.workDir = work.Path();
    // In UTF-16, as the registry editor exports it: it takes a file without a byte order
    // mark for one in the system's code page.
    options.registryFile = work.File("meridex.reg");
    WriteFileBytes(options.registryFile,
                   Utf16LeFile(u"Windows Registry Editor Version 5.00\n\n"
                               u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora\\Meridex_4\\Database]\n\"MSSQLConnectString\"=\"" +
                               Wide(e2e::RegString(connection)) + u"\"\n"));
    RestrictToOwner(options.registryFile);
    options.input = "\nyes\n";
    const std::string decoy = ReadFileBytes(work.File("1070.db"));
    const std::vector<std::string> before = FolderNames(work.Path());
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, 0);
    if (opens) {
      EXPECT_NE(r.out.find(e2e::LineEnds(target, "1 records were deleted.\n")), std::string::npos) << r.out << r.err;
      EXPECT_EQ(db.RemainingIds(), std::vector<int>{2});
    } else {
      EXPECT_EQ(r.out.find("records were"), std::string::npos) << r.out;
      // SQLite opened the low bytes' file, or, where none exists, was kept from creating it.
      EXPECT_EQ(r.err.find("Failed to connect to DB "), 0u) << r.err;
      const char* why = c.present ? "reach the driver whole" : "was not found. Nothing was created.";
      EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
      if (c.decoy != nullptr) {
        EXPECT_NE(r.err.find("SQLite opened the file " + work.File(c.decoyShown) + ", not the database named, " + named),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(ReadFileBytes(work.File(c.decoy)), decoy);
      }
      EXPECT_EQ(db.RemainingIds(), (std::vector<int>{1, 2}));
    }
    EXPECT_EQ(ReadFileBytes(work.File("1070.db")), decoy);
    std::vector<std::string> after = FolderNames(work.Path());
    after.erase(std::remove(after.begin(), after.end(), "Vestrum.csv"), after.end());
    EXPECT_EQ(after, before);
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

// A list in a folder that any user may write (and that is not sticky) could be swapped
// while the question is on the screen: the Linux build refuses such a folder before the
// listing, naming it. Shared with a group, or sticky like /tmp, it is taken.
TEST(PosixListFolder, AFolderAnyoneMayChangeIsRefusedBeforeTheListing) {
  const ToolTarget target = e2e::TargetFromEnvironment();
  TestDatabase db(Backend::SQLite);
  ASSERT_TRUE(db.Insert({{1, u"old", std::nullopt, kOld, std::nullopt}}));
  TempDir registryDir;
  const std::string registry = e2e::WriteConnectionRegistry(registryDir.Path(), Narrow(db.ConnectionString()));
  const struct {
    const char* name;
    unsigned mode;
    const char* shown;  // the folder's name in the refusal
  } folders[] = {
      {"shared, folder", 0777u, "shared, folder"},
      // A byte that is not UTF-8 is marked as the byte it is, not as U+FFFD.
      {"w\xFF\x1b[2Kx", 0777u, "w<xFF><U+001B>[2Kx"},
      {"shared, folder", 0775u, nullptr},
      {"shared, folder", 01777u, nullptr},
  };
  for (const auto& folder : folders) {
    SCOPED_TRACE("row " + std::to_string(&folder - folders));
    TempDir work;
    const std::string parent = std::filesystem::canonical(work.Path()).string() + "/";
    const std::string dir = parent + folder.name;
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(dir.c_str(), folder.mode), 0);
    RunOptions options;
    options.workDir = dir;
    options.registryFile = registry;
    options.input = "\nyes\n";
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, 0);
    if (folder.shown != nullptr) {
      EXPECT_EQ(r.out, std::string(kBanner) + "Press any key to continue . . . \n\n");
      EXPECT_EQ(r.err, "Error:The list of records would be kept in " + parent + folder.shown +
                           ", a folder that any user may change (writable by all, not sticky), so the records were "
                           "not listed. Nothing was deleted.\n");
      EXPECT_TRUE(std::filesystem::is_empty(dir));
      EXPECT_EQ(db.RemainingIds(), std::vector<int>{1});
    } else {
      EXPECT_EQ(r.err, "");
      EXPECT_NE(r.out.find("1 records were deleted."), std::string::npos) << r.out;
      ASSERT_TRUE(db.Insert({{1, u"old", std::nullopt, kOld, std::nullopt}}));
    }
  }
}

// The list's own calls, as the Linux tool makes them (logged by a preloaded library): the
// file is made without a name, takes the permissions of the list it replaces, is written
// and flushed before it gets its name, and the folder is flushed after. Where the file
// system cannot make a file without a name, it gets one of its own first. A flush of the
// folder that fails after the rename is said as what it is: the new list is in place.
TEST(PosixListCalls, TheListIsOnDiskBeforeItHasItsNameAndTheFolderAfter) {
  const ToolTarget target = e2e::TargetFromEnvironment();
  TestDatabase db(Backend::SQLite);
  ASSERT_TRUE(db.Insert({{1, u"old", std::nullopt, kOld, std::nullopt}, {2, u"kept", std::nullopt, 0, std::nullopt}}));
  const std::vector<std::string> unnamed = {"open folder", "create unnamed", "mode 600", "write", "flush file",
                                            "link",        "rename",         "flush folder"};
  const std::vector<std::string> named = {"open folder", "create unnamed: refused", "create named", "mode 600",
                                          "write",       "flush file",              "rename",       "flush folder"};
  struct Case {
    const char* fail;
    std::vector<std::string> calls;
    std::string err;
  };
  const Case cases[] = {
      {"", unnamed, ""},
      {"unnamed", named, ""},
      {"folder", unnamed,
       "The list of records was written into: Vestrum.csv, but its folder could not be flushed to disk, so a crash "
       "of the system could lose it. Nothing was deleted.\nInput/output error\n"},
  };
  // NOTE: AddressSanitizer wants its runtime loaded first; the library preloaded here
  // intercepts nothing it needs.
  const std::string asan = std::string(std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "") +
                           ":verify_asan_link_order=0";
  ScopedEnvironmentVariable asanOptions("ASAN_OPTIONS", asan.c_str());
  ScopedEnvironmentVariable preload("LD_PRELOAD", MERIDEX_E2E_LIST_CALLS);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("failing: ") + c.fail);
    TempDir work;
    WriteFileBytes(work.File("Vestrum.csv"), "the previous list\n");
    ASSERT_EQ(chmod(work.File("Vestrum.csv").c_str(), 0600), 0);
    ScopedEnvironmentVariable log("MERIDEX_LIST_CALLS", work.File("calls.log").c_str());
    ScopedEnvironmentVariable fail("MERIDEX_LIST_CALLS_FAIL", c.fail);
    RunOptions options;
    options.workDir = work.Path();
    options.registryFile = e2e::WriteConnectionRegistry(work.Path(), Narrow(db.ConnectionString()));
    options.input = "\nno\n";
    const RunResult r = e2e::RunTool(target, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out.find("Are you sure") != std::string::npos, c.err.empty()) << r.out;
    std::vector<std::string> calls;
    const std::string logged = ReadFileBytes(work.File("calls.log"));
    for (std::size_t at = 0, end; at < logged.size(); at = end + 1) {
      end = logged.find('\n', at);
      calls.push_back(logged.substr(at, end - at));
    }
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(ReadFileBytes(work.File("Vestrum.csv")), std::string(kHeader) + "old\n");
    struct stat st;
    ASSERT_EQ(stat(work.File("Vestrum.csv").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Entries(work.Path()), (std::vector<std::string>{"Vestrum.csv", "calls.log", "meridex.reg"}));
  }
  EXPECT_EQ(db.RemainingIds(), (std::vector<int>{1, 2}));
}

// The list is being written when a signal ends the run (Ctrl+C, kill, a hang-up, a CPU
// limit, SIGKILL): nothing of the new list is left, the previous one is as it was. On the
// Linux build also where the file system cannot make a file without a name (but for
// SIGKILL, which nothing can follow).
TEST(EndToEndSQLite, EndedWhileListingLeavesNoNewFile) {
  const ToolTarget target = e2e::TargetFromEnvironment();
  TestDatabase db(Backend::SQLite);
  ASSERT_TRUE(db.Exec("INSERT INTO FileTree (FileID, FileName, OperationType) WITH RECURSIVE n(i) AS (SELECT 1 UNION "
                      "ALL SELECT i + 1 FROM n WHERE i < 300000) SELECT i, 'C:\\data\\file number ' || i, 18 FROM n"));
  const std::string asan = std::string(std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "") +
                           ":verify_asan_link_order=0";
  ScopedEnvironmentVariable asanOptions("ASAN_OPTIONS", asan.c_str());
  for (const bool withoutUnnamed : {false, true}) {
    if (withoutUnnamed && target.windows) continue;  // the preloaded library is the Linux build's
    ScopedEnvironmentVariable preload("LD_PRELOAD", withoutUnnamed ? MERIDEX_E2E_LIST_CALLS : "");
    ScopedEnvironmentVariable fail("MERIDEX_LIST_CALLS_FAIL", "unnamed");
    // SIGSEGV: the run's fault handler, as when a driver crashes mid-listing.
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGXCPU, SIGSEGV, SIGKILL}) {
      if (sig == SIGKILL && withoutUnnamed) continue;  // a name of its own cannot outlast that
      SCOPED_TRACE(std::string(strsignal(sig)) + (withoutUnnamed ? ", named file" : ""));
      TempDir work;
      const std::string dir = std::filesystem::canonical(work.Path()).string();
      WriteFileBytes(work.File("Vestrum.csv"), "the previous list\n");
      // Once the new list exists: a file beside it, or one without a name that the tool holds.
      const auto listing = [&] {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
          if (entry.path().extension() == ".tmp") return true;
        }
        const std::string fds = "/proc/" + std::to_string(e2e::RunningTool()) + "/fd";
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(fds, ignored)) {
          const std::string to = std::filesystem::read_symlink(entry.path(), ignored).string();
          if (to.rfind(dir + "/", 0) == 0 && to.find("(deleted)") != std::string::npos) return true;
        }
        return false;
      };
      bool seen = false;
      RunOptions options;
      options.workDir = work.Path();
      options.registryFile = e2e::WriteConnectionRegistry(work.Path(), Narrow(db.ConnectionString()) + "StepAPI=1;");
      options.steps = {{"", nullptr, "\n"},
                       {"Searching for old records",
                        [&] {
                          for (int i = 0; i < 20000 && !(seen = listing()); ++i) usleep(200);
                          // Rows are being listed into it by now. NOTE: the Windows build
                          // marks its new file for deletion one call after making it.
                          usleep(50000);
                          kill(e2e::RunningTool(), sig);
                        },
                        ""}};
      const RunResult r = e2e::RunTool(target, options);
      EXPECT_TRUE(seen) << "the signal was meant to land while the list is written";
      EXPECT_EQ(r.out.find("old records were found"), std::string::npos) << r.out;
      // NOTE: under Wine the handles of a process that was ended are closed by Wine's
      // server once it sees the process gone, a moment after it is.
      const std::vector<std::string> expected = {"Vestrum.csv", "meridex.reg"};
      for (int i = 0; i < 100 && target.windows && Entries(work.Path()) != expected; ++i) usleep(100000);
      EXPECT_EQ(ReadFileBytes(work.File("Vestrum.csv")), "the previous list\n");
      EXPECT_EQ(Entries(work.Path()), expected);
    }
  }
  EXPECT_EQ(db.RemainingIds().size(), 300000u);
}

}  // namespace
