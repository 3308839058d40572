#include <gtest/gtest.h>

#include <filesystem>

#include "Databases.h"
#include "strandlink.h"

using namespace testing_support;

namespace {

class DatabaseTest : public ::testing::TestWithParam<Backend> {};

std::string ErrorOf(const CODBCDatabase& db) {
  _SQL_Error error;
  return db.GetError(error) ? Narrow(error.message) : std::string("(none)");
}

TEST_P(DatabaseTest, ConnectsAndCloses) {
  TestDatabase fixture(GetParam());
  CODBCDatabase db;
  EXPECT_EQ(db.IsConnected(), 0);
  ASSERT_NE(db.DriverConnect(fixture.ConnectionString().c_str(), nullptr, nullptr, sqlNoPrompt), 0) << ErrorOf(db);
  EXPECT_NE(db.IsConnected(), 0);
  _SQL_Error error;
  EXPECT_FALSE(db.GetError(error));
  db.Close();
  EXPECT_EQ(db.IsConnected(), 0);
  db.Close();  // closing twice is harmless
  EXPECT_EQ(db.IsConnected(), 0);
}

TEST_P(DatabaseTest, ReconnectingClosesTheOldConnectionFirst) {
  TestDatabase fixture(GetParam());
  CODBCDatabase db;
  ASSERT_NE(db.DriverConnect(fixture.ConnectionString().c_str(), nullptr, nullptr, sqlNoPrompt), 0);
  // A temporary table lives exactly as long as its connection.
  _SQL_Error error;
  ASSERT_NE(db.Execute(u"CREATE TEMPORARY TABLE Marker (x INTEGER)", error), 0) << Narrow(error.message);
  ASSERT_NE(db.DriverConnect(fixture.ConnectionString().c_str(), nullptr, nullptr, sqlNoPrompt), 0);
  EXPECT_NE(db.IsConnected(), 0);
  EXPECT_EQ(db.Execute(u"SELECT x FROM Marker", error), 0) << "the first connection is still open";
}

TEST_P(DatabaseTest, ExecuteFillsTheErrorRecordOnABadStatement) {
  TestDatabase fixture(GetParam());
  CODBCDatabase& db = fixture.Connection();
  _SQL_Error error;
  EXPECT_EQ(error.recordNumber, 1);
  EXPECT_EQ(db.Execute(u"DELETE FROM NoSuchTable WHERE 1 = 1", error), 0);
  const std::string message = Narrow(error.message);
  EXPECT_NE(Lower(message).find("nosuchtable"), std::string::npos) << message;
  EXPECT_EQ(error.returnCode, SQL_ERROR);
  EXPECT_EQ(std::char_traits<char16_t>::length(error.sqlState), 5u);
  _SQL_Error again;
  ASSERT_TRUE(db.GetError(again));
  EXPECT_EQ(Narrow(again.message), message);
}

TEST_P(DatabaseTest, ExecuteSucceedsWhenNoRowMatches) {
  TestDatabase fixture(GetParam());
  _SQL_Error error;
  EXPECT_NE(fixture.Connection().Execute(u"DELETE FROM FileTree WHERE OperationType = 12345", error), 0);
  EXPECT_FALSE(fixture.Connection().GetError(error));
}

TEST_P(DatabaseTest, ExecuteOnAClosedConnectionFails) {
  CODBCDatabase db;
  _SQL_Error error;
  EXPECT_EQ(db.Execute(u"SELECT 1", error), 0);
  EXPECT_NE(Narrow(error.message).find("not open"), std::string::npos);
}

struct VersionCase {
  const char* name;
  const char* setup;  // run after the schema
  bool accepted;
  const char* messagePart;
};

TEST_P(DatabaseTest, TestDBVersionAcceptsOnlyVersionFour) {
  const VersionCase cases[] = {
      {"four", "", true, ""},
      {"three", "UPDATE SchemaVersion SET Version = 3", false, "Schema version 3 found, version 4 expected."},
      {"five", "UPDATE SchemaVersion SET Version = 5", false, "Schema version 5 found, version 4 expected."},
      {"no row", "DELETE FROM SchemaVersion", false, "holds no version; version 4 expected."},
      {"two rows", "INSERT INTO SchemaVersion (Version) VALUES (4)", false, "more than one row"},
      {"missing table", "DROP TABLE SchemaVersion", false, "SchemaVersion"},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(c.name);
    TestDatabase fixture(GetParam());
    if (*c.setup) {
      ASSERT_TRUE(fixture.Exec(c.setup));
    }
    CODBCDatabase db;
    ASSERT_NE(db.DriverConnect(fixture.ConnectionString().c_str(), nullptr, nullptr, sqlNoPrompt), 0);
    const long result = TestDBVersion(&db);
    _SQL_Error error;
    if (c.accepted) {
      EXPECT_EQ(result, 0);
      EXPECT_FALSE(db.GetError(error));
    } else {
      EXPECT_NE(result, 0);
      ASSERT_TRUE(db.GetError(error));
      EXPECT_NE(Lower(Narrow(error.message)).find(Lower(c.messagePart)), std::string::npos) << Narrow(error.message);
    }
  }
}

// Only a value equal to 4 passes, whatever the column's type; the refusal shows it.
TEST_P(DatabaseTest, TestDBVersionComparesTheValueExactly) {
  struct Row {
    const char* type;
    const char* value;
    const char* refusal;  // empty: accepted
  };
  const Row rows[] = {
      {"VARCHAR(60)", "'4'", ""},
      {"FLOAT", "4", ""},
      {"VARCHAR(60)", "'4abc'", "Schema version '4abc' found, version 4 expected."},
      {"VARCHAR(60)", "' 4'", "Schema version ' 4' found"},
      {"VARCHAR(60)", "'4000000000000000000000000000000000000000000000000000'",
       "Schema version '4000000000000000000000000000000000000000...' found"},
      {"FLOAT", "4.5", "Schema version 4.5 found"},
      {"FLOAT", "4.9999", "Schema version 4.9999 found"},
  };
  TestDatabase fixture(GetParam());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value);
    ASSERT_TRUE(fixture.Exec(std::string("DROP TABLE SchemaVersion; CREATE TABLE SchemaVersion (Version ") + row.type +
                             "); INSERT INTO SchemaVersion VALUES (" + row.value + ")"));
    CODBCDatabase db;
    ASSERT_NE(db.DriverConnect(fixture.ConnectionString().c_str(), nullptr, nullptr, sqlNoPrompt), 0);
    _SQL_Error error;
    EXPECT_EQ(TestDBVersion(&db) == 0, *row.refusal == '\0');
    EXPECT_EQ(db.GetError(error), *row.refusal != '\0');
    EXPECT_NE(Narrow(error.message).find(row.refusal), std::string::npos) << Narrow(error.message);
  }
}

TEST_P(DatabaseTest, TransactionsCommitRollBackAndCountRows) {
  TestDatabase fixture(GetParam());
  ASSERT_TRUE(fixture.Insert({{1, u"a", std::nullopt, 18, std::nullopt},
                              {2, u"b", std::nullopt, 18, std::nullopt},
                              {3, u"c", std::nullopt, 0, std::nullopt}}));
  CODBCDatabase db;
  ASSERT_NE(db.DriverConnect(fixture.ConnectionString().c_str(), nullptr, nullptr, sqlNoPrompt), 0);
  _SQL_Error error;
  SQLLEN rows = 0;
  // Rolled back: the rows stay, and the count said what would have gone.
  ASSERT_NE(db.BeginTransaction(error), 0) << Narrow(error.message);
  ASSERT_NE(db.Execute(u"DELETE FROM FileTree WHERE OperationType = 18", error, &rows), 0) << Narrow(error.message);
  EXPECT_EQ(rows, 2);
  ASSERT_NE(db.EndTransaction(false, error), 0);
  EXPECT_EQ(fixture.RemainingIds(), (std::vector<int>{1, 2, 3}));
  // A connection closed inside a transaction undoes it.
  ASSERT_NE(db.BeginTransaction(error), 0);
  ASSERT_NE(db.Execute(u"DELETE FROM FileTree WHERE FileID = 3", error, &rows), 0);
  db.Close();
  EXPECT_EQ(fixture.RemainingIds(), (std::vector<int>{1, 2, 3}));
  // Committed, at the isolation level the run asks for; a second transaction cannot
  // begin inside the first.
  ASSERT_NE(db.DriverConnect(fixture.ConnectionString().c_str(), nullptr, nullptr, sqlNoPrompt), 0);
  ASSERT_NE(db.BeginTransaction(error, SQL_TXN_SERIALIZABLE), 0) << Narrow(error.message);
  EXPECT_EQ(db.BeginTransaction(error), 0);
  ASSERT_NE(db.Execute(u"DELETE FROM FileTree WHERE OperationType = 18", error, &rows), 0);
  ASSERT_NE(db.EndTransaction(true, error), 0) << Narrow(error.message);
  EXPECT_EQ(fixture.RemainingIds(), std::vector<int>{3});
  // A statement that matches nothing counts 0; ending a transaction never begun fails.
  ASSERT_NE(db.Execute(u"DELETE FROM FileTree WHERE OperationType = 18", error, &rows), 0);
  EXPECT_EQ(rows, 0);
  EXPECT_EQ(db.EndTransaction(true, error), 0);
}

// A database path that is not ASCII, with the completed connection string asked back:
// both come through whole (on Linux the SQLite3 driver, which has only the narrow calls,
// is given them as UTF-8), and it is the database there that opens, not a new one.
TEST(DatabaseSQLite, PathThatIsNotAsciiAndTheCompletedString) {
  TestDatabase fixture(Backend::SQLite);
  std::u16string connection = fixture.ConnectionString();
  const std::size_t at = connection.find(u"Database=") + 9;
  const std::u16string file = connection.substr(at, connection.find(u';', at) - at);
  const std::u16string named = file.substr(0, file.find_last_of(u"/\\") + 1) + u"B\u00e9.db";
  std::filesystem::create_hard_link(std::filesystem::path(file), std::filesystem::path(named));
  connection.replace(at, file.size(), named);
  CODBCDatabase db;
  char16_t completed[1024] = {};
  ASSERT_NE(db.DriverConnect(connection.c_str(), completed, nullptr, sqlNoPrompt), 0) << ErrorOf(db);
  EXPECT_NE(std::u16string(completed).find(named), std::u16string::npos) << Narrow(completed);
  _SQL_Error error;
  EXPECT_NE(db.Execute(u"UPDATE SchemaVersion SET Version = Version", error), 0) << Narrow(error.message);
}

INSTANTIATE_TEST_SUITE_P(Backends, DatabaseTest, ::testing::ValuesIn(AllBackends()), BackendParamName());

struct RefusalCase {
  const char* name;
  std::string connection;
  const char* messagePart;  // what the driver's (or driver manager's) message mentions
};

TEST(DatabaseRefusal, DriverMessageReachesTheErrorRecord) {
  std::vector<RefusalCase> cases = {{"missing driver", "Driver={No Such Driver};Database=x;", "No Such Driver"}};
  for (Backend server : {Backend::PostgreSQL, Backend::MariaDB}) {
    const std::string base = ServerBase(server);
    const std::string port = Env(server == Backend::MariaDB ? "MERIDEX_TEST_MARIA_PORT" : "MERIDEX_TEST_PG_PORT");
    std::string wrongPassword = base;
    wrongPassword.replace(wrongPassword.find("Pwd="), std::string::npos, "Pwd=not-the-password;");
    std::string refusedPort = base;
    refusedPort.replace(refusedPort.find("Port=" + port), 5 + port.size(), "Port=1");
    // psqlODBC: 'password authentication failed', 'Connection refused'; MariaDB:
    // 'Access denied ... (using password: YES)', 'Can't connect to server on ...'.
    cases.push_back({"wrong password", wrongPassword, "password"});
    cases.push_back({"refused port", refusedPort, "onnect"});
  }
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": " + c.connection);
    CODBCDatabase db;
    EXPECT_EQ(db.DriverConnect(Wide(c.connection).c_str(), nullptr, nullptr, sqlNoPrompt), 0);
    EXPECT_EQ(db.IsConnected(), 0);
    _SQL_Error error;
    ASSERT_TRUE(db.GetError(error));
    const std::string message = Narrow(error.message);
    EXPECT_FALSE(message.empty());
    // The record holds the message without the line end some drivers give it.
    EXPECT_TRUE(message.find_last_of("\r\n") == std::string::npos || message.find_last_of("\r\n") < message.size() - 1)
        << message;
    EXPECT_NE(Lower(message).find(Lower(c.messagePart)), std::string::npos) << message;
  }
}

TEST(DatabaseRefusal, EmptyConnectionStringIsPassedThrough) {
  CODBCDatabase db;
  EXPECT_EQ(db.DriverConnect(u"", nullptr, nullptr, sqlNoPrompt), 0);
  _SQL_Error error;
  ASSERT_TRUE(db.GetError(error));
  // The driver manager's refusal: no data source or driver named.
  EXPECT_STRNE(Narrow(error.message).c_str(), "");
  EXPECT_EQ(Narrow(error.sqlState), "IM002");
}

}  // namespace
