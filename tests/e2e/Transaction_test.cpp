// The transaction after "yes", with other sessions and the driver misbehaving around it:
// a rollback that fails, a rename between the check and the DELETE, rows another session
// keeps locked, two operators answering at once, a stop (Ctrl+Z) during the DELETE, and
// failures whose diagnostics would mislead. Nothing is deleted that was not listed as it
// is, no wait is without end, and each failure is reported once, with its reason.

#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Databases.h"
#include "ScopedEnvironment.h"
#include "TestSupport.h"
#include "ToolRunner.h"

using namespace testing_support;

namespace {

constexpr int kOld = 18;
const char kNothingDeleted[] = "Deleting records...\nNo records were deleted\n\n";
const char kHeldByAnother[] =
    "Another session holds records of the table: nothing was deleted, and the run can be repeated once it lets them go.";
const char kAtTheSameTime[] = "Another run or session changed or locked the table at the same time: nothing was deleted.";

// Two listed rows and one kept.
const std::vector<TestRow> kRows = {{1, u"old", std::nullopt, kOld, std::nullopt},
                                    {2, u"old too", std::nullopt, kOld, std::nullopt},
                                    {3, u"kept", std::nullopt, 0, std::nullopt}};

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs a statement on the test's own connection, whose failure the test expects or
// inspects itself; the driver's message when it fails, empty when it succeeds.
std::string TryExecute(CODBCDatabase& db, const std::string& sql) {
  _SQL_Error error;
  return db.Execute(Wide(sql).c_str(), error) != 0 ? std::string() : Narrow(error.message);
}
std::string TryExecute(TestDatabase& db, const std::string& sql) { return TryExecute(db.Connection(), sql); }

// A gate inside the tool's DELETE: a trigger of the test's own that waits for a lock the
// test holds, so the test acts between the check and the DELETE while the tool waits. The
// trigger also refuses to run unless the transaction is serializable. The lock is taken
// where the tool runs (node 1 of a cluster: user locks are a node's own).
class DeleteGate {
 public:
  explicit DeleteGate(TestDatabase& db) : m_db(db) {
    if (Maria()) {
      // MariaDB has row triggers only: the gate waits at the first row it deletes. NOTE:
      // MariaDB 10.11 names the level tx_isolation (transaction_isolation from 11.1 on).
      EXPECT_EQ(TryExecute(m_db,
                           "CREATE TRIGGER gate BEFORE DELETE ON FileTree FOR EACH ROW BEGIN "
                           "IF @@tx_isolation <> 'SERIALIZABLE' THEN "
                           "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'the DELETE is not serializable'; END IF; "
                           "IF OLD.FileID = 1 THEN DO GET_LOCK('meridex_gate', 30); DO RELEASE_LOCK('meridex_gate'); "
                           "END IF; END"),
                "");
      EXPECT_EQ(m_db.ScalarOnToolsServer("SELECT GET_LOCK('meridex_gate', 10)"), "1");
    } else {
      EXPECT_EQ(TryExecute(m_db,
                           "CREATE FUNCTION gate() RETURNS trigger LANGUAGE plpgsql AS '"
                           "BEGIN IF current_setting(''transaction_isolation'') <> ''serializable'' THEN "
                           "RAISE EXCEPTION ''the DELETE is not serializable''; END IF; "
                           "PERFORM pg_advisory_lock(4242); PERFORM pg_advisory_unlock(4242); RETURN NULL; END'"),
                "");
      EXPECT_EQ(TryExecute(m_db, "CREATE TRIGGER gate BEFORE DELETE ON FileTree FOR EACH STATEMENT EXECUTE FUNCTION gate()"),
                "");
      EXPECT_TRUE(m_db.Exec("SELECT pg_advisory_lock(4242)"));
    }
  }
  ~DeleteGate() { Open(); }

  // True once the tool's DELETE waits at the gate, within 10 s.
  bool Reached() {
    const std::string waiting = Maria() ? "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE STATE = 'User lock'"
                                        : "SELECT COUNT(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted";
    for (int i = 0; i < 200; ++i) {
      if (m_db.ScalarOnToolsServer(waiting) == "1") return true;
      usleep(50000);
    }
    return false;
  }
  void Open() {
    if (m_open) return;
    m_open = true;
    (void)TryExecute(m_db.ToolsServer(), Maria() ? "DO RELEASE_LOCK('meridex_gate')" : "SELECT pg_advisory_unlock(4242)");
  }

 private:
  bool Maria() const { return IsMariaDB(m_db.Kind()); }
  TestDatabase& m_db;
  bool m_open = false;
};

class Transaction : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    target = e2e::TargetFromEnvironment();
    db = std::make_unique<TestDatabase>(GetParam());
    ASSERT_TRUE(db->Insert(kRows));
  }
  bool Maria() const { return IsMariaDB(GetParam()); }
  e2e::RunOptions Options(const std::string& connection, const std::string& dir) {
    e2e::RunOptions options;
    options.workDir = dir;
    options.registryFile = e2e::WriteConnectionRegistry(work.Path(), connection);
    return options;
  }
  std::string L(const std::string& text) const { return e2e::LineEnds(target, text); }

  e2e::ToolTarget target;
  TempDir work;
  std::unique_ptr<TestDatabase> db;
};

// Runs the tool with options while another session keeps a listed row locked
// (PostgreSQL, MariaDB) or holds SQLite's write lock from "yes" on; the seconds it then
// waited.
double RunWithRowsLocked(TestDatabase& db, const e2e::ToolTarget& tool, e2e::RunOptions& options,
                         e2e::RunResult& r) {
  _SQL_Error error;
  std::chrono::steady_clock::time_point answered;
  auto lock = [&] {
    ASSERT_NE(db.Connection().BeginTransaction(error), 0) << Narrow(error.message);
    const char* holds = db.Kind() == Backend::SQLite ? "UPDATE FileTree SET FileData = NULL WHERE FileID = 3"
                                                     : "SELECT FileID FROM FileTree WHERE FileID = 2 FOR UPDATE";
    ASSERT_EQ(TryExecute(db, holds), "");
    answered = std::chrono::steady_clock::now();
  };
  options.steps = {{"", nullptr, "\n"}, {"Are you sure", lock, "yes\n"}};
  r = e2e::RunTool(tool, options);
  const double waited = SecondsSince(answered);
  EXPECT_NE(db.Connection().EndTransaction(false, error), 0) << Narrow(error.message);
  return waited;
}

// Another session keeps a listed row locked or holds SQLite's write lock: the run waits
// for the bound, then says so, and deletes nothing. The tool built with a 3-second bound
// stands in for the minute; on SQLite the bound is the tool's own busy timeout, which it
// gives the driver when the connection string sets none.
TEST_P(Transaction, LockHeldByAnotherSessionEndsTheWaitWithinTheBound) {
  const e2e::ToolTarget shortWait = e2e::SiblingTarget(target, "meridex-cleanup-shortwait");
  e2e::RunOptions options = Options(Narrow(db->ConnectionString()), work.Path());
  e2e::RunResult r;
  const double waited = RunWithRowsLocked(*db, shortWait, options, r);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(EndsWith(r.out, L(kNothingDeleted))) << r.out;
  EXPECT_EQ(r.err.substr(0, 6), "Error:") << r.err;
  EXPECT_TRUE(EndsWith(r.err, L(std::string("\n") + kHeldByAnother + "\n"))) << r.err;
  EXPECT_EQ(r.err.find("Error:", 6), std::string::npos) << "one failure, one error line:\n" << r.err;
  EXPECT_GE(waited, 1.9);
  EXPECT_LT(waited, 20.0);
  EXPECT_EQ(db->RemainingIds(), (std::vector<int>{1, 2, 3}));
}

// SQLite's bound is its driver's busy timeout, and the driver reads Timeout= its own way:
// the first key spelled exactly so, with a whole number above 0. Where it reads none (a
// blank around the key or after the number, no number, 0) the tool's own bound holds (3 s
// in this build), not the driver's 200 s; a Timeout the driver takes, from the string or
// from its data source in odbc.ini (200 ms, waited twice), stands.
TEST(TransactionSQLite, LockWaitIsBoundedAsTheDriverReadsTimeout) {
  const e2e::ToolTarget shortWait = e2e::SiblingTarget(e2e::TargetFromEnvironment(), "meridex-cleanup-shortwait");
  TestDatabase db(Backend::SQLite);
  ASSERT_TRUE(db.Insert(kRows));
  TempDir work;
  const std::string connection = Narrow(db.ConnectionString());
  const std::size_t at = connection.find("Database=") + 9;
  WriteFileBytes(work.File("odbc.ini"), "[meridex-own-timeout]\nDriver=SQLite3\nDatabase=" +
                                            connection.substr(at, connection.find(';', at) - at) + "\nTimeout=200\n");
  const ScopedEnvironmentVariable dataSources("ODBCINI", work.File("odbc.ini").c_str());
  const struct {
    std::string connection;
    bool operatorsOwn;
  } cases[] = {{connection + " Timeout =200;", false}, {connection + "Timeout = 200;", false},
               {connection + "Timeout=200 ;", false},  {connection + "Timeout=;", false},
               {connection + "Timeout=abc;", false},   {connection + "Timeout=0;", false},
               {connection + "Timeout=0xC8;", true},   {"DSN=meridex-own-timeout;", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.connection);
    TempDir dir;
    e2e::RunOptions options;
    options.workDir = dir.Path();
    options.registryFile = e2e::WriteConnectionRegistry(dir.Path(), c.connection);
    e2e::RunResult r;
    const double waited = RunWithRowsLocked(db, shortWait, options, r);
    EXPECT_TRUE(EndsWith(r.out, e2e::LineEnds(shortWait, kNothingDeleted))) << r.out << r.err;
    EXPECT_LT(waited, c.operatorsOwn ? 2.0 : 20.0);
    if (!c.operatorsOwn) {
      EXPECT_GE(waited, 2.5);
    }
  }
  EXPECT_EQ(db.RemainingIds(), (std::vector<int>{1, 2, 3}));
}

// Two operators answer "yes" at the same moment: one run deletes, the other gives up
// within seconds and says why; neither takes an unlisted row. On the Galera cluster they
// work on nodes 1 and 2, where the cluster, not a lock, finds the conflict; the Windows
// build's second operator there is the Linux build, since Wine keeps one registry for
// every run.
class TwoOperators : public Transaction {};

TEST_P(TwoOperators, TwoRunsAnsweredTogetherDeleteOnce) {
  std::vector<TestRow> rows;
  for (int id = 10; id < 2010; ++id) rows.push_back({id, u"old " + Wide(std::to_string(id)), std::nullopt, kOld, std::nullopt});
  ASSERT_TRUE(db->Insert(rows));
  TempDir second;
  const std::string dirs[2] = {work.Path(), second.Path()};
  e2e::RunOptions options[2];
  e2e::ToolTarget targets[2] = {target, target};
  if (GetParam() == Backend::Galera && target.windows) targets[1] = e2e::LinuxToolFromEnvironment();
  std::atomic<int> ready{0};
  std::chrono::steady_clock::time_point answered[2];
  for (int i = 0; i < 2; ++i) {
    options[i].workDir = dirs[i];
    options[i].registryFile = e2e::WriteConnectionRegistry(dirs[i], Narrow(db->NodeConnectionString(i + 1)));
    options[i].steps = {{"", nullptr, "\n"},
                        {"Are you sure", [&ready, &answered, i] {
                           // Each waits here for the other's question, then both answer.
                           ++ready;
                           while (ready.load() < 2) usleep(1000);
                           answered[i] = std::chrono::steady_clock::now();
                         },
                         "yes\n"}};
  }
  e2e::PrepareRegistry(target, options[0].registryFile);
  e2e::RunResult r[2];
  double seconds[2] = {};
  std::thread other([&] {
    r[1] = e2e::RunTool(targets[1], options[1]);
    seconds[1] = SecondsSince(answered[1]);
  });
  r[0] = e2e::RunTool(target, options[0]);
  seconds[0] = SecondsSince(answered[0]);
  other.join();
  int deleting = 0;
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(r[i].status, 0);
    EXPECT_LT(seconds[i], 30.0);
    if (r[i].out.find("2002 records were deleted.") != std::string::npos) {
      ++deleting;
      EXPECT_EQ(r[i].err, "");
      continue;
    }
    const auto line = [&](const std::string& text) { return e2e::LineEnds(targets[i], text); };
    EXPECT_TRUE(EndsWith(r[i].out, line("\nNo records were deleted\n\n"))) << r[i].out;
    // Whoever came second either met the first in the act, or checked after its commit.
    EXPECT_TRUE(EndsWith(r[i].err, line(std::string("\n") + kAtTheSameTime + "\n")) ||
                r[i].err.find("Error:The table changed after the listing: 2002 records were listed, 0 match now.") == 0)
        << r[i].err;
  }
  EXPECT_EQ(deleting, 1) << r[0].out << r[0].err << r[1].out << r[1].err;
  EXPECT_EQ(db->RemainingIds(), std::vector<int>{3});
}

INSTANTIATE_TEST_SUITE_P(Backends, Transaction, ::testing::ValuesIn(AllBackends()), BackendParamName());
INSTANTIATE_TEST_SUITE_P(Backends, TwoOperators, ::testing::ValuesIn(AllBackendsAndCluster()), BackendParamName());

// The check and the DELETE see the table as one: a listed row renamed by another session
// between them is either kept out by the check's locks (MariaDB: the rename waits, and
// the listed rows go as listed) or fails the DELETE (PostgreSQL: one snapshot, and the
// renamed row is a serialization failure). Run at the driver's default level instead, the
// renamed row would go unseen, and the gate's trigger refuses that level outright. On the
// Galera cluster the rename is made on node 2, where none of the tool's locks are: it
// commits, and the cluster aborts the tool's transaction as it applies the rename on
// node 1.
// (SQLite is left out: its write lock, taken before the check, keeps every writer out.)
class ServerTransaction : public Transaction {};

TEST_P(ServerTransaction, RowRenamedBetweenTheCheckAndTheDeleteIsNeverDeletedUnseen) {
  DeleteGate gate(*db);
  std::string renamed = "not tried";
  e2e::RunOptions options = Options(Narrow(db->ConnectionString()), work.Path());
  auto rename = [&] {
    ASSERT_TRUE(gate.Reached());
    if (Maria()) {
      ASSERT_EQ(TryExecute(*db, "SET SESSION innodb_lock_wait_timeout = 1"), "");
    }
    renamed = TryExecute(*db, "UPDATE FileTree SET FileName = 'renamed' WHERE FileID = 2");
    gate.Open();
  };
  options.steps = {{"", nullptr, "\n"}, {"Are you sure", nullptr, "yes\n"}, {"Deleting records...", rename, ""}};
  const e2e::RunResult r = e2e::RunTool(target, options);
  EXPECT_EQ(r.status, 0);
  if (GetParam() == Backend::Galera) {
    EXPECT_EQ(renamed, "");
    EXPECT_TRUE(EndsWith(r.out, L(kNothingDeleted))) << r.out;
    EXPECT_NE(r.err.find("Deadlock found"), std::string::npos) << r.err;
    EXPECT_TRUE(EndsWith(r.err, L(std::string("\n") + kAtTheSameTime + "\n"))) << r.err;
    EXPECT_EQ(db->RemainingIds(), (std::vector<int>{1, 2, 3}));
  } else if (Maria()) {
    EXPECT_NE(renamed.find("Lock wait timeout"), std::string::npos) << "the check's locks keep the rename out: " << renamed;
    EXPECT_TRUE(EndsWith(r.out, L("Deleting records...\n2 records were deleted.\n\n"))) << r.out << r.err;
    EXPECT_EQ(db->RemainingIds(), std::vector<int>{3});
  } else {
    EXPECT_EQ(renamed, "");
    EXPECT_TRUE(EndsWith(r.out, L(kNothingDeleted))) << r.out;
    EXPECT_NE(r.err.find("could not serialize access"), std::string::npos) << r.err;
    EXPECT_TRUE(EndsWith(r.err, L(std::string("\n") + kAtTheSameTime + "\n"))) << r.err;
    EXPECT_EQ(db->RemainingIds(), (std::vector<int>{1, 2, 3}));
  }
}

// Before "yes" too, no wait is without end: another session holds FileTree or
// SchemaVersion locked as a whole (LOCK TABLE, as an ALTER does) while the run checks
// the version and lists. The run gives up after its bound, or the session's own where
// that is lower (here set by the connection string, for the tool's usual minute), says
// why, and deletes nothing.
// A lock held on one node of a cluster holds nothing on another: one server only.
class ServerTableLock : public Transaction {};

TEST_P(ServerTableLock, TableLockedBeforeTheListingEndsWithinTheBound) {
  struct Case {
    const char* table;
    const char* build;       // the tool, or the one with a 3-second bound
    const char* connection;  // added to the connection string
    double atLeast, below;   // seconds waited (a bound of a minute was waited whole before)
  };
  const std::string sessionBound =
      Maria() ? "InitStmt=SET SESSION lock_wait_timeout=1;" : "pqopt={options=-clock_timeout=1000};";
  // One wait of the bound, not two (the probe's and then the listing's).
  const Case cases[] = {{"FileTree", "meridex-cleanup-shortwait", "", 2.9, 5.5},
                        {"SchemaVersion", "meridex-cleanup-shortwait", "", 2.9, 5.5},
                        {"FileTree", "meridex-cleanup", sessionBound.c_str(), 0.9, 20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.table) + " " + c.build + " " + c.connection);
    const e2e::ToolTarget tool = e2e::SiblingTarget(target, c.build);
    e2e::RunOptions options = Options(Narrow(db->ConnectionString()) + c.connection, work.Path());
    options.input = "\n";
    _SQL_Error error;
    if (Maria()) {
      ASSERT_EQ(TryExecute(*db, std::string("LOCK TABLES ") + c.table + " WRITE"), "");
    } else {
      ASSERT_NE(db->Connection().BeginTransaction(error), 0) << Narrow(error.message);
      ASSERT_EQ(TryExecute(*db, std::string("LOCK TABLE ") + c.table + " IN ACCESS EXCLUSIVE MODE"), "");
    }
    const auto start = std::chrono::steady_clock::now();
    const e2e::RunResult r = e2e::RunTool(tool, options);
    const double waited = SecondsSince(start);
    if (Maria()) {
      ASSERT_EQ(TryExecute(*db, "UNLOCK TABLES"), "");
    } else {
      ASSERT_NE(db->Connection().EndTransaction(false, error), 0) << Narrow(error.message);
    }
    EXPECT_EQ(r.status, 0);
    const std::string timedOut = Maria() ? "Lock wait timeout exceeded" : "canceling statement due to lock timeout";
    // PostgreSQL's probe reads a setting and the listing meets the lock; MariaDB's probe
    // meets it as the tool connects.
    if (std::string(c.table) == "FileTree" && !Maria()) {
      EXPECT_NE(r.out.find("SQL Error open table : "), std::string::npos) << r.out;
      EXPECT_NE(r.out.find(timedOut), std::string::npos) << r.out;
      EXPECT_EQ(r.err, L(std::string(kHeldByAnother) + "\n"));
    } else {
      // Not an illegal version: one that could not be read, or a probe that could not run.
      EXPECT_EQ(r.err.find("Failed to connect to DB "), 0u) << r.err;
      EXPECT_NE(r.err.find("\nError:"), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(timedOut), std::string::npos) << r.err;
      EXPECT_TRUE(EndsWith(r.err, L(std::string("\n") + kHeldByAnother + "\n"))) << r.err;
    }
    EXPECT_GE(waited, c.atLeast);
    EXPECT_LT(waited, c.below);
    EXPECT_EQ(db->RemainingIds(), (std::vector<int>{1, 2, 3}));
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerTransaction, ::testing::Values(Backend::PostgreSQL, Backend::MariaDB, Backend::Galera),
                         BackendParamName());
INSTANTIATE_TEST_SUITE_P(Servers, ServerTableLock, ::testing::Values(Backend::PostgreSQL, Backend::MariaDB),
                         BackendParamName());

// The terminal stopped (Ctrl+S) while the check after "yes" waits for a lock the test
// holds, then the check fails (the test renamed a listed row): the run must end its
// transaction before it writes a word, or the stopped terminal keeps every other session
// out for as long as the operator leaves it so. POSIX only: a Windows console's pause
// cannot be made under Wine.
class PosixStoppedTerminal : public Transaction {};

TEST_P(PosixStoppedTerminal, FailingCheckEndsItsTransactionBeforeItSpeaks) {
  e2e::RunOptions options = Options(Narrow(db->ConnectionString()), work.Path());
  options.terminal = true;
  options.timeoutSeconds = 90;
  _SQL_Error error;
  std::string written = "not tried";
  double writeSeconds = -1;
  auto holdAndRename = [&] {
    ASSERT_NE(db->Connection().BeginTransaction(error), 0) << Narrow(error.message);
    ASSERT_EQ(TryExecute(*db, "UPDATE FileTree SET FileName = 'renamed' WHERE FileID = 2"), "");
    // PostgreSQL's check reads past row locks: a table lock holds it.
    if (GetParam() == Backend::PostgreSQL) {
      ASSERT_EQ(TryExecute(*db, "LOCK TABLE FileTree IN ACCESS EXCLUSIVE MODE"), "");
    }
  };
  auto stopAndLetGo = [&] {
    ASSERT_EQ(tcflow(e2e::RunningTerminal(), TCOOFF), 0);
    ASSERT_NE(db->Connection().EndTransaction(true, error), 0) << Narrow(error.message);
    EXPECT_TRUE(e2e::WaitUntilWriting(e2e::RunningTool()));
    const auto start = std::chrono::steady_clock::now();
    written = e2e::WriteAsAnotherSession(*db);
    writeSeconds = SecondsSince(start);
    ASSERT_EQ(tcflow(e2e::RunningTerminal(), TCOON), 0);
  };
  options.steps = {{"Press any key", nullptr, "x"}, {"Are you sure", holdAndRename, "yes\r"},
                   {"Deleting records...", stopAndLetGo, ""}};
  const e2e::RunResult r = e2e::RunTool(target, options);
  EXPECT_EQ(written, "") << "the other session's write, with the terminal stopped";
  EXPECT_LT(writeSeconds, 3.0);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Error:"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("No records were deleted"), std::string::npos) << r.out;
  EXPECT_EQ(db->RemainingIds(), (std::vector<int>{1, 2, 3}));
}

INSTANTIATE_TEST_SUITE_P(Posix, PosixStoppedTerminal, ::testing::ValuesIn(AllBackends()), BackendParamName());

// The SQLite3 driver with a fault of the test's asking (FaultDriver.c), which both
// builds reach through unixODBC: what the library does when the driver fails where no
// real driver can be made to, with the real driver manager and the real library.
class FaultDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    target = e2e::TargetFromEnvironment();
    // The registry value holds 259 characters, and the build and temporary paths are as
    // long as the machine makes them: the driver and its log go by a short directory.
    ASSERT_NE(mkdtemp(shortDir), nullptr);
    driver = std::string(shortDir) + "/d";
    ASSERT_EQ(symlink(MERIDEX_E2E_FAULT_DRIVER, driver.c_str()), 0);
  }
  void TearDown() override { std::filesystem::remove_all(shortDir); }
  // A run on db through the fault driver with `wishes` (its keys), answered "yes"; the
  // driver's log is read into `calls`.
  e2e::RunResult Run(TestDatabase& db, const std::string& wishes, std::string& calls) { return Run(target, db, wishes, calls); }
  e2e::RunResult Run(const e2e::ToolTarget& tool, TestDatabase& db, const std::string& wishes, std::string& calls) {
    TempDir work;
    std::string connection = Narrow(db.ConnectionString());
    const std::string log = std::string(shortDir) + "/log";
    std::filesystem::remove(log);
    connection.replace(0, connection.find(';'), "Driver=" + driver);
    connection += wishes + "FaultDriverLog=" + log + ";";
    EXPECT_LT(connection.size(), 260u) << connection;
    e2e::RunOptions options;
    options.workDir = work.Path();
    options.registryFile = e2e::WriteConnectionRegistry(work.Path(), connection);
    options.input = "\nyes\n";
    const e2e::RunResult r = e2e::RunTool(tool, options);
    calls = std::filesystem::exists(log) ? ReadFileBytes(log) : std::string();
    return r;
  }

  e2e::ToolTarget target;
  char shortDir[15] = "/tmp/mxfXXXXXX";
  std::string driver;
};

TEST_F(FaultDriver, FailuresTheRealDriverCannotBeMadeToShow) {
  struct Case {
    const char* name;
    const char* wishes;
    const char* trigger;  // SQLite DDL run first, or empty
    std::string out;      // how standard output ends
    std::string err;      // standard error, with the run's own line begun ("...") only
    std::string calls;    // what the driver was asked: autocommit, ended transactions, disconnects
  };
  const char* const kSkipOne =
      "CREATE TRIGGER skip BEFORE DELETE ON FileTree WHEN OLD.FileID = 2 BEGIN SELECT RAISE(IGNORE); END";
  const std::string kRollbackFailed = "Error:The deletion would have removed ...\n"
                                      "Error:[FaultDriver]the rollback failed by request; the session is still open\n";
  const Case cases[] = {
      // The DELETE takes fewer rows than were listed (a trigger skips one), and the
      // rollback after it fails with the session alive. Autocommit switched back on would
      // commit the DELETE: the library gives the connection up instead. NOTE: the SQLite3
      // driver refuses to disconnect with its transaction open; the session ends with the
      // process, and SQLite rolls the journal back.
      {"a rollback that fails while the session lives", "FaultDriverFault=rollback;", kSkipOne, kNothingDeleted,
       kRollbackFailed, "autocommit off\nrollback failed\ndisconnect refused\n"},
      // The same where the library ends transactions in SQL, as on SQLite: a ROLLBACK
      // that fails is not one that SQLite "already ended" unless SQLite says so.
      {"a ROLLBACK TRANSACTION that fails while the session lives", "FaultDriverFault=rollback;FaultDriverDbms=SQLite;",
       kSkipOne, kNothingDeleted, kRollbackFailed, "disconnect\nrollback failed\ndisconnect\n"},
      // The listing's first row fails with SQLite's "not an error": the run names the
      // call that failed instead.
      {"a fetch that fails without a reason", "FaultDriverFault=fetch;", "",
       "SQL Error open table : SQLFetch failed (return code -1) and the driver gave no reason.\n\n", "",
       "disconnect\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestDatabase db(Backend::SQLite);
    ASSERT_TRUE(db.Insert(kRows));
    if (c.trigger[0] != 0) {
      ASSERT_EQ(TryExecute(db, c.trigger), "");
    }
    std::string calls;
    const e2e::RunResult r = Run(db, c.wishes, calls);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(EndsWith(r.out, e2e::LineEnds(target, c.out))) << r.out;
    // The first line's own text (what changed) is the change test's business.
    const std::size_t cut = c.err.find("...");
    const std::size_t lineEnd = r.err.find(e2e::LineEnds(target, "\n"));
    const std::string err = cut == std::string::npos || lineEnd == std::string::npos
                                ? r.err
                                : r.err.substr(0, cut) + "..." + r.err.substr(lineEnd);
    EXPECT_EQ(err, e2e::LineEnds(target, c.err)) << r.err;
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(db.RemainingIds(), (std::vector<int>{1, 2, 3}));
  }
}

// Each driver call of a run in turn fails (an error), faults (a null pointer) or aborts,
// before the driver acts; and the commit does after the driver committed. Wherever it
// strikes, what the run says of the deletion is what the table shows: two listed rows
// deleted, none, or "count the records left" where the commit was struck and nobody can
// know; the unlisted row is always there; and a run that faulted dies of its fault after
// saying so. Swept twice: with transactions ended through SQLEndTran, and in SQL, as the
// library does on SQLite.
TEST_F(FaultDriver, EveryDriverCallFailingInTurnLeavesTheWordTrue) {
  const std::string kAfterFault = "Error:The run was ended by a fault (";
  // NOTE: under Wine a fault inside a host library that odbc32 calls comes back as a
  // failed call (return code 5, STATUS_ACCESS_VIOLATION's low bits), so the Windows
  // build meets a null pointer as it meets an error, which the sweep tries anyway: there
  // it is struck only at the commit, where what follows the driver's own work differs.
  const std::vector<std::string> kinds =
      target.windows ? std::vector<std::string>{"error", "abort"} : std::vector<std::string>{"error", "segv", "abort"};
  int runs = 0;
  for (const std::string dbms : {"", "FaultDriverDbms=SQLite;"}) {
    SCOPED_TRACE(dbms);
    TestDatabase db(Backend::SQLite);
    ASSERT_TRUE(db.Insert(kRows));
    std::string calls;
    ASSERT_EQ(Run(db, dbms + "FaultDriverFault=count;", calls).status, 0);
    ASSERT_EQ(db.RemainingIds(), std::vector<int>{3});
    // The calls as the driver numbered them, and those of the commit: its own, and the
    // driver manager's. NOTE: unixODBC asks the driver SQLGetInfo inside SQLEndTran, after
    // the driver committed and before the library hears of it.
    int first = 0, last = 0, commit = 0, commitEnd = 0;
    std::istringstream lines(calls);
    for (std::string line; std::getline(lines, line);) {
      const int n = std::atoi(line.c_str());
      if (n == 0) continue;  // the driver's other notes
      if (first == 0) first = n;
      last = n;
      if (line.find(" commit") != std::string::npos || line.find(" COMMIT") != std::string::npos) commit = commitEnd = n;
      if (commitEnd == n - 1 && commit != 0 && line.find(" SQLGetInfo") != std::string::npos) commitEnd = n;
    }
    ASSERT_GT(last - first, 40) << calls;
    ASSERT_NE(commit, 0) << calls;
    std::vector<std::string> strikes;
    for (int n = first; n <= last; ++n) {
      for (const std::string& kind : kinds) strikes.push_back(kind + "@" + std::to_string(n));
    }
    for (const char* kind : {"error", "segv", "abort"}) strikes.push_back(std::string(kind) + "@" + std::to_string(commit) + "+");
    // What the run said of the deletion against what the table shows; false when the
    // struck call was never reached.
    const auto judge = [&](const std::string& strike, const e2e::RunResult& r) {
      const std::string said = r.out + r.err;
      const std::size_t struckAt = calls.find("struck ");
      if (struckAt == std::string::npos) return false;
      const std::string struck = calls.substr(struckAt, calls.find('\n', struckAt) - struckAt);
      const bool deleted = said.find("2 records were deleted.") != std::string::npos;
      const bool unknown = said.find("count the records left") != std::string::npos;
      const std::vector<int> left = db.RemainingIds();
      if (unknown) {
        EXPECT_FALSE(deleted) << said;
        const int n = std::atoi(struck.c_str() + 7);
        EXPECT_TRUE(n >= commit && n <= commitEnd) << "unknown only where the commit was struck: " << struck << "\n" << said;
        EXPECT_TRUE(left == std::vector<int>{3} || left == (std::vector<int>{1, 2, 3})) << said;
      } else {
        EXPECT_EQ(left, (deleted ? std::vector<int>{3} : std::vector<int>{1, 2, 3})) << struck << "\n" << said;
      }
      // A fault is said, and then the process dies of it: on Linux by its signal, under
      // Wine with abort()'s status 3.
      const bool faulted = strike.rfind("abort", 0) == 0 || (strike.rfind("segv", 0) == 0 && !target.windows);
      EXPECT_EQ(r.err.find(kAfterFault) != std::string::npos, faulted) << said;
      if (!faulted) {
        EXPECT_EQ(r.status, 0) << said;
      } else if (target.windows) {
        EXPECT_EQ(r.status, 3) << said;
      } else {
        EXPECT_EQ(r.signal, strike[0] == 's' ? SIGSEGV : SIGABRT) << said;
      }
      return true;
    };
    for (const std::string& strike : strikes) {
      SCOPED_TRACE(strike);
      ASSERT_TRUE(db.Exec("DELETE FROM FileTree"));
      ASSERT_TRUE(db.Insert(kRows));
      const e2e::RunResult r = Run(db, dbms + "FaultDriverFault=" + strike + ";", calls);
      ++runs;
      ASSERT_TRUE(judge(strike, r)) << "the call was reached:\n" << calls << "status " << r.status << "\n" << r.out << r.err;
    }
    // The commit fails after the driver committed, with a diagnostic that gives no reason,
    // and the heap gives out from each allocation on, back from the run's last to the
    // commit: while the library explains the failure, the outcome is unknown, never "no
    // records were deleted".
    const e2e::ToolTarget failing = e2e::SiblingTarget(target, "meridex-cleanup-failing-new");
    const std::string mute = "mute@" + std::to_string(commit) + "+";
    TempDir counted;
    long long total = 0;
    {
      ScopedEnvironmentVariable count("MERIDEX_COUNT_ALLOCATIONS", counted.File("count").c_str());
      ASSERT_TRUE(db.Exec("DELETE FROM FileTree"));
      ASSERT_TRUE(db.Insert(kRows));
      ASSERT_EQ(Run(failing, db, dbms + "FaultDriverFault=" + mute + ";", calls).status, 0);
      total = std::stoll(ReadFileBytes(counted.File("count")));
    }
    bool explained = false;
    for (long long n = total; n > 0; --n) {
      SCOPED_TRACE(mute + ", allocations failing from " + std::to_string(n));
      ScopedEnvironmentVariable fail("MERIDEX_FAIL_ALLOCATION", std::to_string(n).c_str());
      ASSERT_TRUE(db.Exec("DELETE FROM FileTree"));
      ASSERT_TRUE(db.Insert(kRows));
      const e2e::RunResult r = Run(failing, db, dbms + "FaultDriverFault=" + mute + ";", calls);
      ++runs;
      if (!judge(mute, r)) break;  // the heap gave out before the commit
      const std::size_t oom = r.err.find("Error:Out of memory while deleting the records.");
      explained = explained || (oom != std::string::npos && r.err.find("count the records left", oom) != std::string::npos);
    }
    EXPECT_TRUE(explained) << "no allocation failed while the commit was in doubt";
  }
  std::cout << runs << " runs" << std::endl;
}

// A soft CPU-time limit that runs out (SIGXCPU) is a fault like any other: the last
// words, then the process ends by the signal. POSIX only: Windows has no such limit.
TEST(PosixFaults, CpuTimeLimitSaysTheLastWordsAndEndsByItsSignal) {
  const e2e::ToolTarget target = e2e::TargetFromEnvironment();
  TempDir work;
  TestDatabase db(Backend::SQLite);
  ASSERT_TRUE(db.Insert(kRows));
  e2e::RunOptions options;
  options.workDir = work.Path();
  options.registryFile = e2e::WriteConnectionRegistry(work.Path(), Narrow(db.ConnectionString()));
  options.steps = {{"", nullptr, "\n"}, {"Are you sure", [] { kill(e2e::RunningTool(), SIGXCPU); }, ""}};
  const e2e::RunResult r = e2e::RunTool(target, options);
  EXPECT_EQ(r.signal, SIGXCPU);
  EXPECT_EQ(r.err, "Error:The run was ended by a fault (CPU time limit) while asking for confirmation. No records were "
                   "deleted.\n");
  EXPECT_EQ(db.RemainingIds(), (std::vector<int>{1, 2, 3}));
}

// SQLite ends the transaction itself when the disk fills during the DELETE (here its
// journal meets the file size limit; the list is small enough to be written): the run
// reports that failure once, not the refused rollback after it as a second.
TEST(SQLiteFaults, FullDiskDuringTheDeletionIsReportedOnce) {
  const e2e::ToolTarget target = e2e::TargetFromEnvironment();
  TempDir work;
  TestDatabase db(Backend::SQLite);
  std::vector<TestRow> rows;
  for (int id = 1; id <= 3000; ++id) rows.push_back({id, u"old", std::nullopt, kOld, std::string(1000, 'd')});
  ASSERT_TRUE(db.Insert(rows));
  e2e::RunOptions options;
  options.workDir = work.Path();
  options.registryFile = e2e::WriteConnectionRegistry(work.Path(), Narrow(db.ConnectionString()));
  options.input = "\nyes\n";
  options.fileSizeLimit = 1 << 20;
  const e2e::RunResult r = e2e::RunTool(target, options);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(EndsWith(r.out, e2e::LineEnds(target, "\nNo records were deleted\n\n"))) << r.out;
  // NOTE: SQLite takes the write that the file size limit refuses (EFBIG) as an I/O
  // error, and a full file system (ENOSPC) as a full disk; either ends its transaction.
  const std::string line = e2e::LineEnds(target, "\n");
  EXPECT_EQ(r.err.substr(0, 14), "Error:[SQLite]") << r.err;
  EXPECT_EQ(r.err.find(line), r.err.size() - line.size()) << "one line:\n" << r.err;
  EXPECT_EQ(db.RemainingIds().size(), 3000u);
}

// Ctrl+Z while the DELETE waits (at the gate): the run stops only once its transaction
// has ended, so nobody else is kept out while it stays stopped. POSIX only: Windows has
// no job stops.
TEST(PosixJobControl, StopDuringTheDeleteWaitsUntilTheCommit) {
  const e2e::ToolTarget target = e2e::TargetFromEnvironment();
  TempDir work;
  TestDatabase db(Backend::PostgreSQL);
  ASSERT_TRUE(db.Insert(kRows));
  DeleteGate gate(db);
  bool stopped = false;
  std::vector<int> leftWhileStopped;
  e2e::RunOptions options;
  options.workDir = work.Path();
  options.registryFile = e2e::WriteConnectionRegistry(work.Path(), Narrow(db.ConnectionString()));
  options.terminal = true;
  options.timeoutSeconds = 60;
  auto stop = [&] {
    ASSERT_TRUE(gate.Reached());
    kill(e2e::RunningTool(), SIGTSTP);
    usleep(300000);
    gate.Open();
    stopped = e2e::WaitUntilStopped(e2e::RunningTool());
    leftWhileStopped = db.RemainingIds();
    kill(e2e::RunningTool(), SIGCONT);
  };
  options.steps = {{"Press any key", nullptr, "x"}, {"Are you sure", nullptr, "yes\r"}, {"Deleting records...", stop, ""}};
  const e2e::RunResult r = e2e::RunTool(target, options);
  EXPECT_TRUE(stopped) << "the stop was held, not dropped";
  EXPECT_EQ(leftWhileStopped, std::vector<int>{3}) << "committed before it stopped";
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("2 records were deleted."), std::string::npos) << r.out;
}

}  // namespace
