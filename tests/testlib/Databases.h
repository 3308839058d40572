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

#include "NodeLock.h"
#include "TestSupport.h"
#include "strandlink.h"

namespace testing_support {

// Galera: a three-node MariaDB Galera cluster ($MERIDEX_TEST_GALERA_1..3). The tool is
// given node 1; the test's own connection, the other session, is on node 2.
enum class Backend { SQLite, PostgreSQL, MariaDB, Galera };

// MariaDB's server, alone or as a node of a Galera cluster.
inline bool IsMariaDB(Backend backend) { return backend == Backend::MariaDB || backend == Backend::Galera; }

std::vector<Backend> AllBackends();
// Those and the Galera cluster: for the tables of what other sessions do meanwhile.
std::vector<Backend> AllBackendsAndCluster();
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
  // What the tool is given (node 1 on a cluster).
  const std::u16string& ConnectionString() const { return m_connection; }
  // The same database on node `node` (1 to 3) of a cluster; the connection string elsewhere.
  std::u16string NodeConnectionString(int node) const;
  // Runs statements separated by ';' on the setup connection; a failure fails the test
  // with the driver's message and returns false.
  bool Exec(const std::string& sql);
  // Inserts rows with bound parameters, in one transaction.
  bool Insert(const std::vector<TestRow>& rows);
  // The FileIDs left in FileTree, ascending. On a cluster, read on every node once it has
  // applied what the cluster committed; nodes that differ fail the test.
  std::vector<int> RemainingIds();
  // The first column of the first row, as text ("" for NULL or no row).
  std::string Scalar(const std::string& sql);
  // The same on another connection.
  static std::string ScalarOn(CODBCDatabase& db, const std::string& sql);
  // The same on the server the tool is given (node 1 of a cluster).
  std::string ScalarOnToolsServer(const std::string& sql);
  CODBCDatabase& Connection() { return m_db; }
  CODBCDatabase& ToolsServer() { return m_peers.empty() ? m_db : *m_peers[0]; }
  // Cuts node 3 off the cluster until it is no longer ready (it refuses statements on
  // tables), or lets it join again and waits until it is synced. Node 3 is the other
  // test process's too: each cluster database holds a shared lock on it, and this takes
  // it alone meanwhile. False when the node did not get there within 60 s.
  bool IsolateNode3(bool isolated);
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
  // A cluster's nodes 1 and 3, each reading only once it has applied what the cluster
  // committed before (wsrep_sync_wait), as the setup connection on node 2 does.
  std::vector<std::unique_ptr<CODBCDatabase>> m_peers;
  CNodeLock m_node3;
  // After a change made on node 2: once node 1 has applied it, the tool sees it.
  void AwaitPeers();
};

// The test server's base connection string (no Database=) of a server backend, from
// $MERIDEX_TEST_PG, $MERIDEX_TEST_MARIA or $MERIDEX_TEST_GALERA_<node>.
std::string ServerBase(Backend backend, int node = 1);
std::string PostgresBase();

}  // namespace testing_support
