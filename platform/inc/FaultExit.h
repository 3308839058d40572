#pragma once
// The last words of a process that faults. A library the run calls may crash: a driver
// that follows a null pointer when the server goes away in the middle of a fetch, a
// driver manager whose own allocation failed, a driver that calls abort() on a corrupt
// heap. The operator must still be told what became of the deletion, and an open
// transaction is never committed by a process that ends: the server (or SQLite's
// journal) undoes it.
//
// While a CFaultExit lives, a fault (on POSIX SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT or
// SIGXCPU; on Windows an exception that nothing handles, or abort()) calls lastWords
// with the fault's name, once. Then the fault takes its course: on POSIX the default
// action, the signal raised again, so the process dies of it (with its core dump); on
// Windows the exception goes on to the system's error reporting. A crash, ours or a
// driver's, stays visible to debuggers, sanitizers and whoever waits for the process. No
// destructor runs, no buffer is flushed. lastWords runs where the fault struck: it must
// not allocate or take a lock (ConsoleWriteUtf8 does neither). One CFaultExit at a time.

class CFaultExit {
 public:
  using LastWords = void (*)(const char* fault);

  explicit CFaultExit(LastWords lastWords);
  // Puts back the handling there was before.
  ~CFaultExit();
  CFaultExit(const CFaultExit&) = delete;
  CFaultExit& operator=(const CFaultExit&) = delete;
};
