#include "FaultExit.h"

#include <csignal>

#include "Win32Types.h"

namespace {

CFaultExit::LastWords g_lastWords = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous = nullptr;
void (*g_previousAbort)(int) = SIG_DFL;
// Set once the last words have begun: they are said once, whatever follows.
volatile LONG g_spoken = 0;

const char* Name(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "access violation";
    case EXCEPTION_STACK_OVERFLOW: return "stack overflow";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "illegal instruction";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "division by zero";
    default: return "unhandled exception";
  }
}

void Say(const char* fault) {
  if (g_lastWords != nullptr && ::InterlockedExchange(&g_spoken, 1) == 0) g_lastWords(fault);
}

LONG WINAPI OnFault(EXCEPTION_POINTERS* exception) {
  Say(Name(exception->ExceptionRecord->ExceptionCode));
  // The exception goes on to the system's error reporting, which ends the process with
  // the exception's code: the fault stays a fault for whoever waits for the process.
  return EXCEPTION_CONTINUE_SEARCH;
}

// abort() in the C runtime raises SIGABRT before it ends the process.
void OnAbort(int signal) {
  Say("abort");
  (void)std::signal(signal, SIG_DFL);
  (void)std::raise(signal);
}

}  // namespace

CFaultExit::CFaultExit(LastWords lastWords) {
  g_lastWords = lastWords;
  g_spoken = 0;
  g_previous = ::SetUnhandledExceptionFilter(OnFault);
  g_previousAbort = std::signal(SIGABRT, OnAbort);
}

CFaultExit::~CFaultExit() {
  (void)std::signal(SIGABRT, g_previousAbort == SIG_ERR ? SIG_DFL : g_previousAbort);
  ::SetUnhandledExceptionFilter(g_previous);
  g_lastWords = nullptr;
}
