// Our own BSTR and VARIANT services. Every answer here was taken from oleaut32 (Wine's,
// our reference for Windows) and is pinned by tests/platform/Variant_test.cpp, which runs
// unchanged against the real oleaut32 on the Windows build.
//
// VariantChangeType carries the targets the tool needs and the cheap ones next to them:
//   VT_UI4, VT_UINT, VT_I4, VT_INT   from every number type, VT_EMPTY, VT_BOOL and VT_BSTR;
//   VT_BSTR                          from the integer types, VT_BOOL, VT_EMPTY and VT_BSTR;
//   the source's own type            a copy;
//   VT_EMPTY, VT_NULL                from anything this file can read.
// Any other valid pair (a real number to text, anything to VT_R8, VT_DECIMAL, ...) answers
// E_NOTIMPL: a caller learns that nothing was converted instead of getting a guess.

#include "Win32Variant.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "WideText.h"

namespace {

constexpr std::size_t kPrefixBytes = sizeof(uint32_t);

uint32_t* Prefix(BSTR text) {
  return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(text) - kPrefixBytes);
}

}  // namespace

BSTR SysAllocStringLen(const char16_t* text, UINT length) {
  // The prefix counts bytes in 32 bits; a longer string cannot be described, so it is refused.
  constexpr uint64_t kMaxChars = (std::numeric_limits<uint32_t>::max() - kPrefixBytes - sizeof(char16_t)) / 2;
  if (length > kMaxChars) return nullptr;
  const std::size_t bytes = static_cast<std::size_t>(length) * sizeof(char16_t);
  auto* block = static_cast<char*>(std::malloc(kPrefixBytes + bytes + sizeof(char16_t)));
  if (block == nullptr) return nullptr;
  const uint32_t byteCount = static_cast<uint32_t>(bytes);
  std::memcpy(block, &byteCount, kPrefixBytes);
  auto* chars = reinterpret_cast<char16_t*>(block + kPrefixBytes);
  if (text != nullptr) {
    std::memcpy(chars, text, bytes);
  } else {
    std::memset(chars, 0, bytes);
  }
  chars[length] = u'\0';
  return chars;
}

BSTR SysAllocString(const char16_t* text) {
  if (text == nullptr) return nullptr;
  std::size_t length = 0;
  while (text[length] != u'\0') ++length;
  if (length > std::numeric_limits<UINT>::max()) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(Prefix(text));
}

UINT SysStringByteLen(BSTR text) {
  if (text == nullptr) return 0;
  uint32_t bytes;
  std::memcpy(&bytes, Prefix(text), sizeof bytes);
  return bytes;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(char16_t); }

void VariantInit(VARIANTARG* variant) {
  // Windows sets vt only; we clear the value too, so that reading an empty variant's
  // members is never a read of garbage.
  std::memset(variant, 0, sizeof *variant);
  variant->vt = VT_EMPTY;
}

namespace {

// Whether vt names a variant type at all, with oleaut32's answers: the base types up to
// VT_UINT but 15, and VT_RECORD; VT_BYREF and VT_ARRAY combine with them but not with
// VT_EMPTY or VT_NULL; VT_VECTOR and VT_RESERVED never.
bool IsValidType(VARTYPE vt) {
  if ((vt & (VT_VECTOR | VT_RESERVED)) != 0) return false;
  const VARTYPE base = vt & VT_TYPEMASK;
  if (base == 15 || (base > VT_UINT && base != VT_RECORD)) return false;
  if ((vt & (VT_BYREF | VT_ARRAY)) != 0 && (base == VT_EMPTY || base == VT_NULL)) return false;
  return true;
}

// A source with any VT_BYREF undone. VT_VARIANT|VT_BYREF is followed one level.
std::optional<VARIANT> Dereference(const VARIANT& source, HRESULT& hr) {
  if ((source.vt & VT_BYREF) == 0) return source;
  if (source.byref == nullptr) {
    hr = DISP_E_TYPEMISMATCH;
    return std::nullopt;
  }
  VARIANT value;
  VariantInit(&value);
  if ((source.vt & VT_ARRAY) != 0) {
    value.vt = source.vt & ~VT_BYREF;
    value.parray = *static_cast<void**>(source.byref);
    return value;
  }
  value.vt = source.vt & VT_TYPEMASK;
  switch (value.vt) {
    case VT_I1: value.cVal = *source.pcVal; break;
    case VT_UI1: value.bVal = *source.pbVal; break;
    case VT_I2: value.iVal = *source.piVal; break;
    case VT_UI2: value.uiVal = *source.puiVal; break;
    case VT_I4: case VT_INT: value.lVal = *source.plVal; break;
    case VT_UI4: case VT_UINT: value.ulVal = *source.pulVal; break;
    case VT_I8: value.llVal = *source.pllVal; break;
    case VT_UI8: value.ullVal = *source.pullVal; break;
    case VT_R4: value.fltVal = *source.pfltVal; break;
    case VT_R8: value.dblVal = *source.pdblVal; break;
    case VT_DATE: value.date = *source.pdate; break;
    case VT_CY: value.cyVal = *source.pcyVal; break;
    case VT_BOOL: value.boolVal = *source.pboolVal; break;
    case VT_ERROR: value.scode = *source.pscode; break;
    case VT_BSTR: value.bstrVal = *source.pbstrVal; break;
    case VT_UNKNOWN: case VT_DISPATCH: value.punkVal = *static_cast<void**>(source.byref); break;
    case VT_VARIANT: {
      const VARIANT& inner = *source.pvarVal;
      // A reference to a reference is one step too many for oleaut32 as well.
      if (inner.vt == (VT_VARIANT | VT_BYREF)) {
        hr = E_INVALIDARG;
        return std::nullopt;
      }
      if (!IsValidType(inner.vt)) {
        hr = DISP_E_BADVARTYPE;
        return std::nullopt;
      }
      return Dereference(inner, hr);
    }
    default:
      // VT_DECIMAL and VT_RECORD by reference: nothing here can read them.
      hr = value.vt == VT_DECIMAL ? E_NOTIMPL : DISP_E_TYPEMISMATCH;
      return std::nullopt;
  }
  return value;
}

// An exact integer: a sign and a 64-bit magnitude, or "beyond 64 bits".
struct Exact {
  bool negative = false;
  uint64_t magnitude = 0;
  bool huge = false;
};

// A 32-bit result before it is typed: either an exact value still to be range-checked,
// or bits that go through unchanged whatever the target's signedness (see Windows' quirks
// in ToNumber32).
struct Number32 {
  std::optional<uint32_t> bits;
  Exact exact;
};

// Rounds half to even, as oleaut32 does for every real-to-integer conversion: 0.5 -> 0,
// 1.5 -> 2, 2.5 -> 2, -0.5 -> 0.
// NOTE: oleaut32 turns a NaN into a number and reports success (Wine gives 0xFFFFFFFF as
// VT_UI4 and 0x7FFFFFFF as VT_I4). A NaN holds no number, so here it is an overflow.
HRESULT FromReal(double value, Exact& out) {
  if (std::isnan(value)) return DISP_E_OVERFLOW;
  const double rounded = std::nearbyint(value);  // the default rounding mode: ties to even
  if (!(std::fabs(rounded) < 18446744073709551616.0)) {
    out.huge = true;
    out.negative = rounded < 0;
    return S_OK;
  }
  out.negative = rounded < 0;
  out.magnitude = static_cast<uint64_t>(std::fabs(rounded));
  return S_OK;
}

// Currency: units of 1/10000, rounded half to even like the reals.
Exact FromCurrency(int64_t units) {
  Exact out;
  out.negative = units < 0;
  const uint64_t magnitude = out.negative ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
  out.magnitude = magnitude / 10000;
  const uint64_t rest = magnitude % 10000;
  if (rest > 5000 || (rest == 5000 && (out.magnitude & 1) != 0)) ++out.magnitude;
  return out;
}

Exact FromSigned(int64_t value) {
  Exact out;
  out.negative = value < 0;
  out.magnitude = out.negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  return out;
}

Exact FromUnsigned(uint64_t value) {
  Exact out;
  out.magnitude = value;
  return out;
}

bool IsBlank(char16_t c) {
  // The separators oleaut32 skips around a number: the C0 white space, NEL, and Unicode's
  // space separators (no-break space included); not the zero-width space or the BOM.
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The "&H" and "&O" forms (p stands after the blanks that lead them): their bits, at most
// 32, else an overflow.
HRESULT ParseRadixNumber(const char16_t* p, Number32& out) {
  const unsigned shift = (p[1] == u'H' || p[1] == u'h') ? 4 : 3;
  p += 2;
  uint64_t value = 0;
  bool any = false;
  bool overflow = false;
  for (;; ++p) {
    const int digit = HexDigitValue(*p);
    if (digit < 0 || digit >= (1 << shift)) break;
    any = true;
    if ((value >> (32 - shift)) != 0) overflow = true;  // would pass 32 bits
    value = ((value << shift) | static_cast<uint64_t>(digit)) & 0xFFFFFFFFFFull;
  }
  while (IsBlank(*p)) ++p;
  if (!any || *p != u'\0') return DISP_E_TYPEMISMATCH;
  if (overflow || value > 0xFFFFFFFFu) return DISP_E_OVERFLOW;
  out.bits = static_cast<uint32_t>(value);
  return S_OK;
}

// A decimal number without its sign: its significant digits (leading zeros dropped) and
// where the decimal point falls in them. Only the first kKeep are stored: later ones can
// only be fraction digits of a number that fits 64 bits, and for rounding it only matters
// whether any of them is not zero.
struct Decimal {
  static constexpr std::size_t kKeep = 40;
  std::string digits;
  bool droppedNonZero = false;
  int64_t pointAt = 0;  // digits before the decimal point, counted among the significant ones
  bool anyDigit = false;
  bool afterPoint = false;

  void Take(char16_t c) {
    anyDigit = true;
    if (digits.empty() && c == u'0') {
      if (afterPoint) --pointAt;  // 0.05: the point lies one place further from "5"
      return;
    }
    if (!afterPoint) ++pointAt;
    if (digits.size() < kKeep) {
      digits.push_back(static_cast<char>(c));
    } else if (c != u'0') {
      droppedNonZero = true;
    }
  }
};

// Reads digits [exponent] from p onwards; p is left after them. False when there are none
// or the exponent has no digits.
bool ParseDecimal(const char16_t*& p, Decimal& number) {
  if (!IsDigit(*p) && !(*p == u'.' && IsDigit(p[1]))) return false;
  for (; IsDigit(*p) || (*p == u',' && number.anyDigit); ++p) {
    if (*p != u',') number.Take(*p);
  }
  if (*p == u'.') {
    number.afterPoint = true;
    for (++p; IsDigit(*p); ++p) number.Take(*p);
  }
  if (!number.anyDigit) return false;
  if (*p != u'e' && *p != u'E') return true;
  ++p;
  bool exponentNegative = false;
  if (*p == u'+' || *p == u'-') exponentNegative = *p++ == u'-';
  if (!IsDigit(*p)) return false;
  int64_t exponent = 0;
  for (; IsDigit(*p); ++p) {
    // Beyond a million places every value is zero or an overflow; stop counting there.
    if (exponent < 1000000) exponent = exponent * 10 + (*p - u'0');
  }
  number.pointAt += exponentNegative ? -exponent : exponent;
  return true;
}

// The integer nearest to number, half to even, exactly; huge past 64 bits.
void RoundToInteger(const Decimal& number, Exact& exact) {
  const std::string& digits = number.digits;
  const int64_t pointAt = number.pointAt;
  if (digits.empty()) return;  // zero, "-0" included
  if (pointAt > 20) {
    exact.huge = true;
    return;
  }
  uint64_t magnitude = 0;
  for (int64_t i = 0; i < pointAt; ++i) {
    const uint64_t digit = i < static_cast<int64_t>(digits.size()) ? static_cast<uint64_t>(digits[i] - '0') : 0;
    if (__builtin_mul_overflow(magnitude, 10u, &magnitude) || __builtin_add_overflow(magnitude, digit, &magnitude)) {
      exact.huge = true;
      return;
    }
  }
  // The first fraction digit decides, the rest break a tie.
  int firstFraction = 0;
  bool restNonZero = number.droppedNonZero;
  if (pointAt >= 0) {
    const auto at = static_cast<std::size_t>(pointAt);
    if (at < digits.size()) firstFraction = digits[at] - '0';
    for (std::size_t i = at + 1; i < digits.size(); ++i) restNonZero = restNonZero || digits[i] != '0';
  } else {
    restNonZero = true;  // at least one digit, all of them below the first fraction place
  }
  if (firstFraction > 5 || (firstFraction == 5 && (restNonZero || (magnitude & 1) != 0))) {
    if (magnitude == std::numeric_limits<uint64_t>::max()) {
      exact.huge = true;
      return;
    }
    ++magnitude;
  }
  exact.magnitude = magnitude;
}

const char16_t* SkipBlanks(const char16_t* p) {
  while (IsBlank(*p)) ++p;
  return p;
}

// Parses the number in text (up to its first NUL) with the invariant "C" rules, which on
// this build stand for the user's locale that oleaut32 would consult: '.' is the decimal
// point and ',' the thousands separator; no currency symbol is taken.
//
//   [blanks] ( [sign [blanks]] | "(" [blanks] ) digits [exponent] [blanks] [")" | sign] [blanks]
//   [blanks] ("&H" hexdigits | "&O" octdigits) [blanks]
//
// digits: a digit, then digits and ','; optionally '.' and more digits (".5" and "5." are
// numbers). exponent: 'e' or 'E', an optional sign, digits. A sign may stand before or
// after the digits, not both; parentheses mean negative. The value is exact: decimals are
// rounded half to even from all their digits, never through a double.
// &H and &O forms give their bits (at most 32, else an overflow): "&HFFFFFFFF" is -1 as a
// VT_I4, as on Windows.
// NOTE: where oleaut32 goes further we refuse: a sign before &H/&O (Windows drops it, so
// "-&H10" would be 16), two signs ("+-5"), a sign together with parentheses ("(-5)"), a
// ',' after the decimal point (Windows stops reading there, so "1.000,5" would be 1) and the
// locale's currency symbol ("$5"). All are DISP_E_TYPEMISMATCH.
HRESULT ParseNumber(const char16_t* text, Number32& out) {
  if (text == nullptr) return DISP_E_TYPEMISMATCH;
  const char16_t* p = SkipBlanks(text);
  if (p[0] == u'&' && (p[1] == u'H' || p[1] == u'h' || p[1] == u'O' || p[1] == u'o')) return ParseRadixNumber(p, out);

  bool negative = false;
  const bool signBefore = *p == u'+' || *p == u'-';
  const bool parenthesis = *p == u'(';
  if (signBefore || parenthesis) {
    negative = *p == u'-';
    p = SkipBlanks(p + 1);
  }
  Decimal number;
  if (!ParseDecimal(p, number)) return DISP_E_TYPEMISMATCH;
  p = SkipBlanks(p);
  if (parenthesis) {
    if (*p != u')') return DISP_E_TYPEMISMATCH;
    negative = true;
    ++p;
  } else if (!signBefore && (*p == u'+' || *p == u'-')) {
    negative = *p == u'-';
    ++p;
  }
  if (*SkipBlanks(p) != u'\0') return DISP_E_TYPEMISMATCH;
  out.exact.negative = negative;
  RoundToInteger(number, out.exact);
  return S_OK;
}

// The value of a (dereferenced) source on its way to a 32-bit integer.
// Windows' quirks, copied deliberately: a VT_I4/VT_INT and a VT_UI4/VT_UINT give their bits
// to either 32-bit target (VT_I4 -1 becomes VT_UINT 4294967295, VT_UI4 4294967295 becomes
// VT_I4 -1), and so does a VT_BOOL, sign-extended (VARIANT_TRUE becomes 4294967295). The
// narrower and wider integers, the reals and the text are range-checked instead, so VT_I2
// -1 or VT_I8 -1 to VT_UINT is an overflow.
HRESULT ToNumber32(const VARIANT& source, Number32& out) {
  switch (source.vt) {
    case VT_EMPTY: out.exact = FromUnsigned(0); return S_OK;
    case VT_I1: out.exact = FromSigned(static_cast<signed char>(source.cVal)); return S_OK;
    case VT_I2: out.exact = FromSigned(source.iVal); return S_OK;
    case VT_I8: out.exact = FromSigned(source.llVal); return S_OK;
    case VT_UI1: out.exact = FromUnsigned(source.bVal); return S_OK;
    case VT_UI2: out.exact = FromUnsigned(source.uiVal); return S_OK;
    case VT_UI8: out.exact = FromUnsigned(source.ullVal); return S_OK;
    case VT_I4: case VT_INT: case VT_UI4: case VT_UINT: out.bits = source.ulVal; return S_OK;
    case VT_BOOL: out.bits = static_cast<uint32_t>(static_cast<int32_t>(source.boolVal)); return S_OK;
    case VT_R4: return FromReal(source.fltVal, out.exact);
    case VT_R8: return FromReal(source.dblVal, out.exact);
    case VT_DATE: return FromReal(source.date, out.exact);
    case VT_CY: out.exact = FromCurrency(source.cyVal.int64); return S_OK;
    case VT_BSTR: return ParseNumber(source.bstrVal, out);
    case VT_DECIMAL: return E_NOTIMPL;
    // oleaut32 asks a non-null IDispatch for its value; with none to ask it reports a bad
    // type. There is no COM here, so that is the answer for every VT_DISPATCH.
    case VT_DISPATCH: return DISP_E_BADVARTYPE;
    default: return DISP_E_TYPEMISMATCH;  // VT_NULL, VT_ERROR, VT_UNKNOWN, VT_RECORD, arrays
  }
}

HRESULT ToUnsigned32(const VARIANT& source, uint32_t& out) {
  Number32 number;
  const HRESULT hr = ToNumber32(source, number);
  if (FAILED(hr)) return hr;
  if (number.bits) {
    out = *number.bits;
    return S_OK;
  }
  const Exact& e = number.exact;
  // A negative value that rounds to zero ("-0.5") is zero, not an overflow.
  if (e.huge || (e.negative && e.magnitude != 0) || e.magnitude > std::numeric_limits<uint32_t>::max()) {
    return DISP_E_OVERFLOW;
  }
  out = static_cast<uint32_t>(e.magnitude);
  return S_OK;
}

HRESULT ToSigned32(const VARIANT& source, int32_t& out) {
  Number32 number;
  const HRESULT hr = ToNumber32(source, number);
  if (FAILED(hr)) return hr;
  if (number.bits) {
    out = static_cast<int32_t>(*number.bits);
    return S_OK;
  }
  const Exact& e = number.exact;
  const uint64_t limit = e.negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
  if (e.huge || e.magnitude > limit) return DISP_E_OVERFLOW;
  out = e.negative ? static_cast<int32_t>(0 - e.magnitude) : static_cast<int32_t>(e.magnitude);
  return S_OK;
}

HRESULT NewBstr(std::u16string_view text, BSTR& out) {
  if (text.size() > std::numeric_limits<UINT>::max()) return E_OUTOFMEMORY;
  out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return out == nullptr ? E_OUTOFMEMORY : S_OK;
}

std::u16string Decimal(bool negative, uint64_t magnitude) {
  std::u16string text;
  do {
    text.insert(text.begin(), static_cast<char16_t>(u'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) text.insert(text.begin(), u'-');
  return text;
}

HRESULT ToBstr(const VARIANT& source, USHORT flags, BSTR& out) {
  Exact e;
  switch (source.vt) {
    case VT_EMPTY: return NewBstr(u"", out);
    // A null BSTR copies as an empty one, as VariantCopy does on Windows.
    case VT_BSTR: return NewBstr(BstrView(source.bstrVal), out);
    case VT_BOOL:
      if ((flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) != 0) {
        return NewBstr(source.boolVal != VARIANT_FALSE ? u"True" : u"False", out);
      }
      e = FromSigned(source.boolVal);
      break;
    case VT_I1: e = FromSigned(static_cast<signed char>(source.cVal)); break;
    case VT_I2: e = FromSigned(source.iVal); break;
    case VT_I4: case VT_INT: e = FromSigned(source.lVal); break;
    case VT_I8: e = FromSigned(source.llVal); break;
    case VT_UI1: e = FromUnsigned(source.bVal); break;
    case VT_UI2: e = FromUnsigned(source.uiVal); break;
    case VT_UI4: case VT_UINT: e = FromUnsigned(source.ulVal); break;
    case VT_UI8: e = FromUnsigned(source.ullVal); break;
    // Windows formats these with the locale's rules and its own digit count; not carried.
    case VT_R4: case VT_R8: case VT_DATE: case VT_CY: case VT_DECIMAL: return E_NOTIMPL;
    case VT_DISPATCH: return DISP_E_BADVARTYPE;
    default: return DISP_E_TYPEMISMATCH;
  }
  return NewBstr(Decimal(e.negative, e.magnitude), out);
}

// Converts the dereferenced source into result (whose vt is set by the caller).
HRESULT Convert(const VARIANT& source, USHORT flags, VARTYPE vt, VARIANT& result) {
  // A plain VT_VARIANT, a record or an array holds no value to convert. oleaut32 lets the
  // first become VT_EMPTY, VT_NULL or itself, and copies the other two to their own type
  // only; copying a non-null one would need SAFEARRAY and IRecordInfo, absent here.
  if (source.vt == VT_VARIANT) {
    return vt == VT_EMPTY || vt == VT_NULL || vt == VT_VARIANT ? S_OK : DISP_E_TYPEMISMATCH;
  }
  if (source.vt == VT_RECORD || (source.vt & VT_ARRAY) != 0) {
    if (vt != source.vt) return DISP_E_TYPEMISMATCH;
    if (source.parray != nullptr) return E_NOTIMPL;
    result = source;
    return S_OK;
  }
  // An error code is no value either: it only copies.
  if (source.vt == VT_ERROR && vt != VT_ERROR) return DISP_E_TYPEMISMATCH;

  switch (vt) {
    case VT_UI4: case VT_UINT: return ToUnsigned32(source, result.ulVal);
    case VT_I4: case VT_INT: return ToSigned32(source, result.lVal);
    case VT_BSTR: return ToBstr(source, flags, result.bstrVal);
    default: break;
  }
  if (vt == source.vt) {
    result = source;  // VT_BSTR, the one type here that owns memory, was copied above
    return S_OK;
  }
  if (vt == VT_NULL) return S_OK;
  if (vt == VT_EMPTY) return source.vt == VT_NULL ? DISP_E_TYPEMISMATCH : S_OK;
  // Variants, errors, references and arrays are not a target oleaut32 converts to.
  if (vt == VT_VARIANT || vt == VT_ERROR || vt == VT_RECORD || (vt & (VT_BYREF | VT_ARRAY)) != 0) {
    return DISP_E_TYPEMISMATCH;
  }
  if (source.vt == VT_NULL || source.vt == VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
  if (source.vt == VT_DISPATCH) {
    if (vt != VT_UNKNOWN) return DISP_E_BADVARTYPE;
    // Asking an object for another interface needs COM; only "no object" carries over.
    if (source.pdispVal != nullptr) return E_NOTIMPL;
    result.punkVal = nullptr;
    return S_OK;
  }
  if (vt == VT_UNKNOWN || vt == VT_DISPATCH) return DISP_E_TYPEMISMATCH;
  return E_NOTIMPL;
}

}  // namespace

HRESULT VariantClear(VARIANTARG* variant) {
  if (variant == nullptr) return E_INVALIDARG;
  if (!IsValidType(variant->vt)) return DISP_E_BADVARTYPE;
  if (variant->vt == VT_BSTR) SysFreeString(variant->bstrVal);
  variant->vt = VT_EMPTY;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* source, USHORT flags, VARTYPE vt) {
  if (dest == nullptr || source == nullptr) return E_INVALIDARG;
  if (!IsValidType(source->vt) || !IsValidType(vt)) return DISP_E_BADVARTYPE;

  HRESULT hr = S_OK;
  const std::optional<VARIANT> value = Dereference(*source, hr);
  if (!value) return hr;

  // The result is built apart and only then replaces dest: dest may be the source, and on
  // any failure it must be left as it was.
  VARIANT result;
  VariantInit(&result);
  hr = Convert(*value, flags, vt, result);
  if (FAILED(hr)) return hr;
  result.vt = vt;

  hr = VariantClear(dest);
  if (FAILED(hr)) {
    (void)VariantClear(&result);
    return hr;
  }
  *dest = result;
  return S_OK;
}
