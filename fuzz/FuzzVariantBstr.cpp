// VariantChangeType from an arbitrary string: what SetFieldValue does with a column value.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Win32Variant.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text(size / 2, u'\0');
  for (size_t i = 0; i + 1 < size; i += 2) text[i / 2] = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  VARIANT source;
  VariantInit(&source);
  source.vt = VT_BSTR;
  source.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  static const VARTYPE kTargets[] = {VT_UINT, VT_UI4, VT_I4, VT_INT, VT_BSTR};
  for (VARTYPE target : kTargets) {
    VARIANT result;
    VariantInit(&result);
    (void)VariantChangeType(&result, &source, 0, target);
    (void)VariantClear(&result);
  }
  (void)VariantClear(&source);
  return 0;
}
