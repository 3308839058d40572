// The notation that the list file and the console share: what shows as itself, what is
// written as <U+XXXX>, and that no two values are ever shown alike.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "VisibleText.h"
#include "WideText.h"

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
      {u"comma, 'apostrophes' > ~", "comma, 'apostrophes' > ~"},
      // A quote would start a quoted field in a CSV reader; a space at the end would not show.
      {u"\"notes.txt", "<U+0022>notes.txt"},
      {u"readme\" ", "readme<U+0022><U+0020>"},
      {u" report .pdf  ", " report .pdf <U+0020>"},
      {u"\u00e9t\u00e9 \u4e2d\u6587 \u05e2\u05d1\u05e8\u05d9\u05ea \U0001F600 \ufffd",
       "\xc3\xa9t\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87 \xd7\xa2\xd7\x91\xd7\xa8\xd7\x99\xd7\xaa \xf0\x9f\x98\x80 \xef\xbf\xbd"},
      // NFC and NFD are different names, and shown as they are.
      {u"\u00e9 e\u0301", "\xc3\xa9 e\xcc\x81"},
      // What shows as nothing or as a blank.
      {u"report\u034f.pdf", "report<U+034F>.pdf"},
      {u"\u00a0\u2000\u3000\u3164\uffa0\ufe0f", "<U+00A0><U+2000><U+3000><U+3164><U+FFA0><U+FE0F>"},
      {u"\U000E0100\U0001D173\U000110BD\U0010FFFE", "<U+E0100><U+1D173><U+110BD><U+10FFFE>"},
      // Drawn as a blank though no property says so: the names say it.
      {u"report\u2800.pdf trail\u2800", "report<U+2800>.pdf trail<U+2800>"},
      {u"\U00013441\U00013442\U00016FE4\U0001D159 \u2422\u28FF",
       "<U+13441><U+13442><U+16FE4><U+1D159> \xe2\x90\xa2\xe2\xa3\xbf"},
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
  // A message keeps its quotes and its last space; everything else as in a value.
  std::string message = "kept|";
  AppendVisibleMessage(message, u"relation \"filetree\" <x>\x1b[8m\u034f\U000E0041 ");
  EXPECT_EQ(message, "kept|relation \"filetree\" <U+003C>x><U+001B>[8m<U+034F><U+E0041> ");
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

// Stored bytes: every well-formed character exactly as the wide form shows it, every
// byte that is not part of one marked on its own, so that no invalid byte looks like
// U+FFFD or like a valid character and a sequence cut short still shows each byte.
TEST(VisibleText, StoredBytesAsTheirCharactersOrEachByteMarked) {
  const struct {
    std::string stored;
    std::string shown;
  } rows[] = {
      {"", ""},
      {"plain name.txt", "plain name.txt"},
      {"b\xE2\x82" "c", "b<xE2><x82>c"},                          // a lead, one continuation, then text
      {"x\xF4\x90\x80\x80.txt", "x<xF4><x90><x80><x80>.txt"},    // above U+10FFFF
      {"notes_\xFF_old.txt", "notes_<xFF>_old.txt"},
      {"\xC0\xAF \xE0\x80\xAF \xF0\x80\x80\xAF", "<xC0><xAF> <xE0><x80><xAF> <xF0><x80><x80><xAF>"},  // overlong
      {"\xED\xA0\x80\xED\xBF\xBF", "<xED><xA0><x80><xED><xBF><xBF>"},  // surrogates
      {"\xF5\xFE\x80", "<xF5><xFE><x80>"},
      // Unicode's own example of maximal subparts: each ill-formed byte is marked once.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a<xF1><x80><x80><xE1><x80><xC2>b<x80>c<x80><xBF>d"},
      {"cut\xF0\x9F\x98", "cut<xF0><x9F><x98>"},                 // a sequence cut at the end
      // A third or fourth byte that is no continuation byte ends the sequence there.
      {"\xE2\x82\x41", "<xE2><x82>A"},
      {"\xF0\x9F\x98\x41", "<xF0><x9F><x98>A"},
      {"\xF0\x9F\x41\x41", "<xF0><x9F>AA"},
      {"\xE2\x82\xE2\x82\xAC", "<xE2><x82>\xE2\x82\xAC"},
      {"\xE2\xE2\x82\xAC", "<xE2>\xE2\x82\xAC"},               // resumes at the next lead byte
      {"\xEF\xBF\xBD", "\xEF\xBF\xBD"},                         // a real U+FFFD is text
      {std::string("a\0\x1b\"<", 5), "a<U+0000><U+001B><U+0022><U+003C>"},
      {"\xE2\x80\xAE\xCD\x8F\xF3\xA0\x84\x80 ", "<U+202E><U+034F><U+E0100><U+0020>"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(VisibleBytes(row.stored), row.shown) << "row " << (&row - rows);
    std::string appended = "kept|";
    AppendVisibleBytes(appended, row.stored);
    EXPECT_EQ(appended, "kept|" + row.shown) << "row " << (&row - rows);
    // Named in a message: the same, but for its quotes and a last space.
    std::string inMessage = row.shown;
    for (std::size_t at; (at = inMessage.find("<U+0022>")) != std::string::npos;) inMessage.replace(at, 8, "\"");
    if (inMessage.size() >= 8 && inMessage.compare(inMessage.size() - 8, 8, "<U+0020>") == 0) {
      inMessage.replace(inMessage.size() - 8, 8, " ");
    }
    std::string message;
    AppendVisibleMessage(message, MessageTextOfBytes(row.stored));
    EXPECT_EQ(message, inMessage) << "row " << (&row - rows);
  }
  // Runs of plain bytes are taken eight at a time: each byte, at each place in such a run,
  // shows as it does alone.
  for (int b = 0; b < 0x100; ++b) {
    const std::string alone(1, static_cast<char>(b));
    for (std::size_t at = 0; at < 8; ++at) {
      const std::string before(at, 'a'), after(15 - at, 'z');
      ASSERT_EQ(VisibleBytes(before + alone + after), before + (b == ' ' ? alone : VisibleBytes(alone)) + after)
          << b << " at " << at;
    }
  }
  // Every code point, alone and at the end of a value, as its UTF-8 and as UTF-16.
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    char utf8[4];
    const std::string bytes(utf8, static_cast<std::size_t>(PutUtf8(utf8, c) - utf8));
    const std::u16string wide = FromUtf8(bytes);
    ASSERT_EQ(VisibleBytes(bytes + "x"), VisibleUtf8(wide + u"x")) << std::hex << static_cast<unsigned>(c);
    ASSERT_EQ(VisibleBytes(bytes), VisibleUtf8(wide)) << std::hex << static_cast<unsigned>(c);
  }
}

// The set written in the notation is the one Unicode's data gives, read from Debian's
// unicode-data files (scripts/notation-table generates the table from the same files):
// every Default_Ignorable_Code_Point, the general categories Cc, Cf, Cs, Zl, Zp, every
// Zs but U+0020, the noncharacters, the names that end in BLANK or (but for punctuation)
// FILLER, the script's one hand-listed character; and, of ASCII, '<' and '"' besides.
TEST(VisibleText, NotationSetIsUnicodesInvisibleCharacters) {
  const std::string dir = "/usr/share/unicode/";
  // Each code point's class, as an index into classes (0: none).
  std::vector<std::string> classes = {""};
  std::vector<unsigned char> why(0x110000, 0);
  const auto mark = [&](char32_t first, char32_t last, const std::string& cls) {
    const auto known = std::find(classes.begin(), classes.end(), cls);
    const auto index = static_cast<unsigned char>(known - classes.begin());
    if (known == classes.end()) classes.push_back(cls);
    for (char32_t c = first; c <= last; ++c) why[c] = index;
  };
  for (const char* file : {"DerivedCoreProperties.txt", "PropList.txt"}) {
    std::ifstream in(dir + file);
    ASSERT_TRUE(in) << dir << file << " cannot be read: the package unicode-data holds it";
    std::string line;
    while (std::getline(in, line)) {
      unsigned first = 0, last = 0;
      char property[64] = {};
      if (std::sscanf(line.c_str(), "%x..%x ; %63s", &first, &last, property) == 3 ||
          (std::sscanf(line.c_str(), "%x ; %63s", &first, property) == 2 && (last = first, true))) {
        const std::string name = property;
        if (name == "Default_Ignorable_Code_Point" || name == "Noncharacter_Code_Point") mark(first, last, name);
      }
    }
  }
  std::ifstream data(dir + "UnicodeData.txt");
  ASSERT_TRUE(data) << dir << "UnicodeData.txt cannot be read: the package unicode-data holds it";
  std::string line;
  unsigned first = 0;
  while (std::getline(data, line)) {
    const std::size_t name = line.find(';'), category = line.find(';', name + 1);
    const unsigned c = static_cast<unsigned>(std::stoul(line.substr(0, name), nullptr, 16));
    const std::string label = line.substr(name + 1, category - name - 1);
    const std::string gc = line.substr(category + 1, 2);
    if (label.size() > 8 && label.compare(label.size() - 8, 8, ", First>") == 0) {
      first = c;
      continue;
    }
    const unsigned from = label.size() > 7 && label.compare(label.size() - 7, 7, ", Last>") == 0 ? first : c;
    if (gc == "Cc" || gc == "Cf" || gc == "Cs" || gc == "Zl" || gc == "Zp" || (gc == "Zs" && c != 0x20)) {
      mark(from, c, "gc=" + gc);
    }
    const std::string last = label.substr(label.rfind(' ') + 1);
    if (last == "BLANK" || (last == "FILLER" && gc[0] != 'P')) mark(from, c, "named " + last);
  }
  mark(0x1D159, 0x1D159, "the null notehead, drawn as nothing");
  mark('<', '<', "the notation's opening");
  mark('"', '"', "the CSV quote");
  std::size_t inNotation = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    inNotation += why[c] != 0;
    ASSERT_EQ(NeedsVisibleNotation(c), why[c] != 0)
        << "U+" << std::hex << static_cast<unsigned>(c) << " " << classes[why[c]] << ": run scripts/notation-table";
  }
  EXPECT_GT(inNotation, 6000u) << "the files were read";
}

}  // namespace
