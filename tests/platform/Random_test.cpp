// The system's random source, the same test on both builds: every byte asked for is
// filled, and two draws are not the same.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "Win32Random.h"

namespace {

TEST(Random, FillsEveryByteAndNeverRepeats) {
  // A size well past what one getrandom call hands over, and odd sizes at both ends.
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{16}, std::size_t{33u << 20}}) {
    SCOPED_TRACE(size);
    // Guard bytes on both sides: nothing is written outside the buffer.
    std::vector<uint8_t> first(size + 2, 0xA5), second(size + 2, 0xA5);
    ASSERT_TRUE(GenerateRandomBytes(first.data() + 1, static_cast<ULONG>(size)));
    ASSERT_TRUE(GenerateRandomBytes(second.data() + 1, static_cast<ULONG>(size)));
    EXPECT_EQ(first.front(), 0xA5);
    EXPECT_EQ(first.back(), 0xA5);
    if (size < 16) continue;
    EXPECT_NE(first, second);
    // Every byte filled: at this size each value occurs about as often as any other,
    // which bytes left as they were (0xA5) would upset.
    if (size > (1u << 20)) {
      std::vector<std::size_t> counts(256);
      for (std::size_t i = 1; i <= size; ++i) ++counts[first[i]];
      EXPECT_GT(*std::min_element(counts.begin(), counts.end()), size / 256 * 9 / 10);
      EXPECT_LT(*std::max_element(counts.begin(), counts.end()), size / 256 * 11 / 10);
    }
  }
}

}  // namespace
