#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "Assert.h"
#include "DebugCapture.h"
#include "Win32Types.h"

namespace {

constexpr char16_t kFixedText[] = u"ASSERT(##x##), file ..\\inc\\CRegTreeRecSet line ";

TEST(Assert, FailedCheckSendsTwoStringsAndCarriesOn) {
  struct Row {
    int line;
    std::u16string number;
  };
  const Row rows[] = {
      {kAssertLineGetFieldName, u" 924\n"},
      {kAssertLineSetFileIdentification, u" 1029\n"},
      {kAssertLineSetFieldValue, u" 1091\n"},
      {kAssertLineBuildFileIdentification, u" 1130\n"},
      // The 10-character buffer cuts a long number rather than overrunning.
      {INT_MIN, u" -2147483"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    DebugCapture capture;
    int after = 0;
    ASSERT(false, row.line);
    ++after;
    EXPECT_EQ(after, 1);
    const std::vector<std::u16string> expected = {kFixedText, row.number};
    EXPECT_EQ(capture.Strings(), expected);
  }
}

TEST(Assert, PassingCheckIsSilentAndEvaluatesOnce) {
  DebugCapture capture;
  int evaluations = 0;
  ASSERT(++evaluations == 1, kAssertLineGetFieldName);
  EXPECT_EQ(evaluations, 1);
  EXPECT_TRUE(capture.Strings().empty());
}

TEST(Assert, KeepsTheLastError) {
  DebugCapture capture;
  SetLastError(ERROR_FILE_NOT_FOUND);
  ASSERT(false, kAssertLineBuildFileIdentification);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(capture.Strings().size(), 2u);
}

}  // namespace
