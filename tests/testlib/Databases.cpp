#include "Databases.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
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

}  // namespace

std::vector<Backend> AllBackends() { return {Backend::SQLite, Backend::PostgreSQL}; }

std::string BackendName(Backend backend) { return backend == Backend::SQLite ? "SQLite" : "PostgreSQL"; }

std::string PostgresBase() {
  const std::string base = Env("MERIDEX_TEST_PG");
  if (base.empty()) {
    throw std::runtime_error(
        "MERIDEX_TEST_PG is not set: run the tests through scripts/test, which starts the PostgreSQL cluster");
  }
  return base;
}

std::vector<std::string> SplitStatements(const std::string& script) {
  std::vector<std::string> out;
  std::string current;
  std::istringstream lines(script);
  std::string line;
  while (std::getline(lines, line)) {
    const auto comment = line.find("--");
    if (comment != std::string::npos) line.erase(comment);
    for (char c : line) {
      if (c == ';') {
        if (current.find_first_not_of(" \t\r\n") != std::string::npos) out.push_back(current);
        current.clear();
      } else {
        current.push_back(c);
      }
    }
    current.push_back('\n');
  }
  if (current.find_first_not_of(" \t\r\n") != std::string::npos) out.push_back(current);
  return out;
}

TestDatabase::TestDatabase(Backend backend, bool withSchema) : m_backend(backend) {
  if (backend == Backend::SQLite) {
    m_dir = std::make_unique<TempDir>();
    m_connection = Wide("Driver=SQLite3;Database=" + m_dir->File("meridex.db") + ";");
  } else {
    const auto stamp = std::chrono::system_clock::now().time_since_epoch().count() % 100000000;
    std::ostringstream name;
    name << "meridex_t_" << stamp << "_" << g_databases++;
    m_name = name.str();
    CODBCDatabase admin;
    if (!Connect(admin, Wide(PostgresBase() + "Database=postgres;"))) {
      throw std::runtime_error("cannot reach the PostgreSQL test server: " + ErrorText(admin));
    }
    _SQL_Error error;
    if (!admin.Execute(Wide("CREATE DATABASE " + m_name).c_str(), error)) {
      throw std::runtime_error("CREATE DATABASE failed: " + Narrow(error.message));
    }
    m_connection = Wide(PostgresBase() + "Database=" + m_name + ";");
  }
  if (!Connect(m_db, m_connection)) throw std::runtime_error("cannot connect to the test database: " + ErrorText(m_db));
  if (withSchema && !Exec(SchemaText())) throw std::runtime_error("the schema could not be created");
}

TestDatabase::~TestDatabase() {
  m_db.Close();
  if (m_backend == Backend::PostgreSQL) {
    CODBCDatabase admin;
    if (Connect(admin, Wide(PostgresBase() + "Database=postgres;"))) {
      _SQL_Error error;
      (void)admin.Execute(Wide("DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)").c_str(), error);
    }
  }
}

std::string TestDatabase::SchemaText() const {
  const std::string file = m_backend == Backend::SQLite ? "sqlite.sql" : "postgresql.sql";
  return ReadFileBytes(std::string(MERIDEX_SOURCE_DIR) + "/schema/" + file);
}

bool TestDatabase::Exec(const std::string& sql) {
  for (const std::string& statement : SplitStatements(sql)) {
    _SQL_Error error;
    if (!m_db.Execute(Wide(statement).c_str(), error)) {
      ADD_FAILURE() << "statement failed: " << statement << "\n" << Narrow(error.message);
      return false;
    }
  }
  return true;
}

std::string TestDatabase::Scalar(const std::string& sql) {
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SqlSucceeded(SQLAllocHandle(SQL_HANDLE_STMT, m_db.Handle(), &stmt))) return "";
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
