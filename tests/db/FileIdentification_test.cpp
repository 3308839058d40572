#include <gtest/gtest.h>
#include <utime.h>

#include <cstring>
#include <string>

#include "FileIdentification.h"
#include "TestSupport.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::Wide;
using testing_support::WriteFileBytes;

// 2011-03-07 14:05:06 and 2012-03-07 14:05:06 UTC, as Unix seconds and as FILETIMEs.
constexpr int64_t kAccessUnix = 1299506706;
constexpr int64_t kWriteUnix = 1331129106;
constexpr uint64_t kAccessFileTime = 129439803060000000ULL;
constexpr uint64_t kWriteFileTime = 129756027060000000ULL;

// The fixed words of tests/data/version.rc.
constexpr uint32_t kFixedInfo[13] = {0xFEEF04BD, 0x00010000, 0x00010002, 0x00030004, 0x00050006, 0x00070008, 0x3F,
                                     0x2A,       0x40004,    0x3,        0x7,        0,          0};

void PutLe32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutLe64(uint8_t* at, uint64_t v) {
  PutLe32(at, static_cast<uint32_t>(v));
  PutLe32(at + 4, static_cast<uint32_t>(v >> 32));
}

// The 112 stored bytes, written out field by field at their offsets, so that a layout
// fault shows even where the structure and the test would agree with each other.
std::string ExpectedRecord(uint32_t flags, bool times, bool version) {
  uint8_t bytes[112] = {};
  PutLe32(bytes + 0, flags);
  PutLe32(bytes + 4, 28);
  PutLe32(bytes + 32, 56);
  if (times) {
    PutLe64(bytes + 8, kWriteFileTime);  // creation: Wine reports the last-write time
    PutLe64(bytes + 16, kAccessFileTime);
    PutLe64(bytes + 24, kWriteFileTime);
  }
  if (version) {
    for (int i = 0; i < 13; ++i) PutLe32(bytes + 36 + 4 * i, kFixedInfo[i]);
  }
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::string Bytes(const FileIdentificationRecord& record) {
  return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

class FileIdentification : public ::testing::Test {
 protected:
  // A copy of source (or the given contents) in the test's directory, with known times.
  std::string Place(const std::string& name, const std::string& contents) {
    const std::string path = m_dir.File(name);
    WriteFileBytes(path, contents);
    utimbuf times{};
    times.actime = static_cast<time_t>(kAccessUnix);
    times.modtime = static_cast<time_t>(kWriteUnix);
    EXPECT_EQ(::utime(path.c_str(), &times), 0);
    return path;
  }

  TempDir m_dir;
};

// The 64-bit image with its root block claiming a fixed part of only 16 bytes.
std::string ImageWithShortFixedInfo() {
  std::string image = ReadFileBytes(MERIDEX_TEST_PE64_VERSION);
  const std::string key(reinterpret_cast<const char*>(u"VS_VERSION_INFO"), 30);
  const std::size_t block = image.find(key) - 6;
  image[block + 2] = 16;  // wValueLength, was 52
  return image;
}

TEST_F(FileIdentification, BuildsTheSameRecordOnEveryBuild) {
  const struct {
    const char* what;
    std::string contents;
    uint32_t flags;
    DWORD lastError;
  } cases[] = {
      {"64-bit image", ReadFileBytes(MERIDEX_TEST_PE64_VERSION), FILEID_TIMES_VALID | FILEID_VERSION_VALID, 0},
      {"32-bit image", ReadFileBytes(MERIDEX_TEST_PE32_VERSION), FILEID_TIMES_VALID | FILEID_VERSION_VALID, 0},
      // Without a version resource the record is still built, and the version step's
      // error is what the caller is left with.
      {"image without version", ReadFileBytes(MERIDEX_TEST_PE64_PLAIN), FILEID_TIMES_VALID,
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {"text file", "plain text\r\n", FILEID_TIMES_VALID, ERROR_RESOURCE_DATA_NOT_FOUND},
      // 52 bytes copied from a shorter value would be whatever follows it in the resource.
      {"short fixed part", ImageWithShortFixedInfo(), FILEID_TIMES_VALID, ERROR_INVALID_DATA},
  };
  for (const auto& c : cases) {
    const std::string path = Place(std::string(c.what) + ".bin", c.contents);
    FileIdentificationRecord record;
    std::memset(&record, 0xAB, sizeof record);
    SetLastError(0);
    EXPECT_TRUE(BuildFileIdentificationRecord(Wide(path).c_str(), &record)) << c.what;
    if (c.lastError != 0) {
      EXPECT_EQ(GetLastError(), c.lastError) << c.what;
    }
    EXPECT_EQ(Bytes(record), ExpectedRecord(c.flags, true, (c.flags & FILEID_VERSION_VALID) != 0)) << c.what;
  }
}

TEST_F(FileIdentification, AMissingFileGivesOnlyTheSizes) {
  const struct {
    std::string path;
    DWORD error;
  } cases[] = {
      {m_dir.File("missing.exe"), ERROR_FILE_NOT_FOUND},
      {m_dir.File("missing/file.exe"), ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    FileIdentificationRecord record;
    std::memset(&record, 0xAB, sizeof record);
    SetLastError(0);
    EXPECT_FALSE(BuildFileIdentificationRecord(Wide(c.path).c_str(), &record)) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
    EXPECT_EQ(Bytes(record), ExpectedRecord(0, false, false)) << c.path;
  }
}

TEST_F(FileIdentification, NoPathOrNoRecordLeavesEverythingAlone) {
  const std::string path = Place("f.txt", "x");
  FileIdentificationRecord record;
  std::memset(&record, 0xAB, sizeof record);
  const std::string untouched = Bytes(record);
  const char16_t* none = nullptr;
  EXPECT_FALSE(BuildFileIdentificationRecord(none, &record));
  EXPECT_FALSE(BuildFileIdentificationRecord(u"", &record));
  EXPECT_EQ(Bytes(record), untouched);
  EXPECT_FALSE(BuildFileIdentificationRecord(Wide(path).c_str(), nullptr));

  // The readers refuse a missing path as a missing file.
  FileVersionBlock version{};
  SetLastError(0);
  EXPECT_FALSE(ReadFileVersion(none, &version));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
