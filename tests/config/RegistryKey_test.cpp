// The key object on both backings. The registry tests run on both builds with the same
// expectations: on Linux against the registry file, under Wine against its real registry.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "MemoryKey.h"
#include "RegistryKey.h"
#include "RegistryTesting.h"
#include "TestRegistry.h"
#include "Win32Registry.h"

namespace {

using testing_support::TestRegistry;

constexpr char16_t kTalvora[] = u"SOFTWARE\\Talvora";
constexpr DWORD kUntouched = 0xDEADBEEF;

std::vector<BYTE> BytesOf(const char16_t* buffer, DWORD count) {
  const auto* bytes = reinterpret_cast<const BYTE*>(buffer);
  return std::vector<BYTE>(bytes, bytes + count);
}

class RegistryKeyTest : public testing::Test {
 protected:
  void SetUp() override {
    // Throwaway keys: under Wine they live in the test prefix's registry.
    ASSERT_TRUE(m_registry.Load(
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora\\KeyTest]\n"
        u"\"Where\"=\"two\"\n"
        u"\"Exact\"=hex:01,02,03,04,05,06,07,08\n"
        u"\"OneMore\"=hex:01,02,03,04,05,06,07,08,09\n"
        u"\"Number\"=dword:12345678\n"
        u"\"Quad\"=hex(b):01,02,03,04,05,06,07,08\n"
        u"\"Bare\"=hex:61,00,62,00\n"
        u"\n"
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora\\KeyTest\\Inner]\n"
        u"\"Where\"=\"three\"\n"));
  }

  TestRegistry m_registry{u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora"};
};

std::u16string ReadText(CRegistryKey& key, const char16_t* name) {
  char16_t buffer[32] = {};
  DWORD bytes = 0;
  if (!key.QueryValue(name, buffer, 31, &bytes)) return u"<failed>";
  return buffer;
}

TEST_F(RegistryKeyTest, EachOpenDescendsAndOwnsOnlyTheLastKey) {
  // Where the build can count the keys it holds open: one while the object lives, the
  // last it opened, and none once it is gone.
  const long keysBefore = OpenRegistryKeysForTesting();
  {
    CRegistryKey key(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(key.Open(kTalvora, KEY_READ));
    ASSERT_TRUE(key.Open(u"KeyTest", KEY_READ));  // relative to SOFTWARE\Talvora
    EXPECT_EQ(ReadText(key, u"Where"), u"two");
    if (keysBefore >= 0) {
      EXPECT_EQ(OpenRegistryKeysForTesting(), keysBefore + 1);
    }
  }
  if (keysBefore >= 0) {
    EXPECT_EQ(OpenRegistryKeysForTesting(), keysBefore);
  }

  // The root was never closed.
  CRegistryKey again(HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(again.Open(u"SOFTWARE\\Talvora\\KeyTest\\Inner", KEY_READ));
  EXPECT_EQ(ReadText(again, u"Where"), u"three");
}

TEST_F(RegistryKeyTest, FailedOpenKeepsThePreviousKey) {
  CRegistryKey key(HKEY_LOCAL_MACHINE);
  LONG status = 12345;
  ASSERT_TRUE(key.Open(u"SOFTWARE\\Talvora\\KeyTest", KEY_READ, &status));
  EXPECT_EQ(status, ERROR_SUCCESS);

  SetLastError(0);
  EXPECT_FALSE(key.Open(u"Missing", KEY_READ, &status));
  EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ReadText(key, u"Where"), u"two");

  // Only the backslash separates in the registry.
  EXPECT_FALSE(key.Open(u"Inner/", KEY_READ, &status));
  EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);

  // An empty path stays where it is, also on a root it must not close.
  CRegistryKey root(HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(root.Open(u"", KEY_READ, &status));
  EXPECT_TRUE(root.Open(u"SOFTWARE\\Talvora\\KeyTest\\Inner", KEY_READ));
  EXPECT_EQ(ReadText(root, u"Where"), u"three");
}

TEST_F(RegistryKeyTest, QueryValueCopiesAnyTypeThatFits) {
  CRegistryKey key(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(key.Open(u"SOFTWARE\\Talvora\\KeyTest", KEY_READ));
  struct SCase {
    const char16_t* name;
    DWORD capacity;
    bool result;
    DWORD error;
    DWORD byteCount;
    std::vector<BYTE> bytes;  // the start of the buffer after the call
  } cases[] = {
      {u"Exact", 4, true, 0, 8, {1, 2, 3, 4, 5, 6, 7, 8, 0xEE}},  // fills the buffer exactly
      {u"OneMore", 4, false, ERROR_MORE_DATA, 9, {0xEE}},
      {u"OneMore", 5, true, 0, 9, {1, 2, 3, 4, 5, 6, 7, 8, 9, 0xEE}},
      {u"Number", 4, true, 0, 4, {0x78, 0x56, 0x34, 0x12, 0xEE}},
      {u"Quad", 4, true, 0, 8, {1, 2, 3, 4, 5, 6, 7, 8}},
      {u"Bare", 4, true, 0, 4, {'a', 0, 'b', 0, 0xEE}},  // no terminator added
      {u"Missing", 4, false, ERROR_FILE_NOT_FOUND, 8, {0xEE}},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(testing_support::Narrow(c.name) + " in " + std::to_string(c.capacity));
    char16_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    DWORD byteCount = kUntouched;
    SetLastError(0);
    EXPECT_EQ(key.QueryValue(c.name, buffer, c.capacity, &byteCount), c.result);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(byteCount, c.byteCount);
    EXPECT_EQ(BytesOf(buffer, static_cast<DWORD>(c.bytes.size())), c.bytes);
  }
  // The registry takes the byte count as its size argument: without one a read fails.
  char16_t buffer[8];
  EXPECT_FALSE(key.QueryValue(u"Exact", buffer, 8));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(RegistryKeyWithoutBacking, FailsWithInvalidName) {
  CRegistryKey key(static_cast<HKEY>(nullptr));
  LONG status = 12345;
  SetLastError(0);
  EXPECT_FALSE(key.Open(u"SOFTWARE", KEY_READ, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(STG_E_INVALIDNAME));

  char16_t buffer[4];
  DWORD byteCount = kUntouched;
  SetLastError(0);
  EXPECT_FALSE(key.QueryValue(u"Any", buffer, 4, &byteCount));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(STG_E_INVALIDNAME));
  EXPECT_EQ(byteCount, 8u);
}

// The in-memory backing: a tree node instead of a registry handle.
class MemoryBackedKeyTest : public testing::Test {
 protected:
  void SetUp() override {
    CMemoryKey* database = m_root.OpenSubKey(u"SOFTWARE\\Talvora\\Meridex_4\\Database", KEY_WRITE);
    ASSERT_NE(database, nullptr);
    const BYTE eight[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_TRUE(database->SetValue(u"Exact", REG_BINARY, eight, 8));
    ASSERT_TRUE(database->SetValue(u"OneMore", REG_BINARY, eight, 9));
    ASSERT_TRUE(database->SetValue(u"Bare", REG_SZ, u"ab", 4));
    // Which node a key object stands on shows in what it reads there.
    ASSERT_TRUE(database->SetValue(u"Where", REG_SZ, u"database", 18));
    ASSERT_TRUE(m_root.SetValue(u"Where", REG_SZ, u"root", 10));
    m_database = database;
  }

  CMemoryKey m_root;
  CMemoryKey* m_database = nullptr;
};

TEST_F(MemoryBackedKeyTest, OpenWalksTheTree) {
  CRegistryKey key(m_root);
  LONG status = 12345;
  EXPECT_TRUE(key.Open(u"", KEY_QUERY_VALUE, &status));
  EXPECT_EQ(ReadText(key, u"Where"), u"root");
  EXPECT_EQ(status, ERROR_SUCCESS);

  EXPECT_TRUE(key.Open(u"software/TALVORA\\Meridex_4", KEY_QUERY_VALUE));
  EXPECT_TRUE(key.Open(u"database", KEY_QUERY_VALUE));
  EXPECT_EQ(ReadText(key, u"Where"), u"database");

  SetLastError(0);
  EXPECT_FALSE(key.Open(u"Missing", KEY_QUERY_VALUE, &status));
  EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ReadText(key, u"Where"), u"database");
  EXPECT_TRUE(m_database->SubKeys().empty());

  EXPECT_FALSE(key.Open(nullptr, KEY_READ, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
  EXPECT_EQ(ReadText(key, u"Where"), u"database");

  // KEY_READ shares READ_CONTROL with KEY_WRITE, so it creates what is missing.
  EXPECT_TRUE(key.Open(u"Created\\Too", KEY_READ));
  CMemoryKey* created = m_database->FindSubKey(u"Created");
  ASSERT_NE(created, nullptr);
  CMemoryKey* too = created->FindSubKey(u"Too");
  ASSERT_NE(too, nullptr);
  ASSERT_TRUE(too->SetValue(u"Where", REG_SZ, u"too", 8));
  EXPECT_EQ(ReadText(key, u"Where"), u"too");

  // A success leaves the last error alone.
  SetLastError(4242);
  EXPECT_TRUE(key.Open(u"", KEY_READ));
  EXPECT_EQ(GetLastError(), 4242u);
}

TEST_F(MemoryBackedKeyTest, QueryValueFollowsTheTreeRules) {
  CRegistryKey key(m_root);
  ASSERT_TRUE(key.Open(u"SOFTWARE\\Talvora\\Meridex_4\\Database", KEY_QUERY_VALUE));
  struct SCase {
    const char16_t* name;
    bool nullBuffer;
    bool result;
    DWORD error;
    DWORD byteCount;
    std::vector<BYTE> bytes;
  } cases[] = {
      {u"Exact", false, true, 0, 8, {1, 2, 3, 4, 5, 6, 7, 8, 0xEE}},
      // Unlike the registry, the tree copies what fits.
      {u"OneMore", false, false, ERROR_MORE_DATA, 9, {1, 2, 3, 4, 5, 6, 7, 8, 0xEE}},
      {u"Bare", false, true, 0, 4, {'a', 0, 'b', 0, 0xEE}},
      {u"Missing", false, false, ERROR_NO_DATA, 8, {0xEE}},  // not the registry's FILE_NOT_FOUND
      {nullptr, false, false, static_cast<DWORD>(E_INVALIDARG), 8, {0xEE}},
      {u"Exact", true, false, static_cast<DWORD>(E_INVALIDARG), 8, {0xEE}},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name == nullptr ? std::string("null name") : testing_support::Narrow(c.name));
    char16_t buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    DWORD byteCount = kUntouched;
    SetLastError(0);
    EXPECT_EQ(key.QueryValue(c.name, c.nullBuffer ? nullptr : buffer, 4, &byteCount), c.result);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(byteCount, c.byteCount);
    EXPECT_EQ(BytesOf(buffer, static_cast<DWORD>(c.bytes.size())), c.bytes);
  }
  // The byte count is optional here.
  char16_t buffer[8];
  EXPECT_TRUE(key.QueryValue(u"Exact", buffer, 8));
}

}  // namespace
