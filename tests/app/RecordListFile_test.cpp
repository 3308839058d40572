// The list file as written: each row's date column must be the text the bounded formatter
// gives for the same record (WriteRow writes it by a faster way), names go in as UTF-8,
// each on its one line whatever it holds, a cut name says so, and a record that is not
// exactly 112 bytes gives no date at all. The file replaces what had its name only once
// it is complete.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "BoundedFormat.h"
#include "Console.h"
#include "FileIdentification.h"
#include "RecordListFile.h"
#include "TestSupport.h"
#include "Win32File.h"

using namespace testing_support;

namespace {

std::string Record(uint64_t lastWrite, std::size_t length = kFileIdentificationSize) {
  std::string record(length, '\x5a');
  for (int i = 0; i < 8; ++i) record[kLastWriteTimeOffset + i] = static_cast<char>(lastWrite >> (8 * i));
  return record;
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// The date column as the bounded formatter writes it, which the list file must match.
constexpr uint32_t kDateCapacity = 260;
void FormatWriteTime(const uint8_t* record, char16_t (&text)[kDateCapacity]) {
  text[0] = 0;
  FILETIME written;
  std::memcpy(&written.dwLowDateTime, record + kLastWriteTimeOffset, 4);
  std::memcpy(&written.dwHighDateTime, record + kLastWriteTimeOffset + 4, 4);
  SYSTEMTIME calendar;
  if (!FileTimeToSystemTime(&written, &calendar)) return;
  (void)BoundedFormatCch(text, kDateCapacity, u"%02d/%02d/%d  %02d:%02d", calendar.wMonth, calendar.wDay,
                         calendar.wYear, calendar.wHour, calendar.wMinute);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  const std::string end = kTextLineEnd;
  std::size_t at = 0;
  for (std::size_t next; (next = text.find(end, at)) != std::string::npos; at = next + end.size()) {
    lines.push_back(text.substr(at, next - at));
  }
  EXPECT_EQ(at, text.size()) << "the last line has its line end";
  return lines;
}

TEST(RecordListFile, DateColumnIsTheFormattersText) {
  struct Case {
    uint64_t filetime;
    const char* date;
  };
  const Case cases[] = {
      {0, "01/01/1601  00:00"},
      {599999999, "01/01/1601  00:00"},           // seconds and below are dropped, not rounded
      {129439803590000000, "03/07/2011  14:05"},  // 14:05:59
      {125963423400000000, "02/29/2000  23:59"},
      {125911583990000000, "12/31/1999  23:59"},
      {133800768000000000, "12/31/2024  00:00"},
      {2650467743400000000, "12/31/9999  23:59"},
      {0x7FFFFFFFFFFFFFFF, "09/14/30828  02:48"},  // the largest time Windows converts
      {0x8000000000000000, ""},                    // no calendar time: the column stays empty
      {UINT64_MAX, ""},
  };
  TempDir dir;
  CRecordListFile list;
  ASSERT_TRUE(list.Open(dir.File("Vestrum.csv").c_str()));
  for (const Case& c : cases) {
    const std::string record = Record(c.filetime);
    list.WriteRow(u"f", false, Bytes(record), static_cast<int>(record.size()));
  }
  ASSERT_TRUE(list.Close());

  const std::vector<std::string> lines = Lines(ReadFileBytes(dir.File("Vestrum.csv")));
  ASSERT_EQ(lines.size(), std::size(cases) + 1);
  EXPECT_EQ(lines[0], "File Name, File Write Time");
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(lines[i + 1], std::string("f,") + cases[i].date) << cases[i].filetime;
    char16_t formatted[kDateCapacity];
    FormatWriteTime(Bytes(Record(cases[i].filetime)), formatted);
    EXPECT_EQ(Narrow(formatted), cases[i].date) << cases[i].filetime;
  }
}

TEST(RecordListFile, NamesOnOneVisibleLineAndDatesOnlyFor112ByteRecords) {
  constexpr uint64_t kTime = 129439803590000000;
  struct Case {
    std::u16string name;
    std::optional<std::string> record;
    std::string line;
    bool cut = false;
  };
  const Case cases[] = {
      {u"plain", Record(kTime), "plain,03/07/2011  14:05"},
      // Commas as they are; a quote in the notation, so that no CSV reader starts a quoted field.
      {u"a,b \"c\"", Record(kTime), "a,b <U+0022>c<U+0022>,03/07/2011  14:05"},
      {u"C:\\\u00e9t\u00e9\\\U0001F600.dat", std::nullopt, "C:\\\xc3\xa9t\xc3\xa9\\\xf0\x9f\x98\x80.dat"},
      {std::u16string(1, char16_t(0xD800)) + u"x", std::nullopt, "<U+D800>x"},
      {u"line\r\nbreak\x1b[1A", Record(kTime), "line<U+000D><U+000A>break<U+001B>[1A,03/07/2011  14:05"},
      {std::u16string(u"ab\0cd", 5), std::nullopt, "ab<U+0000>cd"},
      {u"short", Record(kTime, 111), "short"},
      {u"long", Record(kTime, 113), "long"},
      {u"", Record(0), ",01/01/1601  00:00"},
      {std::u16string(260, u'n'), std::nullopt, std::string(260, 'n')},
      {std::u16string(260, u'm'), Record(0), std::string(260, 'm') + "<cut>,01/01/1601  00:00", true},
      // A cut between the halves of a pair is a cut before it; a lone half that is all
      // there is stays in the notation.
      {std::u16string(259, u'c') + u"\xD83D", std::nullopt, std::string(259, 'c') + "<cut>", true},
      {std::u16string(258, u'c') + u"\U0001F600", std::nullopt, std::string(258, 'c') + "\xf0\x9f\x98\x80<cut>", true},
      {std::u16string(259, u'c') + u"\xD83D", std::nullopt, std::string(259, 'c') + "<U+D83D>"},
  };
  TempDir dir;
  CRecordListFile list;
  ASSERT_TRUE(list.Open(dir.File("Vestrum.csv").c_str()));
  // Enough rows to pass the write buffer several times over, so that flushes mid-line
  // would show.
  constexpr int kRounds = 400;
  for (int round = 0; round < kRounds; ++round) {
    for (const Case& c : cases) {
      list.WriteRow(c.name, c.cut, c.record ? Bytes(*c.record) : nullptr,
                    c.record ? static_cast<int>(c.record->size()) : 0);
    }
  }
  ASSERT_TRUE(list.Close());

  const std::vector<std::string> lines = Lines(ReadFileBytes(dir.File("Vestrum.csv")));
  ASSERT_EQ(lines.size(), std::size(cases) * kRounds + 1);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i], cases[(i - 1) % std::size(cases)].line) << "line " << i;
  }
}

TEST(RecordListFile, ZeroRowsLeaveTheHeaderAndAnUncreatableFileIsAFailure) {
  TempDir dir;
  {
    CRecordListFile list;
    ASSERT_TRUE(list.Open(dir.File("Vestrum.csv").c_str()));
    ASSERT_TRUE(list.Close());
    EXPECT_EQ(ReadFileBytes(dir.File("Vestrum.csv")), std::string("File Name, File Write Time") + kTextLineEnd);
  }
  CRecordListFile list;
  EXPECT_FALSE(list.Open(dir.File("missing/Vestrum.csv").c_str()));
  EXPECT_TRUE(list.Failed());
  EXPECT_FALSE(list.FailureReason().empty());
  list.WriteRow(u"x", false, nullptr, 0);
  EXPECT_FALSE(list.Close()) << "nothing was listed";
}

// Names in the directory: the list must never leave a file of its own behind.
std::vector<std::string> Entries(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// What had the name before stays as it was until the new list is complete; a hard link
// to it (another name, a backup made with cp -al) keeps the old contents for good.
TEST(RecordListFile, ReplacesThePreviousListOnlyWhenComplete) {
  const std::string header = std::string("File Name, File Write Time") + kTextLineEnd;
  TempDir dir;
  const std::string path = dir.File("Vestrum.csv");
  WriteFileBytes(path, "previous");
  std::filesystem::create_hard_link(path, dir.File("backup.csv"));
  {
    CRecordListFile list;
    ASSERT_TRUE(list.Open(path.c_str())) << list.FailureReason();
    for (int i = 0; i < 20000; ++i) list.WriteRow(u"row", false, nullptr, 0);
    EXPECT_EQ(ReadFileBytes(path), "previous") << "still the old list while the new one is written";
    ASSERT_TRUE(list.Close()) << list.FailureReason();
    EXPECT_EQ(ReadFileBytes(path).substr(0, header.size() + 3), header + "row");
    EXPECT_TRUE(list.IsInPlace()) << list.FailureReason();
  }
  EXPECT_EQ(ReadFileBytes(dir.File("backup.csv")), "previous");
  EXPECT_EQ(Entries(dir), (std::vector<std::string>{"Vestrum.csv", "backup.csv"}));

  // A run that ends before the list is complete leaves the old one, and nothing else.
  {
    CRecordListFile list;
    ASSERT_TRUE(list.Open(dir.File("backup.csv").c_str()));
    list.WriteRow(u"never listed", false, nullptr, 0);
  }
  EXPECT_EQ(ReadFileBytes(dir.File("backup.csv")), "previous");
  EXPECT_EQ(Entries(dir), (std::vector<std::string>{"Vestrum.csv", "backup.csv"}));
}

}  // namespace
