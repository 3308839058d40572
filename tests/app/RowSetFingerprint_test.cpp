// What the operator is told when the rows that match after "yes" are not the listed ones,
// and the servers' sums read back exactly, whatever their size or sign.

#include <gtest/gtest.h>

#include <string>

#include "RowSetFingerprint.h"

namespace {

TEST(RowSetFingerprint, SaysWhatChanged) {
  CRowSetFingerprint listed;
  listed.Add({11, 1});
  listed.Add({22, 2});
  struct Case {
    const char* name;
    CStoredRowSet::Sums now;
    std::string said;
  };
  const Case cases[] = {
      {"the same rows", {2, 33, 3}, ""},
      {"a row more", {3, 44, 6}, "2 records were listed, 3 match now."},
      {"a row changed", {2, 34, 3}, "2 records were listed, but some of them were changed since."},
      {"a row swapped for another", {2, 40, 5}, "2 records were listed and as many match now, but not the same ones."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(listed.DescribeChange(c.now), c.said);
  }
}

TEST(RowSetFingerprint, ServerSumsAreTakenModulo64Bits) {
  struct Case {
    const char* text;
    bool number;
    uint64_t value;
  };
  const Case cases[] = {
      {"0", true, 0},
      {"18446744073709551615", true, ~0ULL},
      {"18446744073709551616", true, 0},
      {"36893488147419103234", true, 2},  // 2 * 2^64 + 2: a sum of many digests
      {"-1", true, ~0ULL},
      {"-18446744073709551617", true, ~0ULL},
      {"", false, 0},
      {"-", false, 0},
      {"12.5", false, 0},
      {"1e3", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t value = 7;
    EXPECT_EQ(DecimalModulo64(c.text, value), c.number);
    if (c.number) {
      EXPECT_EQ(value, c.value);
    }
  }
}

}  // namespace
