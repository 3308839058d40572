// The one owner template behind every handle: each handle it is given is closed exactly
// once, whatever moves, resets and releases happen to it, and closing never changes the
// thread's last error.

#include <gtest/gtest.h>

#include <map>
#include <utility>

#include "UniqueHandle.h"

namespace {

// Handles are plain numbers; 0 is the invalid one. Closing one counts it and spoils the
// last error, as a real close function may.
std::map<int, int> g_closed;

struct CountingTraits {
  using Type = int;
  static Type Invalid() { return 0; }
  static void Close(Type handle) {
    ++g_closed[handle];
    SetLastError(0xDEAD);
  }
};
using Owner = CUniqueHandle<CountingTraits>;

TEST(UniqueHandle, ClosesEachHandleOnceWhateverHappensToIt) {
  g_closed.clear();
  int released = 0;
  {
    Owner a(1);
    Owner b(std::move(a));  // moves: nothing closed, a is empty
    EXPECT_FALSE(a);
    EXPECT_EQ(b.get(), 1);

    Owner c(2);
    c = std::move(b);  // closes 2, takes 1
    Owner& alias = c;
    c = std::move(alias);  // moving onto itself keeps 1 open

    Owner d(3);
    d.reset(4);  // closes 3
    d.reset(4);  // the same handle again: nothing to close

    Owner e(5);
    released = e.release();  // the caller owns 5 now
    EXPECT_FALSE(e);
  }  // closes 1 and 4
  EXPECT_EQ(released, 5);
  const std::map<int, int> once = {{1, 1}, {2, 1}, {3, 1}, {4, 1}};
  EXPECT_EQ(g_closed, once);
}

TEST(UniqueHandle, ClosingKeepsTheLastError) {
  g_closed.clear();
  SetLastError(ERROR_FILE_NOT_FOUND);
  {
    Owner owner(7);
    owner.reset(8);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(g_closed.size(), 2u);
}

}  // namespace
