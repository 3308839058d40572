#include "Win32Types.h"

namespace {
// Each thread has its own last error, as on Windows.
thread_local DWORD g_lastError = 0;
}  // namespace

void SetLastError(DWORD error) { g_lastError = error; }
DWORD GetLastError() { return g_lastError; }
