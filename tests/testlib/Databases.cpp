#include "Databases.h"

#include "SqlScript.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>
#include <stdexcept>

namespace testing_support {

namespace {

std::atomic<unsigned> g_databases{0};

std::string ErrorText(CODBCDatabase& db) {
  _SQL_Error error;
  if (!db.GetError(error)) return "(no error record)";
  return Narrow(error.message);
}

bool Connect(CODBCDatabase& db, const std::u16string& connection) {
  return db.DriverConnect(connection.c_str(), nullptr, nullptr, sqlNoPrompt) != 0;
}

void ReadStatementError(SQLHSTMT stmt, _SQL_Error& error) {
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  error.message[0] = 0;
  SQLGetDiagRecW(SQL_HANDLE_STMT, stmt, 1, AsSqlText(error.sqlState), &native, AsSqlText(error.message), 1023, &length);
}

}  // namespace

std::vector<Backend> AllBackends() { return {Backend::SQLite, Backend::PostgreSQL, Backend::MariaDB}; }

std::vector<Backend> AllBackendsAndCluster() {
  std::vector<Backend> backends = AllBackends();
  backends.push_back(Backend::Galera);
  return backends;
}

std::string BackendName(Backend backend) {
  switch (backend) {
    case Backend::SQLite: return "SQLite";
    case Backend::PostgreSQL: return "PostgreSQL";
    case Backend::MariaDB: return "MariaDB";
    case Backend::Galera: return "Galera";
  }
  return "?";
}

std::string ServerBase(Backend backend, int node) {
  const std::string galera = "MERIDEX_TEST_GALERA_" + std::to_string(node);
  const char* variable = backend == Backend::MariaDB  ? "MERIDEX_TEST_MARIA"
                         : backend == Backend::Galera ? galera.c_str()
                                                      : "MERIDEX_TEST_PG";
  const std::string base = Env(variable);
  if (base.empty()) {
    throw std::runtime_error(std::string(variable) +
                             " is not set: run the tests through scripts/test, which starts the test servers");
  }
  return base;
}

std::string PostgresBase() { return ServerBase(Backend::PostgreSQL); }

namespace {

// The database every server has, to create and drop the tests' own from.
std::string AdminDatabase(Backend backend) {
  return IsMariaDB(backend) ? "Database=mysql;" : "Database=postgres;";
}

}  // namespace

TestDatabase::TestDatabase(Backend backend, bool withSchema, const std::string& serverBase)
    : m_backend(backend), m_base(serverBase) {
  if (backend == Backend::SQLite) {
    m_dir = std::make_unique<TempDir>();
    m_connection = Wide("Driver=SQLite3;Database=" + m_dir->File("meridex.db") + ";");
  } else {
    const auto stamp = std::chrono::system_clock::now().time_since_epoch().count() % 100000000;
    std::ostringstream name;
    name << "meridex_t_" << stamp << "_" << g_databases++;
    m_name = name.str();
    if (m_base.empty()) m_base = ServerBase(backend);
    CODBCDatabase admin;
    if (!Connect(admin, Wide(m_base + AdminDatabase(backend)))) {
      throw std::runtime_error("cannot reach the " + BackendName(backend) + " test server: " + ErrorText(admin));
    }
    _SQL_Error error;
    if (!admin.Execute(Wide("CREATE DATABASE " + m_name).c_str(), error)) {
      throw std::runtime_error("CREATE DATABASE failed: " + Narrow(error.message));
    }
    m_connection = Wide(m_base + "Database=" + m_name + ";");
  }
  // On a cluster the test's own connection is on node 2, the other nodes wait to read
  // until they have applied what was committed anywhere before.
  const std::u16string own = backend == Backend::Galera ? NodeConnectionString(2) : m_connection;
  // NOTE: a Galera node applies another node's CREATE DATABASE a moment after that one
  // has answered.
  bool connected = Connect(m_db, own);
  for (int i = 0; i < 200 && !connected && backend == Backend::Galera; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    connected = Connect(m_db, own);
  }
  if (!connected) throw std::runtime_error("cannot connect to the test database: " + ErrorText(m_db));
  if (backend == Backend::Galera) {
    const std::string lock = Env("MERIDEX_TEST_GALERA_DIR") + "/node3.lock";
    if (!m_node3.Open(lock) || !m_node3.Hold(false)) throw std::runtime_error("cannot lock " + lock);
    _SQL_Error error;
    const std::u16string causal = u"SET SESSION wsrep_sync_wait = 1";
    if (!m_db.Execute(causal.c_str(), error)) throw std::runtime_error("wsrep_sync_wait: " + Narrow(error.message));
    for (int node : {1, 3}) {
      m_peers.push_back(std::make_unique<CODBCDatabase>());
      if (!Connect(*m_peers.back(), NodeConnectionString(node)) || !m_peers.back()->Execute(causal.c_str(), error)) {
        throw std::runtime_error("cannot reach node " + std::to_string(node) + ": " + ErrorText(*m_peers.back()));
      }
    }
  }
  if (withSchema && !Exec(SchemaText())) throw std::runtime_error("the schema could not be created");
}

TestDatabase::~TestDatabase() {
  m_db.Close();
  for (auto& peer : m_peers) peer->Close();
  if (m_backend != Backend::SQLite) {
    CODBCDatabase admin;
    if (Connect(admin, Wide(m_base + AdminDatabase(m_backend)))) {
      // PostgreSQL refuses to drop a database that a connection still uses unless forced;
      // MariaDB drops it under them and knows no such clause.
      const std::string force = m_backend == Backend::PostgreSQL ? " WITH (FORCE)" : "";
      _SQL_Error error;
      (void)admin.Execute(Wide("DROP DATABASE IF EXISTS " + m_name + force).c_str(), error);
    }
  }
}

std::u16string TestDatabase::NodeConnectionString(int node) const {
  if (m_backend != Backend::Galera) return m_connection;
  return Wide(ServerBase(m_backend, node) + "Database=" + m_name + ";");
}

void TestDatabase::AwaitPeers() {
  // A read on a node with wsrep_sync_wait waits until the node has applied everything
  // the cluster committed before it.
  for (auto& peer : m_peers) (void)ScalarOn(*peer, "SELECT 1");
}

bool TestDatabase::IsolateNode3(bool isolated) {
  if (m_backend != Backend::Galera) return false;
  if (isolated && !m_node3.Hold(true)) return false;
  CODBCDatabase& node3 = *m_peers[1];
  _SQL_Error error;
  const std::string option = std::string("SET GLOBAL wsrep_provider_options = 'gmcast.isolate=") + (isolated ? "1'" : "0'");
  // Unlike a read, the status does not wait for the node to be synced.
  if (!node3.Execute(u"SET SESSION wsrep_sync_wait = 0", error) || !node3.Execute(Wide(option).c_str(), error)) {
    ADD_FAILURE() << Narrow(error.message);
    return false;
  }
  bool there = false;
  for (int i = 0; i < 600 && !there; ++i) {
    there = ScalarOn(node3, "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'WSREP_READY'") ==
            (isolated ? "OFF" : "ON");
    if (!there) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!isolated) {
    there = there && node3.Execute(u"SET SESSION wsrep_sync_wait = 1", error);
    there = m_node3.Hold(false) && there;
  }
  return there;
}

bool TestDatabase::Reconnect() {
  m_db.Close();
  return Connect(m_db, m_connection);
}

bool TestDatabase::WidenColumns() {
  switch (m_backend) {
    case Backend::SQLite: return true;  // SQLite does not enforce a declared length
    case Backend::PostgreSQL: return Exec("ALTER TABLE FileTree ALTER COLUMN FileName TYPE TEXT");  // BYTEA has none
    case Backend::MariaDB:
    case Backend::Galera:
      return Exec("ALTER TABLE FileTree MODIFY FileName LONGTEXT CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL, "
                  "MODIFY FileIdentification LONGBLOB NULL");
  }
  return false;
}

std::string TestDatabase::SchemaText() const {
  const char* const files[] = {"sqlite.sql", "postgresql.sql", "mariadb.sql", "mariadb.sql"};
  const std::string file = files[static_cast<int>(m_backend)];
  return ReadFileBytes(std::string(MERIDEX_SOURCE_DIR) + "/schema/" + file);
}

bool TestDatabase::Exec(const std::string& sql) {
  for (const std::string& statement : SplitSqlStatements(sql)) {
    _SQL_Error error;
    if (!m_db.Execute(Wide(statement).c_str(), error)) {
      ADD_FAILURE() << "statement failed: " << statement << "\n" << Narrow(error.message);
      return false;
    }
  }
  AwaitPeers();
  return true;
}

bool TestDatabase::Insert(const std::vector<TestRow>& rows) {
  SQLHDBC dbc = m_db.Handle();
  SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  bool ok = SqlSucceeded(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt)) &&
            SqlSucceeded(SQLPrepareW(stmt,
                                     AsSqlText(u"INSERT INTO FileTree (FileID, FileName, FileIdentification, "
                                               u"OperationType, FileData) VALUES (?, ?, ?, ?, ?)"),
                                     SQL_NTS));
  for (const TestRow& row : rows) {
    if (!ok) break;
    SQLINTEGER id = row.id, op = row.operationType;
    SQLLEN idInd = 0, opInd = 0;
    SQLLEN nameInd = static_cast<SQLLEN>(row.name.size() * sizeof(char16_t));
    SQLLEN identInd = row.identification ? static_cast<SQLLEN>(row.identification->size()) : SQL_NULL_DATA;
    SQLLEN dataInd = row.data ? static_cast<SQLLEN>(row.data->size()) : SQL_NULL_DATA;
    static char empty = 0;
    auto bytes = [](const std::optional<std::string>& v) -> SQLPOINTER {
      return v && !v->empty() ? const_cast<char*>(v->data()) : &empty;
    };
    const SQLULEN nameSize = row.name.empty() ? 1 : row.name.size();
    ok = SqlSucceeded(SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &id, 0, &idInd)) &&
         SqlSucceeded(SQLBindParameter(stmt, 2, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, nameSize, 0,
                                       const_cast<char16_t*>(row.name.data()), nameInd, &nameInd)) &&
         SqlSucceeded(SQLBindParameter(stmt, 3, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_VARBINARY,
                                       row.identification && !row.identification->empty() ? row.identification->size() : 1,
                                       0, bytes(row.identification), identInd < 0 ? 0 : identInd, &identInd)) &&
         SqlSucceeded(SQLBindParameter(stmt, 4, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &op, 0, &opInd)) &&
         SqlSucceeded(SQLBindParameter(stmt, 5, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY,
                                       row.data && !row.data->empty() ? row.data->size() : 1, 0, bytes(row.data),
                                       dataInd < 0 ? 0 : dataInd, &dataInd));
    const SQLRETURN rc = ok ? SQLExecute(stmt) : SQL_ERROR;
    if (!SqlSucceeded(rc)) {
      _SQL_Error error;
      ReadStatementError(stmt, error);
      ADD_FAILURE() << "insert of row " << row.id << " failed: " << Narrow(error.message);
      ok = false;
    }
  }
  if (stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  SQLEndTran(SQL_HANDLE_DBC, dbc, ok ? SQL_COMMIT : SQL_ROLLBACK);
  SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  AwaitPeers();
  return ok;
}

namespace {

std::vector<int> IdsOn(CODBCDatabase& db) {
  std::vector<int> ids;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SqlSucceeded(SQLAllocHandle(SQL_HANDLE_STMT, db.Handle(), &stmt))) return ids;
  if (SqlSucceeded(SQLExecDirectW(stmt, AsSqlText(u"SELECT FileID FROM FileTree ORDER BY FileID"), SQL_NTS))) {
    SQLINTEGER id = 0;
    SQLLEN ind = 0;
    SQLBindCol(stmt, 1, SQL_C_SLONG, &id, 0, &ind);
    while (SqlSucceeded(SQLFetch(stmt))) ids.push_back(id);
  } else {
    ADD_FAILURE() << "cannot read the FileIDs";
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return ids;
}

}  // namespace

std::vector<int> TestDatabase::RemainingIds() {
  const std::vector<int> ids = IdsOn(m_db);
  for (std::size_t i = 0; i < m_peers.size(); ++i) {
    EXPECT_EQ(IdsOn(*m_peers[i]), ids) << "node " << (i == 0 ? 1 : 3) << " differs from node 2";
  }
  return ids;
}

std::string TestDatabase::Scalar(const std::string& sql) { return ScalarOn(m_db, sql); }

std::string TestDatabase::ScalarOnToolsServer(const std::string& sql) { return ScalarOn(ToolsServer(), sql); }

std::string TestDatabase::ScalarOn(CODBCDatabase& db, const std::string& sql) {
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SqlSucceeded(SQLAllocHandle(SQL_HANDLE_STMT, db.Handle(), &stmt))) return "";
  std::string result;
  if (SqlSucceeded(SQLExecDirectW(stmt, AsSqlText(Wide(sql).c_str()), SQL_NTS)) && SqlSucceeded(SQLFetch(stmt))) {
    char16_t buffer[4096] = {};
    SQLLEN indicator = 0;
    if (SqlSucceeded(SQLGetData(stmt, 1, SQL_C_WCHAR, buffer, sizeof buffer, &indicator)) && indicator != SQL_NULL_DATA) {
      result = Narrow(buffer);
    }
  } else {
    ADD_FAILURE() << "query failed: " << sql;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return result;
}

}  // namespace testing_support
