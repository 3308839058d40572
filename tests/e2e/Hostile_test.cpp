// Rows of every hostile shape, listed and deleted by the built tool: names of every
// awkward length and character, identifications of every length, long fields from empty
// to 64 MiB. Nothing crashes, every row is listed exactly once, and "yes" deletes them.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Databases.h"
#include "TestSupport.h"
#include "ToolRunner.h"

using namespace testing_support;

namespace {

constexpr int kOld = 18;

class HostileRows : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    target = e2e::TargetFromEnvironment();
    db = std::make_unique<TestDatabase>(GetParam());
    ASSERT_TRUE(db->WidenColumns());
  }
  // more: options after the database in the connection string.
  e2e::RunResult Run(const std::string& more = std::string()) {
    const std::string registry = e2e::WriteConnectionRegistry(work.Path(), Narrow(db->ConnectionString()) + more);
    e2e::RunOptions options;
    options.workDir = work.Path();
    options.registryFile = registry;
    options.input = "\nyes\n";
    options.timeoutSeconds = 600;
    return e2e::RunTool(target, options);
  }
  e2e::ToolTarget target;
  TempDir work;
  std::unique_ptr<TestDatabase> db;
};

TEST_P(HostileRows, NamesOfEveryShape) {
  struct Case {
    std::u16string stored;
    std::string listed;  // UTF-8, as the list shows it
  };
  std::vector<Case> cases = {
      {u"", ""},
      {std::u16string(260, u'a'), std::string(260, 'a')},
      {std::u16string(261, u'b'), std::string(260, 'b') + "<cut>"},
      {std::u16string(10000, u'c'), std::string(260, 'c') + "<cut>"},
      {u"comma, \"quotes\", 'apostrophes'", "comma, <U+0022>quotes<U+0022>, 'apostrophes'"},
      {u"\u00fc\u00df \u4e2d\u6587 \U0001F600", "\xc3\xbc\xc3\x9f \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x98\x80"},
      // Whatever would break the line, move the cursor, erase or reorder what is shown.
      {u"line\r\nbreak", "line<U+000D><U+000A>break"},
      {u"line\nfeed", "line<U+000A>feed"},  // psqlODBC's text with LFConversion=1, as given below: CR LF
      {u"tab\there", "tab<U+0009>here"},
      {u"x\x1b[1A\x1b[2K\rpayroll-2026.xlsx", "x<U+001B>[1A<U+001B>[2K<U+000D>payroll-2026.xlsx"},
      {u"invoice\u202etxt.exe \u2066x\u2069\u200b\ufeff", "invoice<U+202E>txt.exe <U+2066>x<U+2069><U+200B><U+FEFF>"},
      {u"c1\u0085\u009b del\x7f", "c1<U+0085><U+009B> del<U+007F>"},
      {u"a<U+000A>b", "a<U+003C>U+000A>b"},
      // What shows as nothing or as a blank, a quote a CSV reader would take for a field's
      // start, a last space that Windows would not keep, a cut that would split a pair.
      {u"report\u034f.pdf \u00a0\u3164\ufe0f\u2000", "report<U+034F>.pdf <U+00A0><U+3164><U+FE0F><U+2000>"},
      {u"report\u2800.pdf trail\u2800", "report<U+2800>.pdf trail<U+2800>"},  // a blank by its name only
      {u"\"notes.txt", "<U+0022>notes.txt"},
      {u"readme\"", "readme<U+0022>"},
      {u"trailing ", "trailing<U+0020>"},
      {std::u16string(259, u'c') + u"\U0001F600", std::string(259, 'c') + "<cut>"},
  };
  if (GetParam() == Backend::SQLite) {
    // Half of a surrogate pair, which only SQLite stores (its driver writes the three
    // bytes of the unit, which are not UTF-8): listed as those bytes.
    cases.push_back({u"lone" + std::u16string(1, char16_t(0xD800)) + u".dat", "lone<xED><xA0><x80>.dat"});
  }
  if (GetParam() == Backend::MariaDB) {
    // MariaDB's driver ends its wide text at the NUL; the stored bytes go on.
    cases.push_back({std::u16string(u"ab\0cd", 5), "ab<U+0000>cd"});
  }
  std::vector<TestRow> rows;
  // One line per name, whatever it holds; only the line ends are the build's.
  const std::string lineEnd = e2e::LineEnds(target, "\n");
  std::string expected = "File Name, File Write Time" + lineEnd;
  int id = 1;
  for (const Case& c : cases) {
    rows.push_back({id++, c.stored, std::nullopt, kOld, std::nullopt});
    expected += c.listed + lineEnd;
  }
  rows.push_back({id++, u"kept", std::nullopt, 0, std::nullopt});
  ASSERT_TRUE(db->Insert(rows));
  if (GetParam() == Backend::SQLite) {
    // Bytes that are not UTF-8, which only SQLite stores: each one shows as its value,
    // none vanishes; and a NUL, which its driver's text ends at (and its parameters too, so
    // the database makes both). Listed last (SQLite lists by key).
    ASSERT_TRUE(db->Exec("INSERT INTO FileTree (FileID, FileName, OperationType) VALUES (1000, "
                         "CAST(X'696E76616C6964FFFE80C0AF2E646174' AS TEXT), 18), (1001, CAST(X'6162006364' AS TEXT), 18), "
                         // A sequence cut short, and one beyond U+10FFFF, which the driver's
                         // own text takes for other characters.
                         "(1002, CAST(X'62E28263' AS TEXT), 18), (1003, CAST(X'78F49080802E747874' AS TEXT), 18)"));
    expected += "invalid<xFF><xFE><x80><xC0><xAF>.dat" + lineEnd + "ab<U+0000>cd" + lineEnd + "b<xE2><x82>c" + lineEnd +
                "x<xF4><x90><x80><x80>.txt" + lineEnd;
    cases.resize(cases.size() + 4);
  }
  const e2e::RunResult r = Run(GetParam() == Backend::PostgreSQL ? "LFConversion=1;" : "");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(std::to_string(cases.size()) + " records were deleted."), std::string::npos) << r.out << r.err;
  EXPECT_EQ(ReadFileBytes(work.File("Vestrum.csv")), expected);
  EXPECT_EQ(db->RemainingIds(), std::vector<int>{id - 1});
}

TEST_P(HostileRows, IdentificationsOfEveryLength) {
  std::vector<TestRow> rows;
  std::string expected = "File Name, File Write Time\n";
  rows.push_back({1, u"null", std::nullopt, kOld, std::nullopt});
  expected += "null\n";
  for (int length = 0; length <= 2000; ++length) {
    std::string identification(static_cast<std::size_t>(length), '\0');
    if (length >= 32) identification[31] = 0x01;  // a last-write time of 2^56 ticks
    rows.push_back({length + 2, u"len" + Wide(std::to_string(length)), identification, kOld, std::nullopt});
    expected += "len" + std::to_string(length) + (length == 112 ? ",05/05/1829  23:50\n" : "\n");
  }
  ASSERT_TRUE(db->Insert(rows));
  const e2e::RunResult r = Run();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("2002 records were deleted."), std::string::npos) << r.out << r.err;
  const std::string list = ReadFileBytes(work.File("Vestrum.csv"));
  EXPECT_EQ(list, e2e::LineEnds(target, expected));
  EXPECT_TRUE(db->RemainingIds().empty());
}

TEST_P(HostileRows, LongFieldsFromNothingToSixtyFourMebibytes) {
  std::string big(64u << 20, '\0');
  for (std::size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i >> 12);
  ASSERT_TRUE(db->Insert({{1, u"null data", std::nullopt, kOld, std::nullopt},
                          {2, u"empty data", std::nullopt, kOld, std::string()},
                          {3, u"big data", std::nullopt, kOld, big},
                          {4, u"after big", std::nullopt, kOld, std::string("x")}}));
  big.clear();
  big.shrink_to_fit();
  const e2e::RunResult r = Run();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("4 records were deleted."), std::string::npos) << r.out << r.err;
  EXPECT_EQ(ReadFileBytes(work.File("Vestrum.csv")),
            e2e::LineEnds(target, "File Name, File Write Time\nnull data\nempty data\nbig data\nafter big\n"));
  EXPECT_TRUE(db->RemainingIds().empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, HostileRows, ::testing::ValuesIn(AllBackends()), BackendParamName());

// A MariaDB name is listed as the characters its column's character set makes of its
// bytes; bytes of no character set as they are; a character that has no Unicode
// counterpart as U+FFFD, a '?' stored as itself.
using ColumnCharacterSets = HostileRows;

TEST_P(ColumnCharacterSets, NamesAreDecodedInTheirColumnsCharacterSet) {
  struct Case {
    const char* column;
    std::vector<const char*> stored;  // the names' bytes
    std::string listed;
  };
  const Case cases[] = {
      // MariaDB's latin1 is Windows' 1252.
      {"VARCHAR(260) CHARACTER SET latin1", {"636166E92E747874", "636166C3A92E747874", "80"},
       "caf\xc3\xa9.txt\ncaf\xc3\x83\xc2\xa9.txt\n\xe2\x82\xac\n"},
      {"VARCHAR(260) CHARACTER SET utf16", {"007200650070006F00720074002E007400780074", "D83DDE00"},
       "report.txt\n\xf0\x9f\x98\x80\n"},
      // 81 is no character of Windows' 1250.
      {"VARCHAR(260) CHARACTER SET cp1250", {"61816263", "3F3F"}, "a\xef\xbf\xbd" "bc\n??\n"},
      {"VARBINARY(1040)", {"636166E92E747874", "3F"}, "caf<xE9>.txt\n?\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.column);
    ASSERT_TRUE(db->Exec(std::string("ALTER TABLE FileTree MODIFY FileName ") + c.column + " NOT NULL"));
    std::string values;
    int id = 1;
    for (const char* name : c.stored) {
      values += (values.empty() ? "(" : ", (") + std::to_string(id++) + ", X'" + name + "', 18)";
    }
    ASSERT_TRUE(db->Exec("INSERT INTO FileTree (FileID, FileName, OperationType) VALUES " + values));
    const e2e::RunResult r = Run();
    EXPECT_NE(r.out.find(std::to_string(id - 1) + " records were deleted."), std::string::npos) << r.out << r.err;
    EXPECT_EQ(ReadFileBytes(work.File("Vestrum.csv")), e2e::LineEnds(target, "File Name, File Write Time\n" + c.listed));
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, ColumnCharacterSets, ::testing::Values(Backend::MariaDB), BackendParamName());

// A SQLite database that stores its text as UTF-16 (what sqlite3_open16 makes): a name's
// stored bytes are UTF-16 units, and are listed as such.
TEST(HostileSQLite, DatabaseStoredAsUtf16) {
  const e2e::ToolTarget target = e2e::TargetFromEnvironment();
  TempDir work;
  // Made by SQLite's own shell: the ODBC driver writes to a new database before any
  // statement can choose its encoding. A NUL, and half of a surrogate pair, which the
  // driver's text could not carry.
  const std::string path = work.File("utf16.db");
  WriteFileBytes(work.File("make.sql"),
                 "PRAGMA encoding = 'UTF-16le';\n" + TestDatabase(Backend::SQLite, false).SchemaText() +
                     ";\nINSERT INTO FileTree (FileID, FileName, OperationType) VALUES "
                     "(1, CAST(X'E9007400E90020003DD800DE' AS TEXT), 18), (2, CAST(X'6100620000006300640000' AS TEXT), 18), "
                     "(3, CAST(X'00D8' AS TEXT), 18);\n");
  ASSERT_EQ(std::system(("sqlite3 " + path + " < " + work.File("make.sql")).c_str()), 0);
  e2e::RunOptions options;
  options.workDir = work.Path();
  options.registryFile = e2e::WriteConnectionRegistry(work.Path(), "Driver=SQLite3;Database=" + path + ";");
  options.input = "\nyes\n";
  const e2e::RunResult r = e2e::RunTool(target, options);
  EXPECT_NE(r.out.find("3 records were deleted."), std::string::npos) << r.out << r.err;
  EXPECT_EQ(ReadFileBytes(work.File("Vestrum.csv")),
            e2e::LineEnds(target, "File Name, File Write Time\n\xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80\nab<U+0000>cd\n<U+D800>\n"));
}

// A long field far larger than the tool's memory should ever be: the listing and the
// check never ask for FileData, so a driver that streams hands the tool none of it.
// (MariaDB's driver holds every row it is sent; there the statement not asking for the
// column is all there is to it.)
using LargeLongField = HostileRows;

TEST_P(LargeLongField, ListedAndDeletedInLittleMemory) {
  const std::string bytes = std::to_string(256 << 20);
  // Made by the database itself: cheaper than sending it.
  const std::string value = GetParam() == Backend::SQLite ? "zeroblob(" + bytes + ")"
                                                         : "convert_to(repeat('x', " + bytes + "), 'UTF8')";
  ASSERT_TRUE(db->Exec("INSERT INTO FileTree (FileID, FileName, OperationType, FileData) VALUES (1, 'big', 18, " +
                       value + ")"));
  ASSERT_TRUE(db->Insert({{2, u"small", std::nullopt, kOld, std::string("x")}, {3, u"kept", std::nullopt, 0, std::nullopt}}));
  ASSERT_EQ(db->Scalar("SELECT length(FileData) FROM FileTree WHERE FileID = 1"), bytes);
  const e2e::RunResult r = Run();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("2 records were deleted."), std::string::npos) << r.out << r.err;
  EXPECT_EQ(ReadFileBytes(work.File("Vestrum.csv")), e2e::LineEnds(target, "File Name, File Write Time\nbig\nsmall\n"));
  EXPECT_EQ(db->RemainingIds(), std::vector<int>{3});
  // Under valgrind or the sanitizers (their builds run with ASAN_OPTIONS set) the peak
  // is theirs: the sanitized harness's quarantine, which its child shares until it runs
  // the tool, alone passes 300 MiB.
  if (Env("MERIDEX_E2E_VALGRIND").empty() && Env("ASAN_OPTIONS").empty()) {
    EXPECT_LT(r.peakKiB, 64 * 1024) << "KiB at the peak";
  }
}

INSTANTIATE_TEST_SUITE_P(StreamingBackends, LargeLongField, ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         BackendParamName());

}  // namespace
