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

// NOTE: Wine hands a host library's abort() (a driver reached through odbc32) to the
// process as this exception, from a frame it then cannot dispatch past: the process ends
// before any unhandled-exception filter runs. A vectored handler is called first, but
// still in Wine's own context inside the library's call, where closing a file faults
// (measured: the list's removal did, and Wine then looped on the fault). So the handler
// only moves the thread out, to a frame of ours on a stack of its own, which says the
// last words and ends the process as abort() ends a Windows process: status 3.
constexpr DWORD kWineAssertion = 0x80000101;
PVOID g_vectored = nullptr;
alignas(16) char g_abortStack[64 * 1024];

[[noreturn]] void SayAbortAndEnd() {
  Say("abort");
  ::TerminateProcess(::GetCurrentProcess(), 3);
  for (;;) {
  }
}

LONG WINAPI OnFirstChance(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != kWineAssertion) return EXCEPTION_CONTINUE_SEARCH;
  CONTEXT* context = exception->ContextRecord;
  context->Rip = reinterpret_cast<DWORD64>(&SayAbortAndEnd);
  // Aligned as a function's entry finds it: just after a call pushed its return address.
  context->Rsp = (reinterpret_cast<DWORD64>(g_abortStack + sizeof g_abortStack) & ~DWORD64{15}) - 8;
  return EXCEPTION_CONTINUE_EXECUTION;
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
  g_vectored = ::AddVectoredExceptionHandler(1, OnFirstChance);
}

CFaultExit::~CFaultExit() {
  if (g_vectored != nullptr) (void)::RemoveVectoredExceptionHandler(g_vectored);
  (void)std::signal(SIGABRT, g_previousAbort == SIG_ERR ? SIG_DFL : g_previousAbort);
  ::SetUnhandledExceptionFilter(g_previous);
  g_lastWords = nullptr;
}
