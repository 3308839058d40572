// The in-memory key tree: the path walk, reading values, ownership.
// This executable counts every allocation (operator new below), so a test can see that
// destroying a tree gives back all it took, and can make one allocation fail on purpose.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "MemoryKey.h"
#include "TestSupport.h"

namespace {
std::atomic<long> g_liveAllocations{0};
std::atomic<long> g_allocationsBeforeFailure{-1};  // -1: none fails
}  // namespace

void* operator new(std::size_t size) {
  if (g_allocationsBeforeFailure.load() >= 0 && g_allocationsBeforeFailure.fetch_sub(1) == 0) {
    throw std::bad_alloc();
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  ++g_liveAllocations;
  return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  --g_liveAllocations;
  std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using testing_support::Narrow;

// Runs f with the allocation after `allowed` more failing; true when it threw bad_alloc.
template <typename F>
bool FailsAllocating(long allowed, F f) {
  g_allocationsBeforeFailure = allowed;
  bool threw = false;
  try {
    f();
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  g_allocationsBeforeFailure = -1;
  return threw;
}

// Every key below node as "A|B|C", sorted; an empty name is an empty piece.
void Describe(const CMemoryKey& node, const std::string& prefix, std::vector<std::string>& out) {
  for (const auto& [name, child] : node.SubKeys()) {
    const std::string path = prefix + Narrow(name);
    out.push_back(path);
    Describe(*child, path + "|", out);
  }
}

std::vector<std::string> Describe(const CMemoryKey& root) {
  std::vector<std::string> out;
  Describe(root, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> Sorted(std::vector<std::string> paths) {
  std::sort(paths.begin(), paths.end());
  return paths;
}

// The node at "A|B" (pieces split at '|'; "" is the child with the empty name), the root
// for kRoot, or null.
constexpr const char* kRoot = "<root>";
constexpr const char* kNone = "<none>";

CMemoryKey* At(CMemoryKey& root, const std::string& path) {
  if (path == kRoot) return &root;
  CMemoryKey* node = &root;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find('|', start);
    const std::u16string name = testing_support::Wide(path.substr(start, end - start));
    node = node->FindSubKey(name.c_str());
    if (node == nullptr || end == std::string::npos) return node;
    start = end + 1;
  }
}

bool SetText(CMemoryKey& key, const char16_t* name, std::u16string_view text) {
  return key.SetValue(name, REG_SZ, text.data(), static_cast<DWORD>(text.size() * 2));
}

TEST(NoCaseLess, OrdersAsWcsicmp) {
  struct SCase {
    std::u16string a, b;
    bool less;
  } cases[] = {
      {u"a", u"B", true},        {u"B", u"a", false},     {u"Database", u"DATABASE", false},
      {u"DATABASE", u"database", false},
      {u"_", u"A", true},  // letters fold to lower case, as _wcsicmp does: '_' < 'a'
      {u"abc", u"ABCD", true},   {u"ABCD", u"abc", false}, {u"", u"a", true},
      {u"\u00c9", u"\u00e9", true},  // only ASCII letters fold
      {u"z", u"\u00e0", true},   {u"\uffff", u"a", false},
  };
  for (const SCase& c : cases) {
    EXPECT_EQ(NoCaseLess()(c.a, c.b), c.less) << Narrow(c.a) << " < " << Narrow(c.b);
  }
}

struct SWalk {
  const char* what;
  std::u16string path;
  REGSAM access;
  std::string result;  // the node reached, as At() takes it; kNone for a failure
  std::vector<std::string> treeAfter;
};

TEST(MemoryKey, WalksPaths) {
  const std::u16string longest(CMemoryKey::kMaxComponentLength, u'x');
  const std::u16string tooLong(CMemoryKey::kMaxComponentLength + 1, u'x');
  const std::vector<std::string> start = {"Software", "Software|Talvora"};
  auto plus = [&start](std::vector<std::string> more) {
    more.insert(more.begin(), start.begin(), start.end());
    return more;
  };
  const SWalk cases[] = {
      {"empty path, any access", u"", KEY_ALL_ACCESS, kRoot, start},
      {"empty path, query only", u"", KEY_QUERY_VALUE, kRoot, start},
      {"case differs", u"SOFTWARE\\talvora", KEY_QUERY_VALUE, "Software|Talvora", start},
      {"slash separates too", u"software/Talvora", KEY_QUERY_VALUE, "Software|Talvora", start},
      {"one trailing separator", u"Software\\", KEY_QUERY_VALUE, "Software", start},
      {"two trailing separators", u"Software\\/", KEY_WRITE, "Software|", plus({"Software|"})},
      {"separator alone", u"/", KEY_WRITE, "", plus({""})},
      {"leading separator", u"\\Software", KEY_WRITE, "|Software", {"", "|Software", "Software", "Software|Talvora"}},
      {"three levels, both separators", u"A\\B/C", KEY_WRITE, "A|B|C", {"A", "A|B", "A|B|C", "Software", "Software|Talvora"}},
      {"KEY_READ creates", u"Software\\New\\Deeper", KEY_READ, "Software|New|Deeper",
       plus({"Software|New", "Software|New|Deeper"})},
      {"READ_CONTROL alone creates", u"New", READ_CONTROL, "New", {"New", "Software", "Software|Talvora"}},
      {"query only creates nothing", u"Software\\Missing\\More", KEY_QUERY_VALUE, kNone, start},
      {"no write bit creates nothing", u"Missing", KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY, kNone,
       start},
      {"longest component", u"Software\\" + longest, KEY_WRITE, "Software|" + std::string(259, 'x'),
       plus({"Software|" + std::string(259, 'x')})},
      {"component too long", u"New\\" + tooLong, KEY_ALL_ACCESS, kNone, start},
  };
  for (const SWalk& c : cases) {
    SCOPED_TRACE(c.what);
    CMemoryKey root;
    ASSERT_NE(root.OpenSubKey(u"Software\\Talvora", KEY_WRITE), nullptr);
    SetLastError(0);
    CMemoryKey* reached = root.OpenSubKey(c.path.c_str(), c.access);
    if (c.result == kNone) {
      EXPECT_EQ(reached, nullptr);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    } else {
      EXPECT_EQ(reached, At(root, c.result));
      EXPECT_NE(reached, nullptr);
    }
    EXPECT_EQ(Describe(root), Sorted(c.treeAfter));
  }
}

TEST(MemoryKey, NamesKeepTheirFirstCaseAndReplaceOnlyWhenAsked) {
  CMemoryKey root;
  CMemoryKey* old = root.OpenSubKey(u"Database\\Child", KEY_WRITE);
  ASSERT_NE(old, nullptr);
  CMemoryKey* database = root.FindSubKey(u"DATABASE");
  ASSERT_NE(database, nullptr);
  EXPECT_EQ(root.CreateSubKey(u"DATABASE", false), database);
  EXPECT_EQ(database->FindSubKey(u"child"), old);

  ASSERT_TRUE(SetText(*database, u"Conn", u"x"));
  ASSERT_TRUE(SetText(*database, u"CONN", u"yz"));  // replaces, keeps the name
  ASSERT_EQ(database->Values().size(), 1u);
  EXPECT_EQ(database->Values().begin()->first, u"Conn");
  char16_t text[4] = {};
  DWORD size = sizeof text;
  EXPECT_TRUE(database->ReadValue(u"conn", nullptr, reinterpret_cast<BYTE*>(text), &size));
  EXPECT_EQ(std::u16string(text, size / 2), u"yz");

  CMemoryKey* fresh = root.CreateSubKey(u"dataBASE", true);
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, database);
  EXPECT_EQ(root.FindSubKey(u"Database"), fresh);
  EXPECT_TRUE(fresh->SubKeys().empty());
  EXPECT_TRUE(fresh->Values().empty());
  EXPECT_EQ(Describe(root), std::vector<std::string>{"Database"});
  EXPECT_EQ(root.CreateSubKey(nullptr, false), nullptr);
}

TEST(MemoryKey, ReadsValuesByTheSizeRules) {
  CMemoryKey key;
  const BYTE four[] = {1, 2, 3, 4};
  ASSERT_TRUE(key.SetValue(u"Four", REG_BINARY, four, 4));
  ASSERT_TRUE(key.SetValue(u"Empty", REG_SZ, nullptr, 0));
  EXPECT_FALSE(key.SetValue(u"Bad", REG_BINARY, nullptr, 1));
  EXPECT_EQ(key.FindValue(u"Bad"), nullptr);

  struct SCase {
    const char* what;
    const char16_t* name;
    bool nullData;
    bool nullSize;
    DWORD size;
    bool result;
    DWORD error;
    DWORD sizeAfter;
    DWORD typeAfter;
    std::vector<BYTE> bufferAfter;
  } cases[] = {
      {"exact size", u"four", false, false, 4, true, 0, 4, REG_BINARY, {1, 2, 3, 4, 0xEE}},
      {"larger buffer", u"Four", false, false, 5, true, 0, 4, REG_BINARY, {1, 2, 3, 4, 0xEE}},
      {"one byte short", u"Four", false, false, 3, false, ERROR_MORE_DATA, 4, REG_BINARY, {1, 2, 3, 0xEE, 0xEE}},
      {"no room", u"Four", false, false, 0, false, ERROR_MORE_DATA, 4, REG_BINARY, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
      {"absent", u"None", false, false, 5, false, ERROR_NO_DATA, 5, 0xDEAD, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
      {"empty value, no room", u"Empty", false, false, 0, true, 0, 0, REG_SZ, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
      {"null data", u"Four", true, false, 5, false, ERROR_INVALID_PARAMETER, 5, 0xDEAD, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
      {"null size", u"Four", false, true, 0, false, ERROR_INVALID_PARAMETER, 0, 0xDEAD, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<BYTE> buffer(5, 0xEE);
    DWORD size = c.size;
    DWORD type = 0xDEAD;
    SetLastError(0);
    const bool result = key.ReadValue(c.name, &type, c.nullData ? nullptr : buffer.data(), c.nullSize ? nullptr : &size);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(size, c.sizeAfter);
    EXPECT_EQ(type, c.typeAfter);
    EXPECT_EQ(buffer, c.bufferAfter);
  }
  // The type is optional.
  BYTE buffer[4];
  DWORD size = 4;
  EXPECT_TRUE(key.ReadValue(u"Four", nullptr, buffer, &size));
}

TEST(MemoryKey, DestroyingATreeReleasesEverythingOnce) {
  const long before = g_liveAllocations;
  {
    CMemoryKey root;
    const std::u16string longName(40, u'n');  // beyond any short-string buffer
    for (const char16_t* path : {u"A\\B\\C", u"A\\B\\D", u"A\\E", u"F"}) {
      CMemoryKey* node = root.OpenSubKey((std::u16string(path) + u"\\" + longName).c_str(), KEY_WRITE);
      ASSERT_NE(node, nullptr);
      ASSERT_TRUE(node->SetValue(longName.c_str(), REG_BINARY, longName.data(), 80));
      ASSERT_TRUE(node->SetValue(u"empty", REG_NONE, nullptr, 0));
      ASSERT_TRUE(SetText(*node, u"text", u"replaced below"));
      ASSERT_TRUE(SetText(*node, u"TEXT", u"the data block of the first one is gone"));
    }
    ASSERT_NE(root.CreateSubKey(u"a", true), nullptr);  // the whole A subtree goes here
    EXPECT_GT(g_liveAllocations.load(), before);
  }
  EXPECT_EQ(g_liveAllocations.load(), before);

  CMemoryValue value;
  value.dwType = REG_BINARY;
  value.cbData = 3;
  value.pData.reset(new BYTE[3]);
  value.Clear();
  EXPECT_EQ(value.dwType, 0u);
  EXPECT_EQ(value.cbData, 0u);
  EXPECT_EQ(value.pData, nullptr);
  EXPECT_EQ(g_liveAllocations.load(), before);
}

TEST(MemoryKey, FailedAllocationsLeaveTheTreeAsItWas) {
  CMemoryKey root;
  CMemoryKey* old = root.OpenSubKey(u"Old\\Child", KEY_WRITE);
  ASSERT_NE(old, nullptr);
  ASSERT_TRUE(SetText(*old, u"v", u"kept"));
  const std::u16string longName(40, u'n');  // beyond any short-string buffer
  const long before = g_liveAllocations;

  // Replacing: the new node cannot be made, so the entry keeps the old, intact node.
  EXPECT_TRUE(FailsAllocating(0, [&] { (void)root.CreateSubKey(u"Old", true); }));
  ASSERT_NE(root.FindSubKey(u"Old"), nullptr);
  EXPECT_EQ(root.FindSubKey(u"Old")->FindSubKey(u"Child"), old);

  // A new name whose entry cannot be made gets no entry, and its node is not kept.
  EXPECT_TRUE(FailsAllocating(1, [&] { (void)root.CreateSubKey(longName.c_str(), false); }));
  EXPECT_EQ(root.FindSubKey(longName.c_str()), nullptr);

  // Replacing a value whose new data block cannot be made keeps the old value.
  EXPECT_TRUE(FailsAllocating(0, [&] { (void)SetText(*old, u"v", u"not stored"); }));
  char16_t text[8] = {};
  DWORD size = sizeof text;
  EXPECT_TRUE(old->ReadValue(u"v", nullptr, reinterpret_cast<BYTE*>(text), &size));
  EXPECT_EQ(std::u16string(text, size / 2), u"kept");
  EXPECT_EQ(g_liveAllocations.load(), before);
}

}  // namespace
