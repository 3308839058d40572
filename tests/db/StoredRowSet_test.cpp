// The sums that the check after "yes" compares, as each real server computes them: they
// tell apart exactly the row sets an operator would call different (order never matters;
// every byte, every length and every NULL does), and the listing's digests of the rows,
// read one by one, add up to what the check is answered.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Databases.h"
#include "StoredRowSet.h"

using namespace testing_support;

namespace {

const std::u16string kAll = u"OperationType <> 0";

class StoredRows : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    db = std::make_unique<TestDatabase>(GetParam());
    ASSERT_TRUE(db->WidenColumns());
    ASSERT_NE(session.Connect(db->ConnectionString().c_str(), nullptr), 0);
  }
  // The check's sums of rows, and the listing's of the same rows (its digests added up,
  // or the server's sums in its snapshot).
  CStoredRowSet::Sums Sums(const std::vector<TestRow>& rows, const uint8_t (&key)[16], CStoredRowSet::Sums* listed) {
    EXPECT_TRUE(db->Exec("DELETE FROM FileTree"));
    EXPECT_TRUE(db->Insert(rows));
    CStoredRowSet records(&session, key);
    CStoredRowSet::Sums sums;
    _SQL_Error error;
    EXPECT_TRUE(records.Summarize(kAll, CStoredRowSet::Sums(), sums, nullptr, nullptr, error)) << Narrow(error.message);
    if (listed != nullptr) {
      EXPECT_EQ(records.OpenRows(kAll), 0);
      CStoredRowSet::Name name;
      CStoredRowSet::Digest digest;
      for (; !records.IsEof(); (void)records.MoveNext()) {
        EXPECT_TRUE(records.ReadRow(name, digest));
        listed->Add(digest);
      }
      EXPECT_TRUE(records.FinishRows(listed->count, *listed));
      records.Close();
    }
    return sums;
  }
  std::unique_ptr<TestDatabase> db;
  CServerConnection session;  // with the rules of the server, as the tool connects
};

TEST_P(StoredRows, SumsTellApartWhatDiffersAndNothingElse) {
  const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const std::string id112(112, '\x01');
  const TestRow a = {1, u"a", id112, 18, std::nullopt}, b = {2, u"b", std::nullopt, 18, std::string("x")};
  struct Case {
    const char* name;
    std::vector<TestRow> listed, now;
    bool same;
  };
  const Case cases[] = {
      {"the same rows inserted in another order", {a, b}, {b, a}, true},
      {"FileData changed, which is not compared", {a, b}, {a, {2, u"b", std::nullopt, 18, std::string("y")}}, true},
      {"names swapped between two rows", {a, b}, {{1, u"b", id112, 18, std::nullopt}, {2, u"a", std::nullopt, 18, std::nullopt}}, false},
      {"a NULL identification and an empty one", {{1, u"a", std::nullopt, 18, std::nullopt}}, {{1, u"a", std::string(), 18, std::nullopt}}, false},
      {"another operation type, still matching", {a}, {{1, u"a", id112, 50, std::nullopt}}, false},
      {"one byte of the identification", {a}, {{1, u"a", std::string(111, '\x01') + '\x02', 18, std::nullopt}}, false},
      {"the name ends where the identification begins", {{1, u"ab", std::string(), 18, std::nullopt}}, {{1, u"a", std::string("b"), 18, std::nullopt}},
       false},
      {"a name that differs past 260 characters", {{1, std::u16string(300, u'n'), id112, 18, std::nullopt}},
       {{1, std::u16string(289, u'n') + u'X' + std::u16string(10, u'n'), id112, 18, std::nullopt}}, false},
      {"an identification that differs past 1000 bytes", {{1, u"a", std::string(1500, 'i'), 18, std::nullopt}},
       {{1, u"a", std::string(1499, 'i') + "X", 18, std::nullopt}}, false},
      {"a byte 01 moved from the name into the identification", {{1, u"a\u0001b", std::string("c"), 18, std::nullopt}},
       {{1, u"a", std::string("b\x01" "c"), 18, std::nullopt}}, false},
      {"another key", {a}, {{3, u"a", id112, 18, std::nullopt}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CStoredRowSet::Sums listed;
    const CStoredRowSet::Sums before = Sums(c.listed, key, &listed);
    EXPECT_EQ(listed, before) << "the listing's digests add up to the check's sums";
    EXPECT_EQ(before == Sums(c.now, key, nullptr), c.same);
  }
  // The same rows under another run's key give other sums.
  uint8_t other[16] = {};
  other[15] = 1;
  EXPECT_FALSE(Sums({a, b}, key, nullptr) == Sums({a, b}, other, nullptr));
}

INSTANTIATE_TEST_SUITE_P(Backends, StoredRows, ::testing::ValuesIn(AllBackends()), BackendParamName());

// Where a second session sums the listed rows, its sums count for the listing only when
// it counted the rows that were listed: here a condition true on the listing's session
// alone.
using SummedApart = StoredRows;

TEST_P(SummedApart, SumsOfOtherRowsThanListedAreRefused) {
  ASSERT_TRUE(db->Insert({{1, u"a", std::nullopt, 18, std::nullopt}, {2, u"b", std::nullopt, 18, std::nullopt}}));
  _SQL_Error error;
  ASSERT_NE(session.Execute(u"SET meridex.listing = 'on'", error), 0) << Narrow(error.message);
  const uint8_t key[16] = {1};
  CStoredRowSet records(&session, key);
  ASSERT_EQ(records.OpenRows(u"OperationType <> 0 AND current_setting('meridex.listing', true) = 'on'"), 0);
  CStoredRowSet::Sums listed;
  CStoredRowSet::Name name;
  CStoredRowSet::Digest digest;
  for (; !records.IsEof(); (void)records.MoveNext()) {
    ASSERT_TRUE(records.ReadRow(name, digest));
    listed.Add(digest);
  }
  ASSERT_EQ(listed.count, 2);
  EXPECT_FALSE(records.FinishRows(listed.count, listed));
  ASSERT_TRUE(records.GetError(error));
  EXPECT_EQ(Narrow(error.message), "The server summed other rows than were listed.");
}

INSTANTIATE_TEST_SUITE_P(Backends, SummedApart, ::testing::Values(Backend::PostgreSQL), BackendParamName());

}  // namespace
