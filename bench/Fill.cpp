// meridex-fill: fills a Meridex FileTree with generated rows, for the demo and the
// benchmark. Rows come in batches of bound parameter arrays inside transactions: one
// statement and one commit per row would make a large table far slower to fill.
//
//   meridex-fill CONNECTION ROWS [--schema FILE] [--old-percent P] [--data-min N]
//                [--data-max N] [--seed S]
//
// Names look like Meridex paths; identification records carry real times (some NULL);
// P percent of the rows are obsolete (the clean-up selects them).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "FileIdentification.h"
#include "SqlScript.h"
#include "WideText.h"
#include "strandlink.h"

namespace {

constexpr int kBatch = 1000;
constexpr int kNameChars = 128;
constexpr uint64_t kUnixEpochAsFiletime = 116444736000000000ULL;

struct Options {
  std::string connection;
  long long rows = 0;
  std::string schema;
  int oldPercent = 30;
  int dataMin = 0;
  int dataMax = 256;
  unsigned seed = 4;
};

int Usage() {
  std::fprintf(stderr,
               "usage: meridex-fill CONNECTION ROWS [--schema FILE] [--old-percent P] [--data-min N] [--data-max N] [--seed S]\n");
  return 2;
}

bool Fail(const char* what, SQLSMALLINT type, SQLHANDLE handle) {
  _SQL_Error error;
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  SQLGetDiagRecW(type, handle, 1, AsSqlText(error.sqlState), &native, AsSqlText(error.message), 1023, &length);
  std::fprintf(stderr, "meridex-fill: %s: %s\n", what, ToUtf8(error.message).c_str());
  return false;
}

void PutFiletime(uint8_t* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool Fill(CODBCDatabase& db, const Options& o) {
  SQLHDBC dbc = db.Handle();
  SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SqlSucceeded(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) return Fail("statement", SQL_HANDLE_DBC, dbc);
  if (!SqlSucceeded(SQLPrepareW(stmt,
                                AsSqlText(u"INSERT INTO FileTree (FileID, FileName, FileIdentification, OperationType, "
                                          u"FileData) VALUES (?, ?, ?, ?, ?)"),
                                SQL_NTS))) {
    return Fail("prepare", SQL_HANDLE_STMT, stmt);
  }
  const int dataCapacity = o.dataMax > 0 ? o.dataMax : 1;
  std::vector<SQLINTEGER> ids(kBatch), ops(kBatch);
  std::vector<char16_t> names(static_cast<std::size_t>(kBatch) * kNameChars);
  std::vector<uint8_t> idents(static_cast<std::size_t>(kBatch) * kFileIdentificationSize);
  std::vector<uint8_t> data(static_cast<std::size_t>(kBatch) * dataCapacity);
  std::vector<SQLLEN> nameInd(kBatch), identInd(kBatch), dataInd(kBatch);

  SQLSetStmtAttr(stmt, SQL_ATTR_PARAM_BIND_TYPE, SQL_PARAM_BIND_BY_COLUMN, 0);
  SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, ids.data(), 0, nullptr);
  SQLBindParameter(stmt, 2, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 260, 0, names.data(), kNameChars * 2, nameInd.data());
  SQLBindParameter(stmt, 3, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_VARBINARY, kFileIdentificationSize, 0, idents.data(),
                   kFileIdentificationSize, identInd.data());
  SQLBindParameter(stmt, 4, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, ops.data(), 0, nullptr);
  SQLBindParameter(stmt, 5, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY, static_cast<SQLULEN>(dataCapacity), 0,
                   data.data(), dataCapacity, dataInd.data());

  std::mt19937 random(o.seed);
  static constexpr int kKept[] = {0, 1, 2, 3, 16, 17, 19, 20, 22, 26, 34, 66};
  static constexpr int kOld[] = {18, 50, 82, 146};
  const uint64_t from = kUnixEpochAsFiletime + 1420070400ULL * 10000000ULL;  // 2015-01-01
  const uint64_t span = 10ULL * 365 * 24 * 3600 * 10000000ULL;
  for (long long start = 0; start < o.rows; start += kBatch) {
    const int n = static_cast<int>(std::min<long long>(kBatch, o.rows - start));
    for (int i = 0; i < n; ++i) {
      const long long id = start + i + 1;
      ids[i] = static_cast<SQLINTEGER>(id);
      const bool old = static_cast<int>(random() % 100) < o.oldPercent;
      ops[i] = old ? kOld[random() % 4] : kKept[random() % 12];
      char name[kNameChars];
      const int len = std::snprintf(name, sizeof name, "C:\\Program Files\\Talvora\\Meridex\\Storage\\%03lld\\document_%07lld.dat",
                                    id % 997, id);
      for (int c = 0; c < len; ++c) names[static_cast<std::size_t>(i) * kNameChars + c] = static_cast<char16_t>(name[c]);
      nameInd[i] = len * 2;
      if (random() % 20 == 0) {
        identInd[i] = SQL_NULL_DATA;
      } else {
        uint8_t* r = &idents[static_cast<std::size_t>(i) * kFileIdentificationSize];
        std::memset(r, 0, kFileIdentificationSize);
        const uint64_t created = from + (static_cast<uint64_t>(random()) * 1000003ULL) % span;
        const uint64_t written = created + (static_cast<uint64_t>(random()) % 1000) * 864000000000ULL / 10;
        r[0] = 1;
        r[4] = 28;
        PutFiletime(r + 8, created);
        PutFiletime(r + 16, written);
        PutFiletime(r + 24, written);
        r[32] = 56;
        identInd[i] = kFileIdentificationSize;
      }
      const int size = o.dataMax > o.dataMin ? o.dataMin + static_cast<int>(random() % (o.dataMax - o.dataMin + 1)) : o.dataMin;
      if (size == 0 && random() % 2 == 0) {
        dataInd[i] = SQL_NULL_DATA;
      } else {
        uint8_t* d = &data[static_cast<std::size_t>(i) * dataCapacity];
        for (int b = 0; b < size; ++b) d[b] = static_cast<uint8_t>(random());
        dataInd[i] = size;
      }
    }
    SQLSetStmtAttr(stmt, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(n)), 0);
    if (!SqlSucceeded(SQLExecute(stmt))) return Fail("insert", SQL_HANDLE_STMT, stmt);
    if ((start / kBatch) % 50 == 49 && !SqlSucceeded(SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT))) {
      return Fail("commit", SQL_HANDLE_DBC, dbc);
    }
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  if (!SqlSucceeded(SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT))) return Fail("commit", SQL_HANDLE_DBC, dbc);
  SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  Options o;
  o.connection = argv[1];
  o.rows = std::atoll(argv[2]);
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--schema") o.schema = value;
    else if (flag == "--old-percent") o.oldPercent = std::atoi(value);
    else if (flag == "--data-min") o.dataMin = std::atoi(value);
    else if (flag == "--data-max") o.dataMax = std::atoi(value);
    else if (flag == "--seed") o.seed = static_cast<unsigned>(std::atoi(value));
    else return Usage();
  }
  if (o.rows < 0 || o.dataMin < 0 || o.dataMax < o.dataMin || o.oldPercent < 0 || o.oldPercent > 100) return Usage();

  CODBCDatabase db;
  const std::u16string connection = FromUtf8(o.connection);
  if (!db.DriverConnect(connection.c_str(), nullptr, nullptr, sqlNoPrompt)) {
    _SQL_Error error;
    (void)db.GetError(error);
    std::fprintf(stderr, "meridex-fill: cannot connect: %s\n", ToUtf8(error.message).c_str());
    return 1;
  }
  if (!o.schema.empty()) {
    std::ifstream in(o.schema, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
      std::fprintf(stderr, "meridex-fill: cannot read %s\n", o.schema.c_str());
      return 1;
    }
    for (const std::string& statement : SplitSqlStatements(text.str())) {
      _SQL_Error error;
      if (!db.Execute(FromUtf8(statement).c_str(), error)) {
        std::fprintf(stderr, "meridex-fill: schema: %s\n", ToUtf8(error.message).c_str());
        return 1;
      }
    }
  }
  return Fill(db, o) ? 0 : 1;
}
