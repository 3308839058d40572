#include <gtest/gtest.h>

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

TEST(FaultExit, AFaultEndsTheProcessWithTheLastWordsAndStatusZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        CFaultExit faultExit(SayLastWords);
        FollowNullPointer();
      },
      // "segmentation fault" on POSIX, "access violation" on Windows.
      ::testing::ExitedWithCode(0), "last words: \\w+ \\w+");
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
