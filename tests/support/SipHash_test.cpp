// SipHash-2-4 against the reference implementation's published vectors (key 00 01 .. 0f,
// message 00 01 .. n-1), whole and fed in pieces split at every place.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "SipHash.h"

namespace {

const CSipHash::Key kReferenceKey = {0x0706050403020100ULL, 0x0F0E0D0C0B0A0908ULL};

TEST(SipHash, PublishedVectorsWholeAndInPieces) {
  struct Case {
    std::size_t length;
    uint64_t expected;
  };
  const Case cases[] = {
      {0, 0x726fdb47dd0e0e31ULL},  {1, 0x74f839c593dc67fdULL},  {2, 0x0d6c8009d9a94f5aULL},
      {3, 0x85676696d7fb7e2dULL},  {4, 0xcf2794e0277187b7ULL},  {5, 0x18765564cd99a68dULL},
      {6, 0xcbc9466e58fee3ceULL},  {7, 0xab0200f58b01d137ULL},  {8, 0x93f5f5799a932462ULL},
      {9, 0x9e0082df0ba9e4b0ULL},  {15, 0xa129ca6149be45e5ULL}, {16, 0x3f2acc7f57c29bdbULL},
      {17, 0x699ae9f52cbe4794ULL}, {32, 0x7127512f72f27cceULL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    std::vector<uint8_t> message(c.length);
    for (std::size_t i = 0; i < c.length; ++i) message[i] = static_cast<uint8_t>(i);
    CSipHash whole(kReferenceKey);
    whole.Update(message.data(), message.size());
    EXPECT_EQ(whole.Final(), c.expected);
    for (std::size_t split = 0; split <= c.length; ++split) {
      for (std::size_t second = split; second <= c.length; ++second) {
        CSipHash pieces(kReferenceKey);
        pieces.Update(message.data(), split);
        pieces.Update(message.data() + split, second - split);
        pieces.Update(message.data() + second, c.length - second);
        ASSERT_EQ(pieces.Final(), c.expected) << "pieces at " << split << " and " << second;
      }
    }
  }
  const uint8_t keyBytes[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  const CSipHash::Key fromBytes = CSipHash::Key::FromBytes(keyBytes);
  EXPECT_EQ(fromBytes.k0, kReferenceKey.k0);
  EXPECT_EQ(fromBytes.k1, kReferenceKey.k1);
}

}  // namespace
