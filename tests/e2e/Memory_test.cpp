// The run's memory: bounded whatever the number of rows where the driver streams, and an
// allocation that fails anywhere ends the run with a message, never an abort.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "Databases.h"
#include "ScopedEnvironment.h"
#include "TestSupport.h"
#include "ToolRunner.h"

using namespace testing_support;

namespace {

// Rows the database makes itself, far quicker than binding them: an obsolete row with a
// name and a 112-byte identification, keys 1 to n.
std::string FillStatement(Backend backend, int n) {
  const std::string count = std::to_string(n);
  if (backend == Backend::SQLite) {
    return "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < " + count +
           ") INSERT INTO FileTree (FileID, FileName, FileIdentification, OperationType) "
           "SELECT i, 'C:\\data\\archive\\file number ' || i, zeroblob(112), 18 FROM k";
  }
  return "INSERT INTO FileTree (FileID, FileName, FileIdentification, OperationType) "
         "SELECT i, 'C:\\data\\archive\\file number ' || i, decode(repeat('00', 112), 'hex'), 18 "
         "FROM generate_series(1, " + count + ") AS i";
}

// Where the driver can stream (the options docs/PERFORMANCE.md gives), the whole job (listing,
// "yes", the check, the DELETE and the commit) takes as much memory for 200,000 rows as
// for 10,000. Before the check streamed on SQLite it took about 0.4 KB more a row: some
// 75 MiB here.
class MemoryBound : public ::testing::TestWithParam<Backend> {};

TEST_P(MemoryBound, WholeJobTakesNoMoreMemoryForMoreRows) {
  const e2e::ToolTarget target = e2e::TargetFromEnvironment();
  const std::string streaming = GetParam() == Backend::SQLite ? "StepAPI=1;" : "UseDeclareFetch=1;";
  long peak[2] = {};
  const int sizes[2] = {10000, 200000};
  for (int i = 0; i < 2; ++i) {
    TestDatabase db(GetParam());
    ASSERT_TRUE(db.Exec(FillStatement(GetParam(), sizes[i])));
    TempDir work;
    e2e::RunOptions options;
    options.workDir = work.Path();
    options.registryFile = e2e::WriteConnectionRegistry(work.Path(), Narrow(db.ConnectionString()) + streaming);
    options.input = "\nyes\n";
    options.timeoutSeconds = 300;
    const e2e::RunResult r = e2e::RunTool(target, options);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_NE(r.out.find(std::to_string(sizes[i]) + " records were deleted."), std::string::npos) << r.out << r.err;
    EXPECT_TRUE(db.RemainingIds().empty());
    peak[i] = r.peakKiB;
  }
  EXPECT_LT(peak[1] - peak[0], 8 * 1024) << "peak " << peak[0] << " KiB for 10,000 rows, " << peak[1]
                                          << " KiB for 200,000";
}

INSTANTIATE_TEST_SUITE_P(Streaming, MemoryBound, ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         BackendParamName());

// Each allocation of a run made to fail in turn, and every one after it (a heap that has
// run out): the run ends with "Error:Out of memory while ..." and exit status 0, and the
// rows are all there, unless the message says they were deleted. The same run with the
// table changed at the question reaches the allocations of the check.
TEST(AllocationFailure, AnywhereEndsTheRunWithAMessage) {
  const e2e::ToolTarget target = e2e::SiblingTarget(e2e::TargetFromEnvironment(), "meridex-cleanup-failing-new");
  TestDatabase db(Backend::SQLite);
  const std::vector<TestRow> rows = {{1, u"kept", std::nullopt, 0, std::nullopt},
                                     {2, u"C:\\old\\one", std::nullopt, 18, std::nullopt},
                                     {3, u"C:\\old\\two", std::nullopt, 18, std::nullopt}};
  ASSERT_TRUE(db.Insert(rows));
  TempDir work;
  const std::string registry = e2e::WriteConnectionRegistry(work.Path(), Narrow(db.ConnectionString()) + "StepAPI=1;");
  auto run = [&](long long failFrom, bool changeAtQuestion) {
    ScopedEnvironmentVariable fail("MERIDEX_FAIL_ALLOCATION", std::to_string(failFrom).c_str());
    ScopedEnvironmentVariable count("MERIDEX_COUNT_ALLOCATIONS", work.File("count").c_str());
    e2e::RunOptions options;
    options.workDir = work.Path();
    options.registryFile = registry;
    const auto change = [&] {
      if (changeAtQuestion) {
        ASSERT_TRUE(db.Exec("UPDATE FileTree SET FileName = 'moved' WHERE FileID = 2"));
      }
    };
    options.steps = {{"", nullptr, "\n"}, {"Are you sure", change, "yes\n"}};
    return e2e::RunTool(target, options);
  };
  auto allocations = [&](bool changeAtQuestion) {
    const e2e::RunResult r = run(-1, changeAtQuestion);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(db.Exec("DELETE FROM FileTree"));
    EXPECT_TRUE(db.Insert(rows));
    return std::stoll(ReadFileBytes(work.File("count")));
  };
  const long long plain = allocations(false), changed = allocations(true);
  ASSERT_GT(changed, plain) << "the message about the change is built on the heap";
  std::set<std::string> seen;
  for (long long n = 1; n <= changed; ++n) {
    const bool change = n > plain;
    SCOPED_TRACE("allocation " + std::to_string(n) + (change ? ", table changed" : ""));
    const e2e::RunResult r = run(n, change);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::size_t at = r.err.find("Error:Out of memory ");
    ASSERT_NE(at, std::string::npos) << r.out << r.err;
    std::string message = r.err.substr(at, r.err.find('\n', at) - at);
    if (!message.empty() && message.back() == '\r') message.pop_back();  // the Windows build's line end
    seen.insert(message);
    const bool deleted = message.find("after 2 records were deleted.") != std::string::npos;
    const std::vector<int> left = deleted ? std::vector<int>{1} : std::vector<int>{1, 2, 3};
    EXPECT_EQ(db.RemainingIds(), left) << message;
    EXPECT_EQ(r.out.find("records were deleted."), std::string::npos) << r.out;
    for (const auto& entry : std::filesystem::directory_iterator(work.Path())) {
      EXPECT_NE(entry.path().extension(), ".tmp") << "a new list left behind";
    }
    ASSERT_TRUE(db.Exec("DELETE FROM FileTree"));
    ASSERT_TRUE(db.Insert(rows));
  }
  for (const char* doing : {"reading the connection string", "connecting to the database", "listing the old records",
                            "deleting the records"}) {
    EXPECT_NE(seen.count(std::string("Error:Out of memory while ") + doing + ". No records were deleted."), 0u) << doing;
  }
}

// Under a limit on the address space (ulimit -v), at sizes from where the run cannot get
// far to where it just fits: wherever memory runs out (our registry reading with a large
// registry file, the driver or the driver manager with a small one), the run ends with
// exit status 0 and a message, and every row is there. Only the dynamic loader, before the
// tool runs at all, may end it otherwise.
class PosixMemoryLimit : public ::testing::TestWithParam<Backend> {};

TEST_P(PosixMemoryLimit, AnyLimitEndsTheRunWithAMessage) {
  const e2e::ToolTarget target = e2e::TargetFromEnvironment();
  TestDatabase db(GetParam());
  const std::vector<TestRow> rows = {{1, u"kept", std::nullopt, 0, std::nullopt},
                                     {2, u"C:\\old\\one", std::nullopt, 18, std::nullopt}};
  ASSERT_TRUE(db.Insert(rows));
  TempDir work, padded;
  const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora\\Meridex_4\\Database]\r\n\"MSSQLConnectString\"=\"" +
                          e2e::RegString(Narrow(db.ConnectionString())) + "\"\r\n";
  // A value of 3 MiB beside the connection string (the file may hold 4) makes the
  // registry's reading the largest allocation of the run.
  const std::string registries[] = {e2e::WriteRegistryFile(work.Path(), key),
                                    e2e::WriteRegistryFile(padded.Path(), key + "\"Padding\"=\"" +
                                                                                 std::string(3 * 1024 * 1024, 'x') + "\"\r\n")};
  std::set<std::string> endings;
  for (const std::string& registry : registries) {
    // true when the run deleted the listed row; the rows are put back for the next run.
    auto run = [&](long long limitKiB) {
      e2e::RunOptions options;
      options.workDir = work.Path();
      options.registryFile = registry;
      options.input = "\nyes\n";
      options.addressSpaceLimit = limitKiB * 1024;
      const e2e::RunResult r = e2e::RunTool(target, options);
      const bool deleted = r.out.find("1 records were deleted.") != std::string::npos;
      SCOPED_TRACE("limit " + std::to_string(limitKiB) + " KiB\n" + r.out + r.err);
      if (r.status == 127 && r.err.find("error while loading shared libraries") != std::string::npos) return false;
      // A driver manager that crashes on its own failed allocation: last words, then the
      // process dies of the fault.
      const bool fault = r.err.find("Error:The run was ended by a fault (") != std::string::npos;
      EXPECT_EQ(r.status, fault ? -1 : 0);
      const std::vector<int> left = deleted ? std::vector<int>{1} : std::vector<int>{1, 2};
      EXPECT_EQ(db.RemainingIds(), left);
      if (!deleted) {
        const std::size_t error = r.err.find("Error:");
        const std::size_t sql = r.out.find("SQL Error");
        EXPECT_TRUE(error != std::string::npos || sql != std::string::npos) << "no message";
        endings.insert(error != std::string::npos ? r.err.substr(error, r.err.find_first_of(".(", error) - error)
                                                  : r.out.substr(sql, r.out.find(':', sql) - sql));
        return false;
      }
      EXPECT_TRUE(db.Exec("DELETE FROM FileTree"));
      EXPECT_TRUE(db.Insert(rows));
      return true;
    };
    // The least limit the whole run fits in, to 64 KiB (below 8 MiB not even the dynamic
    // loader gets far).
    long long fails = 8 * 1024, fits = 1024 * 1024;
    ASSERT_TRUE(run(fits));
    while (fits - fails > 64) {
      const long long middle = (fits + fails) / 2;
      (run(middle) ? fits : fails) = middle;
    }
    // Just below it, where the last allocations fail, and further down, where earlier ones do.
    for (int k = 1; k <= 16; ++k) (void)run(fits - 64 * k);
    for (long long below = 2048; fits - below > fails / 2; below *= 2) (void)run(fits - below);
    // And from the bottom, where the registry is read before any driver is loaded.
    for (long long limit = 8 * 1024 + 512; limit < fits && limit <= 14 * 1024; limit += 512) (void)run(limit);
  }
  std::string seen;
  for (const std::string& ending : endings) seen += ending + "\n";
  EXPECT_NE(endings.count("Error:Out of memory while reading the connection string"), 0u) << seen;
}

INSTANTIATE_TEST_SUITE_P(Posix, PosixMemoryLimit, ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         BackendParamName());

}  // namespace
