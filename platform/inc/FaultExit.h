#pragma once
// The last words of a process that faults. A library the run calls may crash: a driver
// that follows a null pointer when the server goes away in the middle of a fetch, a
// driver manager whose own allocation failed. The run promises a message and exit
// status 0 whatever happens, and an open transaction is never committed by a process
// that ends: the server (or SQLite's journal) undoes it.
//
// While a CFaultExit lives, a fault (on POSIX SIGSEGV, SIGBUS, SIGILL or SIGFPE; on
// Windows an exception that nothing handles) calls lastWords with the fault's name and
// ends the process at once with status 0: no destructor runs, no buffer is flushed.
// lastWords runs where the fault struck: it must not allocate or take a lock
// (ConsoleWriteUtf8 does neither). One CFaultExit at a time.

class CFaultExit {
 public:
  using LastWords = void (*)(const char* fault);

  explicit CFaultExit(LastWords lastWords);
  // Puts back the handling there was before.
  ~CFaultExit();
  CFaultExit(const CFaultExit&) = delete;
  CFaultExit& operator=(const CFaultExit&) = delete;
};
