// The FileTree recordset: its row model without a database, and its binding against the
// real drivers.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CRegTreeRecSet.h"
#include "Databases.h"
#include "DebugCapture.h"

using namespace testing_support;

namespace {

// Reaches the protected parts of the library that the row model is built on.
class Probe : public CRegTreeRecSet {
 public:
  using CRegTreeRecSet::CRegTreeRecSet;
  int CallBindFields() { return BindFields(); }
  bool Bound() const { return m_bFieldsBound; }
  int32_t Fields() const { return m_nFields; }
};

TEST(CRegTreeRecSet, NewObjectIsAnEmptyRowWithItsCapacities) {
  CODBCDatabase db;
  Probe rs(&db, 1, 0);
  EXPECT_EQ(std::u16string(rs.GetFileName()), u"");
  ASSERT_NE(rs.GetFileIdentification(), nullptr);
  EXPECT_EQ(rs.GetFileIdentificationLength(), 1000);  // the capacity left in the slot
  const std::vector<uint8_t> zeros(1000, 0);
  EXPECT_EQ(std::memcmp(rs.GetFileIdentification(), zeros.data(), 1000), 0);
  EXPECT_EQ(rs.GetFileID(), 0);
  EXPECT_EQ(rs.GetOperationType(), 0);
  EXPECT_EQ(rs.GetFileData(), nullptr);
  EXPECT_EQ(rs.GetFileDataLength(), 0u);
  EXPECT_EQ(rs.Fields(), 5);
  EXPECT_EQ(rs.GetRecordID(), 0);
  const int32_t capacities[] = {4, 522, 1000, 4};
  for (int p = 1; p <= 4; ++p) EXPECT_EQ(rs.FieldSlot(p), capacities[p - 1]) << p;
}

TEST(CRegTreeRecSet, ColumnNamesInColumnOrder) {
  CODBCDatabase db;
  CRegTreeRecSet rs(&db, 1, 0);
  const char16_t* names[] = {u"FileID", u"FileName", u"FileIdentification", u"OperationType", u"FileData"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(std::u16string(rs.GetFieldName(i)), names[i]);
  // Outside the table there is no name, but never a null pointer.
  EXPECT_EQ(std::u16string(rs.GetFieldName(5)), u"");
  EXPECT_EQ(std::u16string(rs.GetFieldName(-1)), u"");
}

TEST(CRegTreeRecSet, PrepareSetMarksEveryColumnIgnoredAndHidesTheIdentification) {
  CODBCDatabase db;
  Probe rs(&db, 1, 0);
  const std::string record(112, '\x07');
  rs.SetFileIdentification(record.data(), 112);
  rs.PrepareSet();
  for (int p = 1; p <= 5; ++p) EXPECT_EQ(rs.FieldSlot(p), SQL_IGNORE) << p;
  EXPECT_EQ(rs.GetFileIdentification(), nullptr);
  EXPECT_EQ(rs.GetFileIdentificationLength(), 0);
  EXPECT_EQ(rs.Fields(), 4);
  rs.PrepareGet();
  EXPECT_EQ(rs.Fields(), 5);
  EXPECT_EQ(rs.FieldSlot(3), 1000);
}

TEST(CRegTreeRecSet, SetFileIdentificationNeverWritesPastTheField) {
  CODBCDatabase db;
  CRegTreeRecSet rs(&db, 1, 0);
  const std::string big(5000, '\x5a');
  rs.SetFileIdentification(big.data(), 5000);
  EXPECT_EQ(rs.GetFileIdentificationLength(), 5000);
  EXPECT_EQ(rs.GetFileIdentification()[999], 0x5a);
  // The next member is untouched.
  EXPECT_EQ(rs.GetOperationType(), 0);
  const std::string small(112, '\x01');
  rs.SetFileIdentification(small.data(), 112);
  EXPECT_EQ(rs.GetFileIdentificationLength(), 112);
  EXPECT_EQ(rs.GetFileIdentification()[111], 1);
  EXPECT_EQ(rs.GetFileIdentification()[112], 0) << "the rest of the buffer is cleared";
}

class RecordsetOnDriver : public ::testing::TestWithParam<Backend> {};

TEST_P(RecordsetOnDriver, FetchesBoundColumnsAndCutsWhatDoesNotFit) {
  TestDatabase fixture(GetParam());
  ASSERT_TRUE(fixture.WidenColumns());
  std::u16string longName;
  for (int i = 0; i < 300; ++i) longName.push_back(static_cast<char16_t>(u'a' + i % 26));
  std::string bigIdentification(1200, '\0');
  for (int i = 0; i < 1200; ++i) bigIdentification[i] = static_cast<char>(i * 7);
  const std::u16string unicode = u"\u00c5ngstr\u00f6m \u0414\u0430\u043d\u043d\u044b\u0435 \U0001F4C1";
  ASSERT_TRUE(fixture.Insert({
      {1, longName, bigIdentification, 18, std::nullopt},
      {2, unicode, std::nullopt, 50, std::nullopt},
      {3, u"plain", std::string(112, '\x11'), 7, std::nullopt},
  }));
  Probe rs(&fixture.Connection(), 1, 0);
  ASSERT_GE(rs.Open(u"SELECT * FROM FileTree ORDER BY FileID"), 0);
  EXPECT_EQ(rs.Fields(), 4) << "BindFields ran last";
  EXPECT_TRUE(rs.Bound());

  ASSERT_FALSE(rs.IsEof());
  EXPECT_EQ(rs.GetFileID(), 1);
  EXPECT_EQ(rs.GetRecordID(), 1);
  EXPECT_EQ(std::u16string(rs.GetFileName()), longName.substr(0, 260));
  EXPECT_EQ(rs.GetFileIdentificationLength(), 1200);
  EXPECT_EQ(std::memcmp(rs.GetFileIdentification(), bigIdentification.data(), 1000), 0);
  EXPECT_EQ(rs.GetOperationType(), 18);

  rs.MoveNext();
  ASSERT_FALSE(rs.IsEof());
  EXPECT_EQ(std::u16string(rs.GetFileName()), unicode);
  EXPECT_EQ(rs.GetFileIdentification(), nullptr);
  EXPECT_EQ(rs.GetFileIdentificationLength(), 0);
  EXPECT_EQ(rs.FieldSlot(3), SQL_NULL_DATA);

  rs.MoveNext();
  ASSERT_FALSE(rs.IsEof());
  EXPECT_EQ(std::u16string(rs.GetFileName()), u"plain");
  EXPECT_EQ(rs.GetFileIdentificationLength(), 112);
  EXPECT_EQ(rs.GetFileIdentification()[0], 0x11);
  EXPECT_EQ(rs.GetOperationType(), 7);
  rs.MoveNext();
  EXPECT_TRUE(rs.IsEof());
  // BindFields left the field count at 4: the fifth name is still there, but asking for
  // it is a caller error that the trace reports.
  DebugCapture capture;
  EXPECT_EQ(std::u16string(rs.GetFieldName(4)), u"FileData");
  ASSERT_EQ(capture.Strings().size(), 2u);
  EXPECT_EQ(capture.Strings()[1], u" 924\n");
  rs.Close();
}

TEST_P(RecordsetOnDriver, BindFieldsFailsWholeWhenTheResultSetLacksColumns) {
  TestDatabase fixture(GetParam());
  ASSERT_TRUE(fixture.Insert({{1, u"a", std::nullopt, 18, std::nullopt}}));
  Probe rs(&fixture.Connection(), 1, 0);
  EXPECT_LT(rs.Open(u"SELECT FileID, FileName FROM FileTree"), 0);
  _SQL_Error error;
  EXPECT_TRUE(rs.GetError(error));
  EXPECT_FALSE(rs.Bound());
}

INSTANTIATE_TEST_SUITE_P(Backends, RecordsetOnDriver, ::testing::ValuesIn(AllBackends()), BackendParamName());

}  // namespace
