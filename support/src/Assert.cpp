#include "Assert.h"

#include "BoundedFormat.h"
#include "Win32Debug.h"

namespace {

// The same words for every check; only the line number that follows tells them apart.
constexpr char16_t kAssertText[] = u"ASSERT(##x##), file ..\\inc\\CRegTreeRecSet line ";

}  // namespace

void AssertTrace(int line) {
  // The code after a failed check runs as it would have, so the trace leaves the
  // thread's last error as it found it.
  const DWORD savedError = GetLastError();
  char16_t number[10];  // 20 bytes
  (void)BoundedFormatCb(number, sizeof(number), u" %d\n", line);
  OutputDebugStringW(kAssertText);
  OutputDebugStringW(number);
  SetLastError(savedError);
}
