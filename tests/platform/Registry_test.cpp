// The registry calls as the tool makes them. The files are written here the way Windows'
// registry editor writes them; on Linux they are the registry, under Wine regedit imports
// them, so one set of expectations holds our reader to what Windows makes of the same file.
// Reading the file itself (format errors, reading once, the key table) is Linux only.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "ConsoleTesting.h"
#include "RegistryTesting.h"
#include "TestRegistry.h"
#include "TestSupport.h"
#include "Win32Registry.h"

namespace {

using testing_support::TempDir;
using testing_support::TestRegistry;
using testing_support::Utf16LeFile;
using testing_support::WriteFileBytes;
using Bytes = std::vector<BYTE>;

constexpr char16_t kTestKey[] = u"SOFTWARE\\MeridexPlatformTest";
constexpr char16_t kTestKeyName[] = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest";

Bytes Sz(std::u16string_view text) {
  Bytes bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<BYTE>(c & 0xFF));
    bytes.push_back(static_cast<BYTE>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

std::u16string Below(std::u16string_view path) { return std::u16string(kTestKey) + u"\\" + std::u16string(path); }

// Closes the key it holds, like the tool's own key object.
class CKey {
 public:
  CKey() = default;
  ~CKey() { reset(); }
  CKey(const CKey&) = delete;
  CKey& operator=(const CKey&) = delete;
  HKEY get() const { return m_key; }
  HKEY* put() { return reset(), &m_key; }
  HKEY release() { return std::exchange(m_key, nullptr); }
  void reset() {
    if (m_key != nullptr) (void)RegCloseKey(std::exchange(m_key, nullptr));
  }

 private:
  HKEY m_key = nullptr;
};

struct SRead {
  LONG status = -1;
  DWORD type = 0xDEAD;
  Bytes data;
};

// Opens path below HKEY_LOCAL_MACHINE and reads one value into a generous buffer.
SRead Read(std::u16string_view path, const char16_t* name) {
  SRead read;
  CKey key;
  read.status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, std::u16string(path).c_str(), 0, KEY_READ, key.put());
  if (read.status != ERROR_SUCCESS) return read;
  BYTE buffer[1024];
  DWORD size = sizeof buffer;
  read.status = RegQueryValueExW(key.get(), name, nullptr, &read.type, buffer, &size);
  if (read.status == ERROR_SUCCESS) read.data.assign(buffer, buffer + size);
  return read;
}

struct SExpectedValue {
  const char16_t* path;
  const char16_t* name;
  LONG status;
  DWORD type;
  Bytes data;
};

void ExpectValues(const std::vector<SExpectedValue>& rows) {
  for (const SExpectedValue& row : rows) {
    SCOPED_TRACE(testing_support::Narrow(std::u16string(row.path) + u" / " + row.name));
    const SRead read = Read(row.path, row.name);
    EXPECT_EQ(read.status, row.status);
    if (row.status != ERROR_SUCCESS) continue;
    EXPECT_EQ(read.type, row.type);
    EXPECT_EQ(read.data, row.data);
  }
}

class RegistryTest : public testing::Test {
 protected:
  TestRegistry m_registry{kTestKeyName};
};

TEST_F(RegistryTest, ReadsAnExportAsWindowsWritesIt) {
  ASSERT_TRUE(m_registry.Load(
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest\\Export]\n"
      u"@=\"default text\"\n"
      u"\"Path\"=\"C:\\\\Program Files\\\\Talvora \\\"Meridex\\\"\"\n"
      u"\"Name\"=\"\u00dcn\u00efc\u00f6d\u00e9 \u2603 \u041a\u0438\u0440\u0438\u043b\u043b \U0001F600\"\n"
      u"\"Lines\"=\"one\\ntwo\\r\"\n"
      u"\"Count\"=dword:0000002a\n"
      u"\"Expand\"=hex(2):25,00,54,00,4d,00,50,00,25,00,00,00\n"
      u"\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
      u"\"Quad\"=hex(b):01,02,03,04,05,06,07,08\n"
      u"\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\n"
      u"  17,18,\\\n"
      u"  19\n"
      u"\"Empty\"=hex:\n"
      u"\"None\"=hex(0):\n"
      u"\"Odd\"=hex(12345678):ff\n"
      u"\"NoTerminator\"=hex(1):41,00,42,00\n"
      u"\"Gone\"=\"soon\"\n"
      u"\"Gone\"=-\n"
      u"\"Twice\"=\"first\"\n"
      u"\"Twice\"=\"second\"\n"
      u"\n"
      u"; a comment line\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest\\Removed\\Child]\n"
      u"\"x\"=\"y\"\n"
      u"\n"
      u"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest\\Removed]\n"
      u"\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest\\Export\\Sub]\n"
      u"\"Deep\"=dword:ffffffff\n"));

  Bytes blob;
  for (int i = 0; i <= 0x19; ++i) blob.push_back(static_cast<BYTE>(i));
  const std::u16string exported = Below(u"Export");
  ExpectValues({
      {exported.c_str(), u"", ERROR_SUCCESS, REG_SZ, Sz(u"default text")},
      {exported.c_str(), u"Path", ERROR_SUCCESS, REG_SZ, Sz(u"C:\\Program Files\\Talvora \"Meridex\"")},
      {exported.c_str(), u"Name", ERROR_SUCCESS, REG_SZ,
       Sz(u"\u00dcn\u00efc\u00f6d\u00e9 \u2603 \u041a\u0438\u0440\u0438\u043b\u043b \U0001F600")},
      {exported.c_str(), u"Lines", ERROR_SUCCESS, REG_SZ, Sz(u"one\ntwo\r")},
      {exported.c_str(), u"Count", ERROR_SUCCESS, REG_DWORD, {0x2a, 0, 0, 0}},
      {exported.c_str(), u"Expand", ERROR_SUCCESS, REG_EXPAND_SZ, Sz(u"%TMP%")},
      {exported.c_str(), u"Multi", ERROR_SUCCESS, REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
      {exported.c_str(), u"Quad", ERROR_SUCCESS, REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {exported.c_str(), u"Blob", ERROR_SUCCESS, REG_BINARY, blob},
      {exported.c_str(), u"Empty", ERROR_SUCCESS, REG_BINARY, {}},
      {exported.c_str(), u"None", ERROR_SUCCESS, REG_NONE, {}},
      {exported.c_str(), u"Odd", ERROR_SUCCESS, 0x12345678, {0xff}},
      // A text value given as bytes without its terminator is stored with one.
      {exported.c_str(), u"NoTerminator", ERROR_SUCCESS, REG_SZ, Sz(u"AB")},
      {exported.c_str(), u"Gone", ERROR_FILE_NOT_FOUND, 0, {}},
      {exported.c_str(), u"Twice", ERROR_SUCCESS, REG_SZ, Sz(u"second")},
      {Below(u"Export\\Sub").c_str(), u"Deep", ERROR_SUCCESS, REG_DWORD, {0xff, 0xff, 0xff, 0xff}},
      {Below(u"Removed").c_str(), u"x", ERROR_FILE_NOT_FOUND, 0, {}},
  });
}

TEST_F(RegistryTest, ReadsRegedit4Files) {
  // The older format is 8-bit text: strings and text given as bytes become UTF-16.
  ASSERT_TRUE(m_registry.LoadFile(
      "REGEDIT4\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest\\Four]\n"
      "\"Text\"=\"Driver={SQL Server};Server=db\\\\main\"\n"
      "\"Expand\"=hex(2):25,54,4d,50,25,00\n"
      "\"Multi\"=hex(7):61,00,62,00,00\n"
      "\"Bare\"=hex(1):41,42\n"
      "\"Bytes\"=hex:41,42\n"
      "\"Number\"=dword:00000007\n"));
  const std::u16string four = Below(u"Four");
  ExpectValues({
      {four.c_str(), u"Text", ERROR_SUCCESS, REG_SZ, Sz(u"Driver={SQL Server};Server=db\\main")},
      {four.c_str(), u"Expand", ERROR_SUCCESS, REG_EXPAND_SZ, Sz(u"%TMP%")},
      {four.c_str(), u"Multi", ERROR_SUCCESS, REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
      {four.c_str(), u"Bare", ERROR_SUCCESS, REG_SZ, Sz(u"AB")},
      {four.c_str(), u"Bytes", ERROR_SUCCESS, REG_BINARY, {0x41, 0x42}},
      {four.c_str(), u"Number", ERROR_SUCCESS, REG_DWORD, {7, 0, 0, 0}},
  });
}

TEST_F(RegistryTest, NamesIgnoreLetterCaseButNotAccents) {
  ASSERT_TRUE(m_registry.Load(
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest\\\u00dcn\u00efc\u00f6d\u00e9\\\u041a\u0438\u0440\u0438"
      u"\u043b\u043b\\\u0395\u03bb\u03bb\u03ac\u03b4\u03b1\\\u0141\u00f3d\u017a]\n"
      u"\"Database\"=\"found\"\n"));
  ExpectValues({
      {Below(u"\u00dcn\u00efc\u00f6d\u00e9\\\u041a\u0438\u0440\u0438\u043b\u043b\\\u0395\u03bb\u03bb\u03ac\u03b4\u03b1"
             u"\\\u0141\u00f3d\u017a")
           .c_str(),
       u"DATABASE", ERROR_SUCCESS, REG_SZ, Sz(u"found")},
      {Below(u"\u00fcN\u00cfC\u00d6D\u00c9\\\u043a\u0418\u0420\u0418\u041b\u041b\\\u03b5\u039b\u039b\u0386\u0394\u0391"
             u"\\\u0142\u00d3D\u0179")
           .c_str(),
       u"database", ERROR_SUCCESS, REG_SZ, Sz(u"found")},
      // Alpha with and without its accent are two letters.
      {Below(u"\u00dcn\u00efc\u00f6d\u00e9\\\u041a\u0438\u0440\u0438\u043b\u043b\\\u0395\u03bb\u03bb\u03b1\u03b4\u03b1")
           .c_str(),
       u"Database", ERROR_FILE_NOT_FOUND, 0, {}},
      {Below(u"Unicode").c_str(), u"Database", ERROR_FILE_NOT_FOUND, 0, {}},
  });
}

TEST_F(RegistryTest, OnlyTheBackslashSeparates) {
  ASSERT_TRUE(m_registry.Load(
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest\\a/b\\c]\n"
      u"\"v\"=\"slash\"\n"));
  struct SCase {
    std::u16string path;
    LONG status;
  } cases[] = {
      {Below(u"a/b\\c"), ERROR_SUCCESS},
      {Below(u"a/b\\\\c"), ERROR_SUCCESS},  // doubled and trailing backslashes are passed over
      {Below(u"a/b\\c\\"), ERROR_SUCCESS},
      {Below(u"a\\b\\c"), ERROR_FILE_NOT_FOUND},
      {Below(u"a"), ERROR_FILE_NOT_FOUND},
      {u"\\" + Below(u"a/b\\c"), ERROR_BAD_PATHNAME},
      {u"\\", ERROR_BAD_PATHNAME},
      {std::u16string(40000, u'a'), ERROR_INVALID_PARAMETER},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(testing_support::Narrow(c.path.substr(0, 80)));
    HKEY key = reinterpret_cast<HKEY>(1);
    const LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, c.path.c_str(), 0, KEY_READ, &key);
    EXPECT_EQ(status, c.status);
    if (status == ERROR_SUCCESS) {
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    } else {
      EXPECT_EQ(key, nullptr);  // a failed open leaves no stale value behind
    }
  }
}

TEST_F(RegistryTest, QueriesFollowTheSizeRules) {
  ASSERT_TRUE(m_registry.Load(
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest]\n"
      u"@=\"unnamed\"\n"
      u"\"Text\"=\"hello\"\n"
      u"\"Empty\"=hex:\n"));
  CKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, key.put()), ERROR_SUCCESS);
  const Bytes hello = Sz(u"hello");
  const DWORD helloSize = static_cast<DWORD>(hello.size());

  BYTE buffer[64];
  DWORD size = 0;
  DWORD type = 0xDEAD;

  // Too small: ERROR_MORE_DATA, the size needed, the type, and the buffer left alone.
  std::memset(buffer, 0xAA, sizeof buffer);
  size = helloSize - 1;
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Text", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, helloSize);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(buffer[0], 0xAA);

  // Exactly large enough.
  size = helloSize;
  EXPECT_EQ(RegQueryValueExW(key.get(), u"TEXT", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(Bytes(buffer, buffer + size), hello);

  // No buffer: only the size. No buffer and no size: only whether it exists.
  size = 0;
  type = 0xDEAD;
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, helloSize);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Text", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);

  // A buffer without its size, and the reserved argument, are refused.
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Text", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
  DWORD reserved = 0;
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Text", &reserved, nullptr, buffer, &size), ERROR_INVALID_PARAMETER);

  // Missing: nothing written.
  size = 12345;
  type = 0xDEAD;
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Missing", nullptr, &type, buffer, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 12345u);
  EXPECT_EQ(type, 0xDEADu);

  // A null or empty name is the unnamed value.
  for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u""}) {
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExW(key.get(), name, nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(Bytes(buffer, buffer + size), Sz(u"unnamed"));
  }

  // An empty value fits even a buffer of no size.
  size = 0;
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Empty", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
}

TEST_F(RegistryTest, PredefinedKeysStayAndClosedKeysAreRefused) {
  ASSERT_TRUE(m_registry.Load(
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest]\n"
      u"\"v\"=\"here\"\n"));

  // Closing a predefined key does nothing; it goes on working.
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(Read(kTestKey, u"v").status, ERROR_SUCCESS);

  // An empty path gives a predefined key back as it is...
  HKEY same = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"", 0, KEY_READ, &same), ERROR_SUCCESS);
  EXPECT_EQ(same, HKEY_LOCAL_MACHINE);

  // ...and any other key as a handle of its own, which outlives the first.
  CKey first;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, first.put()), ERROR_SUCCESS);
  CKey second;
  ASSERT_EQ(RegOpenKeyExW(first.get(), u"", 0, KEY_READ, second.put()), ERROR_SUCCESS);
  EXPECT_NE(second.get(), first.get());
  const HKEY closed = first.release();
  EXPECT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(second.get(), u"v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);

  // A closed handle is refused, by every call and by a second close.
  EXPECT_EQ(RegQueryValueExW(closed, u"v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE);
  HKEY opened = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExW(closed, u"", 0, KEY_READ, &opened), ERROR_INVALID_HANDLE);
  EXPECT_EQ(opened, nullptr);

  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(nullptr, kTestKey, 0, KEY_READ, &opened), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

// From here on the registry is our file: Linux only.

class RegistryFileTest : public RegistryTest {
 protected:
  void SetUp() override {
    if (!kRegistryIsAFile) GTEST_SKIP() << "the registry is a file only in the Linux build";
    // Files read from here must be trusted, whatever the umask.
    std::filesystem::permissions(m_scratch.Path(), std::filesystem::perms::group_write | std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
  }

  // Makes path the registry, and returns what standard error got while it was first read.
  std::string ImportAndRead(const std::string& path, LONG& status) {
    EXPECT_TRUE(ImportRegistryFileForTesting(path));
    CStandardErrorCapture capture(m_scratch.File("stderr.txt"));
    CKey key;
    status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, key.put());
    return capture.Finish();
  }

  TempDir m_scratch;
};

TEST_F(RegistryFileTest, ReadsUtf8WithOrWithoutItsMark) {
  const std::string body =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest]\r\n"
      "\"Name\"=\"\xc3\x9cn\xc3\xaf \xe2\x98\x83\"\r\n"
      "\"Expand\"=hex(2):25,00,c3,9c,00,00\r\n";
  const Bytes name = Sz(u"\u00dcn\u00ef \u2603");
  for (const std::string& text : {"Windows Registry Editor Version 5.00\r\n\r\n" + body,
                                  "\xef\xbb\xbfWindows Registry Editor Version 5.00\r\n\r\n" + body,
                                  "\xef\xbb\xbfREGEDIT4\n" + body}) {
    ASSERT_TRUE(m_registry.LoadFile(text));
    ExpectValues({{kTestKey, u"Name", ERROR_SUCCESS, REG_SZ, name}});
  }
  // In a REGEDIT4 file, text given as bytes is 8-bit (here UTF-8) text.
  ExpectValues({{kTestKey, u"Expand", ERROR_SUCCESS, REG_EXPAND_SZ, {'%', 0, 0, 0, 0xdc, 0, 0, 0, 0, 0}}});
}

TEST_F(RegistryFileTest, MalformedFilesNameTheLineAndLeaveTheRegistryEmpty) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n";
  const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest]\n";
  struct SCase {
    const char* what;
    std::string bytes;
    unsigned line;
  } cases[] = {
      {"no header", key + "\"v\"=\"x\"\n", 1},
      {"header in lower case", "regedit4\n" + key, 1},
      {"empty file", "", 1},
      {"unknown root", header + "[HKEY_NOWHERE\\x]\n", 3},
      {"abbreviated root", header + "[HKLM\\SOFTWARE\\x]\n", 3},
      {"key without its bracket", header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\x\n", 3},
      {"text after the key", header + key + "[HKEY_LOCAL_MACHINE\\x] y\n", 4},
      {"root removal", header + "[-HKEY_LOCAL_MACHINE]\n", 3},
      {"value before any key", header + "\"v\"=\"x\"\n" + key, 3},
      {"value after a removal", header + key + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\x]\n\"v\"=\"x\"\n", 5},
      {"unterminated string", header + key + "\"v\"=\"x\n\"w\"=\"y\"\n", 4},
      {"unterminated name", header + key + "\"v=\"x\"\n", 4},
      {"unknown escape", header + key + "\"v\"=\"a\\tb\"\n", 4},
      {"text after a string", header + key + "\"v\"=\"x\"y\n", 4},
      {"no equals sign", header + key + "\"v\" \"x\"\n", 4},
      {"unknown data", header + key + "\"v\"=str:\"x\"\n", 4},
      {"upper-case prefix", header + key + "\"v\"=DWORD:00000001\n", 4},
      {"dword of nine digits", header + key + "\"v\"=dword:123456789\n", 4},
      {"empty dword", header + key + "\"v\"=dword:\n", 4},
      {"bad hex digit", header + key + "\"v\"=hex:0g\n", 4},
      {"hex byte of three digits", header + key + "\"v\"=hex:100\n", 4},
      {"hex bytes without comma", header + key + "\"v\"=hex:01 02\n", 4},
      {"doubled comma", header + key + "\"v\"=hex:01,,02\n", 4},
      {"hex type without colon", header + key + "\"v\"=hex(2)01\n", 4},
      {"hex type of nine digits", header + key + "\"v\"=hex(100000000):01\n", 4},
      {"continuation at the end", header + key + "\"v\"=hex:01,\\\n", 5},
      {"empty line in a continuation", header + key + "\"v\"=hex:01,\\\n\n  02\n", 5},
      {"stray line", header + key + "junk\n", 4},
      {"invalid UTF-8", header + key + "\"v\"=\"\xe9t\xe9\"\n", 4},
      {"invalid UTF-8 in REGEDIT4 bytes", "REGEDIT4\n" + key + "\"v\"=hex(2):e9,00\n", 3},
      {"NUL character", header + key + std::string("\"v\"=\"a\0b\"\n", 10), 4},
      {"truncated UTF-16", Utf16LeFile(u"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\x]\n\"v\"=\"x\"")
                               .substr(0, 2 + 2 * 70 + 1),
       4},
      {"UTF-16 without its mark", Utf16LeFile(u"REGEDIT4\n").substr(2), 1},
      {"UTF-16 big-endian", "\xFE\xFF", 1},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = m_registry.Write(c.bytes);
    LONG status = ERROR_SUCCESS;
    const std::string message = ImportAndRead(path, status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    const std::string start = "Registry file \"" + path + "\" line " + std::to_string(c.line) + ": ";
    EXPECT_EQ(message.substr(0, start.size()), start) << message;
    const std::string end = "; the registry is empty.\n";
    ASSERT_GE(message.size(), end.size());
    EXPECT_EQ(message.substr(message.size() - end.size()), end);
    EXPECT_EQ(message.find('\n'), message.size() - 1) << "one line";
  }
}

TEST_F(RegistryFileTest, FileIsReadOnceAndComplainsOnce) {
  LONG status = ERROR_SUCCESS;
  // A file named in MERIDEX_REGISTRY that is not there: an empty registry, and which file,
  // its name in the visible notation.
  const std::string missing = m_scratch.File("no-such\x1b[8m\xff.reg");
  EXPECT_EQ(ImportAndRead(missing, status),
            "Registry file \"" + m_scratch.File("no-such<U+001B>[8m<xFF>.reg") + "\" does not exist; the registry is empty.\n");
  EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
  const std::string message = ImportAndRead(m_scratch.Path(), status);  // a directory
  EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(message.rfind("Registry file \"" + m_scratch.Path() + "\" cannot be read: ", 0), 0u) << message;
  {
    CStandardErrorCapture capture(m_scratch.File("again.txt"));
    EXPECT_EQ(Read(kTestKey, u"v").status, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(capture.Finish(), "") << "the complaint comes once";
  }

  const std::string path = m_registry.Write(Utf16LeFile(
      u"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest]\n\"v\"=\"old\"\n"));
  ASSERT_TRUE(ImportRegistryFileForTesting(path));
  CKey before;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, before.put()), ERROR_SUCCESS);
  WriteFileBytes(path, Utf16LeFile(u"Windows Registry Editor Version 5.00\n\n"
                                   u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest]\n\"v\"=\"new\"\n"));
  ExpectValues({{kTestKey, u"v", ERROR_SUCCESS, REG_SZ, Sz(u"old")}});

  ASSERT_TRUE(ImportRegistryFileForTesting(path));  // read again
  ExpectValues({{kTestKey, u"v", ERROR_SUCCESS, REG_SZ, Sz(u"new")}});
  // A key opened before goes on answering from what it was opened on.
  BYTE buffer[64];
  DWORD size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(before.get(), u"v", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(Bytes(buffer, buffer + size), Sz(u"old"));
}

// Only a regular file of a sane size is read: a device or a FIFO would never end (or
// never begin), and a huge file would only exhaust the memory.
TEST_F(RegistryFileTest, OnlyARegularFileOfBoundedSizeIsRead) {
  const std::string fifo = m_scratch.File("fifo.reg");
  ASSERT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
  const std::string huge = m_scratch.File("huge.reg");
  WriteFileBytes(huge, "Windows Registry Editor Version 5.00\r\n");
  std::filesystem::resize_file(huge, (std::uintmax_t(4) << 20) + 1);  // sparse: nothing is written
  testing_support::RestrictToOwner(huge);
  const struct {
    std::string path;
    const char* what;
  } cases[] = {{"/dev/zero", "is not a regular file"}, {fifo, "is not a regular file"}, {huge, "is larger than 4 MiB"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    LONG status = ERROR_SUCCESS;
    EXPECT_EQ(ImportAndRead(c.path, status), "Registry file \"" + c.path + "\" " + c.what + "; the registry is empty.\n");
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
  }
}

TEST_F(RegistryFileTest, KeysAreOwnedAndStaleHandlesNeverReachAnotherKey) {
  ASSERT_TRUE(m_registry.Load(
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest\\A]\n\"v\"=\"a\"\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\MeridexPlatformTest\\B]\n\"v\"=\"b\"\n"));
  const long before = OpenRegistryKeysForTesting();

  HKEY a = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, Below(u"A").c_str(), 0, KEY_READ, &a), ERROR_SUCCESS);
  EXPECT_EQ(OpenRegistryKeysForTesting(), before + 1);
  ASSERT_EQ(RegCloseKey(a), ERROR_SUCCESS);
  EXPECT_EQ(OpenRegistryKeysForTesting(), before);

  // B takes the slot A had; A's old value must still be refused, not mistaken for B.
  CKey b;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, Below(u"B").c_str(), 0, KEY_READ, b.put()), ERROR_SUCCESS);
  EXPECT_NE(b.get(), a);
  EXPECT_EQ(RegCloseKey(a), ERROR_INVALID_HANDLE);
  BYTE buffer[16];
  DWORD size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(a, u"v", nullptr, nullptr, buffer, &size), ERROR_INVALID_HANDLE);
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(b.get(), u"v", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(Bytes(buffer, buffer + size), Sz(u"b"));
  EXPECT_EQ(OpenRegistryKeysForTesting(), before + 1);

  // Handle values that were never ours are refused too.
  const uintptr_t nextGeneration = reinterpret_cast<uintptr_t>(b.get()) + (uintptr_t{1} << 32);
  for (uintptr_t forged : {uintptr_t{4}, uintptr_t{0x12345678}, nextGeneration, ~uintptr_t{0}}) {
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(forged)), ERROR_INVALID_HANDLE) << forged;
  }
  b.reset();
  EXPECT_EQ(OpenRegistryKeysForTesting(), before);
}

}  // namespace
