// The recordset's checks of its callers: each failed check sends the fixed text and its
// line number to the debugger channel, and the operation carries on.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CRegTreeRecSet.h"
#include "DebugCapture.h"
#include "Win32Variant.h"

namespace {

const std::u16string kText = u"ASSERT(##x##), file ..\\inc\\CRegTreeRecSet line ";

std::vector<std::u16string> Trace(int line) {
  const std::string digits = std::to_string(line);
  return {kText, u" " + std::u16string(digits.begin(), digits.end()) + u"\n"};
}

std::vector<std::u16string> Traces(std::initializer_list<int> lines) {
  std::vector<std::u16string> all;
  for (int line : lines) {
    const auto one = Trace(line);
    all.insert(all.end(), one.begin(), one.end());
  }
  return all;
}

TEST(RecordsetTrace, FieldNameOutOfRangeIsTracedAndStillAnswers) {
  CODBCDatabase db;
  CRegTreeRecSet rs(&db, 1, 0);
  DebugCapture capture;
  EXPECT_EQ(std::u16string(rs.GetFieldName(4)), u"FileData");
  EXPECT_TRUE(capture.Strings().empty()) << "field count 5 after construction";
  rs.PrepareSet();  // field count 4, as after BindFields
  EXPECT_EQ(std::u16string(rs.GetFieldName(4)), u"FileData");
  EXPECT_EQ(capture.Strings(), Trace(924));
  capture.Clear();
  (void)rs.GetFieldName(-1);
  (void)rs.GetFieldName(7);
  EXPECT_EQ(capture.Strings(), Traces({924, 924}));
}

TEST(RecordsetTrace, IdentificationOfAnotherLengthIsTracedAndStored) {
  CODBCDatabase db;
  CRegTreeRecSet rs(&db, 2, 0);
  rs.PrepareSet();
  DebugCapture capture;
  const std::string bytes(111, '\x2a');
  rs.SetFileIdentification(bytes.data(), 111);
  EXPECT_EQ(capture.Strings(), Trace(1029));
  EXPECT_EQ(rs.GetFileIdentificationLength(), 111);
  capture.Clear();
  rs.SetFileIdentification(nullptr, 0);
  EXPECT_EQ(capture.Strings(), Trace(1029));
  EXPECT_EQ(rs.FieldSlot(3), 111) << "a null record leaves the slot as it was";
  EXPECT_EQ(rs.GetFileIdentification()[0], 0) << "and clears the buffer";
  capture.Clear();
  const std::string record(112, '\x01');
  rs.SetFileIdentification(record.data(), 112);
  EXPECT_TRUE(capture.Strings().empty());
}

TEST(RecordsetTrace, UnknownColumnNamesAndNullPathsAreTraced) {
  CODBCDatabase db;
  CRegTreeRecSet rs(&db, 2, 0);
  rs.PrepareSet();
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I4;
  value.lVal = 5;
  DebugCapture capture;
  rs.SetFieldValue(u"sourcename", value);  // the pseudo-column is case-sensitive
  EXPECT_EQ(capture.Strings(), Trace(1091));
  capture.Clear();

  VARIANT nullPath;
  VariantInit(&nullPath);
  nullPath.vt = VT_BSTR;
  nullPath.bstrVal = nullptr;
  rs.SetFieldValue(u"SourceName", nullPath);
  // The null path is traced where the record is built, and the empty record is stored.
  EXPECT_EQ(capture.Strings(), Trace(1130));
  EXPECT_EQ(rs.GetFileIdentificationLength(), 112);
  capture.Clear();

  FileIdentificationRecord record;
  EXPECT_FALSE(rs.BuildFileIdentification(u"", &record));
  EXPECT_TRUE(capture.Strings().empty()) << "an empty path is no caller error";
}

}  // namespace
