#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "BuildTesting.h"
#include "Win32Variant.h"

// Every expected value below is oleaut32's answer, taken from the Windows build under Wine;
// the same rows run against our own conversions on Linux.

namespace {

constexpr HRESULT kOk = S_OK;
constexpr HRESULT kMismatch = DISP_E_TYPEMISMATCH;
constexpr HRESULT kOverflow = DISP_E_OVERFLOW;
constexpr HRESULT kBadType = DISP_E_BADVARTYPE;

// A source value: vt and whichever field that type reads.
struct Value {
  VARTYPE vt;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;
  const char16_t* s = nullptr;
};

Value Empty() { return {VT_EMPTY}; }
Value Null() { return {VT_NULL}; }
Value Signed(VARTYPE vt, int64_t v) { return {vt, v}; }
Value Unsigned(VARTYPE vt, uint64_t v) { return {vt, 0, v}; }
Value Real(VARTYPE vt, double v) { return {vt, 0, 0, v}; }
Value Text(const char16_t* v) { return {VT_BSTR, 0, 0, 0, v}; }
Value Bool(VARIANT_BOOL v) { return {VT_BOOL, v}; }
Value Currency(int64_t units) { return {VT_CY, units}; }
Value OfType(VARTYPE vt) { return {vt}; }

// Fills v; a BSTR it allocates is the caller's to clear.
void Fill(VARIANT& v, const Value& value) {
  VariantInit(&v);
  v.vt = value.vt;
  switch (value.vt) {
    case VT_I1: v.cVal = static_cast<char>(value.i); break;
    case VT_I2: v.iVal = static_cast<int16_t>(value.i); break;
    case VT_I4: case VT_INT: v.lVal = static_cast<int32_t>(value.i); break;
    case VT_I8: v.llVal = value.i; break;
    case VT_UI1: v.bVal = static_cast<uint8_t>(value.u); break;
    case VT_UI2: v.uiVal = static_cast<uint16_t>(value.u); break;
    case VT_UI4: case VT_UINT: v.ulVal = static_cast<uint32_t>(value.u); break;
    case VT_UI8: v.ullVal = value.u; break;
    case VT_BOOL: v.boolVal = static_cast<VARIANT_BOOL>(value.i); break;
    case VT_R4: v.fltVal = static_cast<float>(value.d); break;
    case VT_R8: v.dblVal = value.d; break;
    case VT_DATE: v.date = value.d; break;
    case VT_CY: v.cyVal.int64 = value.i; break;
    case VT_BSTR: v.bstrVal = value.s == nullptr ? nullptr : SysAllocString(value.s); break;
    default: v.byref = nullptr; break;
  }
}

// A destination that a failed conversion must leave exactly as it was.
void FillSentinel(VARIANT& v) {
  VariantInit(&v);
  v.vt = VT_I2;
  v.iVal = 0x5555;
}

struct Row {
  const char* what;
  Value from;
  VARTYPE to;
  HRESULT hr;
  uint32_t bits = 0;  // the 32-bit result on success
};

constexpr uint32_t kAllOnes = 0xFFFFFFFFu;
constexpr uint32_t Bits(int32_t v) { return static_cast<uint32_t>(v); }

void Check(const Row& row) {
  SCOPED_TRACE(row.what);
  VARIANT source;
  Fill(source, row.from);
  VARIANT dest;
  FillSentinel(dest);
  const HRESULT hr = VariantChangeType(&dest, &source, 0, row.to);
  EXPECT_EQ(hr, row.hr);
  if (row.hr == S_OK) {
    EXPECT_EQ(dest.vt, row.to);
    EXPECT_EQ(dest.ulVal, row.bits);
  } else {
    EXPECT_EQ(dest.vt, VT_I2);
    EXPECT_EQ(dest.iVal, 0x5555);
  }
  EXPECT_EQ(VariantClear(&dest), S_OK);
  // A source that is no variant type cannot be cleared either.
  const HRESULT cleared = VariantClear(&source);
  EXPECT_TRUE(cleared == S_OK || cleared == kBadType);
}

TEST(VariantChangeType, IntegersBoolAndEmpty) {
  const Row rows[] = {
      {"empty is zero", Empty(), VT_UINT, kOk, 0},
      {"null has no number", Null(), VT_UINT, kMismatch},
      {"null has no number as I4", Null(), VT_I4, kMismatch},
      {"I4 18", Signed(VT_I4, 18), VT_UINT, kOk, 18},
      // Windows' quirk: a 32-bit integer gives its bits to the other signedness.
      {"I4 -1 to UINT", Signed(VT_I4, -1), VT_UINT, kOk, kAllOnes},
      {"I4 -1 to UI4", Signed(VT_I4, -1), VT_UI4, kOk, kAllOnes},
      {"I4 min to UINT", Signed(VT_I4, INT32_MIN), VT_UINT, kOk, 0x80000000u},
      {"INT -1 to UINT", Signed(VT_INT, -1), VT_UINT, kOk, kAllOnes},
      {"UI4 max to I4", Unsigned(VT_UI4, kAllOnes), VT_I4, kOk, kAllOnes},
      {"UINT max to INT", Unsigned(VT_UINT, kAllOnes), VT_INT, kOk, kAllOnes},
      // ... but narrower and wider integers are range-checked.
      {"I1 -1 to UINT", Signed(VT_I1, -1), VT_UINT, kOverflow},
      {"I1 -1 to I4", Signed(VT_I1, -1), VT_I4, kOk, kAllOnes},
      {"I2 -1 to UINT", Signed(VT_I2, -1), VT_UINT, kOverflow},
      {"I2 max", Signed(VT_I2, 32767), VT_UINT, kOk, 32767},
      {"I8 -1 to UINT", Signed(VT_I8, -1), VT_UINT, kOverflow},
      {"I8 -1 to INT", Signed(VT_I8, -1), VT_INT, kOk, kAllOnes},
      {"I8 2^32-1 to UINT", Signed(VT_I8, 4294967295LL), VT_UINT, kOk, kAllOnes},
      {"I8 2^32 to UINT", Signed(VT_I8, 4294967296LL), VT_UINT, kOverflow},
      {"I8 2^32-1 to I4", Signed(VT_I8, 4294967295LL), VT_I4, kOverflow},
      {"I8 2^31 to I4", Signed(VT_I8, 2147483648LL), VT_I4, kOverflow},
      {"I8 -2^31 to I4", Signed(VT_I8, -2147483648LL), VT_I4, kOk, 0x80000000u},
      {"I8 -2^31-1 to I4", Signed(VT_I8, -2147483649LL), VT_I4, kOverflow},
      {"I8 min to I4", Signed(VT_I8, INT64_MIN), VT_I4, kOverflow},
      {"UI1 max", Unsigned(VT_UI1, 255), VT_UINT, kOk, 255},
      {"UI2 max", Unsigned(VT_UI2, 65535), VT_I4, kOk, 65535},
      {"UI8 2^32-1 to UINT", Unsigned(VT_UI8, 4294967295ULL), VT_UINT, kOk, kAllOnes},
      {"UI8 2^32 to UINT", Unsigned(VT_UI8, 4294967296ULL), VT_UINT, kOverflow},
      {"UI8 max to UINT", Unsigned(VT_UI8, UINT64_MAX), VT_UINT, kOverflow},
      {"UI8 2^31 to I4", Unsigned(VT_UI8, 2147483648ULL), VT_I4, kOverflow},
      // VARIANT_TRUE is -1 and goes through like a VT_I4, bits and all.
      {"VARIANT_TRUE to UINT", Bool(VARIANT_TRUE), VT_UINT, kOk, kAllOnes},
      {"VARIANT_TRUE to I4", Bool(VARIANT_TRUE), VT_I4, kOk, kAllOnes},
      {"VARIANT_FALSE", Bool(VARIANT_FALSE), VT_UINT, kOk, 0},
      {"bool 2", Bool(2), VT_UINT, kOk, 2},
  };
  for (const Row& row : rows) Check(row);
}

TEST(VariantChangeType, RealsRoundHalfToEvenAndReportOverflow) {
  const double inf = std::numeric_limits<double>::infinity();
  const Row rows[] = {
      {"R8 0.5", Real(VT_R8, 0.5), VT_UINT, kOk, 0},
      {"R8 1.5", Real(VT_R8, 1.5), VT_UINT, kOk, 2},
      {"R8 2.5", Real(VT_R8, 2.5), VT_UINT, kOk, 2},
      {"R8 2.5000001", Real(VT_R8, 2.5000001), VT_UINT, kOk, 3},
      {"R8 0.49999999999999994", Real(VT_R8, 0.49999999999999994), VT_UINT, kOk, 0},
      {"R8 -0.5 rounds to zero", Real(VT_R8, -0.5), VT_UINT, kOk, 0},
      {"R8 -0.0", Real(VT_R8, -0.0), VT_UINT, kOk, 0},
      {"R8 -0.51", Real(VT_R8, -0.51), VT_UINT, kOverflow},
      {"R8 -1.5 to I4", Real(VT_R8, -1.5), VT_I4, kOk, Bits(-2)},
      {"R8 -1.5 to UINT", Real(VT_R8, -1.5), VT_UINT, kOverflow},
      {"R8 2^32-0.6", Real(VT_R8, 4294967295.4), VT_UINT, kOk, kAllOnes},
      {"R8 2^32-0.5", Real(VT_R8, 4294967295.5), VT_UINT, kOverflow},
      {"R8 2^32", Real(VT_R8, 4294967296.0), VT_UINT, kOverflow},
      {"R8 2^31-0.5 to UINT", Real(VT_R8, 2147483647.5), VT_UINT, kOk, 0x80000000u},
      {"R8 2^31-0.5 to I4", Real(VT_R8, 2147483647.5), VT_I4, kOverflow},
      {"R8 2^31-0.6 to I4", Real(VT_R8, 2147483647.4), VT_I4, kOk, 0x7FFFFFFFu},
      {"R8 -2^31-0.5 to I4", Real(VT_R8, -2147483648.5), VT_I4, kOk, 0x80000000u},
      {"R8 -2^31-0.51 to I4", Real(VT_R8, -2147483648.51), VT_I4, kOverflow},
      {"R8 1e300", Real(VT_R8, 1e300), VT_UINT, kOverflow},
      {"R8 +inf", Real(VT_R8, inf), VT_UINT, kOverflow},
      {"R8 -inf", Real(VT_R8, -inf), VT_I4, kOverflow},
      {"R4 0.5", Real(VT_R4, 0.5), VT_UINT, kOk, 0},
      {"R4 1.5", Real(VT_R4, 1.5), VT_UINT, kOk, 2},
      {"R4 2.5", Real(VT_R4, 2.5), VT_UINT, kOk, 2},
      {"R4 3.5", Real(VT_R4, 3.5), VT_UINT, kOk, 4},
      {"R4 -0.5", Real(VT_R4, -0.5), VT_UINT, kOk, 0},
      {"R4 largest below 2^32", Real(VT_R4, 4294967040.0), VT_UINT, kOk, 4294967040u},
      {"R4 2^32", Real(VT_R4, 4294967296.0), VT_UINT, kOverflow},
      {"R4 2^31 to I4", Real(VT_R4, 2147483648.0), VT_I4, kOverflow},
      {"DATE 2.5", Real(VT_DATE, 2.5), VT_UINT, kOk, 2},
      {"DATE -1", Real(VT_DATE, -1.0), VT_UINT, kOverflow},
      {"DATE -1 to I4", Real(VT_DATE, -1.0), VT_I4, kOk, kAllOnes},
      {"CY 1.5", Currency(15000), VT_UINT, kOk, 2},
      {"CY 2.5", Currency(25000), VT_UINT, kOk, 2},
      {"CY 2.5001", Currency(25001), VT_UINT, kOk, 3},
      {"CY -0.5", Currency(-5000), VT_UINT, kOk, 0},
      {"CY -0.5001", Currency(-5001), VT_UINT, kOverflow},
      {"CY -2.5 to I4", Currency(-25000), VT_I4, kOk, Bits(-2)},
      {"CY 2^32-0.5", Currency(42949672955000LL), VT_UINT, kOverflow},
      {"CY 2^31-0.5001 to I4", Currency(21474836474999LL), VT_I4, kOk, 0x7FFFFFFFu},
  };
  for (const Row& row : rows) Check(row);
}

TEST(VariantChangeType, TextToNumber) {
  const Row rows[] = {
      {"digits", Text(u"18"), VT_UINT, kOk, 18},
      {"leading zeros", Text(u"00042"), VT_UINT, kOk, 42},
      {"blanks around", Text(u" 18 "), VT_UINT, kOk, 18},
      {"tabs and line ends", Text(u"\t18\r\n"), VT_UINT, kOk, 18},
      {"no-break space", Text(u"\u00a05"), VT_UINT, kOk, 5},
      {"plus", Text(u"+5"), VT_UINT, kOk, 5},
      {"minus zero", Text(u"-0"), VT_UINT, kOk, 0},
      {"minus one to UINT", Text(u"-1"), VT_UINT, kOverflow},
      {"minus one to I4", Text(u"-1"), VT_I4, kOk, kAllOnes},
      {"blank after sign", Text(u"- 5"), VT_I4, kOk, Bits(-5)},
      {"trailing sign", Text(u"5-"), VT_I4, kOk, Bits(-5)},
      {"parentheses", Text(u"(5)"), VT_I4, kOk, Bits(-5)},
      {"parentheses to UINT", Text(u"(5)"), VT_UINT, kOverflow},
      {"thousands", Text(u"1,000"), VT_UINT, kOk, 1000},
      {"UINT max", Text(u"4294967295"), VT_UINT, kOk, kAllOnes},
      {"UINT max + 1", Text(u"4294967296"), VT_UINT, kOverflow},
      {"I4 max + 1", Text(u"2147483648"), VT_I4, kOverflow},
      {"I4 min", Text(u"-2147483648"), VT_I4, kOk, 0x80000000u},
      {"I4 min - 1", Text(u"-2147483649"), VT_I4, kOverflow},
      {"twenty nines", Text(u"99999999999999999999"), VT_UINT, kOverflow},
      {"1.5", Text(u"1.5"), VT_UINT, kOk, 2},
      {"2.5", Text(u"2.5"), VT_UINT, kOk, 2},
      {"0.5", Text(u"0.5"), VT_UINT, kOk, 0},
      {"-0.5", Text(u"-0.5"), VT_UINT, kOk, 0},
      {"-0.6", Text(u"-0.6"), VT_UINT, kOverflow},
      {"2.51", Text(u"2.51"), VT_UINT, kOk, 3},
      // Rounding sees every digit, not a double's 17.
      {"just above a tie", Text(u"2.50000000000000000001"), VT_UINT, kOk, 3},
      {"just below 2^32-0.5", Text(u"4294967295.49999999999999"), VT_UINT, kOk, kAllOnes},
      {"2^32-0.5", Text(u"4294967295.5"), VT_UINT, kOverflow},
      {"2^31-0.5 to I4", Text(u"2147483647.5"), VT_I4, kOverflow},
      {"point first", Text(u".5"), VT_UINT, kOk, 0},
      {"point last", Text(u"5."), VT_UINT, kOk, 5},
      {"exponent", Text(u"1e3"), VT_UINT, kOk, 1000},
      {"exponent capital", Text(u"1E+3"), VT_UINT, kOk, 1000},
      {"negative exponent", Text(u"25e-1"), VT_UINT, kOk, 2},
      {"fraction and exponent", Text(u"4.294967295e9"), VT_UINT, kOk, kAllOnes},
      {"many digits scaled down", Text(u"12345678901234567890123e-20"), VT_UINT, kOk, 123},
      {"tiny", Text(u"1e-400"), VT_UINT, kOk, 0},
      {"huge exponent", Text(u"1e400"), VT_UINT, kOverflow},
      {"1e10", Text(u"1e10"), VT_UINT, kOverflow},
      {"hex", Text(u"&H10"), VT_UINT, kOk, 16},
      {"hex lower case", Text(u"&hff"), VT_UINT, kOk, 255},
      {"hex all ones to I4", Text(u"&HFFFFFFFF"), VT_I4, kOk, kAllOnes},
      {"hex 33 bits", Text(u"&HFFFFFFFF0"), VT_UINT, kOverflow},
      {"octal", Text(u"&O17"), VT_UINT, kOk, 15},
      {"octal 33 bits", Text(u"&O40000000000"), VT_UINT, kOverflow},
      {"empty", Text(u""), VT_UINT, kMismatch},
      {"blank", Text(u" "), VT_UINT, kMismatch},
      {"letters", Text(u"abc"), VT_UINT, kMismatch},
      {"digits then letters", Text(u"12abc"), VT_UINT, kMismatch},
      {"blank inside", Text(u"1 2"), VT_UINT, kMismatch},
      {"two signs", Text(u"--5"), VT_I4, kMismatch},
      {"sign both sides", Text(u"-5-"), VT_I4, kMismatch},
      {"open parenthesis", Text(u"(5"), VT_I4, kMismatch},
      {"lone point", Text(u"."), VT_UINT, kMismatch},
      {"lone sign", Text(u"-"), VT_UINT, kMismatch},
      {"leading comma", Text(u",5"), VT_UINT, kMismatch},
      {"exponent without digits", Text(u"1e"), VT_UINT, kMismatch},
      {"two points", Text(u"1.2.3"), VT_UINT, kMismatch},
      {"C hex", Text(u"0x10"), VT_UINT, kMismatch},
      {"binary", Text(u"&B101"), VT_UINT, kMismatch},
      {"hex without digits", Text(u"&H"), VT_UINT, kMismatch},
      {"hex with a point", Text(u"&H1.5"), VT_UINT, kMismatch},
      {"fullwidth digit", Text(u"\uff15"), VT_UINT, kMismatch},
      {"zero-width space", Text(u"\u200b5"), VT_UINT, kMismatch},
      {"NaN", Text(u"NaN"), VT_UINT, kMismatch},
      {"Infinity", Text(u"Infinity"), VT_UINT, kMismatch},
      {"True", Text(u"True"), VT_UINT, kMismatch},
      {"null BSTR", Text(nullptr), VT_UINT, kMismatch},
  };
  for (const Row& row : rows) Check(row);
}

TEST(VariantChangeType, TypesWithoutAConversion) {
  const Row rows[] = {
      {"source vt 15", OfType(15), VT_UINT, kBadType},
      {"source VT_VOID", OfType(VT_VOID), VT_UINT, kBadType},
      {"source VT_HRESULT", OfType(VT_HRESULT), VT_UINT, kBadType},
      {"source vector", OfType(VT_VECTOR | VT_I4), VT_UINT, kBadType},
      {"source VT_ERROR", OfType(VT_ERROR), VT_UINT, kMismatch},
      {"source null VT_UNKNOWN", OfType(VT_UNKNOWN), VT_UINT, kMismatch},
      {"source null VT_DISPATCH", OfType(VT_DISPATCH), VT_UINT, kBadType},
      {"source plain VT_VARIANT", OfType(VT_VARIANT), VT_UINT, kMismatch},
      {"source null array", OfType(VT_ARRAY | VT_I4), VT_UINT, kMismatch},
      {"source null reference", OfType(VT_BYREF | VT_I4), VT_UINT, kMismatch},
      {"target vt 15", Signed(VT_I4, 1), 15, kBadType},
      {"target VT_VOID", Signed(VT_I4, 1), VT_VOID, kBadType},
      {"target reserved bit", Signed(VT_I4, 1), VT_RESERVED | VT_I4, kBadType},
      {"target by reference", Signed(VT_I4, 1), VT_BYREF | VT_I4, kMismatch},
      {"target VT_EMPTY by reference", Signed(VT_I4, 1), VT_BYREF | VT_EMPTY, kBadType},
      {"target array", Signed(VT_I4, 1), VT_ARRAY | VT_I4, kMismatch},
      {"target VT_VARIANT", Signed(VT_I4, 1), VT_VARIANT, kMismatch},
      {"target VT_ERROR", Signed(VT_I4, 1), VT_ERROR, kMismatch},
      {"null to VT_EMPTY", Null(), VT_EMPTY, kMismatch},
  };
  for (const Row& row : rows) Check(row);
}

TEST(VariantChangeType, ReadsThroughReferences) {
  int32_t number = -7;
  UniqueBstr text(SysAllocString(u"42"));
  BSTR textRef = text.get();
  VARIANT inner;
  VariantInit(&inner);
  inner.vt = VT_I2;
  inner.iVal = 9;
  VARIANT nested;
  VariantInit(&nested);
  nested.vt = VT_VARIANT | VT_BYREF;
  nested.pvarVal = &inner;

  struct RefRow {
    const char* what;
    VARTYPE vt;
    void* ref;
    HRESULT hr;
    uint32_t bits;
  };
  const RefRow rows[] = {
      {"I4 by reference", VT_I4 | VT_BYREF, &number, kOk, Bits(-7)},
      {"BSTR by reference", VT_BSTR | VT_BYREF, &textRef, kOk, 42},
      {"VARIANT by reference", VT_VARIANT | VT_BYREF, &inner, kOk, 9},
      {"reference to a VARIANT reference", VT_VARIANT | VT_BYREF, &nested, E_INVALIDARG, 0},
  };
  for (const RefRow& row : rows) {
    SCOPED_TRACE(row.what);
    VARIANT source;
    VariantInit(&source);
    source.vt = row.vt;
    source.byref = row.ref;
    VARIANT dest;
    FillSentinel(dest);
    EXPECT_EQ(VariantChangeType(&dest, &source, 0, VT_UINT), row.hr);
    EXPECT_EQ(dest.vt, row.hr == S_OK ? VT_UINT : VT_I2);
    if (row.hr == S_OK) {
      EXPECT_EQ(dest.ulVal, row.bits);
    }
  }
  // Reading through a reference takes nothing from the referenced BSTR.
  EXPECT_EQ(textRef, text.get());
  EXPECT_EQ(BstrView(text.get()), u"42");
}

TEST(VariantChangeType, ToText) {
  struct TextRow {
    const char* what;
    Value from;
    USHORT flags;
    HRESULT hr;
    std::u16string text;
  };
  const TextRow rows[] = {
      {"I4", Signed(VT_I4, -3), 0, kOk, u"-3"},
      {"I1", Signed(VT_I1, -100), 0, kOk, u"-100"},
      {"UI1", Unsigned(VT_UI1, 200), 0, kOk, u"200"},
      {"UI4 max", Unsigned(VT_UI4, kAllOnes), 0, kOk, u"4294967295"},
      {"I8 min", Signed(VT_I8, INT64_MIN), 0, kOk, u"-9223372036854775808"},
      {"UI8 max", Unsigned(VT_UI8, UINT64_MAX), 0, kOk, u"18446744073709551615"},
      {"VARIANT_TRUE", Bool(VARIANT_TRUE), 0, kOk, u"-1"},
      {"VARIANT_TRUE as a word", Bool(VARIANT_TRUE), VARIANT_ALPHABOOL, kOk, u"True"},
      {"bool 5 as a word", Bool(5), VARIANT_ALPHABOOL, kOk, u"True"},
      {"VARIANT_FALSE as a word", Bool(VARIANT_FALSE), VARIANT_ALPHABOOL, kOk, u"False"},
      {"empty", Empty(), 0, kOk, u""},
      {"text copied", Text(u"abc"), 0, kOk, u"abc"},
      {"null", Null(), 0, kMismatch, u""},
      {"error", OfType(VT_ERROR), 0, kMismatch, u""},
  };
  for (const TextRow& row : rows) {
    SCOPED_TRACE(row.what);
    VARIANT source;
    Fill(source, row.from);
    VARIANT dest;
    FillSentinel(dest);
    EXPECT_EQ(VariantChangeType(&dest, &source, row.flags, VT_BSTR), row.hr);
    if (row.hr == S_OK) {
      ASSERT_EQ(dest.vt, VT_BSTR);
      ASSERT_NE(dest.bstrVal, nullptr);
      EXPECT_EQ(BstrView(dest.bstrVal), row.text);
      if (row.from.vt == VT_BSTR) {
        EXPECT_NE(dest.bstrVal, source.bstrVal);
      }
    } else {
      EXPECT_EQ(dest.vt, VT_I2);
    }
    EXPECT_EQ(VariantClear(&dest), S_OK);
    EXPECT_EQ(VariantClear(&source), S_OK);
  }
}

TEST(VariantChangeType, TextStopsAtItsFirstNulAndCopiesWhole) {
  VARIANT source;
  VariantInit(&source);
  source.vt = VT_BSTR;
  source.bstrVal = SysAllocStringLen(u"5\0" u"9", 3);
  VARIANT dest;
  VariantInit(&dest);
  EXPECT_EQ(VariantChangeType(&dest, &source, 0, VT_UINT), S_OK);
  EXPECT_EQ(dest.ulVal, 5u);
  // As text, the copy keeps every character, the NUL and what follows it.
  EXPECT_EQ(VariantChangeType(&dest, &source, 0, VT_BSTR), S_OK);
  EXPECT_EQ(BstrView(dest.bstrVal), std::u16string(u"5\0" u"9", 3));
  EXPECT_EQ(VariantClear(&dest), S_OK);
  EXPECT_EQ(VariantClear(&source), S_OK);
}

TEST(VariantChangeType, InPlaceAndTheOldDestination) {
  // In place: the source's BSTR is freed once the number is in (the sanitizer build
  // checks that it is freed exactly once).
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"77");
  EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_UINT), S_OK);
  EXPECT_EQ(v.vt, VT_UINT);
  EXPECT_EQ(v.ulVal, 77u);

  // A failure in place leaves the text where it was.
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"x");
  const BSTR kept = v.bstrVal;
  EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_UINT), kMismatch);
  EXPECT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(v.bstrVal, kept);
  EXPECT_EQ(BstrView(v.bstrVal), u"x");
  EXPECT_EQ(VariantClear(&v), S_OK);

  // A destination that holds a BSTR: freed on success, kept on failure.
  VARIANT source;
  VariantInit(&source);
  source.vt = VT_R8;
  source.dblVal = 1e20;
  VARIANT dest;
  VariantInit(&dest);
  dest.vt = VT_BSTR;
  dest.bstrVal = SysAllocString(u"old");
  EXPECT_EQ(VariantChangeType(&dest, &source, 0, VT_UINT), kOverflow);
  EXPECT_EQ(BstrView(dest.bstrVal), u"old");
  source.dblVal = 5;
  EXPECT_EQ(VariantChangeType(&dest, &source, 0, VT_UINT), S_OK);
  EXPECT_EQ(dest.vt, VT_UINT);
  EXPECT_EQ(dest.ulVal, 5u);

  // A destination that is no variant cannot be cleared, so it is not overwritten either.
  dest.vt = 0x7FF;
  EXPECT_EQ(VariantChangeType(&dest, &source, 0, VT_UINT), kBadType);
  EXPECT_EQ(dest.vt, 0x7FF);
}

// Where this layer converts itself, a NaN is an overflow: it holds no number to store.
// oleaut32 reports success with an arbitrary value, so on Windows this is its own business.
TEST(VariantChangeType, NaNIsAnOverflowInOurOwnConversions) {
  if (!kOwnVariantConversions) GTEST_SKIP() << "oleaut32 converts on this build";
  const Row rows[] = {
      {"R8 NaN to UINT", Real(VT_R8, std::numeric_limits<double>::quiet_NaN()), VT_UINT, kOverflow},
      {"R8 NaN to I4", Real(VT_R8, std::numeric_limits<double>::quiet_NaN()), VT_I4, kOverflow},
      {"R4 NaN to UINT", Real(VT_R4, std::numeric_limits<double>::quiet_NaN()), VT_UINT, kOverflow},
  };
  for (const Row& row : rows) Check(row);
}

TEST(VariantClear, FreesTheTextOnceAndEmpties) {
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"free me");
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(VariantClear(&v), S_OK);  // now empty: nothing is freed twice

  // Numbers keep their bits; only the type goes.
  v.vt = VT_I4;
  v.lVal = 4;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(v.lVal, 4);

  // A reference owns nothing: the referenced BSTR survives.
  UniqueBstr owned(SysAllocString(u"mine"));
  BSTR ref = owned.get();
  v.vt = VT_BSTR | VT_BYREF;
  v.pbstrVal = &ref;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(BstrView(owned.get()), u"mine");

  v.vt = VT_BSTR;
  v.bstrVal = nullptr;
  EXPECT_EQ(VariantClear(&v), S_OK);

  for (VARTYPE bad : {VARTYPE(15), VARTYPE(VT_VOID), VARTYPE(VT_VECTOR | VT_I4), VARTYPE(VT_BYREF | VT_EMPTY)}) {
    v.vt = bad;
    EXPECT_EQ(VariantClear(&v), kBadType) << bad;
    EXPECT_EQ(v.vt, bad);
  }
}

TEST(Bstr, LengthPrefixAndTerminator) {
  UniqueBstr abc(SysAllocString(u"abc"));
  ASSERT_NE(abc.get(), nullptr);
  EXPECT_EQ(SysStringLen(abc.get()), 3u);
  EXPECT_EQ(SysStringByteLen(abc.get()), 6u);
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<const char*>(abc.get()) - sizeof prefix, sizeof prefix);
  EXPECT_EQ(prefix, 6u);
  EXPECT_EQ(BstrText(abc.get())[3], u'\0');

  // Embedded NULs count; the copy stops at the length given, not at the source's end.
  UniqueBstr embedded(SysAllocStringLen(u"ab\0cd", 5));
  EXPECT_EQ(SysStringLen(embedded.get()), 5u);
  EXPECT_EQ(BstrView(embedded.get()), std::u16string(u"ab\0cd", 5));
  UniqueBstr cut(SysAllocStringLen(u"abcdef", 3));
  EXPECT_EQ(BstrView(cut.get()), u"abc");
  EXPECT_EQ(BstrText(cut.get())[3], u'\0');

  // Without text: that many characters, all zero.
  UniqueBstr zeros(SysAllocStringLen(static_cast<const char16_t*>(nullptr), 3));
  ASSERT_NE(zeros.get(), nullptr);
  EXPECT_EQ(BstrView(zeros.get()), std::u16string(3, u'\0'));
  EXPECT_EQ(BstrText(zeros.get())[3], u'\0');

  UniqueBstr empty(SysAllocString(u""));
  EXPECT_NE(empty.get(), nullptr);
  EXPECT_EQ(SysStringLen(empty.get()), 0u);
}

TEST(Bstr, NullIsTheEmptyString) {
  EXPECT_EQ(SysAllocString(static_cast<const char16_t*>(nullptr)), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_TRUE(BstrView(nullptr).empty());
  SysFreeString(nullptr);

  UniqueBstr owner(SysAllocString(u"x"));
  BSTR taken = owner.release();
  EXPECT_EQ(owner.get(), nullptr);
  owner.reset(taken);
  UniqueBstr moved(std::move(owner));
  EXPECT_EQ(moved.get(), taken);
  EXPECT_EQ(owner.get(), nullptr);
}

}  // namespace
