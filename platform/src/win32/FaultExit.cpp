#include "FaultExit.h"

#include "Win32Types.h"

namespace {

CFaultExit::LastWords g_lastWords = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous = nullptr;

const char* Name(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "access violation";
    case EXCEPTION_STACK_OVERFLOW: return "stack overflow";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "illegal instruction";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "division by zero";
    default: return "unhandled exception";
  }
}

LONG WINAPI OnFault(EXCEPTION_POINTERS* exception) {
  if (g_lastWords != nullptr) g_lastWords(Name(exception->ExceptionRecord->ExceptionCode));
  // Not ExitProcess: the libraries' detach routines would run on a process in an
  // unknown state.
  ::TerminateProcess(::GetCurrentProcess(), 0);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

CFaultExit::CFaultExit(LastWords lastWords) {
  g_lastWords = lastWords;
  g_previous = ::SetUnhandledExceptionFilter(OnFault);
}

CFaultExit::~CFaultExit() {
  ::SetUnhandledExceptionFilter(g_previous);
  g_lastWords = nullptr;
}
