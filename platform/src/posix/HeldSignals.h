#pragma once
// Holds back every signal that can be held back while it lives; those that come
// meanwhile are delivered when it ends, to the handlers in force then.

#include <signal.h>

class CHeldSignals {
 public:
  CHeldSignals() {
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &m_previous);
  }
  ~CHeldSignals() { ::pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
  CHeldSignals(const CHeldSignals&) = delete;
  CHeldSignals& operator=(const CHeldSignals&) = delete;

 private:
  sigset_t m_previous;
};
