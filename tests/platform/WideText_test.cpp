#include <gtest/gtest.h>

#include "WideText.h"

namespace {

struct Utf16Case {
  std::u16string utf16;
  std::string utf8;
};

TEST(WideText, EncodesUtf8) {
  const Utf16Case cases[] = {
      {u"", ""},
      {u"abc", "abc"},
      {u"\u00e9t\u00e9", "\xc3\xa9t\xc3\xa9"},
      {u"\u20ac", "\xe2\x82\xac"},
      {u"\U0001F600", "\xf0\x9f\x98\x80"},
      // Unpaired surrogates become U+FFFD, wherever they stand.
      {std::u16string(1, char16_t(0xD800)), "\xef\xbf\xbd"},
      {std::u16string{u'a', char16_t(0xDC00), u'b'}, "a\xef\xbf\xbd" "b"},
      {std::u16string{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)}, "\xef\xbf\xbd\xf0\x9f\x98\x80"},
      {std::u16string(1, char16_t(0)), std::string(1, '\0')},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToUtf8(c.utf16), c.utf8);
    // Appending keeps what was there and adds exactly the encoding.
    std::string appended = "x,";
    AppendUtf8(appended, c.utf16);
    EXPECT_EQ(appended, "x," + c.utf8);
  }
}

TEST(WideText, DecodesUtf8AndReplacesInvalidBytes) {
  const Utf16Case cases[] = {
      {u"abc", "abc"},
      {u"\u00e9", "\xc3\xa9"},
      {u"\U0001F600", "\xf0\x9f\x98\x80"},
      {u"\ufffd", "\xff"},
      {u"\ufffdA", "\xc3" "A"},          // truncated sequence
      {u"\ufffd", "\xc0\xaf"},           // overlong form: each byte refused
      {u"\ufffd", "\xed\xa0\x80"},       // an encoded surrogate
      {u"\ufffd", "\xf4\x90\x80\x80"},   // beyond U+10FFFF
      // A third or fourth byte that is no continuation byte.
      {u"\ufffdA", "\xe2\x82\x41"},
      {u"\ufffdA", "\xf0\x9f\x98\x41"},
      {u"\ufffdAA", "\xf0\x9f\x41\x41"},
  };
  for (const auto& c : cases) {
    const std::u16string got = FromUtf8(c.utf8);
    std::u16string strict;
    EXPECT_EQ(DecodeUtf8Strict(c.utf8, strict), c.utf16.find(u'\ufffd') == std::u16string::npos) << c.utf8;
    // Invalid input may yield one or several replacement characters, never anything else.
    if (c.utf16.find(u'\ufffd') != std::u16string::npos) {
      EXPECT_NE(got.find(u'\ufffd'), std::u16string::npos) << c.utf8;
      for (char16_t ch : got) EXPECT_TRUE(ch == u'\ufffd' || ch < 0x80) << c.utf8;
    } else {
      EXPECT_EQ(got, c.utf16);
    }
  }
}

TEST(WideText, LengthOfNullIsZero) {
  EXPECT_EQ(WideLength(nullptr), 0u);
  EXPECT_EQ(WideLength(u"four"), 4u);
}

}  // namespace
