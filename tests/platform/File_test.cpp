#include <gtest/gtest.h>
#include <utime.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "SameFile.h"
#include "TestSupport.h"
#include "Win32File.h"

namespace {

using testing_support::TempDir;
using testing_support::Wide;
using testing_support::WriteFileBytes;

uint64_t Value(const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }
FILETIME MakeFileTime(uint64_t v) { return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)}; }

// Unix seconds as a FILETIME.
constexpr uint64_t FromUnix(int64_t seconds) {
  return static_cast<uint64_t>(seconds) * 10000000 + 116444736000000000ULL;
}

void SetTimes(const std::string& path, int64_t access, int64_t write) {
  utimbuf times{};
  times.actime = static_cast<time_t>(access);
  times.modtime = static_cast<time_t>(write);
  ASSERT_EQ(::utime(path.c_str(), &times), 0) << path;
}

struct CalendarCase {
  uint64_t fileTime;
  WORD year, month, day, dayOfWeek, hour, minute, second, milliseconds;
};

TEST(FileTimeToSystemTime, ConvertsToTheProlepticGregorianCalendar) {
  const CalendarCase cases[] = {
      {0, 1601, 1, 1, 1, 0, 0, 0, 0},
      {9999, 1601, 1, 1, 1, 0, 0, 0, 0},  // below a millisecond: truncated, not rounded
      {315359999990000, 1601, 12, 31, 1, 23, 59, 59, 999},
      {997508967890000, 1604, 2, 29, 0, 12, 34, 56, 789},
      {31292352000000000, 1700, 3, 1, 1, 0, 0, 0, 0},  // 1700 has no 29 February
      {116444736000000000, 1970, 1, 1, 4, 0, 0, 0, 0},
      {125963423999990000, 2000, 2, 29, 2, 23, 59, 59, 999},
      {125963423999999999, 2000, 2, 29, 2, 23, 59, 59, 999},
      {133536384000000000, 2024, 2, 29, 4, 0, 0, 0, 0},
      {9223149887999999999ULL, 30827, 12, 31, 5, 23, 59, 59, 999},
      {0x7FFFFFFFFFFFFFFFULL, 30828, 9, 14, 4, 2, 48, 5, 477},  // the largest value accepted
  };
  for (const auto& c : cases) {
    const FILETIME in = MakeFileTime(c.fileTime);
    SYSTEMTIME out{};
    ASSERT_TRUE(FileTimeToSystemTime(&in, &out)) << c.fileTime;
    EXPECT_EQ(out.wYear, c.year) << c.fileTime;
    EXPECT_EQ(out.wMonth, c.month) << c.fileTime;
    EXPECT_EQ(out.wDay, c.day) << c.fileTime;
    EXPECT_EQ(out.wDayOfWeek, c.dayOfWeek) << c.fileTime;
    EXPECT_EQ(out.wHour, c.hour) << c.fileTime;
    EXPECT_EQ(out.wMinute, c.minute) << c.fileTime;
    EXPECT_EQ(out.wSecond, c.second) << c.fileTime;
    EXPECT_EQ(out.wMilliseconds, c.milliseconds) << c.fileTime;
  }
}

TEST(FileTimeToSystemTime, RefusesValuesWithTheHighBitSetAndLeavesTheOutput) {
  for (uint64_t v : {0x8000000000000000ULL, 0x8000000000000001ULL, 0xFFFFFFFFFFFFFFFFULL}) {
    const FILETIME in = MakeFileTime(v);
    SYSTEMTIME out;
    std::memset(&out, 0xCC, sizeof out);
    SetLastError(0);
    EXPECT_FALSE(FileTimeToSystemTime(&in, &out)) << v;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << v;
    EXPECT_EQ(out.wYear, 0xCCCC) << v;
  }
}

TEST(FileServices, ReportsTheTimesOfAFileOpenedForItsAttributesOnly) {
  TempDir dir;
  const std::string path = dir.File("dated.txt");
  WriteFileBytes(path, "dated");
  SetTimes(path, 1299506706, 1331129106);  // 2011-03-07 14:05:06, 2012-03-07 14:05:06 UTC

  UniqueFileHandle file(CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file) << GetLastError();
  FILETIME creation{}, access{}, write{};
  ASSERT_TRUE(GetFileTime(file.get(), &creation, &access, &write));
  EXPECT_EQ(Value(write), FromUnix(1331129106));
  EXPECT_EQ(Value(access), FromUnix(1299506706));
  // Wine reports a Linux file's last-write time as its creation time; the Linux build
  // does the same, so that both builds describe one file alike.
  EXPECT_EQ(Value(creation), Value(write));
  // Each destination is optional.
  FILETIME onlyWrite{};
  EXPECT_TRUE(GetFileTime(file.get(), nullptr, nullptr, &onlyWrite));
  EXPECT_EQ(Value(onlyWrite), Value(write));

  DWORD high = 7;
  EXPECT_EQ(GetFileSize(file.get(), &high), 5u);
  EXPECT_EQ(high, 0u);
}

TEST(FileServices, OpenFailuresCarryTheWindowsError) {
  TempDir dir;
  WriteFileBytes(dir.File("file.txt"), "x");
  const struct {
    std::string path;
    DWORD error;
  } cases[] = {
      {dir.File("missing.txt"), ERROR_FILE_NOT_FOUND},
      {dir.File("missing/file.txt"), ERROR_PATH_NOT_FOUND},
      {dir.File("file.txt/below"), ERROR_PATH_NOT_FOUND},
      {dir.Path(), ERROR_ACCESS_DENIED},  // a directory, without backup semantics
      {"", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    for (DWORD access : {DWORD{0}, DWORD{GENERIC_READ}}) {
      SetLastError(0);
      const HANDLE h = CreateFileW(Wide(c.path).c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      EXPECT_EQ(h, INVALID_HANDLE_VALUE) << c.path;
      EXPECT_EQ(GetLastError(), c.error) << c.path << " access " << access;
    }
  }
  const char16_t* none = nullptr;
  SetLastError(0);
  EXPECT_EQ(CreateFileW(none, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// One file under two names is one file; two files of equal bytes are two; a name that
// leads nowhere is nobody's.
TEST(FileServices, SameFileIsTheFileSystemsIdentity) {
  TempDir dir;
  WriteFileBytes(dir.File("a.db"), "x");
  WriteFileBytes(dir.File("copy.db"), "x");
  std::filesystem::create_hard_link(std::filesystem::u8path(dir.File("a.db")),
                                    std::filesystem::u8path(dir.File("\xce\xb2\xce\xae\xcf\x84\xce\xb1.db")));
  const struct {
    std::string first;
    std::string second;
    bool same;
  } cases[] = {
      {dir.File("a.db"), dir.File("a.db"), true},
      {dir.File("a.db"), dir.File("./a.db"), true},
      {dir.File("a.db"), dir.File("\xce\xb2\xce\xae\xcf\x84\xce\xb1.db"), true},
      {dir.File("a.db"), dir.File("copy.db"), false},
      {dir.File("missing.db"), dir.File("missing.db"), false},
      {"", dir.File("a.db"), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsSameFile(Wide(c.first).c_str(), Wide(c.second).c_str()), c.same) << c.first << " " << c.second;
  }
}

TEST(FileServices, AClosedHandleIsInvalidEverywhere) {
  TempDir dir;
  WriteFileBytes(dir.File("f.txt"), "abc");
  const HANDLE h = CreateFileW(Wide(dir.File("f.txt")).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));

  for (HANDLE stale : {h, static_cast<HANDLE>(nullptr)}) {
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(stale));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    DWORD high = 0;
    EXPECT_EQ(GetFileSize(stale, &high), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  SetLastError(0);
  FILETIME t{};
  EXPECT_FALSE(GetFileTime(h, &t, &t, &t));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(FileServices, AHandleClosedByItsOwnerKeepsTheLastError) {
  TempDir dir;
  WriteFileBytes(dir.File("f.txt"), "abc");
  {
    UniqueFileHandle file(CreateFileW(Wide(dir.File("f.txt")).c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    ASSERT_TRUE(file);
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
}

class FileMapping : public ::testing::Test {
 protected:
  HANDLE Open(const std::string& name, DWORD access = GENERIC_READ) {
    return CreateFileW(Wide(m_dir.File(name)).c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  TempDir m_dir;
};

TEST_F(FileMapping, MapsTheWholeFileReadOnly) {
  const std::string contents = "mapped contents\n";
  WriteFileBytes(m_dir.File("m.bin"), contents);
  UniqueFileHandle file(Open("m.bin"));
  ASSERT_TRUE(file);
  UniqueMappingHandle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  ASSERT_TRUE(mapping) << GetLastError();
  const void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
  ASSERT_NE(view, nullptr) << GetLastError();
  // The view outlives the mapping and the file, as on Windows.
  mapping.reset();
  file.reset();
  EXPECT_EQ(std::string(static_cast<const char*>(view), contents.size()), contents);
  // The view is told as whole read-only pages from the page of the address asked about.
  MEMORY_BASIC_INFORMATION region = {};
  ASSERT_EQ(VirtualQuery(static_cast<const char*>(view) + 3, &region, sizeof region), sizeof region);
  EXPECT_EQ(region.BaseAddress, view);
  EXPECT_EQ(region.RegionSize, 4096u);
  EXPECT_EQ(region.Protect, static_cast<DWORD>(PAGE_READONLY));
  EXPECT_EQ(region.Type, static_cast<DWORD>(MEM_MAPPED));
  // Any address inside a view unmaps it; after that the address is no view at all.
  EXPECT_TRUE(UnmapViewOfFile(static_cast<const char*>(view) + 3));
  SetLastError(0);
  EXPECT_FALSE(UnmapViewOfFile(view));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
}

TEST_F(FileMapping, RefusalsCarryTheWindowsError) {
  WriteFileBytes(m_dir.File("six.bin"), "sixsix");
  WriteFileBytes(m_dir.File("empty.bin"), "");
  UniqueFileHandle six(Open("six.bin"));
  UniqueFileHandle attributesOnly(Open("six.bin", 0));
  UniqueFileHandle empty(Open("empty.bin"));
  ASSERT_TRUE(six && attributesOnly && empty);
  const struct {
    const char* what;
    HANDLE file;
    DWORD protect;
    DWORD size;
    DWORD error;
  } cases[] = {
      {"an empty file", empty.get(), PAGE_READONLY, 0, ERROR_FILE_INVALID},
      {"no read access", attributesOnly.get(), PAGE_READONLY, 0, ERROR_ACCESS_DENIED},
      {"writable mapping of a read-only handle", six.get(), PAGE_READWRITE, 0, ERROR_ACCESS_DENIED},
      {"larger than the file", six.get(), PAGE_READONLY, 100, ERROR_NOT_ENOUGH_MEMORY},
      {"no file", INVALID_HANDLE_VALUE, PAGE_READONLY, 0, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(CreateFileMappingW(c.file, nullptr, c.protect, 0, c.size, nullptr), nullptr) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }

  UniqueMappingHandle mapping(CreateFileMappingW(six.get(), nullptr, PAGE_READONLY, 0, 3, nullptr));
  ASSERT_TRUE(mapping);
  const struct {
    const char* what;
    HANDLE mapping;
    DWORD access;
    DWORD offset;
    SIZE_T bytes;
    DWORD error;
  } views[] = {
      {"beyond the mapping", mapping.get(), FILE_MAP_READ, 0, 10, ERROR_ACCESS_DENIED},
      {"for writing", mapping.get(), FILE_MAP_WRITE, 0, 0, ERROR_ACCESS_DENIED},
      {"a misaligned offset", mapping.get(), FILE_MAP_READ, 1, 0, ERROR_MAPPED_ALIGNMENT},
      {"an offset past the end", mapping.get(), FILE_MAP_READ, 65536, 0, ERROR_INVALID_PARAMETER},
      {"of a file handle", six.get(), FILE_MAP_READ, 0, 0, ERROR_INVALID_HANDLE},
  };
  for (const auto& v : views) {
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(v.mapping, v.access, 0, v.offset, v.bytes), nullptr) << v.what;
    EXPECT_EQ(GetLastError(), v.error) << v.what;
  }
  UniqueMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
  ASSERT_TRUE(view);
  EXPECT_EQ(std::string(static_cast<const char*>(view.get()), 3), "six");
}

}  // namespace
