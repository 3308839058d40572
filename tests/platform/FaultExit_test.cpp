#include <gtest/gtest.h>

#include <cstdlib>

#include "Console.h"
#include "FaultExit.h"

namespace {

void SayLastWords(const char* fault) {
  (void)ConsoleWriteUtf8(ConsoleStream::Error, "last words: ");
  (void)ConsoleWriteUtf8(ConsoleStream::Error, fault);
}

// What a driver that follows a null pointer does to the process. The sanitizers' check of
// the store would end the process before the fault does: the fault is what is tested.
__attribute__((no_sanitize("null"))) void FollowNullPointer() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

// The last words, and then the fault itself ends the process: not exit status 0,
// which would hide a crash from sanitizers, core dumps and callers. abort() (a driver's,
// or the C library's on a corrupt heap) is covered the same way.
TEST(FaultExit, AFaultEndsTheProcessByItselfAfterTheLastWords) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto notStatusZero = [](int status) { return !::testing::ExitedWithCode(0)(status); };
  EXPECT_EXIT(
      {
        CFaultExit faultExit(SayLastWords);
        FollowNullPointer();
      },
      // "segmentation fault" on POSIX, "access violation" on Windows.
      notStatusZero, "last words: \\w+ \\w+");
  EXPECT_EXIT(
      {
        CFaultExit faultExit(SayLastWords);
        std::abort();
      },
      notStatusZero, "last words: abort");
}

TEST(FaultExit, GoneItLeavesFaultsAsTheyWere) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        { CFaultExit faultExit(SayLastWords); }
        FollowNullPointer();
      },
      "");
}

}  // namespace
