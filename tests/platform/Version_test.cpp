#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "BuildTesting.h"
#include "TestSupport.h"
#include "Win32Version.h"

namespace {

using testing_support::Narrow;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::Wide;
using testing_support::WriteFileBytes;

// The fixed words of tests/data/version.rc.
constexpr DWORD kExpectedFixedInfo[13] = {
    0xFEEF04BD, 0x00010000,              // signature, structure version
    0x00010002, 0x00030004,              // FILEVERSION 1,2,3,4
    0x00050006, 0x00070008,              // PRODUCTVERSION 5,6,7,8
    0x3F,       0x2A,                    // FILEFLAGSMASK, FILEFLAGS
    0x40004,    0x3,        0x7,         // FILEOS, FILETYPE, FILESUBTYPE
    0,          0,                       // file date
};

uint16_t Word(const std::vector<uint8_t>& block, std::size_t at) {
  return static_cast<uint16_t>(block[at] | (block[at + 1] << 8));
}

// The version block of path, read as a caller of the version API reads it.
std::vector<uint8_t> ReadVersionBlock(const std::string& path) {
  DWORD handle = 99;
  const DWORD size = GetFileVersionInfoSizeW(Wide(path).c_str(), &handle);
  EXPECT_EQ(handle, 0u);
  if (size == 0) return {};
  std::vector<uint8_t> block(size, 0xAB);
  EXPECT_TRUE(GetFileVersionInfoW(Wide(path).c_str(), 0, size, block.data())) << GetLastError();
  // Windows asks for twice the resource and four bytes more, and marks the end of the
  // resource with "FE2X".
  const uint16_t length = Word(block, 0);
  EXPECT_EQ(size, 2u * length + 4u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data()) + length, 4), "FE2X");
  return block;
}

TEST(VersionResource, ReadsTheFixedInformationOf32And64BitImages) {
  for (const char* image : {MERIDEX_TEST_PE64_VERSION, MERIDEX_TEST_PE32_VERSION}) {
    const std::vector<uint8_t> block = ReadVersionBlock(image);
    ASSERT_FALSE(block.empty()) << image;
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), u"\\", &value, &length)) << image;
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_GE(static_cast<uint8_t*>(value), block.data());
    EXPECT_EQ(std::memcmp(value, kExpectedFixedInfo, sizeof kExpectedFixedInfo), 0) << image;
  }
}

TEST(VersionResource, FindsNestedValuesWithoutRegardToCase) {
  const std::vector<uint8_t> block = ReadVersionBlock(MERIDEX_TEST_PE64_VERSION);
  ASSERT_FALSE(block.empty());
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(std::memcmp(value, "\x09\x04\xb0\x04", 4), 0);

  ASSERT_TRUE(VerQueryValueW(block.data(), u"\\stringfileinfo\\040904b0\\FileDescription", &value, &length));
  EXPECT_EQ(length, 19u);  // characters, the terminator included
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(value)), u"Meridex test image");

  for (const char16_t* missing : {u"\\Nope", u"\\StringFileInfo\\040904b0\\Nope", u"\\VarFileInfo\\Translation\\x"}) {
    SetLastError(0);
    EXPECT_FALSE(VerQueryValueW(block.data(), missing, &value, &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  }
}

TEST(VersionResource, AShortBufferGetsTheFirstBytes) {
  DWORD handle = 0;
  const std::u16string path = Wide(MERIDEX_TEST_PE64_VERSION);
  ASSERT_GT(GetFileVersionInfoSizeW(path.c_str(), &handle), 20u);
  std::vector<uint8_t> block(32, 0xAB);
  EXPECT_TRUE(GetFileVersionInfoW(path.c_str(), 0, 20, block.data()));
  EXPECT_EQ(block[20], 0xAB);
  EXPECT_EQ(std::memcmp(block.data() + 6, u"VS_VERSION_INFO", 14), 0);
}

TEST(VersionResource, FilesWithoutOneFailWithTheWindowsError) {
  TempDir dir;
  WriteFileBytes(dir.File("text.txt"), "plain text\n");
  WriteFileBytes(dir.File("empty.bin"), "");
  WriteFileBytes(dir.File("mz.bin"), "MZ");
  const std::string image = ReadFileBytes(MERIDEX_TEST_PE64_VERSION);
  WriteFileBytes(dir.File("headers-only.exe"), image.substr(0, 0x200));
  WriteFileBytes(dir.File("cut.exe"), image.substr(0, image.size() / 2));
  // The version resource renamed from 1 to 2: Windows looks for id 1 only. The name
  // directory's one entry lies 0x30 bytes before the data (see DamagedImagesFailCleanly).
  std::string renamed = image;
  const std::string key(reinterpret_cast<const char*>(u"VS_VERSION_INFO"), 30);
  const std::size_t nameEntry = image.find(key) - 6 - 0x30;
  ASSERT_EQ(renamed.substr(nameEntry, 4), std::string("\x01\0\0\0", 4));
  renamed[nameEntry] = 2;
  WriteFileBytes(dir.File("renamed.exe"), renamed);
  const struct {
    std::string path;
    DWORD error;
    DWORD errorOfCopy = 0;  // GetFileVersionInfoW's, where it differs
  } cases[] = {
      {dir.File("text.txt"), ERROR_RESOURCE_DATA_NOT_FOUND},
      {dir.File("empty.bin"), ERROR_RESOURCE_DATA_NOT_FOUND},
      {dir.File("mz.bin"), ERROR_RESOURCE_DATA_NOT_FOUND},
      {dir.File("headers-only.exe"), ERROR_RESOURCE_DATA_NOT_FOUND},
      {dir.File("cut.exe"), ERROR_RESOURCE_DATA_NOT_FOUND},
      {dir.File("renamed.exe"), ERROR_RESOURCE_DATA_NOT_FOUND},
      {MERIDEX_TEST_PE64_PLAIN, ERROR_RESOURCE_DATA_NOT_FOUND},
      {dir.File("missing.exe"), ERROR_FILE_NOT_FOUND},
      {dir.File("missing/file.exe"), ERROR_PATH_NOT_FOUND},
      {dir.Path(), ERROR_ACCESS_DENIED},
      {"", ERROR_BAD_PATHNAME, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    DWORD handle = 99;
    SetLastError(0);
    EXPECT_EQ(GetFileVersionInfoSizeW(Wide(c.path).c_str(), &handle), 0u) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
    EXPECT_EQ(handle, 0u) << c.path;
    std::vector<uint8_t> block(64);
    SetLastError(0);
    EXPECT_FALSE(GetFileVersionInfoW(Wide(c.path).c_str(), 0, 64, block.data())) << c.path;
    EXPECT_EQ(GetLastError(), c.errorOfCopy != 0 ? c.errorOfCopy : c.error) << c.path;
  }
}

// The tool's executable carries the project's version: what Explorer's properties and
// our own reader show is what CMake's project() says.
TEST(VersionResource, TheToolCarriesTheProjectVersion) {
  const std::string image = MERIDEX_TEST_TOOL_IMAGE;
  if (image.empty()) GTEST_SKIP() << "this run builds no Windows executable of the tool";
  const std::vector<uint8_t> block = ReadVersionBlock(image);
  ASSERT_FALSE(block.empty()) << image;
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), u"\\", &value, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, value, sizeof fixed);
  const DWORD high = (MERIDEX_TEST_VERSION_MAJOR << 16) | MERIDEX_TEST_VERSION_MINOR;
  const DWORD low = MERIDEX_TEST_VERSION_PATCH << 16;
  EXPECT_EQ(fixed.dwFileVersionMS, high);
  EXPECT_EQ(fixed.dwFileVersionLS, low);
  EXPECT_EQ(fixed.dwProductVersionMS, high);
  EXPECT_EQ(fixed.dwProductVersionLS, low);
  EXPECT_EQ(fixed.dwFileType, 1u);  // VFT_APP

  const struct {
    const char16_t* name;
    const char* expected;
  } strings[] = {
      {u"FileVersion", MERIDEX_TEST_VERSION},         {u"ProductVersion", MERIDEX_TEST_VERSION},
      {u"ProductName", MERIDEX_TEST_PRODUCT},         {u"CompanyName", MERIDEX_TEST_COMPANY},
      {u"FileDescription", MERIDEX_TEST_DESCRIPTION},
  };
  for (const auto& s : strings) {
    const std::u16string path = std::u16string(u"\\StringFileInfo\\040904b0\\") + s.name;
    ASSERT_TRUE(VerQueryValueW(block.data(), path.c_str(), &value, &length)) << Narrow(path);
    EXPECT_EQ(Narrow(static_cast<const char16_t*>(value)), s.expected) << Narrow(path);
  }
}

}  // namespace

namespace {

// A damaged image must never be read outside the file: bytes of the headers, the section
// table and the upper levels of the resource directory are spoiled in turn, and whatever
// the reader then says must be a clean failure or a block that is consistent with itself.
// The language level, the data entry and the version data are left whole: Windows' own
// reader trusts them and reads wherever they point.
TEST(VersionResource, DamagedImagesFailCleanly) {
  const std::string image = ReadFileBytes(MERIDEX_TEST_PE64_VERSION);
  const std::string key(reinterpret_cast<const char*>(u"VS_VERSION_INFO"), 30);
  const std::size_t data = image.find(key) - 6;
  // The resource compiler lays out the type, name and language directories (0x18 bytes
  // each) and the data entry (0x10) right before the data.
  constexpr std::size_t kDirectories = 0x58;
  ASSERT_GT(data, 0x400u);
  struct Spoil {
    std::size_t at;
    char with;
  };
  std::vector<Spoil> spoils;
  for (std::size_t i = 0; i < 0x2C0; i += 2) spoils.push_back({i, '\xFF'});
  for (std::size_t i = data - kDirectories; i < data - kDirectories + 0x30; ++i) {
    spoils.push_back({i, '\xFF'});
    spoils.push_back({i, '\x00'});
  }

  TempDir dir;
  int serial = 0;
  for (const Spoil& spoil : spoils) {
    std::string damaged = image;
    if (damaged[spoil.at] == spoil.with) continue;
    damaged[spoil.at] = spoil.with;
    // A new file each time: Windows may keep an image it has looked at mapped a while.
    const std::u16string path = Wide(dir.File("damaged" + std::to_string(serial++) + ".exe"));
    WriteFileBytes(Narrow(path), damaged);
    DWORD handle = 0;
    SetLastError(0);
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) {
      EXPECT_NE(GetLastError(), 0u) << "offset " << spoil.at;
      continue;
    }
    std::vector<uint8_t> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) continue;
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.data(), u"\\", &value, &length)) {
      const auto* p = static_cast<const uint8_t*>(value);
      EXPECT_TRUE(p >= block.data() && p + length <= block.data() + block.size()) << "offset " << spoil.at;
    }
  }
}

// The fuzzer's seed corpus holds the hostile images it found: each must fail cleanly or
// answer every query from inside the block it was given.
TEST(VersionResource, HostileImagesOfTheFuzzCorpusStayInsideTheBlock) {
  if (!kVersionReaderChecksBlocks) GTEST_SKIP() << "version.dll trusts the lengths of the resource";
  const std::filesystem::path corpus = std::filesystem::path(MERIDEX_SOURCE_DIR) / "fuzz" / "corpus" / "pe_version";
  const char16_t* keys[] = {u"\\", u"\\VarFileInfo", u"\\VarFileInfo\\Translation", u"\\StringFileInfo",
                            u"\\StringFileInfo\\040904b0\\FileVersion"};
  int images = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    ++images;
    const std::u16string path = Wide(entry.path().string());
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) continue;
    std::vector<uint8_t> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) continue;
    for (const char16_t* key : keys) {
      void* value = nullptr;
      UINT length = 0;
      if (!VerQueryValueW(block.data(), key, &value, &length)) continue;
      const auto* p = static_cast<const uint8_t*>(value);
      EXPECT_TRUE(p >= block.data() && length <= block.size() && p <= block.data() + block.size() - length)
          << entry.path() << " " << Narrow(key) << ": " << length << " bytes at " << (p - block.data()) << " of "
          << block.size();
    }
  }
  EXPECT_GE(images, 5);
}

TEST(VersionResource, AChildLongerThanItsParentEndsTheSearch) {
  // Root "R" (0x20 bytes) holding child "A" whose length claims 0x400 bytes.
  std::vector<uint8_t> block = {
      0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 'R', 0, 0, 0, 0, 0,  // root header and key
      0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 'A', 0, 0, 0, 0, 0,  // child header and key
      0,    0,    0,    0,    0,    0,    0,   0,
  };
  void* value = nullptr;
  UINT length = 0;
  SetLastError(0);
  EXPECT_FALSE(VerQueryValueW(block.data(), u"\\B", &value, &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
}

}  // namespace
