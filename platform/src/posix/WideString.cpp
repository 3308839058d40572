#include "WideText.h"
#include "Win32Format.h"

// Windows compares linguistically: letters first regardless of case, and on a tie the
// lower-case form first ("a" < "A" < "b"). That ordering is kept for ASCII; beyond it the
// code units decide. Equality is exact, which is what a lookup of a column name needs.
int lstrcmpW(const char16_t* left, const char16_t* right) {
  if (left == nullptr || right == nullptr) {
    if (left == right) return 0;
    return left == nullptr ? -1 : 1;
  }
  int caseOrder = 0;
  for (std::size_t i = 0;; ++i) {
    const char16_t a = left[i];
    const char16_t b = right[i];
    const char16_t foldedA = FoldAscii(a);
    const char16_t foldedB = FoldAscii(b);
    if (foldedA != foldedB) return foldedA < foldedB ? -1 : 1;
    if (a == 0) return caseOrder;
    if (caseOrder == 0 && a != b) caseOrder = a > b ? -1 : 1;  // lower case (the larger unit) first
  }
}
