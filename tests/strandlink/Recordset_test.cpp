#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Databases.h"
#include "strandlink.h"

using namespace testing_support;

namespace {

// A recordset that binds FileID and OperationType and logs every hook the library calls.
class LoggingRecordset : public CODBCRecordset {
 public:
  explicit LoggingRecordset(CODBCDatabase* db) : CODBCRecordset(db, 1, 0, 0) {}

  void PrepareGet() override { log.push_back("PrepareGet"); }
  int BindFields() override {
    log.push_back("BindFields");
    const int r = CODBCRecordset::BindFields();
    m_nFields = 2;
    id = 0;
    idSlot = 4;
    opSlot = 4;
    m_bFieldsBound = BindField(1, &id, SQL_C_LONG, &idSlot) == SQL_SUCCESS &&
                     BindField(m_badColumn ? 99 : 4, &op, SQL_C_LONG, &opSlot) == SQL_SUCCESS;
    return r;
  }
  SQLRETURN GetLongFieldsData() override {
    log.push_back("GetLongFieldsData:" + std::to_string(id));
    return SQL_SUCCESS;
  }
  SQLRETURN UnbindLongFields() override {
    log.push_back("UnbindLongFields");
    return SQL_SUCCESS;
  }

  bool m_badColumn = false;
  int32_t id = 0, op = 0, idSlot = 0, opSlot = 0;
  std::vector<std::string> log;
};

class RecordsetTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    fixture = std::make_unique<TestDatabase>(GetParam());
    ASSERT_TRUE(fixture->Exec(
        "INSERT INTO FileTree (FileID, FileName, OperationType) VALUES (1, 'a', 18);"
        "INSERT INTO FileTree (FileID, FileName, OperationType) VALUES (2, 'b', 0);"
        "INSERT INTO FileTree (FileID, FileName, OperationType) VALUES (3, 'c', 18)"));
  }
  std::unique_ptr<TestDatabase> fixture;
};

TEST_P(RecordsetTest, WalksRowsAndCallsTheHooksInOrder) {
  LoggingRecordset rs(&fixture->Connection());
  ASSERT_GE(rs.Open(u"SELECT * FROM FileTree WHERE OperationType = 18 ORDER BY FileID"), 0);
  std::vector<int> ids;
  while (!rs.IsEof()) {
    ids.push_back(rs.id);
    EXPECT_EQ(rs.opSlot, 4);
    EXPECT_EQ(rs.op, 18);
    rs.MoveNext();
  }
  EXPECT_EQ(ids, (std::vector<int>{1, 3}));
  const std::vector<std::string> expected = {"PrepareGet", "BindFields", "GetLongFieldsData:1", "GetLongFieldsData:3"};
  EXPECT_EQ(rs.log, expected);
  // At the end MoveNext changes nothing and says so.
  EXPECT_EQ(rs.MoveNext(), SQL_NO_DATA);
  EXPECT_NE(rs.IsEof(), 0);
  _SQL_Error error;
  EXPECT_FALSE(rs.GetError(error)) << "a complete walk leaves no error";
  rs.Close();
  EXPECT_NE(rs.IsEof(), 0);
}

TEST_P(RecordsetTest, EmptyResultIsAtEndAtOnce) {
  LoggingRecordset rs(&fixture->Connection());
  ASSERT_GE(rs.Open(u"SELECT * FROM FileTree WHERE OperationType = 12345"), 0);
  EXPECT_NE(rs.IsEof(), 0);
  EXPECT_EQ(rs.log, (std::vector<std::string>{"PrepareGet", "BindFields"}));
}

TEST_P(RecordsetTest, FailingOpenYieldsTheDriversMessage) {
  LoggingRecordset rs(&fixture->Connection());
  EXPECT_LT(rs.Open(u"SELECT * FROM NoSuchTable"), 0);
  EXPECT_NE(rs.IsEof(), 0);
  _SQL_Error error;
  ASSERT_TRUE(rs.GetError(error));
  EXPECT_NE(Lower(Narrow(error.message)).find("nosuchtable"), std::string::npos) << Narrow(error.message);
  EXPECT_TRUE(rs.log.empty()) << "no hook runs for a statement that failed";
}

TEST_P(RecordsetTest, ColumnThatCannotBeBoundRefusesTheResultSet) {
  LoggingRecordset rs(&fixture->Connection());
  rs.m_badColumn = true;
  EXPECT_LT(rs.Open(u"SELECT * FROM FileTree"), 0);
  _SQL_Error error;
  EXPECT_TRUE(rs.GetError(error));
  EXPECT_NE(rs.IsEof(), 0);
}

TEST_P(RecordsetTest, StatementWithoutResultSetFailsWithoutError) {
  LoggingRecordset rs(&fixture->Connection());
  EXPECT_LT(rs.Open(u"UPDATE FileTree SET OperationType = OperationType WHERE FileID = 2"), 0);
  _SQL_Error error;
  EXPECT_FALSE(rs.GetError(error));
  EXPECT_NE(rs.IsEof(), 0);
}

TEST_P(RecordsetTest, ReopeningStartsAFreshResultSet) {
  LoggingRecordset rs(&fixture->Connection());
  ASSERT_GE(rs.Open(u"SELECT * FROM FileTree WHERE FileID = 2"), 0);
  EXPECT_EQ(rs.id, 2);
  ASSERT_GE(rs.Open(u"SELECT * FROM FileTree WHERE FileID = 3"), 0);
  EXPECT_EQ(rs.id, 3);
  rs.MoveNext();
  EXPECT_NE(rs.IsEof(), 0);
}

TEST_P(RecordsetTest, WritesAreRefusedWithAnErrorNotPretended) {
  LoggingRecordset rs(&fixture->Connection());
  ASSERT_GE(rs.Open(u"SELECT * FROM FileTree"), 0);
  _SQL_Error error;
  EXPECT_LT(rs.Insert(1), 0);
  EXPECT_TRUE(rs.GetError(error));
  EXPECT_LT(rs.Update(), 0);
  EXPECT_LT(rs.Delete(), 0);
  EXPECT_EQ(fixture->Scalar("SELECT COUNT(*) FROM FileTree"), "3");
}

TEST(RecordsetWithoutConnection, OpenFailsWithAnError) {
  CODBCDatabase db;
  LoggingRecordset rs(&db);
  EXPECT_LT(rs.Open(u"SELECT 1"), 0);
  _SQL_Error error;
  EXPECT_TRUE(rs.GetError(error));
}

INSTANTIATE_TEST_SUITE_P(Backends, RecordsetTest, ::testing::ValuesIn(AllBackends()), BackendParamName());

}  // namespace
