#pragma once
// Copying ODBC diagnostics into the error record, right after the call that failed.

#include "strandlink.h"

// Fills error from the handle's diagnostic record error.recordNumber. Without a
// diagnostic, or with one that gives no reason, it still leaves a message that names the
// call (when given) and the return code, and says when the driver ran out of memory.
void ReadDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle, SQLRETURN rc, _SQL_Error& error,
                    const char16_t* call = nullptr);

// What GetError hands out: the kept record, under the record number the caller asked
// for; false, and error untouched, when there is none.
bool CopyKeptError(bool hasError, const _SQL_Error& kept, _SQL_Error& error);

// Copies src into a fixed buffer of capacity characters, cut to fit and terminated.
template <std::size_t N>
void CopyText(char16_t (&dst)[N], const char16_t* src) {
  std::size_t i = 0;
  if (src != nullptr) {
    for (; i + 1 < N && src[i] != 0; ++i) dst[i] = src[i];
  }
  dst[i] = 0;
}
