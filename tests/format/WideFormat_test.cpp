#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <string>

#include "BuildTesting.h"
#include "Win32Format.h"

namespace {

constexpr char16_t kUntouched = u'#';
constexpr std::size_t kBufferSize = 80;

int Vsn(char16_t* buffer, std::size_t count, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = _vsnwprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

using Call = std::function<int(char16_t* buffer, std::size_t count)>;

// stored: every unit the call must write, terminator included when it writes one;
// everything after it must be left as it was.
struct FormatCase {
  const char* name;
  Call call;
  std::size_t count;
  int expected;
  std::u16string stored;
};

void Check(const FormatCase& c) {
  SCOPED_TRACE(c.name);
  char16_t buffer[kBufferSize];
  std::fill(std::begin(buffer), std::end(buffer), kUntouched);
  EXPECT_EQ(c.call(buffer, c.count), c.expected);
  EXPECT_EQ(std::u16string(buffer, c.stored.size()), c.stored);
  for (std::size_t i = c.stored.size(); i < kBufferSize; ++i) {
    ASSERT_EQ(buffer[i], kUntouched) << "written past the output at " << i;
  }
}

std::u16string WithNul(std::u16string text) {
  text.push_back(u'\0');
  return text;
}

TEST(WideFormat, ConversionsFlagsWidthAndPrecision) {
  const FormatCase cases[] = {
      {"integers", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"%d|%i|%u", -5, 7, -1); }, 60, 15,
       WithNul(u"-5|7|4294967295")},
      {"flags", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%+d][% d][%05d][%-5d][%-05d]", 5, 5, -5, 5, 5); },
       60, 29, WithNul(u"[+5][ 5][-0005][5    ][5    ]")},
      {"sign flags only on signed",
       [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[% u][%+u][%+x][%+ d]", 5, 5, 5, 5); }, 60, 13,
       WithNul(u"[5][5][5][+5]")},
      {"precision", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%.3d][%.0d][%5.0d][%+.0d]", -5, 0, 0, 0); },
       60, 18, WithNul(u"[-005][][     ][+]")},
      {"left beats zero", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%-08.3d][%0-8d]", 5, 5); }, 60, 20,
       WithNul(u"[005     ][5       ]")},
      {"hex and octal",
       [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%x][%X][%#x][%#X][%#o][%#x][%o]", 255, 255, 255, 255, 8, 0, 8); },
       60, 32, WithNul(u"[ff][FF][0xff][0XFF][010][0][10]")},
      {"alternate forms",
       [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%#o][%#.3o][%#5x][%#05x]", 0, 8, 255, 255); }, 60, 22,
       WithNul(u"[0][010][ 0xff][0x0ff]")},
      {"star",
       [](char16_t* b, std::size_t n) {
         return Vsn(b, n, u"[%*d][%-*d][%*d][%.*d][%.*d]", 4, 1, 4, 1, -4, 1, 3, 1, -3, 1);
       },
       60, 26, WithNul(u"[   1][1   ][1   ][001][1]")},
      {"short and long",
       [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%hd][%hu][%ld][%lu][%hx]", 70000, 70000, -1, -1, 0x12345); },
       60, 34, WithNul(u"[4464][4464][-1][4294967295][2345]")},
      {"64-bit",
       [](char16_t* b, std::size_t n) {
         return Vsn(b, n, u"[%lld][%I64d][%I64x][%llu]", -1LL, 0x100000000LL, -1LL, -1LL);
       },
       79, 56, WithNul(u"[-1][4294967296][ffffffffffffffff][18446744073709551615]")},
      {"I32 and pointer-sized",
       [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%I32d][%Id][%Ix][%I32x]", -1, -1LL, -1LL, -1); }, 60, 36,
       WithNul(u"[-1][-1][ffffffffffffffff][ffffffff]")},
      {"extremes",
       [](char16_t* b, std::size_t n) {
         return Vsn(b, n, u"[%d][%x][%u][%lld]", INT_MIN, INT_MIN, INT_MIN, LLONG_MIN);
       },
       79, 57, WithNul(u"[-2147483648][80000000][2147483648][-9223372036854775808]")},
      {"strings",
       [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%s][%ls][%ws][%hs][%S]", u"w1", u"w2", u"w3", "n4", "n5"); },
       60, 20, WithNul(u"[w1][w2][w3][n4][n5]")},
      {"null strings",
       [](char16_t* b, std::size_t n) {
         return Vsn(b, n, u"[%s][%hs][%S][%ls]", static_cast<const char16_t*>(nullptr), static_cast<const char*>(nullptr),
                    static_cast<const char*>(nullptr), static_cast<const char16_t*>(nullptr));
       },
       60, 32, WithNul(u"[(null)][(null)][(null)][(null)]")},
      {"null string width and precision",
       [](char16_t* b, std::size_t n) {
         const char16_t* null = nullptr;
         return Vsn(b, n, u"[%.3s][%10s][%-8s]", null, null, null);
       },
       60, 27, WithNul(u"[(nu][    (null)][(null)  ]")},
      {"string width and precision",
       [](char16_t* b, std::size_t n) {
         return Vsn(b, n, u"[%5s][%-5s][%.2s][%5.1s][%05s]", u"ab", u"ab", u"abc", u"abc", u"ab");
       },
       60, 32, WithNul(u"[   ab][ab   ][ab][    a][000ab]")},
      {"precision stops before an unterminated end",
       [](char16_t* b, std::size_t n) {
         static const char16_t unterminated[3] = {u'x', u'y', u'z'};
         return Vsn(b, n, u"[%.3s]", unterminated);
       },
       60, 5, WithNul(u"[xyz]")},
      {"characters",
       [](char16_t* b, std::size_t n) {
         return Vsn(b, n, u"[%c][%hc][%lc][%C][%wc][%3c][%-3c]", u'A', 'B', u'C', 'D', u'E', u'F', u'G');
       },
       60, 25, WithNul(u"[A][B][C][D][E][  F][G  ]")},
      {"a NUL character counts", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%c]", 0); }, 60, 3,
       WithNul(std::u16string(u"[\0]", 3))},
      {"wide character", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%c]", 0x263A); }, 60, 3,
       WithNul(u"[\u263A]")},
      {"narrow text is Latin-1",
       [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%hc][%hs]", 0xE9, "\xE9\xC3\xA9"); }, 60, 8,
       WithNul(u"[\u00E9][\u00E9\u00C3\u00A9]")},
      {"surrogate pair passes", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%s]", u"\U0001F600"); }, 60, 4,
       WithNul(u"[\U0001F600]")},
      {"percent", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%%]"); }, 60, 3, WithNul(u"[%]")},
      {"pointer",
       [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%p]", reinterpret_cast<void*>(std::uintptr_t{0x2A})); }, 60,
       18, WithNul(u"[000000000000002A]")},
  };
  for (const auto& c : cases) Check(c);
}

// NOTE: Wine's msvcrt overruns its own memory on truncated output (the process then dies
// in a later call or at exit), so only our own formatter is held to these here.
TEST(WideFormat, CountBoundsTheOutput) {
  if (!kFormatterRefusesUnsupported) GTEST_SKIP() << "Wine's msvcrt corrupts memory when it truncates";
  const FormatCase cases[] = {
      {"fits with room", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"abc"); }, 4, 3, WithNul(u"abc")},
      {"exact fit has no terminator", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"abc"); }, 3, 3, u"abc"},
      {"one too long", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"abcd"); }, 3, -1, u"abc"},
      {"number cut", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"%d", 12345); }, 3, -1, u"123"},

      {"long precision cut",
       [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%.30d]", 1); }, 20, -1, u"[" + std::u16string(19, u'0')},
      {"padding cut", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"%-30d|", 7); }, 20, -1,
       u"7" + std::u16string(19, u' ')},
  };
  for (const auto& c : cases) Check(c);
}

// NOTE: Wine's msvcrt writes outside the buffer when count is 0 (the process then dies at
// exit), so only our own formatter is held to this; the bounded formatter never passes 0.
TEST(WideFormat, CountZeroWritesNothing) {
  if (!kFormatterRefusesUnsupported) GTEST_SKIP() << "Wine's msvcrt corrupts memory for count 0";
  const FormatCase cases[] = {
      {"count zero", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"abcd"); }, 0, -1, u""},
      {"count zero, empty output", [](char16_t* b, std::size_t n) { return Vsn(b, n, u""); }, 0, 0, u""},
  };
  for (const auto& c : cases) Check(c);
}

TEST(WideFormat, HugeWidthNeverWritesPastCount) {
  char16_t buffer[kBufferSize];
  std::fill(std::begin(buffer), std::end(buffer), kUntouched);
  EXPECT_LT(Vsn(buffer, 60, u"[%2147483647d]", 1), 0);
  for (std::size_t i = 60; i < kBufferSize; ++i) ASSERT_EQ(buffer[i], kUntouched);
}

// Our own formatter refuses what it does not know instead of guessing at the argument's
// type; msvcrt formats these, so only our build is held to it.
TEST(WideFormat, RefusesWhatItDoesNotSupport) {
  if (!kFormatterRefusesUnsupported) GTEST_SKIP() << "msvcrt formats these";
  int written = 0;
  const FormatCase cases[] = {
      {"floating point", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"ab%f", 1.5); }, 60, -1, WithNul(u"")},
      {"%n", [&](char16_t* b, std::size_t n) { return Vsn(b, n, u"ab%n", &written); }, 60, -1, WithNul(u"")},
      {"unknown conversion", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"%y", 1); }, 60, -1, WithNul(u"")},
      {"hh", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"%hhd", 1); }, 60, -1, WithNul(u"")},
      {"C99 sizes", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"%zd%jd%Ld", 1, 1, 1); }, 60, -1, WithNul(u"")},
      {"w on an integer", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"%wd", 1); }, 60, -1, WithNul(u"")},
      {"width beyond INT_MAX", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"%2147483648d", 1); }, 60, -1,
       WithNul(u"")},
      {"format ends in a directive", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"ab%5"); }, 60, -1,
       WithNul(u"")},
      {"flags on %%", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"[%5%]"); }, 60, -1, WithNul(u"")},
      {"count zero stays untouched", [](char16_t* b, std::size_t n) { return Vsn(b, n, u"%f", 1.5); }, 0, -1, u""},
  };
  for (const auto& c : cases) Check(c);
  EXPECT_EQ(written, 0);
}

struct WsprintfCase {
  const char* name;
  std::function<int(char16_t*)> call;
  std::u16string text;
};

TEST(WideFormat, WsprintfFormatsTheStatements) {
  const WsprintfCase cases[] = {
      {"selection",
       [](char16_t* b) {
         return wsprintfW(b, u"SELECT * FROM FileTree WHERE (OperationType & %d = %d) AND ((OperationType & %d) = %d)",
                          3, 2, 28, 16);
       },
       u"SELECT * FROM FileTree WHERE (OperationType & 3 = 2) AND ((OperationType & 28) = 16)"},
      {"integers", [](char16_t* b) { return wsprintfW(b, u"[%d][%i][%u][%x][%X]", -5, 7, -1, 255, 255); },
       u"[-5][7][4294967295][ff][FF]"},
      {"width", [](char16_t* b) { return wsprintfW(b, u"[%05d][%5d][%-5d|]", -5, -5, -5); }, u"[-0005][   -5][-5   |]"},
      {"hex forms", [](char16_t* b) { return wsprintfW(b, u"[%.4x][%#.4x][%08x][%#8x]", 255, 255, 255, 255); },
       u"[00ff][0x00ff][000000ff][      0xff]"},
      {"64-bit", [](char16_t* b) { return wsprintfW(b, u"[%I64u][%I64x]", -1LL, -1LL); },
       u"[18446744073709551615][ffffffffffffffff]"},
      {"strings", [](char16_t* b) { return wsprintfW(b, u"[%s][%S][%hs][%ls][%ws]", u"w1", "n2", "n3", u"w4", u"w5"); },
       u"[w1][n2][n3][w4][w5]"},
      {"null strings",
       [](char16_t* b) {
         return wsprintfW(b, u"[%s][%S][%.3s][%8s]", static_cast<const char16_t*>(nullptr), static_cast<const char*>(nullptr),
                    static_cast<const char16_t*>(nullptr), static_cast<const char16_t*>(nullptr));
       },
       u"[(null)][(null)][(nu][  (null)]"},
      {"string width", [](char16_t* b) { return wsprintfW(b, u"[%5s][%-5s|][%.1s]", u"ab", u"ab", u"ab"); },
       u"[   ab][ab   |][a]"},
      {"characters", [](char16_t* b) { return wsprintfW(b, u"[%c][%C][%hc][%lc][%3c]", u'A', 'B', 'C', u'D', u'E'); },
       u"[A][B][C][D][  E]"},
      {"pointer and percent",
       [](char16_t* b) { return wsprintfW(b, u"[%p][%%]", reinterpret_cast<void*>(std::uintptr_t{0x2A})); },
       u"[000000000000002A][%]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string buffer(kWsprintfBufferCharacters + 8, kUntouched);
    EXPECT_EQ(c.call(buffer.data()), static_cast<int>(c.text.size()));
    EXPECT_EQ(std::u16string(buffer.c_str()), c.text);
    EXPECT_EQ(buffer[c.text.size() + 1], kUntouched);
  }
}

TEST(WideFormat, WsprintfStopsAt1024Characters) {
  struct Row {
    std::size_t outputLength;
    int expected;
    std::size_t stored;
  };
  // Reaching the last character of the 1024 counts as reaching the limit.
  const Row rows[] = {{1021, 1021, 1021}, {1022, 1022, 1022}, {1023, 1024, 1023}, {1024, 1024, 1023}, {3000, 1024, 1023}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.outputLength);
    const std::u16string text(row.outputLength, u'y');
    std::u16string buffer(2 * kWsprintfBufferCharacters, kUntouched);
    EXPECT_EQ(wsprintfW(buffer.data(), u"%s", text.c_str()), row.expected);
    EXPECT_EQ(std::u16string(buffer.c_str()), text.substr(0, row.stored));
    EXPECT_EQ(buffer[row.stored + 1], kUntouched);
  }
}

TEST(WideFormat, WsprintfRefusesWhatUser32DoesNotKnow) {
  if (!kFormatterRefusesUnsupported) GTEST_SKIP() << "user32 echoes these";
  const std::pair<const char16_t*, const char*> formats[] = {
      {u"a%+d", "plus"}, {u"a%*d", "star"}, {u"a%lld", "ll"}, {u"a%o", "octal"}, {u"a%y", "unknown"}, {u"a%0-5d", "flag order"}};
  for (const auto& [format, name] : formats) {
    SCOPED_TRACE(name);
    std::u16string buffer(8, kUntouched);
    EXPECT_LT(wsprintfW(buffer.data(), format, 5, 5), 0);
    EXPECT_EQ(buffer[0], u'\0');
    EXPECT_EQ(buffer[1], kUntouched);
  }
}

TEST(WideString, ComparesCaseSensitivelyInWindowsOrder) {
  struct Row {
    const char16_t* left;
    const char16_t* right;
    int expected;
  };
  const Row rows[] = {
      {u"FileName", u"FileName", 0},
      {u"FileName", u"filename", 1},
      {u"FileData", u"FileName", -1},
      {u"a", u"b", -1},
      {u"a", u"A", -1},
      {u"A", u"a", 1},
      {u"a", u"B", -1},
      {u"Ab", u"aa", 1},
      {u"ab", u"a", 1},
      {u"", u"a", -1},
      {u"_", u"a", -1},
      {u"1", u"a", -1},
      {nullptr, nullptr, 0},
      {nullptr, u"", -1},
      {u"", nullptr, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << (row.left ? "s" : "null") << " vs " << (row.right ? "s" : "null"));
    EXPECT_EQ(lstrcmpW(row.left, row.right), row.expected);
  }
}

}  // namespace
