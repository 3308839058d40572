#pragma once
// Real databases for tests: a SQLite file through the SQLite3 ODBC driver, and a fresh
// database on the servers that scripts/test starts: PostgreSQL through psqlODBC
// ($MERIDEX_TEST_PG) and MariaDB through MariaDB Connector/ODBC ($MERIDEX_TEST_MARIA),
// each a connection string without a database name. One set of test bodies runs against
// all of them; the backend decides only the connection string and the schema file.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "strandlink.h"

namespace testing_support {

enum class Backend { SQLite, PostgreSQL, MariaDB };

std::vector<Backend> AllBackends();
std::string BackendName(Backend backend);
// For INSTANTIATE_TEST_SUITE_P's name generator.
struct BackendParamName {
  template <class ParamInfo>
  std::string operator()(const ParamInfo& info) const {
    return BackendName(info.param);
  }
};

// One FileTree row as a test writes it; an empty optional is NULL.
struct TestRow {
  int id = 0;
  std::u16string name;
  std::optional<std::string> identification;
  int operationType = 0;
  std::optional<std::string> data;
};

class TestDatabase {
 public:
  // A new, empty database of the backend; with the Meridex schema (schema version 4) when
  // withSchema is set.
  // serverBase: another server's connection string (no Database=); default the backend's
  // test server (ServerBase).
  explicit TestDatabase(Backend backend, bool withSchema = true, const std::string& serverBase = std::string());
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  Backend Kind() const { return m_backend; }
  const std::u16string& ConnectionString() const { return m_connection; }
  // Runs statements separated by ';' on the setup connection; a failure fails the test
  // with the driver's message and returns false.
  bool Exec(const std::string& sql);
  // Inserts rows with bound parameters, in one transaction.
  bool Insert(const std::vector<TestRow>& rows);
  // The FileIDs left in FileTree, ascending.
  std::vector<int> RemainingIds();
  // The first column of the first row, as text ("" for NULL or no row).
  std::string Scalar(const std::string& sql);
  CODBCDatabase& Connection() { return m_db; }
  // A new setup connection, for after the server was restarted under the old one.
  bool Reconnect();
  // Lets FileName and FileIdentification hold values of any length, beyond the
  // production columns' 260 characters and 1000 bytes, for tests of what a longer
  // stored value does.
  bool WidenColumns();
  // The schema file of this backend, as text.
  std::string SchemaText() const;

 private:
  Backend m_backend;
  std::unique_ptr<TempDir> m_dir;
  std::string m_name;  // database name on a server
  std::string m_base;  // the server's connection string, without a database
  std::u16string m_connection;
  CODBCDatabase m_db;
};

// The test server's base connection string (no Database=) of a server backend, from
// $MERIDEX_TEST_PG or $MERIDEX_TEST_MARIA.
std::string ServerBase(Backend backend);
std::string PostgresBase();

}  // namespace testing_support
