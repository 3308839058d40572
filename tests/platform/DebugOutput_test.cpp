#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "BuildTesting.h"
#include "DebugCapture.h"
#include "ScopedEnvironment.h"
#include "TestSupport.h"
#include "Win32Debug.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::TempDir;

TEST(DebugOutput, CaptureSeesEachCallInOrder) {
  DebugCapture outer;
  {
    DebugCapture capture;
    OutputDebugStringW(u"first ");
    OutputDebugStringW(u"");
    OutputDebugStringW(u"second\n");
    const std::vector<std::u16string> expected = {u"first ", u"", u"second\n"};
    EXPECT_EQ(capture.Strings(), expected);
  }
  // The inner capture took the calls; the outer one sees what follows it.
  EXPECT_TRUE(outer.Strings().empty());
  OutputDebugStringW(u"third");
  EXPECT_EQ(outer.Strings(), std::vector<std::u16string>{u"third"});
}

TEST(DebugOutput, KeepsTheLastError) {
  DebugCapture capture;
  SetLastError(ERROR_FILE_NOT_FOUND);
  OutputDebugStringW(u"text");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(DebugOutput, AppendsUtf8ToTheChannelFile) {
  if (!kDebugChannelIsFile) GTEST_SKIP() << "the channel is a debugger here";
  TempDir dir;
  const std::string path = dir.File("debug.txt");
  {
    ScopedEnvironmentVariable channel("MERIDEX_DEBUG_OUTPUT", path.c_str());
    errno = 0;
    OutputDebugStringW(u"ASSERT ");
    OutputDebugStringW(static_cast<const char16_t*>(nullptr));
    OutputDebugStringW(u"\u00e9 924\n");
    EXPECT_EQ(errno, 0);
  }
  EXPECT_EQ(ReadFileBytes(path), "ASSERT \xc3\xa9 924\n");
  // Unset: the text goes nowhere, and the file is left alone.
  {
    ScopedEnvironmentVariable channel("MERIDEX_DEBUG_OUTPUT", nullptr);
    OutputDebugStringW(u"dropped");
  }
  // A channel that cannot be opened costs the caller nothing.
  {
    ScopedEnvironmentVariable channel("MERIDEX_DEBUG_OUTPUT", dir.File("missing/dir/debug.txt").c_str());
    SetLastError(ERROR_ACCESS_DENIED);
    OutputDebugStringW(u"lost");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_EQ(ReadFileBytes(path), "ASSERT \xc3\xa9 924\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

}  // namespace
