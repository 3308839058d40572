// Rows written through the recordset and read back, on the real drivers: the setters,
// "SourceName", a copy of a fetched row, the long field of several megabytes, updates
// that touch one column, deletes, and the hooks the library calls around a write.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "CRegTreeRecSet.h"
#include "Databases.h"
#include "Win32Variant.h"

using namespace testing_support;

namespace {

std::string Bytes(const uint8_t* data, std::size_t n) {
  return data == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(data), n);
}

// A FileTree row as read back through a read-only recordset.
struct Stored {
  bool found = false;
  int id = 0, operationType = 0;
  std::u16string name;
  bool identificationNull = true;
  std::string identification;
  int identificationLength = 0;
  int32_t dataSlot = 0;
  std::string data;
};

Stored ReadRow(CODBCDatabase& db, int id) {
  Stored row;
  CRegTreeRecSet rs(&db, 1, 0);
  const std::u16string sql = u"SELECT * FROM FileTree WHERE FileID = " + Wide(std::to_string(id));
  if (rs.Open(sql.c_str()) < 0 || rs.IsEof()) return row;
  row.found = true;
  row.id = rs.GetFileID();
  row.name = rs.GetFileName();
  row.operationType = rs.GetOperationType();
  row.identificationNull = rs.GetFileIdentification() == nullptr;
  // The length may tell more than the buffer holds.
  row.identification = Bytes(rs.GetFileIdentification(),
                             std::min<std::size_t>(static_cast<std::size_t>(rs.GetFileIdentificationLength()),
                                                   CRegTreeRecSet::kFileIdentificationBytes));
  row.identificationLength = rs.GetFileIdentificationLength();
  row.dataSlot = rs.FieldSlot(5);
  if (row.dataSlot > 0) row.data = Bytes(rs.GetFileData(), rs.GetFileDataLength());
  return row;
}

std::string ErrorOf(const CODBCRecordset& rs) {
  _SQL_Error error;
  return rs.GetError(error) ? Narrow(error.message) : "(no error)";
}

// Logs the long-field hooks as the library calls them.
class HookLog : public CRegTreeRecSet {
 public:
  using CRegTreeRecSet::CRegTreeRecSet;
  SQLRETURN BindLongFields() override {
    log.push_back("BindLongFields");
    return CRegTreeRecSet::BindLongFields();
  }
  SQLRETURN PutLongFieldsData() override {
    log.push_back("PutLongFieldsData");
    return CRegTreeRecSet::PutLongFieldsData();
  }
  SQLRETURN UnbindLongFields() override {
    log.push_back("UnbindLongFields");
    return CRegTreeRecSet::UnbindLongFields();
  }
  std::vector<std::string> log;
};

class Writes : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    fixture = std::make_unique<TestDatabase>(GetParam());
    ASSERT_TRUE(fixture->Insert({{1, u"first", std::string(112, '\x01'), 2, std::string("abc")},
                                 {2, u"second", std::nullopt, 18, std::string("xyz")},
                                 {3, u"third", std::nullopt, 0, std::string("pq")}}));
  }
  // An updatable recordset on the given selection.
  void OpenWriter(CRegTreeRecSet& rs, const char16_t* sql = u"SELECT * FROM FileTree WHERE 1 = 0") {
    ASSERT_GE(rs.Open(sql), 0) << ErrorOf(rs);
  }
  CODBCDatabase& Db() { return fixture->Connection(); }
  std::unique_ptr<TestDatabase> fixture;
  TempDir dir;
};

TEST_P(Writes, InsertsARowFilledByTheSetters) {
  HookLog rs(&Db(), 2, 0);
  OpenWriter(rs);
  rs.PrepareSet();
  rs.SetFileID(10);
  rs.SetFileName(u"C:\\data\\\u00e9t\u00e9.dat");
  std::string record(112, '\0');
  for (int i = 0; i < 112; ++i) record[i] = static_cast<char>(i);
  rs.SetFileIdentification(record.data(), 112);
  rs.SetOperationType(18);
  std::string big(5 * 1024 * 1024 + 3, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 24);
  ASSERT_EQ(rs.SetLongFieldData(big.data(), static_cast<unsigned long>(big.size())), S_OK);
  ASSERT_TRUE(SqlSucceeded(static_cast<SQLRETURN>(rs.Insert(1)))) << ErrorOf(rs);
  EXPECT_EQ(rs.log, (std::vector<std::string>{"BindLongFields", "PutLongFieldsData", "UnbindLongFields"}));

  const Stored row = ReadRow(Db(), 10);
  ASSERT_TRUE(row.found);
  EXPECT_EQ(row.name, u"C:\\data\\\u00e9t\u00e9.dat");
  EXPECT_EQ(row.identification, record);
  EXPECT_EQ(row.operationType, 18);
  EXPECT_EQ(row.dataSlot, static_cast<int32_t>(big.size()));
  EXPECT_TRUE(row.data == big) << "FileData differs";  // not printed: it is megabytes
}

TEST_P(Writes, ColumnsLeftAloneAreNotSent) {
  HookLog rs(&Db(), 2, 0);
  OpenWriter(rs);
  rs.PrepareSet();
  rs.SetFileID(11);
  rs.SetFileName(u"bare");
  rs.SetOperationType(0);
  ASSERT_TRUE(SqlSucceeded(static_cast<SQLRETURN>(rs.Insert(1)))) << ErrorOf(rs);
  EXPECT_EQ(rs.log, (std::vector<std::string>{"BindLongFields", "UnbindLongFields"})) << "no data at execution";
  const Stored row = ReadRow(Db(), 11);
  ASSERT_TRUE(row.found);
  EXPECT_TRUE(row.identificationNull);
  EXPECT_EQ(row.dataSlot, SQL_NULL_DATA);
}

TEST_P(Writes, NullAndEmptyLongFields) {
  CRegTreeRecSet rs(&Db(), 2, 0);
  OpenWriter(rs);
  rs.PrepareSet();
  rs.SetFileID(12);
  rs.SetFileName(u"null data");
  rs.SetOperationType(0);
  ASSERT_EQ(rs.SetLongFieldData(nullptr, 0), S_OK);
  ASSERT_TRUE(SqlSucceeded(static_cast<SQLRETURN>(rs.Insert(1)))) << ErrorOf(rs);
  EXPECT_EQ(ReadRow(Db(), 12).dataSlot, SQL_NULL_DATA);
  ASSERT_TRUE(fixture->Insert({{13, u"empty data", std::nullopt, 0, std::string()}}));
  const Stored empty = ReadRow(Db(), 13);
  EXPECT_EQ(empty.dataSlot, 0);
}

TEST_P(Writes, SourceNameAndCopyFromRoundTrip) {
  std::string content(300000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 251);
  WriteFileBytes(dir.File("source.bin"), content);
  CRegTreeRecSet rs(&Db(), 2, 0);
  OpenWriter(rs);
  rs.PrepareSet();
  rs.SetFileID(20);
  rs.SetFileName(u"from a file");
  rs.SetOperationType(18);
  VARIANT path;
  VariantInit(&path);
  path.vt = VT_BSTR;
  path.bstrVal = SysAllocString(Wide(dir.File("source.bin")).c_str());
  rs.SetFieldValue(u"SourceName", path);
  (void)VariantClear(&path);
  const std::string record = Bytes(rs.GetFileIdentification(), 112);
  ASSERT_TRUE(SqlSucceeded(static_cast<SQLRETURN>(rs.Insert(1)))) << ErrorOf(rs);
  const Stored stored = ReadRow(Db(), 20);
  EXPECT_EQ(stored.identification, record);
  EXPECT_TRUE(stored.data == content) << "FileData differs: " << stored.data.size() << " bytes";

  // A fetched row copied into a new one, under another key.
  CRegTreeRecSet source(&Db(), 2, 0);
  ASSERT_GE(source.Open(u"SELECT * FROM FileTree WHERE FileID = 20"), 0);
  CRegTreeRecSet copy(&Db(), 2, 0);
  OpenWriter(copy);
  copy.PrepareSet();
  copy.CopyFrom(source);
  copy.SetFileID(21);
  ASSERT_TRUE(SqlSucceeded(static_cast<SQLRETURN>(copy.Insert(1)))) << ErrorOf(copy);
  const Stored copied = ReadRow(Db(), 21);
  EXPECT_EQ(copied.name, u"from a file");
  EXPECT_EQ(copied.identification, record);
  EXPECT_EQ(copied.operationType, 18);
  EXPECT_TRUE(copied.data == content) << "FileData differs: " << copied.data.size() << " bytes";
}

TEST_P(Writes, UpdateOfOneColumnLeavesTheOthers) {
  // The second reads the row without its long field, as the check after "yes" does, and
  // writes every column it read: that row's FileData is absent, not NULL, and stays.
  const struct {
    const char16_t* selection;
    bool prepareSet;
  } cases[] = {{u"SELECT * FROM FileTree WHERE FileID = 1", true},
               {u"SELECT FileID, FileName, FileIdentification, OperationType FROM FileTree WHERE FileID = 1", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.selection));
    ASSERT_TRUE(fixture->Exec("UPDATE FileTree SET OperationType = 2 WHERE FileID = 1"));
    const Stored before = ReadRow(Db(), 1);
    HookLog rs(&Db(), 2, 0);
    OpenWriter(rs, c.selection);
    ASSERT_FALSE(rs.IsEof());
    if (c.prepareSet) rs.PrepareSet();
    rs.SetOperationType(50);
    ASSERT_TRUE(SqlSucceeded(static_cast<SQLRETURN>(rs.Update()))) << ErrorOf(rs);
    const Stored after = ReadRow(Db(), 1);
    EXPECT_EQ(after.operationType, 50);
    EXPECT_EQ(after.name, before.name);
    EXPECT_EQ(after.identification, before.identification);
    EXPECT_EQ(after.data, before.data);
    EXPECT_EQ(after.dataSlot, before.dataSlot);
    EXPECT_EQ(ReadRow(Db(), 2).operationType, 18);
  }
}

TEST_P(Writes, UpdateThatChangesNothingStillFindsItsRow) {
  const Stored before = ReadRow(Db(), 1);
  HookLog rs(&Db(), 2, 0);
  OpenWriter(rs, u"SELECT * FROM FileTree WHERE FileID = 1");
  ASSERT_FALSE(rs.IsEof());
  rs.PrepareSet();
  rs.SetOperationType(before.operationType);
  EXPECT_TRUE(SqlSucceeded(static_cast<SQLRETURN>(rs.Update()))) << ErrorOf(rs);
  EXPECT_EQ(ReadRow(Db(), 1).operationType, before.operationType);
}

TEST_P(Writes, UpdateFindsTheRowByItsFetchedKey) {
  CRegTreeRecSet rs(&Db(), 2, 0);
  OpenWriter(rs, u"SELECT * FROM FileTree WHERE FileID = 2");
  rs.PrepareSet();
  rs.SetFileID(30);  // the key itself changes; the row is still the one fetched
  rs.SetFileName(u"renamed");
  ASSERT_TRUE(SqlSucceeded(static_cast<SQLRETURN>(rs.Update()))) << ErrorOf(rs);
  EXPECT_FALSE(ReadRow(Db(), 2).found);
  EXPECT_EQ(ReadRow(Db(), 30).name, u"renamed");
  EXPECT_EQ(ReadRow(Db(), 30).data, "xyz");
}

TEST_P(Writes, DeleteRemovesExactlyTheCurrentRow) {
  CRegTreeRecSet rs(&Db(), 2, 0);
  OpenWriter(rs, u"SELECT * FROM FileTree WHERE FileID >= 2 ORDER BY FileID");
  ASSERT_EQ(rs.GetFileID(), 2);
  ASSERT_TRUE(SqlSucceeded(static_cast<SQLRETURN>(rs.Delete()))) << ErrorOf(rs);
  EXPECT_EQ(fixture->RemainingIds(), (std::vector<int>{1, 3}));
  // The same row again: it is gone, and the library says so.
  EXPECT_LT(rs.Delete(), 0);
  _SQL_Error error;
  EXPECT_TRUE(rs.GetError(error));
  EXPECT_EQ(fixture->RemainingIds(), (std::vector<int>{1, 3}));
}

TEST_P(Writes, ReadOnlyRecordsetAndMissingRowRefuseToWrite) {
  CRegTreeRecSet reader(&Db(), 1, 0);
  ASSERT_GE(reader.Open(u"SELECT * FROM FileTree WHERE FileID = 1"), 0);
  EXPECT_LT(reader.Delete(), 0);
  EXPECT_LT(reader.Update(), 0);
  CRegTreeRecSet writer(&Db(), 2, 0);
  OpenWriter(writer, u"SELECT * FROM FileTree WHERE FileID = 99");
  EXPECT_LT(writer.Update(), 0) << "no current row";
  EXPECT_LT(writer.Delete(), 0);
  EXPECT_EQ(fixture->RemainingIds(), (std::vector<int>{1, 2, 3}));
}

TEST_P(Writes, AnyFirstArgumentButOneMakesAWriter) {
  // The run reads with (connection, 1, 0); the second argument asks nothing of the library.
  const struct {
    unsigned long first, second;
    int id;
  } cases[] = {{2, 0, 1}, {0, 7, 2}};
  for (const auto& c : cases) {
    CRegTreeRecSet rs(&Db(), c.first, c.second);
    OpenWriter(rs, (u"SELECT * FROM FileTree WHERE FileID = " + Wide(std::to_string(c.id))).c_str());
    EXPECT_TRUE(SqlSucceeded(static_cast<SQLRETURN>(rs.Delete()))) << c.first << ", " << c.second << ": " << ErrorOf(rs);
  }
  EXPECT_EQ(fixture->RemainingIds(), std::vector<int>{3});
}

TEST_P(Writes, FetchedLongFieldsReuseABufferLargeEnough) {
  const std::string huge(200 * 1024, 'h');
  ASSERT_TRUE(fixture->Exec("DELETE FROM FileTree"));
  ASSERT_TRUE(fixture->Insert({{1, u"a", std::nullopt, 0, std::string("one")},
                               {2, u"b", std::nullopt, 0, std::string("two")},
                               {3, u"c", std::nullopt, 0, std::string("zz")},
                               {4, u"d", std::nullopt, 0, std::nullopt},
                               {5, u"e", std::nullopt, 0, std::string("longer")},
                               {6, u"f", std::nullopt, 0, huge},
                               {7, u"g", std::nullopt, 0, std::string("small")}}));
  CRegTreeRecSet rs(&Db(), 1, 0);
  ASSERT_GE(rs.Open(u"SELECT * FROM FileTree ORDER BY FileID"), 0);
  const uint8_t* first = rs.GetFileData();
  EXPECT_EQ(Bytes(first, 3), "one");
  rs.MoveNext();
  EXPECT_EQ(rs.GetFileData(), first) << "same length: the buffer is reused";
  EXPECT_EQ(Bytes(rs.GetFileData(), 3), "two");
  rs.MoveNext();
  EXPECT_EQ(rs.GetFileData(), first) << "shorter: the buffer is reused too";
  EXPECT_EQ(rs.GetFileDataLength(), 2u);
  EXPECT_EQ(Bytes(rs.GetFileData(), 2), "zz");
  rs.MoveNext();
  EXPECT_EQ(rs.FieldSlot(5), SQL_NULL_DATA);
  EXPECT_EQ(Bytes(rs.GetFileData(), rs.GetFileDataLength()), "zz") << "a NULL keeps the previous value";
  // Longer than the buffer, then very long, then short after very long: each value
  // whole, and its own length, whatever buffer holds it.
  for (const std::string& expected : {std::string("longer"), huge, std::string("small")}) {
    rs.MoveNext();
    ASSERT_FALSE(rs.IsEof());
    EXPECT_EQ(rs.FieldSlot(5), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(rs.GetFileDataLength(), expected.size());
    EXPECT_EQ(Bytes(rs.GetFileData(), rs.GetFileDataLength()), expected);
  }
  // Outside a write the driver is not waiting for data: nothing is sent.
  EXPECT_LT(rs.PutLongFieldsData(), 0);
}

// Update without PrepareSet sends every column as fetched: one that arrived cut is refused
// whole, and a row that fits goes through.
TEST_P(Writes, ValuesFetchedLongerThanTheirBufferAreNotWrittenBack) {
  ASSERT_TRUE(fixture->WidenColumns());  // MariaDB's strict mode refuses 1,001 bytes in VARBINARY(1000)
  ASSERT_TRUE(fixture->Insert({{41, u"long record", std::string(1001, '\x07'), 0, std::nullopt}}));
  if (GetParam() == Backend::SQLite) {
    // PostgreSQL's VARCHAR(260) refuses the longer names.
    ASSERT_TRUE(fixture->Insert({{40, std::u16string(261, u'n'), std::nullopt, 0, std::nullopt},
                                 {42, std::u16string(300, u'm'), std::string(112, '\x01'), 0, std::nullopt}}));
  }
  const struct {
    int id;
    bool written;
  } cases[] = {{1, true}, {40, false}, {41, false}, {42, false}};
  for (const auto& c : cases) {
    const Stored before = ReadRow(Db(), c.id);
    if (!before.found) continue;
    SCOPED_TRACE(c.id);
    CRegTreeRecSet rs(&Db(), 2, 0);
    OpenWriter(rs, (u"SELECT * FROM FileTree WHERE FileID = " + Wide(std::to_string(c.id))).c_str());
    const int rc = rs.Update();
    EXPECT_EQ(SqlSucceeded(static_cast<SQLRETURN>(rc)), c.written) << ErrorOf(rs);
    const Stored after = ReadRow(Db(), c.id);
    EXPECT_EQ(after.name, before.name);
    EXPECT_EQ(after.identification, before.identification);
    EXPECT_EQ(after.identificationLength, before.identificationLength);
    // A copy of the row is refused just the same, but for a name of exactly 261
    // characters: its 522 bytes are also what a setter gives 260 characters and the
    // terminator, so the copy cannot tell it was cut.
    CRegTreeRecSet copy(&Db(), 2, 0);
    OpenWriter(copy);
    copy.PrepareSet();
    copy.CopyFrom(rs);
    copy.SetFileID(100 + c.id);
    if (c.id != 40) {
      EXPECT_EQ(SqlSucceeded(static_cast<SQLRETURN>(copy.Insert(1))), c.written) << ErrorOf(copy);
    }
    // Left alone after PrepareSet, the cut column does not stop the others.
    rs.PrepareSet();
    rs.SetOperationType(77);
    EXPECT_TRUE(SqlSucceeded(static_cast<SQLRETURN>(rs.Update()))) << ErrorOf(rs);
    EXPECT_EQ(ReadRow(Db(), c.id).operationType, 77);
    EXPECT_EQ(ReadRow(Db(), c.id).name, before.name);
  }
}

// A long field whose slot claims bytes with no buffer behind it (what a value that could
// not be kept leaves) is never bound as it stands.
class ClaimingLongField : public CRegTreeRecSet {
 public:
  using CRegTreeRecSet::CRegTreeRecSet;
  SQLRETURN BindLongFields() override { return BindLongField(5, nullptr, 0, &claimed); }
  int32_t claimed = 4096;
};

TEST_P(Writes, ALongFieldThatClaimsBytesItDoesNotHoldIsRefused) {
  for (const int32_t claimed : {4096, static_cast<int32_t>(SQL_LEN_DATA_AT_EXEC(4096))}) {
    ClaimingLongField rs(&Db(), 2, 0);
    OpenWriter(rs);
    rs.PrepareSet();
    rs.SetFileID(50);
    rs.SetFileName(u"claims");
    rs.SetOperationType(0);
    rs.claimed = claimed;
    EXPECT_LT(rs.Insert(1), 0) << claimed;
    EXPECT_NE(ErrorOf(rs), "(no error)");
    EXPECT_FALSE(ReadRow(Db(), 50).found) << claimed;
  }
}

// Walking rows, a NULL leaves the previous row's bytes in the buffer: a copy must take the
// NULL, not those bytes.
TEST_P(Writes, CopyFromAFetchedNullTakesNoData) {
  ASSERT_TRUE(fixture->Insert({{4, u"fourth", std::nullopt, 0, std::nullopt}, {5, u"fifth", std::nullopt, 0, std::string()}}));
  CRegTreeRecSet source(&Db(), 1, 0);
  ASSERT_GE(source.Open(u"SELECT FileID, NULLIF(FileName, 'second'), FileIdentification, NULLIF(OperationType, 18), "
                        u"FileData FROM FileTree WHERE FileID <> 3 ORDER BY FileID"),
            0);
  ASSERT_EQ(source.GetFileID(), 1);
  const struct {
    int id;
    std::u16string name;
    int32_t nameSlot, operationSlot;
  } rows[] = {{2, u"", SQL_IGNORE, SQL_NULL_DATA}, {4, u"fourth", 12, 4}, {5, u"fifth", 10, 4}};
  for (const auto& row : rows) {
    ASSERT_GE(source.MoveNext(), 0);
    ASSERT_EQ(source.GetFileID(), row.id);
    CRegTreeRecSet copy(&Db(), 2, 0);
    OpenWriter(copy);
    copy.PrepareSet();
    copy.CopyFrom(source);
    SCOPED_TRACE(row.id);
    EXPECT_EQ(std::u16string(copy.GetFileName()), row.name);
    EXPECT_EQ(copy.FieldSlot(2), row.nameSlot);
    EXPECT_EQ(copy.FieldSlot(4), row.operationSlot);
    if (row.operationSlot == SQL_NULL_DATA) {
      EXPECT_EQ(copy.GetOperationType(), 0);
    }
    if (row.id == 2) continue;  // "xyz": the long field is copied
    EXPECT_EQ(copy.GetFileData(), nullptr);
    EXPECT_EQ(copy.FieldSlot(5), SQL_NULL_DATA);
    copy.SetFileID(100 + row.id);
    ASSERT_TRUE(SqlSucceeded(static_cast<SQLRETURN>(copy.Insert(1)))) << ErrorOf(copy);
    EXPECT_EQ(ReadRow(Db(), 100 + row.id).dataSlot, SQL_NULL_DATA);
  }
}

// Column names come from the result's metadata; one that is no plain identifier would
// become part of the statement.
TEST_P(Writes, ColumnNamesThatAreNoPlainIdentifiersAreRefused) {
  char quote[8] = {};
  SQLSMALLINT length = 0;
  ASSERT_TRUE(SqlSucceeded(SQLGetInfo(Db().Handle(), SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &length)));
  const std::string q = quote;
  ASSERT_TRUE(fixture->Exec("CREATE TABLE OddNames AS SELECT FileID, FileName AS " + q + "OperationType = 99, Note" + q +
                            ", FileIdentification, OperationType, FileData, FileName AS Note FROM FileTree"));
  CRegTreeRecSet rs(&Db(), 2, 0);
  OpenWriter(rs, u"SELECT * FROM OddNames WHERE FileID = 1");
  rs.PrepareSet();
  rs.SetFileName(u"renamed");
  EXPECT_LT(rs.Update(), 0);
  EXPECT_NE(ErrorOf(rs), "(no error)");
  EXPECT_EQ(fixture->Scalar("SELECT OperationType FROM OddNames WHERE FileID = 1"), "2");
  EXPECT_EQ(fixture->Scalar("SELECT Note FROM OddNames WHERE FileID = 1"), "first");
  // Columns with plain names are still written.
  rs.PrepareSet();
  rs.SetOperationType(5);
  EXPECT_TRUE(SqlSucceeded(static_cast<SQLRETURN>(rs.Update()))) << ErrorOf(rs);
  EXPECT_EQ(fixture->Scalar("SELECT OperationType FROM OddNames WHERE FileID = 1"), "5");
}

INSTANTIATE_TEST_SUITE_P(Backends, Writes, ::testing::ValuesIn(AllBackends()), BackendParamName());

}  // namespace
