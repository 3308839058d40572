#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "BuildTesting.h"
#include "BoundedFormat.h"
#include "Win32Format.h"

namespace {

constexpr char16_t kUntouched = u'#';
constexpr std::size_t kBufferSize = 40;
constexpr char16_t kDateFormat[] = u"%02d/%02d/%d  %02d:%02d";

using Call = std::function<HRESULT(char16_t* buffer)>;

// stored: the units the call must write, terminator included; the rest stays untouched.
struct Case {
  const char* name;
  Call call;
  HRESULT expected;
  std::u16string stored;
};

std::u16string WithNul(std::u16string text) {
  text.push_back(u'\0');
  return text;
}

void Check(const Case& c) {
  SCOPED_TRACE(c.name);
  char16_t buffer[kBufferSize];
  std::fill(std::begin(buffer), std::end(buffer), kUntouched);
  EXPECT_EQ(c.call(buffer), c.expected);
  EXPECT_EQ(std::u16string(buffer, c.stored.size()), c.stored);
  for (std::size_t i = c.stored.size(); i < kBufferSize; ++i) ASSERT_EQ(buffer[i], kUntouched) << "at " << i;
}

TEST(BoundedFormat, CharacterCapacity) {
  const Case cases[] = {
      {"capacity 0", [](char16_t* b) { return BoundedFormatCch(b, 0, u"x"); }, E_INVALIDARG, u""},
      {"capacity 1, empty output", [](char16_t* b) { return BoundedFormatCch(b, 1, u""); }, S_OK, WithNul(u"")},
      {"capacity 1, some output", [](char16_t* b) { return BoundedFormatCch(b, 1, u"x"); }, kInsufficientBufferStatus,
       WithNul(u"")},
      {"capacity - 1 characters", [](char16_t* b) { return BoundedFormatCch(b, 4, u"%d", 123); }, S_OK,
       WithNul(u"123")},
      {"capacity characters", [](char16_t* b) { return BoundedFormatCch(b, 4, u"%d", 1234); },
       kInsufficientBufferStatus, WithNul(u"123")},
      {"far too long", [](char16_t* b) { return BoundedFormatCch(b, 4, u"%s", u"abcdefgh"); },
       kInsufficientBufferStatus, WithNul(u"abc")},
      {"list date", [](char16_t* b) { return BoundedFormatCch(b, kBufferSize, kDateFormat, 3, 7, 2011, 14, 5); },
       S_OK, WithNul(u"03/07/2011  14:05")},
      {"list date cut", [](char16_t* b) { return BoundedFormatCch(b, 10, kDateFormat, 12, 31, 2011, 23, 59); },
       kInsufficientBufferStatus, WithNul(u"12/31/201")},
      {"largest accepted capacity", [](char16_t* b) { return BoundedFormatCch(b, kMaxFormatCapacity, u"%d", 42); }, S_OK,
       WithNul(u"42")},
      {"capacity 2147483648", [](char16_t* b) { return BoundedFormatCch(b, 0x80000000u, u"%d", 42); }, E_INVALIDARG,
       u""},
      {"capacity 0xFFFFFFFF", [](char16_t* b) { return BoundedFormatCch(b, 0xFFFFFFFFu, u"%d", 42); }, E_INVALIDARG,
       u""},
      {"null format", [](char16_t* b) { return BoundedFormatCch(b, 10, nullptr); }, E_INVALIDARG, u""},
  };
  for (const auto& c : cases) Check(c);
  EXPECT_EQ(BoundedFormatCch(nullptr, 10, u"x"), E_INVALIDARG);
}

TEST(BoundedFormat, ByteCapacity) {
  const Case cases[] = {
      {"0 bytes", [](char16_t* b) { return BoundedFormatCb(b, 0, u"x"); }, E_INVALIDARG, u""},
      {"1 byte", [](char16_t* b) { return BoundedFormatCb(b, 1, u"x"); }, E_INVALIDARG, u""},
      {"2 bytes", [](char16_t* b) { return BoundedFormatCb(b, 2, u"x"); }, kInsufficientBufferStatus, WithNul(u"")},
      {"20 bytes, 9 digits", [](char16_t* b) { return BoundedFormatCb(b, 20, u"%d", 123456789); }, S_OK,
       WithNul(u"123456789")},
      {"20 bytes, 10 digits", [](char16_t* b) { return BoundedFormatCb(b, 20, u"%d", 1234567890); },
       kInsufficientBufferStatus, WithNul(u"123456789")},
      {"21 bytes, 10 digits", [](char16_t* b) { return BoundedFormatCb(b, 21, u"%d", 1234567890); },
       kInsufficientBufferStatus, WithNul(u"123456789")},
      {"21 bytes, 9 digits", [](char16_t* b) { return BoundedFormatCb(b, 21, u"%d", 123456789); }, S_OK,
       WithNul(u"123456789")},
      {"largest byte count", [](char16_t* b) { return BoundedFormatCb(b, 0xFFFFFFFFu, u"%d", 42); }, S_OK,
       WithNul(u"42")},
  };
  for (const auto& c : cases) Check(c);
}

TEST(BoundedFormat, WorkerTakesAnArgumentList) {
  const auto call = [](char16_t* b, uint32_t capacity, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    const HRESULT result = BoundedFormatV(b, capacity, format, args);
    va_end(args);
    return result;
  };
  const Case cases[] = {
      {"fits", [&](char16_t* b) { return call(b, 8, u" %d\n", 924); }, S_OK, WithNul(u" 924\n")},
      {"cut", [&](char16_t* b) { return call(b, 4, u" %d\n", 924); }, kInsufficientBufferStatus, WithNul(u" 92")},
      {"capacity 0", [&](char16_t* b) { return call(b, 0, u"x"); }, E_INVALIDARG, u""},
      {"above the limit", [&](char16_t* b) { return call(b, 0x80000000u, u"x"); }, E_INVALIDARG, u""},
  };
  for (const auto& c : cases) Check(c);
}

TEST(BoundedFormat, RefusedFormatLeavesAnEmptyString) {
  if (!kFormatterRefusesUnsupported) GTEST_SKIP() << "msvcrt formats floating point";
  // Nothing of the refused output reaches the buffer, not even the text before the %f.
  Check({"floating point", [](char16_t* b) { return BoundedFormatCch(b, 10, u"ab%f", 1.5); }, kInsufficientBufferStatus,
         std::u16string(u"\0", 1) + std::u16string(8, kUntouched) + u'\0'});
}

}  // namespace
