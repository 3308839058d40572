// The FileData long field, the field setters and the copy of a row, without a database.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "CRegTreeRecSet.h"
#include "FileTesting.h"
#include "TestSupport.h"
#include "Win32Variant.h"

using namespace testing_support;

namespace {

// A VARIANT that owns what it holds.
struct Variant {
  VARIANT v;
  Variant() { VariantInit(&v); }
  explicit Variant(const char16_t* text) : Variant() {
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
  }
  explicit Variant(int32_t number) : Variant() {
    v.vt = VT_I4;
    v.lVal = number;
  }
  // VariantInit sets only vt on Windows: a null BSTR is spelled out.
  static Variant NullBstr() {
    Variant null;
    null.v.vt = VT_BSTR;
    null.v.bstrVal = nullptr;
    return null;
  }
  static Variant Null() {
    Variant null;
    null.v.vt = VT_NULL;
    return null;
  }
  Variant(Variant&& other) noexcept : v(other.v) { VariantInit(&other.v); }
  ~Variant() { (void)VariantClear(&v); }
};

std::string Bytes(const uint8_t* data, std::size_t n) { return std::string(reinterpret_cast<const char*>(data), n); }

class LongField : public ::testing::Test {
 protected:
  CODBCDatabase db;
  CRegTreeRecSet rs{&db, 2, 0};
  TempDir dir;
};

TEST_F(LongField, NoDataOrNoLengthLeavesTheFieldNull) {
  const char bytes[] = "0123456789";
  const struct {
    const void* data;
    unsigned long length;
  } cases[] = {{nullptr, 10}, {bytes, 0}, {nullptr, 0}};
  for (const auto& c : cases) {
    ASSERT_EQ(rs.SetLongFieldData(bytes, 4), S_OK);
    EXPECT_EQ(rs.SetLongFieldData(c.data, c.length), S_OK);
    EXPECT_EQ(rs.GetFileData(), nullptr);
    EXPECT_EQ(rs.GetFileDataLength(), 0u);
    EXPECT_EQ(rs.FieldSlot(5), SQL_NULL_DATA);
  }
}

TEST_F(LongField, KeepsItsOwnCopyAndSaysDataAtExecution) {
  char bytes[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(rs.SetLongFieldData(bytes, 5), S_OK);
  bytes[0] = 99;
  EXPECT_EQ(Bytes(rs.GetFileData(), 5), std::string("\x01\x02\x03\x04\x05", 5));
  EXPECT_EQ(rs.GetFileDataLength(), 5u);
  EXPECT_EQ(rs.FieldSlot(5), -105);
}

TEST_F(LongField, SetFromItsOwnBufferKeepsTheValue) {
  std::string bytes(64, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + 1);
  ASSERT_EQ(rs.SetLongFieldData(bytes.data(), 64), S_OK);
  EXPECT_EQ(rs.SetLongFieldData(rs.GetFileData(), rs.GetFileDataLength()), S_OK);
  EXPECT_EQ(Bytes(rs.GetFileData(), rs.GetFileDataLength()), bytes);
  // Its own tail as the new value.
  EXPECT_EQ(rs.SetLongFieldData(rs.GetFileData() + 60, 4), S_OK);
  EXPECT_EQ(Bytes(rs.GetFileData(), rs.GetFileDataLength()), bytes.substr(60));
  EXPECT_EQ(rs.FieldSlot(5), -104);
}

TEST_F(LongField, LoadFromFileMapsAndCopiesTheWholeFile) {
  std::string content(70000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 + 7);
  WriteFileBytes(dir.File("data.bin"), content);
  ASSERT_TRUE(rs.LoadLongFieldFromFile(Wide(dir.File("data.bin")).c_str()));
  ASSERT_EQ(rs.GetFileDataLength(), content.size());
  EXPECT_EQ(Bytes(rs.GetFileData(), content.size()), content);
  EXPECT_EQ(rs.FieldSlot(5), -static_cast<int32_t>(content.size()) - 100);
}

TEST_F(LongField, LoadFromFileThatShrinksBeforeItIsMappedCopiesWhatIsLeft) {
  // Another process cuts the file after it was opened and before it is mapped: the copy
  // takes what the mapping holds, never the size the file had (read past its end, that
  // is a crash).
  const std::string path = dir.File("shrinking.bin");
  WriteFileBytes(path, std::string(1 << 20, 'x'));
  if (!RunBeforeNextFileMappingForTesting([&] { std::filesystem::resize_file(path, 100); })) {
    GTEST_SKIP() << "the system's own file services offer no moment between the size and the mapping";
  }
  ASSERT_TRUE(rs.LoadLongFieldFromFile(Wide(path).c_str()));
  EXPECT_EQ(Bytes(rs.GetFileData(), rs.GetFileDataLength()), std::string(100, 'x'));
}

TEST_F(LongField, LoadFromFileThatCannotBeReadLeavesTheFieldAsItWas) {
  WriteFileBytes(dir.File("empty.bin"), "");
  const std::string paths[] = {"", dir.File("missing.bin"), dir.File("empty.bin"), dir.Path()};
  ASSERT_EQ(rs.SetLongFieldData("abc", 3), S_OK);
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(rs.LoadLongFieldFromFile(Wide(path).c_str()));
    EXPECT_EQ(Bytes(rs.GetFileData(), rs.GetFileDataLength()), "abc");
    EXPECT_EQ(rs.FieldSlot(5), -103);
  }
  EXPECT_FALSE(rs.LoadLongFieldFromFile(nullptr));
}

class Setters : public ::testing::Test {
 protected:
  void SetUp() override { rs.PrepareSet(); }
  CODBCDatabase db;
  CRegTreeRecSet rs{&db, 2, 0};
  TempDir dir;
};

TEST_F(Setters, PlainSettersWriteValueAndSlot) {
  rs.SetFileID(42);
  rs.SetOperationType(18);
  rs.SetFileName(u"abc");
  EXPECT_EQ(rs.GetFileID(), 42);
  EXPECT_EQ(rs.FieldSlot(1), 4);
  EXPECT_EQ(rs.GetOperationType(), 18);
  EXPECT_EQ(rs.FieldSlot(4), 4);
  EXPECT_EQ(std::u16string(rs.GetFileName()), u"abc");
  EXPECT_EQ(rs.FieldSlot(2), 6) << "SetFileName counts the characters without the terminator";
  rs.SetFileName(u"");
  EXPECT_EQ(std::u16string(rs.GetFileName()), u"");
  EXPECT_EQ(rs.FieldSlot(2), 6) << "an empty name leaves the slot as it was";
  rs.PrepareSet();
  rs.SetFileName(nullptr);
  EXPECT_EQ(rs.FieldSlot(2), SQL_IGNORE);
}

TEST_F(Setters, SetFieldValueByColumnName) {
  rs.SetFieldValue(u"FileName", Variant(u"abc").v);
  EXPECT_EQ(std::u16string(rs.GetFileName()), u"abc");
  EXPECT_EQ(rs.FieldSlot(2), 8) << "the string path counts the terminator";
  rs.SetFieldValue(u"OperationType", Variant(18).v);
  EXPECT_EQ(rs.GetOperationType(), 18);
  EXPECT_EQ(rs.FieldSlot(4), 4);
  rs.SetFieldValue(u"FileID", Variant(u" 77 ").v);
  EXPECT_EQ(rs.GetFileID(), 77);
  rs.SetFieldValue(u"OperationType", Variant(u"18").v);
  EXPECT_EQ(rs.GetOperationType(), 18);
  // A value that cannot be converted leaves the field as it was, still marked as set.
  rs.SetFieldValue(u"OperationType", Variant(u"eighteen").v);
  EXPECT_EQ(rs.GetOperationType(), 18);
  EXPECT_EQ(rs.FieldSlot(4), 4);
  rs.SetFieldValue(u"FileIdentification", Variant(u"xy").v);
  EXPECT_EQ(rs.FieldSlot(3), 6);
  EXPECT_EQ(std::memcmp(rs.GetFileIdentification(), u"xy", 6), 0);
}

// The string paths and "SourceName" take a BSTR: another type is converted to one, and a
// value with no text form is refused with the field left as it was.
TEST_F(Setters, StringPathsConvertOtherTypesOrRefuseThem) {
  rs.SetFileName(u"before");
  rs.SetFieldValue(u"FileName", Variant(18).v);
  EXPECT_EQ(std::u16string(rs.GetFileName()), u"18");
  EXPECT_EQ(rs.FieldSlot(2), 6);
  rs.SetFieldValue(u"FileIdentification", Variant(-5).v);
  EXPECT_EQ(std::memcmp(rs.GetFileIdentification(), u"-5", 6), 0);
  EXPECT_EQ(rs.FieldSlot(3), 6);
  rs.SetFieldValue(u"FileName", Variant::Null().v);
  rs.SetFieldValue(u"FileIdentification", Variant::Null().v);
  EXPECT_EQ(std::u16string(rs.GetFileName()), u"18");
  EXPECT_EQ(rs.FieldSlot(2), 6);
  EXPECT_EQ(rs.FieldSlot(3), 6);
  ASSERT_EQ(rs.SetLongFieldData("kept", 4), S_OK);
  rs.SetFieldValue(u"SourceName", Variant::Null().v);
  EXPECT_EQ(Bytes(rs.GetFileData(), rs.GetFileDataLength()), "kept");
  EXPECT_EQ(std::memcmp(rs.GetFileIdentification(), u"-5", 6), 0);
  // A number names a file like any text: "18" does not exist here.
  rs.SetFieldValue(u"SourceName", Variant(18).v);
  EXPECT_EQ(rs.GetFileIdentificationLength(), 112);
  EXPECT_EQ(rs.GetFileData(), nullptr);
}

TEST_F(Setters, NothingIsWrittenPastAField) {
  const std::u16string longName(1000, u'n');
  rs.SetFileName(longName.c_str());
  EXPECT_EQ(std::u16string(rs.GetFileName()), longName.substr(0, 260));
  EXPECT_EQ(rs.FieldSlot(2), 520);
  rs.SetFieldValue(u"FileName", Variant(longName.c_str()).v);
  EXPECT_EQ(std::u16string(rs.GetFileName()), longName.substr(0, 260));
  EXPECT_EQ(rs.FieldSlot(2), 522);
  const std::u16string longIdentification(600, u'i');
  rs.SetFieldValue(u"FileIdentification", Variant(longIdentification.c_str()).v);
  EXPECT_EQ(rs.FieldSlot(3), 1000);
  const auto* text = reinterpret_cast<const char16_t*>(rs.GetFileIdentification());
  EXPECT_EQ(std::u16string(text), longIdentification.substr(0, 499));
  EXPECT_EQ(rs.GetOperationType(), 0) << "the member after the buffer is untouched";
}

TEST_F(Setters, NamesThatAreNoBoundColumnWriteNothing) {
  CRegTreeRecSet fresh(&db, 2, 0);  // before any binding: field count 5, no buffers
  fresh.SetFieldValue(u"FileID", Variant(5).v);
  fresh.SetFieldValue(u"FileData", Variant(u"data").v);
  EXPECT_EQ(fresh.GetFileID(), 0);
  EXPECT_EQ(fresh.GetFileData(), nullptr);
  EXPECT_EQ(fresh.FieldSlot(1), 4);
  rs.SetFieldValue(u"NoSuchColumn", Variant(5).v);
  rs.SetFieldValue(u"sourcename", Variant(u"x").v);
  rs.SetFieldValue(nullptr, Variant(5).v);
  for (int p = 1; p <= 5; ++p) EXPECT_EQ(rs.FieldSlot(p), SQL_IGNORE) << p;
}

TEST_F(Setters, SourceNameFillsTheFileDerivedColumns) {
  const std::string content = "the file's own bytes";
  WriteFileBytes(dir.File("source.txt"), content);
  rs.SetFileName(u"keep me");
  rs.SetFieldValue(u"SourceName", Variant(Wide(dir.File("source.txt")).c_str()).v);
  ASSERT_EQ(rs.GetFileIdentificationLength(), 112);
  FileIdentificationRecord record;
  std::memcpy(&record, rs.GetFileIdentification(), 112);
  EXPECT_EQ(record.dwFlags & FILEID_TIMES_VALID, FILEID_TIMES_VALID);
  EXPECT_EQ(record.times.dwSize, 28u);
  EXPECT_EQ(Bytes(rs.GetFileData(), rs.GetFileDataLength()), content);
  EXPECT_EQ(std::u16string(rs.GetFileName()), u"keep me") << "the path is not stored";

  rs.SetFieldValue(u"SourceName", Variant(Wide(dir.File("missing.txt")).c_str()).v);
  std::memcpy(&record, rs.GetFileIdentification(), 112);
  EXPECT_EQ(record.dwFlags, 0u);
  EXPECT_EQ(record.times.dwSize, 28u);
  EXPECT_EQ(record.version.dwSize, 56u);
  EXPECT_EQ(rs.GetFileIdentificationLength(), 112);
  EXPECT_EQ(rs.GetFileData(), nullptr);
  EXPECT_EQ(rs.FieldSlot(5), SQL_NULL_DATA);

  for (const Variant& empty : {Variant(u""), Variant::NullBstr()}) {
    ASSERT_EQ(rs.SetLongFieldData("x", 1), S_OK);
    rs.SetFieldValue(u"SourceName", empty.v);
    const std::vector<uint8_t> zeros(112, 0);
    EXPECT_EQ(std::memcmp(rs.GetFileIdentification(), zeros.data(), 112), 0);
    EXPECT_EQ(rs.GetFileIdentificationLength(), 112);
    EXPECT_EQ(rs.GetFileData(), nullptr);
  }
}

TEST_F(Setters, CopyFromTakesEveryFieldIntoStorageOfItsOwn) {
  CRegTreeRecSet source(&db, 2, 0);
  source.PrepareSet();
  source.SetFileID(9);
  source.SetFileName(u"nine");
  const std::string record(112, '\x09');
  source.SetFileIdentification(record.data(), 112);
  source.SetOperationType(18);
  ASSERT_EQ(source.SetLongFieldData("payload", 7), S_OK);

  rs.CopyFrom(source);
  EXPECT_EQ(rs.GetFileID(), 9);
  EXPECT_EQ(std::u16string(rs.GetFileName()), u"nine");
  EXPECT_EQ(Bytes(rs.GetFileIdentification(), 112), record);
  EXPECT_EQ(rs.GetOperationType(), 18);
  ASSERT_NE(rs.GetFileData(), source.GetFileData());
  EXPECT_EQ(Bytes(rs.GetFileData(), 7), "payload");
  const int32_t slots[] = {4, 8, 112, 4, -107};
  for (int p = 1; p <= 5; ++p) EXPECT_EQ(rs.FieldSlot(p), slots[p - 1]) << p;

  // A source without identification or data: the target's are cleared.
  CRegTreeRecSet bare(&db, 2, 0);
  bare.PrepareSet();
  rs.CopyFrom(bare);
  EXPECT_EQ(rs.GetFileData(), nullptr);
  EXPECT_EQ(rs.FieldSlot(5), SQL_NULL_DATA);
  EXPECT_EQ(rs.FieldSlot(3), 112) << "a NULL identification leaves the slot as it was";
  EXPECT_EQ(rs.FieldSlot(2), 8) << "an empty name leaves the slot as it was";
}

TEST_F(Setters, CopyFromItselfLeavesTheRowIntact) {
  rs.SetFileID(3);
  rs.SetFileName(u"three");
  const std::string record(112, '\x03');
  rs.SetFileIdentification(record.data(), 112);
  rs.SetOperationType(50);
  ASSERT_EQ(rs.SetLongFieldData("abc", 3), S_OK);
  rs.CopyFrom(rs);
  EXPECT_EQ(rs.GetFileID(), 3);
  EXPECT_EQ(std::u16string(rs.GetFileName()), u"three");
  EXPECT_EQ(Bytes(rs.GetFileIdentification(), 112), record);
  EXPECT_EQ(rs.GetOperationType(), 50);
  EXPECT_EQ(Bytes(rs.GetFileData(), rs.GetFileDataLength()), "abc");
  EXPECT_EQ(rs.FieldSlot(5), -103);
}

}  // namespace
