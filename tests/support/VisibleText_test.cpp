// The notation that the list file and the console share: what shows as itself, what is
// written as <U+XXXX>, and that no two values are ever shown alike.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "VisibleText.h"

namespace {

std::u16string Unit(char16_t c) { return std::u16string(1, c); }

TEST(VisibleText, EachCharacterShowsAsItselfOrInTheNotation) {
  struct Row {
    std::u16string text;
    std::string shown;
  };
  const Row rows[] = {
      {u"", ""},
      {u"C:\\data\\report 2026.xlsx", "C:\\data\\report 2026.xlsx"},
      {u"comma, \"quotes\", 'apostrophes' > ~", "comma, \"quotes\", 'apostrophes' > ~"},
      {u"\u00e9t\u00e9 \u4e2d\u6587 \u05e2\u05d1\u05e8\u05d9\u05ea \U0001F600 \u00a0\ufffd",
       "\xc3\xa9t\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87 \xd7\xa2\xd7\x91\xd7\xa8\xd7\x99\xd7\xaa \xf0\x9f\x98\x80 \xc2\xa0\xef\xbf\xbd"},
      // C0 controls, DEL and C1 controls.
      {std::u16string(u"a\0b", 3), "a<U+0000>b"},
      {u"\t\n\r\x1b[2K\x1f", "<U+0009><U+000A><U+000D><U+001B>[2K<U+001F>"},
      {u"\x7f\x80\x85\x9b\x9f", "<U+007F><U+0080><U+0085><U+009B><U+009F>"},
      // The notation's own opening character is written in it too.
      {u"a<U+000A>b", "a<U+003C>U+000A>b"},
      // Marks that reorder or hide text.
      {u"\u200b\u200c\u200d\u200e\u200f", "<U+200B><U+200C><U+200D><U+200E><U+200F>"},
      {u"\u202a\u202b\u202c\u202d\u202e", "<U+202A><U+202B><U+202C><U+202D><U+202E>"},
      {u"\u2066\u2067\u2068\u2069\ufeff", "<U+2066><U+2067><U+2068><U+2069><U+FEFF>"},
      {u"\u00ad\u061c\u2028\u2029\u2060\ufff9\ufffe", "<U+00AD><U+061C><U+2028><U+2029><U+2060><U+FFF9><U+FFFE>"},
      {u"invoice\u202etxt.exe", "invoice<U+202E>txt.exe"},
      {u"x\U000E0041y", "x<U+E0041>y"},  // a tag character: invisible, beyond the BMP
      // Halves of a surrogate pair without their other half, wherever they stand.
      {Unit(0xD800), "<U+D800>"},
      {Unit(0xDFFF) + u"x", "<U+DFFF>x"},
      {u"x" + Unit(0xDBFF) + u"y", "x<U+DBFF>y"},
      {Unit(0xDC00) + Unit(0xD800), "<U+DC00><U+D800>"},
      {Unit(0xD83D) + Unit(0xD83D) + Unit(0xDE00), "<U+D83D>\xf0\x9f\x98\x80"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(VisibleUtf8(row.text), row.shown) << "row " << (&row - rows);
    std::string appended = "kept|";
    AppendVisibleUtf8(appended, row.text);
    EXPECT_EQ(appended, "kept|" + row.shown) << "row " << (&row - rows);
  }
}

// Whatever a value holds, its line shows no byte that a terminal or an editor would act
// on, and no two BMP units (nor pairs of them) are shown alike.
TEST(VisibleText, NoControlByteAndNoTwoValuesAlike) {
  std::set<std::string> seen;
  for (char32_t c = 0; c <= 0xFFFF; ++c) {
    const std::string shown = VisibleUtf8(u"a" + Unit(static_cast<char16_t>(c)) + u"b");
    for (std::size_t i = 0; i < shown.size(); ++i) {
      const auto byte = static_cast<unsigned char>(shown[i]);
      ASSERT_TRUE(byte >= 0x20 && byte != 0x7F) << std::hex << static_cast<unsigned>(c);
      // C1 controls in UTF-8 are C2 80 to C2 9F.
      ASSERT_FALSE(byte == 0xC2 && i + 1 < shown.size() && static_cast<unsigned char>(shown[i + 1]) < 0xA0)
          << std::hex << static_cast<unsigned>(c);
    }
    ASSERT_TRUE(seen.insert(shown).second) << "shown like another: " << std::hex << static_cast<unsigned>(c);
  }
  // A long hostile value, where every unit takes the widest form, does not outgrow the
  // room that is made for it.
  std::u16string hostile;
  for (int i = 0; i < 5000; ++i) hostile += i % 3 == 0 ? Unit(0xDB40) + Unit(0xDC41) : Unit(static_cast<char16_t>(i % 32));
  const std::string shown = VisibleUtf8(hostile);
  EXPECT_EQ(shown.find_first_of(std::string("\0\n\r\x1b", 4)), std::string::npos);
  EXPECT_EQ(shown.substr(0, 17), "<U+E0041><U+0001>");
}

}  // namespace
