#pragma once
// The OLE Automation subset the recordset's setters use: VARIANT, BSTR and the three
// variant calls. On Windows these are oleaut32's own; on POSIX they are ours, with the
// same names, the same layout in spirit (24 bytes, vt first, value at offset 8) and the
// same answers, which the same table-driven test checks on both builds.
//
// Text: a BSTR is the SDK's wchar_t* on Windows and char16_t* here. Code outside this
// folder reads and writes one through BstrText/BstrView and allocates one through the
// char16_t overloads of SysAllocString/SysAllocStringLen below.

#include <cstdint>
#include <string_view>
#include <utility>

#include "UniqueHandle.h"
#include "Win32Types.h"

#ifdef _WIN32

#include <oleauto.h>

inline BSTR SysAllocString(const char16_t* text) {
  return ::SysAllocString(reinterpret_cast<const OLECHAR*>(text));
}
inline BSTR SysAllocStringLen(const char16_t* text, UINT length) {
  return ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text), length);
}
inline char16_t* BstrText(BSTR text) { return reinterpret_cast<char16_t*>(text); }

#else  // POSIX

typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef double DATE;
typedef int32_t SCODE;
typedef char16_t OLECHAR;
// Points just after a 32-bit byte count; the text is always followed by a NUL. May be null,
// which every function here takes as the empty string.
typedef OLECHAR* BSTR;

// Currency: a 64-bit integer in units of 1/10000.
struct CY {
  LONGLONG int64;
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  // Fixed-width members throughout: unixODBC's ULONG is 64 bits on LP64 systems, while a
  // VARIANT's ulVal is 32 bits on Windows.
  union {
    int64_t llVal;
    int32_t lVal;
    uint8_t bVal;
    int16_t iVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    void* punkVal;  // no COM here: never called, only carried
    void* pdispVal;
    void* parray;
    uint8_t* pbVal;
    int16_t* piVal;
    int32_t* plVal;
    int64_t* pllVal;
    float* pfltVal;
    double* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    VARIANT* pvarVal;
    void* byref;
    char cVal;
    uint16_t uiVal;
    uint32_t ulVal;
    uint64_t ullVal;
    int32_t intVal;
    uint32_t uintVal;
    char* pcVal;
    uint16_t* puiVal;
    uint32_t* pulVal;
    uint64_t* pullVal;
    int32_t* pintVal;
    uint32_t* puintVal;
    struct {
      void* pvRecord;
      void* pRecInfo;
    } brecVal;
  };
};
typedef VARIANT VARIANTARG;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_RECORD = 36,
  VT_INT_PTR = 37,
  VT_UINT_PTR = 38,
  VT_FILETIME = 64,
  VT_BLOB = 65,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_ILLEGAL = 0xffff,
  VT_ILLEGALMASKED = 0x0fff,
  VT_TYPEMASK = 0x0fff,
};

#define VARIANT_TRUE (static_cast<VARIANT_BOOL>(-1))
#define VARIANT_FALSE (static_cast<VARIANT_BOOL>(0))

// Flags of VariantChangeType.
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_LOCALBOOL 0x10

#define E_NOTIMPL (static_cast<HRESULT>(0x80004001))
#define DISP_E_TYPEMISMATCH (static_cast<HRESULT>(0x80020005))
#define DISP_E_BADVARTYPE (static_cast<HRESULT>(0x80020008))
#define DISP_E_OVERFLOW (static_cast<HRESULT>(0x8002000A))

// Copies text up to its NUL into a new BSTR. Null text gives a null BSTR, as on Windows;
// so does a failed allocation.
BSTR SysAllocString(const char16_t* text);
// A BSTR of length characters copied from text (embedded NULs kept); with null text the
// characters are zero. Null when the allocation fails or the size does not fit 32 bits.
BSTR SysAllocStringLen(const char16_t* text, UINT length);
// Frees the whole block, prefix included. Null is harmless.
void SysFreeString(BSTR text);
// Characters in the string from its prefix, embedded NULs counted; 0 for null.
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

// Sets vt to VT_EMPTY without looking at the old contents (which are not freed).
void VariantInit(VARIANTARG* variant);

// Frees what the variant owns (a BSTR; a by-reference variant owns nothing) and sets vt to
// VT_EMPTY; the value bits are left as they were, as on Windows.
// Results: S_OK; DISP_E_BADVARTYPE for a vt that is no variant type, the variant untouched.
// Notes: arrays, records and COM interfaces do not exist on this build; a variant that
// carries one is reset without touching the pointer.
[[nodiscard]] HRESULT VariantClear(VARIANTARG* variant);

// Converts source to the type vt into dest; dest may be source itself.
// Parameters: flags 0 or VARIANT_ALPHABOOL / VARIANT_LOCALBOOL ("True"/"False" instead of
// "-1"/"0" when a VT_BOOL becomes a VT_BSTR); the others are accepted and change nothing.
// Results: S_OK with dest cleared first and then set; otherwise dest is untouched and:
//   DISP_E_BADVARTYPE   vt or source's type is no variant type (also when dest holds one),
//   DISP_E_TYPEMISMATCH the value has no meaning in the target type (VT_NULL to a number,
//                       a BSTR that is not a number, a null by-reference pointer, ...),
//   DISP_E_OVERFLOW     the value does not fit the target type,
//   E_OUTOFMEMORY, E_INVALIDARG (null pointers),
//   E_NOTIMPL           a valid conversion this build does not carry; see Variant.cpp.
// Notes: see Variant.cpp for the targets, the quirks of Windows we copy, and the number
// syntax a BSTR may use (invariant "C" rules on this build).
[[nodiscard]] HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* source, USHORT flags, VARTYPE vt);

inline char16_t* BstrText(BSTR text) { return text; }

#endif  // _WIN32

// The whole string, embedded NULs included; empty for a null BSTR.
inline std::u16string_view BstrView(BSTR text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(BstrText(text), SysStringLen(text));
}

// SysFreeString takes a null BSTR too, but there is nothing to free then.
struct BstrTraits {
  using Type = BSTR;
  static Type Invalid() { return nullptr; }
  static void Close(Type text) { SysFreeString(text); }
};
using UniqueBstr = CUniqueHandle<BstrTraits>;
